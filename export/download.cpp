#include "download.h"

#include <algorithm>

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>
#include <QThread>
#include <QTimer>

#include "globals.h"
#include "qmx_export.h"
#include "qmx_muxer.h"
#include "silent_aac.h"

const char *const kDownloadWaiting = QT_TRANSLATE_NOOP("download", " 等待下载");
const char *const kDownloadRunning = QT_TRANSLATE_NOOP("download", " 下载中");
const char *const kDownloadDone = QT_TRANSLATE_NOOP("download", " 下载成功");
const char *const kDownloadIncomplete = QT_TRANSLATE_NOOP("download", " 下载不完整");
const char *const kDownloadFailed = QT_TRANSLATE_NOOP("download", " 下载失败");
const char *const kDownloadCancelled = QT_TRANSLATE_NOOP("download", " 已取消");

namespace {

// Cancel requests and the running entry. cancelledEntries is guarded by
// playbackMutex (like the entry list it refers to); the flags are read by
// the export between frames without a lock.
QSet<int> cancelledEntries;
std::atomic<int> runningEntry{-1};
std::atomic<bool> cancelRunning{false};
std::atomic<int> pendingChannels{0};
std::atomic<int> chosenTiming{QMX_EXPORT_TIMING_CARD};

// How often, at most, the running entry's percentage and the worker's queue
// are looked after during an export.
const int kTurnMs = 50;

// A span is "start-end" in decimal Unix seconds.
bool parseSpan(const QString &fileName, uint64_t *start, uint64_t *end) {
  bool okStart = false, okEnd = false;
  *start = fileName.section('-', 0, 0).toULongLong(&okStart);
  *end = fileName.section('-', 1).toULongLong(&okEnd);
  return okStart && okEnd && *end >= *start;
}

QString localStamp(uint64_t seconds) {
  return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds)).toString("yyyyMMdd_HHmmss");
}

QString localClock(int64_t ms) {
  return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm:ss");
}

// Keeps the entry up to its "|" and puts the new status behind it; a name
// given replaces the entry's file name. The caller holds playbackMutex.
void setStatus(int index, const QString &status, const QString &name = QString()) {
  if (index < 0 || index >= downloadEntries.size()) return;
  QString entry = downloadEntries.at(index);
  int bar = entry.indexOf('|');
  QString head = entry.left(bar + 1);
  if (!name.isEmpty()) head = name + "           |";
  downloadEntries[index] = head + status;
}

void setStatusLocked(int index, const QString &status, const QString &name = QString()) {
  QMutexLocker locker(&playbackMutex);
  setStatus(index, status, name);
}

// A status as the window shows it: status texts are translated where they
// are made, from any thread, so that the list shows them as they are.
QString text(const char *status) { return download::tr(status); }

// A failed status with its reason.
QString failed(const QString &reason) { return text(kDownloadFailed) + ": " + reason; }

// The reason of a failed channel, in the window's words.
QString failureText(const qmx_export_result &r) {
  QString detail = QString::fromLocal8Bit(r.detail);
  switch (r.error) {
    case QMX_EXPORT_ERR_NO_RECORDING:
    case QMX_MUXER_ERR_EMPTY:
      return download::tr("该通道在此时段没有录像");
    case QMX_MUXER_ERR_DIR:
      return download::tr("无法写入下载目录 (%1)").arg(detail);
    case QMX_MUXER_ERR_MEDIA:
      return download::tr("录像的参数集无法读取 (%1)").arg(detail);
    case QMX_MUXER_ERR_NAME:
      return download::tr("无法给文件命名 (%1)").arg(detail);
    case QMX_MUXER_ERR_WRITE:
      if (detail.contains("No space left")) return download::tr("磁盘已满 (%1)").arg(detail);
      return download::tr("写入文件失败 (%1)").arg(detail);
    default:
      return detail;
  }
}

