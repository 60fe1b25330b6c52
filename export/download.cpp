#include "download.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QMutexLocker>
#include <QTimer>

#include "globals.h"
#include "qmx_export.h"
#include "silent_aac.h"

namespace {

const char kWaiting[] = " 等待下载";
const char kRunning[] = " 下载中";
const char kDone[] = " 下载成功";
const char kFailed[] = " 下载失败";

// A span is "start-end" in decimal Unix seconds.
bool parseSpan(const QString &fileName, uint64_t *start, uint64_t *end) {
  bool okStart = false, okEnd = false;
  *start = fileName.section('-', 0, 0).toULongLong(&okStart);
  *end = fileName.section('-', 1).toULongLong(&okEnd);
  return okStart && okEnd;
}

QString localStamp(uint64_t seconds) {
  return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds)).toString("yyyyMMdd_HHmmss");
}

// State of one channel export, reached by the routine's callbacks.
struct ChannelRun {
  download *worker;
  bool opened = false;
};

}  // namespace

download::download(QObject *parent) : QObject(parent) {}

void download::requestStop() { stopRequested = true; }

// Waits ms milliseconds in a local event loop; queued calls to
// on_download_file are delivered here and nowhere else.
void download::pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Keeps the entry up to its "|" and puts the new status behind it. The
// caller holds playbackMutex.
void download::setStatus(int index, const QString &status) {
  if (index < 0 || index >= downloadEntries.size()) return;
  QString entry = downloadEntries.at(index);
  downloadEntries[index] = entry.left(entry.indexOf('|') + 1) + status;
}

void download::on_download_file(QString fileName) {
  QMutexLocker locker(&playbackMutex);
  uint64_t start = 0, end = 0;
  parseSpan(fileName, &start, &end);
  QueuedSpan span;
  span.fileName = fileName;
  span.channels = channelNum > 0 ? channelNum.load() : 0;
  span.firstEntry = downloadEntries.size();
  for (int i = 0; i < span.channels; i++) {
    downloadEntries.append(QString("%1-%2-channel%3.mp4           |")
                               .arg(localStamp(start), localStamp(end), QString::number(i)) +
                           kWaiting);
    downloadPaths.append(downloadDir);
  }
  downloadQueue.append(span);
}

void download::on_download_start() {
  downloadQueue.clear();
  const uint8_t *silent = silentAac.data;
  uint32_t silentSize = silentAac.size;
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
      // No times to export: its entries fail at once.
      QMutexLocker locker(&playbackMutex);
      for (int c = 0; c < span.channels; c++) setStatus(span.firstEntry + c, kFailed);
      continue;
    }
    startTime = start;
    endTime = end;
    qDebug() << "开始下载:" << span.fileName;
    exportSpan(span, silent, silentSize);
  }
}

void download::exportSpan(const QueuedSpan &span, const uint8_t *silent, uint32_t silentSize) {
  qmx_export_hooks hooks = {};
  hooks.lock = [](void *) { playbackMutex.lock(); };
  hooks.unlock = [](void *) { playbackMutex.unlock(); };
  hooks.pause = [](void *user, int ms) { static_cast<ChannelRun *>(user)->worker->pause(ms); };
  hooks.debug = [](void *, const char *text, int hasNumber, int64_t number) {
    if (hasNumber) {
      qDebug() << text << number;
    } else {
      qDebug() << text;
    }
  };
  hooks.opened = [](void *user, int ok, uint32_t, int type) {
    ChannelRun *run = static_cast<ChannelRun *>(user);
    download *w = run->worker;
    run->opened = ok != 0;
    if (!ok) {
      w->setStatus(w->entryIndex, kFailed);
      w->entryIndex += 1;
      return;
    }
    // The file layout learns the codec from the recording's first frame.
    videoType = type;
    w->setStatus(w->entryIndex, kRunning);
  };
  hooks.finished = [](void *user, const char *file) {
    download *w = static_cast<ChannelRun *>(user)->worker;
    w->setStatus(w->entryIndex, file[0] ? kDone : kFailed);
    w->entryIndex += 1;
  };

  for (int c = 0; c < span.channels; c++) {
    entryIndex = span.firstEntry + c;
    // downloadPaths grows only on this thread, so reading it needs no lock.
    QByteArray dir = entryIndex < downloadPaths.size() ? downloadPaths.at(entryIndex).toLocal8Bit()
                                                       : QByteArray();
    qmx_export_request request = {};
    request.layout = storageV == 1 ? 1 : 2;
    request.channel = c;
    request.startTime = startTime;
    request.endTime = endTime;
    request.dir = dir.constData();
    request.videoType = videoType;
    request.silent = silent;
    request.silentSize = silentSize;
    ChannelRun run{this};
    hooks.user = &run;
    qmx_export_channel(&request, &hooks, nullptr, 0);
    if (!run.opened) continue;
    qDebug() << "结束下载:" << span.fileName;
    pause(10);
  }
}
