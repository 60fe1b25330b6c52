// The download worker under a Qt event loop, on simulator cards of both
// layouts: queueing, entry texts and statuses, channel order, failures and
// the silent filler.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <functional>
#include <mutex>

#include "download.h"
#include "globals.h"
#include "media.h"
#include "qmx_muxer.h"
#include "silent_aac.h"
#include "simcard.h"

// Readable QStrings in failure messages.
void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

const int64_t S0 = 1704429296;  // 2024-01-05 12:34:56 in UTC+8
const QString kBlanks = "           ";  // eleven

QString span(int64_t start, int64_t end) { return QString("%1-%2").arg(start).arg(end); }
std::string rec(int channel, int64_t start, int64_t end) {
  return std::to_string(channel) + "," + std::to_string(start) + "," + std::to_string(end);
}

// Debug lines of the worker, and what the entries were when the first line
// starting with watchPrefix came (the worker holds playbackMutex then).
std::mutex logMutex;  // guards the three below; the worker may log from its thread
QStringList debugLines;
QString watchPrefix;
QStringList entriesAtWatch;

void captureDebug(QtMsgType, const QMessageLogContext &, const QString &msg) {
  std::lock_guard<std::mutex> lock(logMutex);
  debugLines.append(msg);
  if (!watchPrefix.isEmpty() && msg.startsWith(watchPrefix) && entriesAtWatch.isEmpty())
    entriesAtWatch = downloadEntries;
}

QStringList linesStartingWith(const QStringList &prefixes) {
  std::lock_guard<std::mutex> lock(logMutex);
  QStringList out;
  for (const QString &l : debugLines)
    for (const QString &p : prefixes)
      if (l.startsWith(p)) out.append(l);
  return out;
}

QStringList entries() {
  QMutexLocker locker(&playbackMutex);
  return downloadEntries;
}

bool allSettled() {
  QStringList e = entries();
  for (const QString &s : e)
    if (!s.endsWith(" 下载成功") && !s.endsWith(" 下载失败")) return false;
  return true;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir("download");
    ASSERT_FALSE(dir.empty());
    {
      QMutexLocker locker(&playbackMutex);
      downloadEntries.clear();
      downloadPaths.clear();
      downloadDir = QString::fromStdString(dir + "/Video");
    }
    {
      std::lock_guard<std::mutex> lock(logMutex);
      debugLines.clear();
      watchPrefix.clear();
      entriesAtWatch.clear();
    }
    qInstallMessageHandler(captureDebug);
  }
  void TearDown() override {
    qInstallMessageHandler(nullptr);
    removeTree(dir);
  }

  // Writes a card with cardsim and opens it as the window would.
  void useCard(const std::string &layout, std::vector<std::string> args) {
    std::string path = dir + (layout == "raw" ? "/card.img" : "/card");
    args.insert(args.begin(), {"--layout", layout, "--size", "64x48"});
    ASSERT_TRUE(makeSimCard(args, path));
    int l = layout == "raw" ? 1 : 2;
    ASSERT_TRUE(openSimCard(path, l));
    storageV = l;
  }

  // Runs the export loop on this thread until every entry has settled and
  // expected of them exist; atStart runs in the loop's first pause.
  void runLoop(download &worker, const std::function<void()> &atStart, int expected) {
    QTimer::singleShot(0, atStart);
    QTimer poll;
    int waited = 0;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
      waited += 20;
      if ((entries().size() >= expected && allSettled()) || waited > 60000) worker.requestStop();
    });
    poll.start(20);
    worker.on_download_start();
  }

  std::vector<std::string> videoFiles() {
    std::vector<std::string> out;
    for (const std::string &f : listFiles(dir + "/Video"))
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".mp4") == 0) out.push_back(f);
    return out;
  }

  std::string dir;
};