// State of one channel export, reached by the routine's callbacks.
struct ChannelRun {
  download *worker = nullptr;
  int entry = 0;
  int64_t startMs = 0, spanMs = 1;
  int percent = -1;
  QElapsedTimer turn;
};

}  // namespace

download::download(QObject *parent) : QObject(parent) {}

void download::requestStop() {
  stopRequested = true;
  // From any thread: the wait under way ends at once, on the worker's own thread.
  QMetaObject::invokeMethod(
      this, [this]() {
        if (idleLoop) idleLoop->quit();
      },
      Qt::QueuedConnection);
}

void download::cancelEntry(int index) {
  QMutexLocker locker(&playbackMutex);
  cancelledEntries.insert(index);
  if (runningEntry == index) cancelRunning = true;
}

void download::cancelAll() {
  QMutexLocker locker(&playbackMutex);
  for (int i = 0; i < downloadEntries.size(); i++) cancelledEntries.insert(i);
  cancelRunning = true;
}

bool download::busy() { return pendingChannels > 0; }

void download::setTiming(int timing) { chosenTiming = timing; }

int download::timing() { return chosenTiming; }

// Waits ms milliseconds in a local event loop, or until a span is queued;
// queued calls to on_download_file are delivered here too.
void download::pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  idleLoop = &loop;
  loop.exec();
  idleLoop = nullptr;
}

void download::on_download_file(QString fileName) {
  QMutexLocker locker(&playbackMutex);
  uint64_t start = 0, end = 0;
  parseSpan(fileName, &start, &end);
  QueuedSpan span;
  span.fileName = fileName;
  span.channels = channelNum > 0 ? std::min(channelNum.load(), 4) : 0;
  span.firstEntry = downloadEntries.size();
  span.generation = cardGeneration;
  span.timing = chosenTiming;
  span.layout = storageV == 1 ? 1 : 2;
  span.videoType = videoType;
  span.cardPath = openCardPath;
  span.cardName = openCardName;
  span.cardSize = openCardSize;
  for (int i = 0; i < span.channels; i++) {
    downloadEntries.append(QString("%1-%2-channel%3.mp4           |")
                               .arg(localStamp(start), localStamp(end), QString::number(i)) +
                           text(kDownloadWaiting));
    downloadPaths.append(downloadDir);
  }
  pendingChannels += span.channels;
  downloadQueue.append(span);
  // An idle worker starts on it now rather than at the end of its wait.
  if (idleLoop) idleLoop->quit();
}

void download::on_download_start() {
  downloadQueue.clear();
  for (;;) {
    if (stopRequested) return;
    if (downloadQueue.isEmpty()) {
      pause(100);
      continue;
    }
    QueuedSpan span = downloadQueue.takeFirst();
    qDebug() << "准备下载:" << span.fileName;
    uint64_t start = 0, end = 0;
    if (!parseSpan(span.fileName, &start, &end)) {
      QMutexLocker locker(&playbackMutex);
      for (int c = 0; c < span.channels; c++)
        setStatus(span.firstEntry + c, failed(tr("时段无效")));
      pendingChannels -= span.channels;
      continue;
    }
    qDebug() << "开始下载:" << span.fileName;
    exportSpan(span, start, end);
  }
}

void download::exportSpan(const QueuedSpan &span, uint64_t start, uint64_t end) {
  for (int c = 0; c < span.channels; c++) {
    exportChannel(span, c, start, end);
    pendingChannels--;
    if (stopRequested) return;
  }
  qDebug() << "结束下载:" << span.fileName;
}

