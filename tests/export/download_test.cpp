// The download worker, the download list window and closing the main window
// during an export, on simulator cards: a span gives one entry per channel,
// a span queued before a change of card fails, entries can be cancelled and
// show their progress, the window shows texts as they are and refuses a
// destination inside the card.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMutexLocker>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "close_guard.h"
#include "download.h"
#include "downloadinfo.h"
#include "device.h"
#include "globals.h"
#include "qmx_export.h"
#include "qmx_storage.h"
#include "support.h"
#include "test.h"
#include "ui_downloadinfo.h"

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

class DownloadInfoAccess {
 public:
  static Ui::downloadInfo *ui(downloadInfo &w) { return w.ui; }
};

namespace {

// A card reader slow enough (2 ms a block) that an export of a few minutes
// of recording takes a second or two, so that it can be caught under way.
struct SlowReader {
  SlowReader() { plat_setReadDelay(2000); }
  ~SlowReader() { plat_setReadDelay(0); }
};

const int64_t T0 = 1764554400;  // 2025-12-01 10:00:00 in UTC+8

std::string rec(int channel, int64_t start, int64_t end) {
  return std::to_string(channel) + "," + std::to_string(start) + "," + std::to_string(end);
}
QString span(int64_t start, int64_t end) { return QString("%1-%2").arg(start).arg(end); }

QStringList entries() {
  QMutexLocker locker(&playbackMutex);
  return downloadEntries;
}

QString status(const QString &entry) { return entry.mid(entry.indexOf('|') + 1); }

bool settled(int expected) {
  QStringList e = entries();
  if (e.size() < expected) return false;
  for (const QString &s : e)
    if (status(s).startsWith(kDownloadWaiting) || status(s).startsWith(kDownloadRunning))
      return false;
  return true;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir("download");
    QMutexLocker locker(&playbackMutex);
    downloadEntries.clear();
    downloadPaths.clear();
    downloadDir = QString::fromStdString(dir + "/Video");
  }
  void TearDown() override { removeTree(dir); }

  // Writes a card with cardsim and opens it as the window would.
  void useCard(const std::string &layout, std::vector<std::string> args, int channels) {
    std::string path = dir + (layout == "raw" ? "/card.img" : "/card");
    args.insert(args.begin(), {"--layout", layout, "--size", "64x48", "--channels",
                               std::to_string(channels)});
    ASSERT_TRUE(makeSimCard(args, path));
    int l = layout == "raw" ? 1 : 2;
    ASSERT_TRUE(openSimCard(path, l));
    QMutexLocker locker(&playbackMutex);
    storageV = l;
    channelNum = channels;
    videoType = l == 1 ? qmx_storage_getVideoType() : 0;
    openCardPath = QString::fromStdString(path);
    cardGeneration++;
  }

  // Runs the export loop on this thread until expected entries have
  // settled; atStart runs in the loop's first pause, each runs every 1 ms
  // (during an export: at each of its turns).
  void runLoop(download &worker, const std::function<void()> &atStart, int expected,
               const std::function<void()> &each = nullptr) {
    QTimer::singleShot(0, atStart);
    QTimer poll;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&poll, &QTimer::timeout, [&]() {
      if (each) each();
      if (settled(expected) || waited.elapsed() > 60000) worker.requestStop();
    });
    poll.start(1);
    worker.on_download_start();
  }

  std::vector<std::string> files() { return listFiles(dir + "/Video"); }

  std::string dir;
};

// Four channels, one of them without a recording in the span: three files
// under their real names and a failed entry that says why.
TEST_F(DownloadTest, FourChannelSpanGivesFourEntries) {
  useCard("raw", {"--codec", "h264", "--record", rec(0, T0, T0 + 6), "--record",
                  rec(1, T0, T0 + 6), "--record", rec(3, T0, T0 + 6)},
          4);
  download worker;
  runLoop(worker, [&]() { worker.on_download_file(span(T0, T0 + 6)); }, 4);
  QStringList e = entries();
  ASSERT_EQ(e.size(), 4);
  for (int c : {0, 1, 3}) {
    QString name = QString("20251201_100000-20251201_100005-channel%1.mp4").arg(c);
    EXPECT_EQ(e[c], name + "           |" + kDownloadDone);
    Mp4 m = readMp4(dir + "/Video/" + name.toStdString());
    EXPECT_GT(m.video.packets.size(), 60u) << c;
  }
  EXPECT_EQ(status(e[2]), QString(kDownloadFailed) + ": 该通道在此时段没有录像");
  EXPECT_EQ(files().size(), 9u);  // three files, each with its checksum and report
}

// A span belongs to the card it was queued on; the export learns the codec
// from the card and leaves the panes' codec alone.
TEST_F(DownloadTest, SpanQueuedBeforeACardChangeFails) {
  useCard("file", {"--codec", "h264", "--record", rec(0, T0, T0 + 4)}, 1);
  videoType = 0;
  download worker;
  runLoop(worker,
          [&]() {
            worker.on_download_file(span(T0, T0 + 4));
            cardGeneration++;
            worker.on_download_file(span(T0, T0 + 4));
          },
          2);
  QStringList e = entries();
  ASSERT_EQ(e.size(), 2);
  EXPECT_TRUE(status(e[0]).startsWith(QString(kDownloadFailed) + ": 磁盘已更换")) << e[0].toStdString();
  EXPECT_EQ(status(e[1]), kDownloadDone);
  EXPECT_EQ(videoType, 0);
  EXPECT_EQ(readMp4(dir + "/Video/" + e[1].section(' ', 0, 0).toStdString()).video.codecId, 27);
}