TEST_F(DownloadTest, TwoChannelsGiveTwoEntriesExportedInTurn) {
  useCard("raw", {"--codec", "h264", "--channels", "2", "--record", rec(0, S0, S0 + 10),
                  "--record", rec(1, S0, S0 + 10)});
  channelNum = 2;
  QString item = span(S0 + 2, S0 + 5);
  QString base = "20240105_123458-20240105_123501-channel";
  QStringList queued;
  {
    std::lock_guard<std::mutex> lock(logMutex);
    watchPrefix = "download stop pbFrameInfo.ts:";
  }
  download worker;
  runLoop(worker, [&]() {
    worker.on_download_file(item);
    queued = entries();
  }, 2);

  EXPECT_EQ(queued, (QStringList{base + "0.mp4" + kBlanks + "| 等待下载",
                                 base + "1.mp4" + kBlanks + "| 等待下载"}));
  EXPECT_EQ(entriesAtWatch, (QStringList{base + "0.mp4" + kBlanks + "| 下载中",
                                         base + "1.mp4" + kBlanks + "| 等待下载"}));
  EXPECT_EQ(entries(), (QStringList{base + "0.mp4" + kBlanks + "| 下载成功",
                                    base + "1.mp4" + kBlanks + "| 下载成功"}));
  {
    QMutexLocker locker(&playbackMutex);
    EXPECT_EQ(downloadPaths, (QStringList{downloadDir, downloadDir}));
  }
  // The files carry the last video frame's time: the one at exactly (end + 1) s.
  EXPECT_EQ(videoFiles(), (std::vector<std::string>{
                              "20240105_123458-20240105_123502-channel0.mp4",
                              "20240105_123458-20240105_123502-channel1.mp4"}));
  QString quoted = "\"" + item + "\"";
  EXPECT_EQ(linesStartingWith({"准备下载:", "开始下载:", "download_handle:", "结束下载:"}),
            (QStringList{"准备下载: " + quoted, "开始下载: " + quoted, "download_handle: 0",
                         "结束下载: " + quoted, "download_handle: 0", "结束下载: " + quoted}));
}

TEST_F(DownloadTest, FailedStartOnChannelZeroStillExportsChannelOne) {
  useCard("raw", {"--codec", "h265", "--channels", "2", "--record", rec(0, S0, S0 + 4),
                  "--record", rec(1, S0, S0 + 20)});
  channelNum = 2;
  download worker;
  runLoop(worker, [&]() { worker.on_download_file(span(S0 + 10, S0 + 12)); }, 2);
  QStringList e = entries();
  ASSERT_EQ(e.size(), 2);
  EXPECT_TRUE(e[0].endsWith("channel0.mp4" + kBlanks + "| 下载失败")) << e[0].toStdString();
  EXPECT_TRUE(e[1].endsWith("channel1.mp4" + kBlanks + "| 下载成功")) << e[1].toStdString();
  EXPECT_EQ(linesStartingWith({"download qmx_storage_playbackStart fail"}).size(), 1);
  std::vector<std::string> files = videoFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find("-channel1.mp4"), std::string::npos);
}

TEST_F(DownloadTest, RecordingWithoutAudioGetsSilenceBeforeEveryVideoFrameButTheFirst) {
  useCard("file", {"--codec", "h265", "--channels", "1", "--no-audio", "--record",
                   rec(0, S0, S0 + 10)});
  ASSERT_GT(silentAac.size, 0u);
  channelNum = 1;
  videoType = 1;  // the playback start sets it from the recording
  download worker;
  runLoop(worker, [&]() { worker.on_download_file(span(S0 + 1, S0 + 3)); }, 1);
  EXPECT_EQ(videoType.load(), 0);
  ASSERT_TRUE(entries().value(0).endsWith("| 下载成功"));
  std::vector<std::string> files = videoFiles();
  ASSERT_EQ(files.size(), 1u);
  FileInfo info = readMp4(dir + "/Video/" + files[0]);
  ASSERT_TRUE(info.ok);
  ASSERT_EQ(info.streams.size(), 2u);
  EXPECT_EQ(info.streams[0].codecId, QMX_CODEC_HEVC);
  size_t video = info.streams[0].pts.size();
  EXPECT_EQ(video, 3u * 12 + 1);
  EXPECT_EQ(info.streams[1].pts.size(), video - 1);
  EXPECT_EQ(info.streams[1].pts.back(), static_cast<int64_t>(video - 2) * 1024);
}

// The worker on its own thread, wired by queued connections as the window
// wires it: a span queued during an export waits for its turn.
class Window : public QObject {
  Q_OBJECT
 signals:
  void sigThreadStart();
  void sigDownloadFile(QString fileName);
};