void download::exportChannel(const QueuedSpan &span, int c, uint64_t start, uint64_t end) {
  const int entry = span.firstEntry + c;
  QByteArray dir;
  {
    QMutexLocker locker(&playbackMutex);
    if (cancelledEntries.contains(entry)) {
      setStatus(entry, text(kDownloadCancelled));
      return;
    }
    // A span belongs to the card it was queued on.
    if (span.generation != cardGeneration) {
      setStatus(entry, failed(tr("磁盘已更换, 此时段属于之前打开的磁盘")));
      return;
    }
    // downloadPaths grows only on this thread.
    dir = entry < downloadPaths.size() ? downloadPaths.at(entry).toLocal8Bit() : QByteArray();
    runningEntry = entry;
    cancelRunning = false;
    setStatus(entry, text(kDownloadRunning));
  }
  QByteArray cardPath = span.cardPath.toLocal8Bit(), cardName = span.cardName.toUtf8();
  if (qmx_export_insideCard(dir.constData(), cardPath.constData())) {
    runningEntry = -1;
    setStatusLocked(entry, failed(tr("下载目录在卡内, 卡不可写入")));
    return;
  }

  ChannelRun run;
  run.worker = this;
  run.entry = entry;
  run.startMs = static_cast<int64_t>(start) * 1000;
  run.spanMs = static_cast<int64_t>(end + 1 - start) * 1000;
  run.turn.start();
  qmx_export_hooks hooks = {};
  hooks.user = &run;
  hooks.lock = [](void *) { playbackMutex.lock(); };
  hooks.unlock = [](void *) { playbackMutex.unlock(); };
  hooks.debug = [](void *, const char *text, int hasNumber, int64_t number) {
    if (hasNumber) {
      qDebug() << text << number;
    } else {
      qDebug() << text;
    }
  };
  hooks.progress = [](void *user, int64_t t) {
    ChannelRun *r = static_cast<ChannelRun *>(user);
    if (r->turn.elapsed() < kTurnMs) return;
    r->turn.restart();
    int64_t done = std::max<int64_t>(0, std::min(t - r->startMs, r->spanMs));
    int percent = static_cast<int>(done * 100 / r->spanMs);
    if (percent != r->percent) {
      r->percent = percent;
      setStatusLocked(r->entry, QString("%1 %2%").arg(text(kDownloadRunning)).arg(percent));
    }
    // Spans asked for meanwhile are queued now, not after this export.
    QCoreApplication::processEvents();
  };
  hooks.yield = [](void *, int64_t heldUs) {
    // While the panes play from the same card, the export takes the card
    // at most half of the time.
    if (playState == 1 && heldUs > 0) QThread::usleep(static_cast<unsigned long>(std::min<int64_t>(heldUs, 20000)));
  };
  hooks.cancelled = [](void *user) {
    return (cancelRunning || static_cast<ChannelRun *>(user)->worker->stopping()) ? 1 : 0;
  };

  qmx_export_request request = {};
  request.layout = span.layout;
  request.channel = c;
  request.startTime = start;
  request.endTime = end;
  request.dir = dir.constData();
  request.videoType = span.videoType;
  request.timing = span.timing;
  request.silent = silentAac.data;
  request.silentSize = silentAac.size;
  request.cardPath = cardPath.constData();
  request.cardName = cardName.constData();
  request.cardSize = span.cardSize;
  qmx_export_result result;
  qmx_export_channel(&request, &hooks, &result);
  runningEntry = -1;

  QString status, name;
  if (result.status == QMX_EXPORT_CANCELLED) {
    status = text(kDownloadCancelled);
  } else if (result.status != QMX_EXPORT_DONE) {
    status = failed(failureText(result));
  } else {
    name = QFileInfo(QString::fromLocal8Bit(result.file)).fileName();
    if (qmx_export_damaged(&result)) {
      const QString why = result.end == QMX_PLAYBACK_READ_ERROR ? tr("读卡错误于 %1, 文件含此前读出的部分")
                                                                : tr("数据损坏于 %1, 文件含此前读出的部分");
      status = text(kDownloadIncomplete) + ": " + why.arg(localClock(result.endAtMs));
    } else if (qmx_export_endedEarly(&result, end)) {
      status = text(kDownloadDone) + tr(" (卡上数据止于 %1)").arg(localClock(result.lastMs));
    } else {
      status = text(kDownloadDone);
    }
  }
  qmx_export_freeResult(&result);
  setStatusLocked(entry, status, name);
}