// Cancelled through the list window after the progress has moved: no file
// at all remains.
TEST_F(DownloadTest, CancelMidwayLeavesNoFile) {
  useCard("raw", {"--codec", "h264", "--fps", "25", "--record", rec(0, T0, T0 + 240)}, 1);
  SlowReader slow;  // the export is still under way when looked at
  downloadInfo window;
  QListWidget *list = DownloadInfoAccess::ui(window)->listWidget_entries;
  QStringList progress;
  bool clicked = false;
  download worker;
  runLoop(worker, [&]() { worker.on_download_file(span(T0, T0 + 240)); }, 1, [&]() {
    QString s = status(entries().value(0));
    if (!s.startsWith(QString(kDownloadRunning) + " ") || clicked) return;
    progress.append(s);
    QMetaObject::invokeMethod(&window, "on_timeoutMessage");
    list->setCurrentRow(0);
    DownloadInfoAccess::ui(window)->pushButton_cancel->click();
    clicked = true;
  });
  ASSERT_TRUE(clicked) << "the export never showed its progress";
  EXPECT_TRUE(progress.first().endsWith("%")) << progress.first().toStdString();
  EXPECT_EQ(status(entries().value(0)), kDownloadCancelled);
  EXPECT_TRUE(files().empty());
}

// Entries and directories show as they are (no markup), whole, and the
// directory chooser refuses the card.
TEST_F(DownloadTest, ListWindowShowsTextsAsTheyAre) {
  useCard("file", {"--record", rec(0, T0, T0 + 2)}, 1);
  const QString odd = QString::fromStdString(dir) + "/<b>a&amp;b</b>";
  const QString longStatus = QString(kDownloadFailed) + ": " + QString("磁盘已满 ").repeated(30);
  {
    QMutexLocker locker(&playbackMutex);
    downloadEntries = QStringList() << "x.mp4           |" + longStatus;
    downloadPaths = QStringList() << odd;
  }
  static QString chosen;
  downloadInfo::chooseDirectory = [](QWidget *, const QString &, const QString &) { return chosen; };
  downloadInfo window;
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  Ui::downloadInfo *ui = DownloadInfoAccess::ui(window);
  QListWidgetItem *item = ui->listWidget_entries->item(0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text().remove(QChar(0x200B)), "x.mp4           |" + longStatus + "\n下载路径:" + odd);
  QRect shown = ui->listWidget_entries->visualItemRect(item);
  QRect needed = ui->listWidget_entries->fontMetrics().boundingRect(
      QRect(0, 0, shown.width() - 12, 100000), Qt::TextWordWrap, item->text());
  EXPECT_GE(shown.height(), needed.height());

  chosen = openCardPath + "/storage";
  ui->pushButton->click();
  EXPECT_TRUE(ui->label_message->isVisible());
  EXPECT_EQ(downloadDir, QString::fromStdString(dir + "/Video"));
  chosen = odd;
  ui->pushButton->click();
  EXPECT_FALSE(ui->label_message->isVisible());
  EXPECT_EQ(downloadDir, odd);
  EXPECT_EQ(ui->label_dirPath->toolTip(), odd);
  EXPECT_EQ(ui->label_dirPath->text().remove(QChar(0x200B)), odd);
  ui->comboBox_timing->setCurrentIndex(1);
  EXPECT_EQ(download::timing(), QMX_EXPORT_TIMING_NOMINAL);
  ui->comboBox_timing->setCurrentIndex(0);
  EXPECT_EQ(download::timing(), QMX_EXPORT_TIMING_CARD);
}

// Closing the main window during an export asks; "wait" closes it when the
// export is done, "cancel" ends it within a second, without a file.
TEST_F(DownloadTest, ClosingDuringAnExportAsks) {
  useCard("raw", {"--codec", "h264", "--fps", "25", "--record", rec(0, T0, T0 + 240)}, 1);
  SlowReader slow;  // the export is still under way when the window closes
  for (exportCloseGuard::Choice choice : {exportCloseGuard::Wait, exportCloseGuard::Cancel}) {
    static exportCloseGuard::Choice answer;
    static int asked;
    answer = choice;
    asked = 0;
    exportCloseGuard::ask = [](QWidget *) {
      asked++;
      return answer;
    };
    auto window = std::make_unique<test>();
    window->show();
    {
      QMutexLocker locker(&playbackMutex);
      downloadDir = QString::fromStdString(dir + "/Video");  // the window sets its own
    }
    QMetaObject::invokeMethod(window.get(), "sigDownloadFile", Q_ARG(QString, span(T0, T0 + 240)));
    QTRY_VERIFY_WITH_TIMEOUT(status(entries().value(entries().size() - 1)).startsWith(kDownloadRunning), 10000);
    QElapsedTimer took;
    took.start();
    window->close();
    EXPECT_EQ(asked, 1);
    if (choice == exportCloseGuard::Wait) {
      EXPECT_TRUE(window->isVisible());
      QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 60000);
      EXPECT_EQ(status(entries().last()), kDownloadDone);
    } else {
      window.reset();
      EXPECT_LT(took.elapsed(), 1000);
      EXPECT_EQ(status(entries().last()), kDownloadCancelled);
    }
  }
  EXPECT_EQ(files().size(), 3u);  // the file of the wait, with its checksum and report
}

}  // namespace

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