TEST_F(DownloadTest, SpanQueuedDuringAnExportWaitsItsTurn) {
  useCard("file", {"--codec", "h264", "--channels", "2", "--record", rec(0, S0, S0 + 10),
                   "--record", rec(1, S0, S0 + 10)});
  channelNum = 2;
  QThread thread;
  download *worker = new download;
  worker->moveToThread(&thread);
  Window window;
  QObject::connect(&window, &Window::sigThreadStart, worker, &download::on_download_start,
                   Qt::QueuedConnection);
  QObject::connect(&window, &Window::sigDownloadFile, worker, &download::on_download_file,
                   Qt::QueuedConnection);
  QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
  thread.start();
  emit window.sigThreadStart();
  QThread::msleep(50);  // the loop empties its queue once, at its start
  QString first = span(S0 + 2, S0 + 4), second = span(S0 + 5, S0 + 6);
  emit window.sigDownloadFile(first);

  auto waitFor = [](const std::function<bool()> &cond) {
    for (int i = 0; i < 60000 && !cond(); i++) QThread::msleep(1);
    return cond();
  };
  ASSERT_TRUE(waitFor([]() { return entries().value(0).endsWith("| 下载中"); }));
  emit window.sigDownloadFile(second);
  ASSERT_TRUE(waitFor([]() { return entries().size() == 4; }));
  QStringList during = entries();
  EXPECT_TRUE(during[2].endsWith("| 等待下载"));
  EXPECT_TRUE(during[3].endsWith("| 等待下载"));
  ASSERT_TRUE(waitFor([]() { return allSettled() && entries().size() == 4; }));
  worker->requestStop();
  thread.quit();
  ASSERT_TRUE(thread.wait(10000));

  for (const QString &e : entries()) EXPECT_TRUE(e.endsWith("| 下载成功")) << e.toStdString();
  EXPECT_EQ(linesStartingWith({"开始下载:"}),
            (QStringList{"开始下载: \"" + first + "\"", "开始下载: \"" + second + "\""}));
  EXPECT_EQ(videoFiles().size(), 4u);
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  generateSilentAac();  // the filler tests check that it was made
  return RUN_ALL_TESTS();
}

#include "download_test.moc"

TEST_F(DownloadTest, EmptySilentStreamWritesNoFiller) {
  useCard("file", {"--codec", "h264", "--channels", "1", "--no-audio", "--record",
                   rec(0, S0, S0 + 10)});
  channelNum = 1;
  qmx_silentAacStream saved = silentAac;
  silentAac.size = 0;  // the loop takes the stream once, at its start
  download worker;
  runLoop(worker, [&]() { worker.on_download_file(span(S0 + 1, S0 + 2)); }, 1);
  silentAac = saved;
  std::vector<std::string> files = videoFiles();
  ASSERT_EQ(files.size(), 1u);
  FileInfo info = readMp4(dir + "/Video/" + files[0]);
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.streams.size(), 1u);  // video alone: no audio track at all
}

TEST_F(DownloadTest, EachSpanKeepsItsChannelsAndBadSpansFail) {
  useCard("raw", {"--codec", "h264", "--channels", "2", "--record", rec(0, S0, S0 + 10),
                  "--record", rec(1, S0, S0 + 10)});
  channelNum = 2;
  download worker;
  runLoop(worker, [&]() {
    channelNum = 0;
    worker.on_download_file(span(S0 + 4, S0 + 5));  // no channels: no entry
    channelNum = 2;
    worker.on_download_file("not-a-span");
    worker.on_download_file(span(S0 + 2, S0 + 3));
    // Another disk chosen meanwhile: the queued spans keep their two channels.
    channelNum = 1;
  }, 4);
  QStringList e = entries();
  ASSERT_EQ(e.size(), 4);
  EXPECT_TRUE(e[0].endsWith("channel0.mp4" + kBlanks + "| 下载失败"));
  EXPECT_TRUE(e[1].endsWith("channel1.mp4" + kBlanks + "| 下载失败"));
  EXPECT_EQ(e[2], "20240105_123458-20240105_123459-channel0.mp4" + kBlanks + "| 下载成功");
  EXPECT_EQ(e[3], "20240105_123458-20240105_123459-channel1.mp4" + kBlanks + "| 下载成功");
  EXPECT_EQ(videoFiles().size(), 2u);
  // The bad span never starts; the span without channels starts and makes nothing.
  EXPECT_EQ(linesStartingWith({"开始下载:"}),
            (QStringList{"开始下载: \"" + span(S0 + 4, S0 + 5) + "\"",
                         "开始下载: \"" + span(S0 + 2, S0 + 3) + "\""}));
}

TEST_F(DownloadTest, FileThatGetsNoNameFailsItsEntry) {
  useCard("raw", {"--codec", "h264", "--channels", "1", "--record", rec(0, S0, S0 + 10)});
  channelNum = 1;
  {
    QMutexLocker locker(&playbackMutex);
    downloadDir = QString::fromStdString(dir + "/missing/Video");  // one level is made, not two
  }
  download worker;
  runLoop(worker, [&]() { worker.on_download_file(span(S0 + 2, S0 + 3)); }, 1);
  EXPECT_TRUE(entries().value(0).endsWith("| 下载失败"));
  EXPECT_TRUE(listFiles(dir + "/missing").empty());
  EXPECT_TRUE(videoFiles().empty());
}
