// The download list window: entries and statuses taken from the worker's
// list and followed within one refresh, the visible stretch paged into the
// layout, the directory choice, and the window opened from the main window.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "downloadinfo.h"
#include "globals.h"
#include "test.h"

class DownloadInfoAccess {
 public:
  static QList<QLabel *> &labels(downloadInfo &w) { return w.entryLabels; }
  static QVBoxLayout *layout(downloadInfo &w) { return w.entryLayout; }
};

namespace {

QString entry(int channel, const char *status) {
  return QString("20240105_123456-20240105_123958-channel%1.mp4           |%2")
      .arg(channel)
      .arg(QString::fromUtf8(status));
}

void setEntries(const QStringList &entries, const QStringList &paths) {
  QMutexLocker lock(&playbackMutex);
  downloadEntries = entries;
  downloadPaths = paths;
}

QList<QLabel *> laidOut(downloadInfo &w) {
  QList<QLabel *> out;
  QVBoxLayout *layout = DownloadInfoAccess::layout(w);
  for (int i = 0; i < layout->count(); ++i)
    out << qobject_cast<QLabel *>(layout->itemAt(i)->widget());
  return out;
}

QList<downloadInfo *> listWindows() {
  QList<downloadInfo *> out;
  for (QWidget *w : QApplication::topLevelWidgets())
    if (auto *d = qobject_cast<downloadInfo *>(w)) out << d;
  return out;
}

// Stand-in for the directory dialog: records how it was asked and answers
// with chosenDir.
QString chosenDir;
QString askedCaption;
QString askedStart;
QString fakeChooser(QWidget *, const QString &caption, const QString &start) {
  askedCaption = caption;
  askedStart = start;
  return chosenDir;
}

}  // namespace

class DownloadWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    setEntries({}, {});
    downloadInfo::chooseDirectory = fakeChooser;
  }

  void listShowsEntriesAndFollowsTheirStatus() {
    setEntries({entry(0, " 下载成功"), entry(1, " 下载中"), entry(0, " 等待下载")},
               {"/v/a", "/v/a", "/v/b"});
    downloadInfo w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.windowTitle(), QString("下载信息"));

    QList<QLabel *> &labels = DownloadInfoAccess::labels(w);
    QCOMPARE(labels.size(), 3);
    QCOMPARE(labels[1]->objectName(), entry(1, " 下载中"));
    QVERIFY(labels[1]->text().contains(">" + entry(1, " 下载中") + "<"));
    QVERIFY(labels[2]->text().contains("下载路径:/v/b"));
    QCOMPARE(laidOut(w), labels);
    auto *contents = w.findChild<QWidget *>("scrollAreaWidgetContents");
    QCOMPARE(contents->height(), 800);

    // The worker finishes entry 1, starts entry 2 and queues more spans:
    // one refresh later the labels follow, and unchanged labels stay as made.
    QLabel *first = labels[0];
    const QString firstText = first->text();
    QStringList entries{entry(0, " 下载成功"), entry(1, " 下载成功"), entry(0, " 下载中")};
    QStringList paths{"/v/a", "/v/a", "/v/b"};
    for (int i = 3; i < 20; ++i) {
      entries << entry(i % 2, " 等待下载");
      paths << "/v/c";
    }
    setEntries(entries, paths);
    QTRY_COMPARE_WITH_TIMEOUT(labels.size(), 20, downloadInfo::kRefreshMs + 500);
    QCOMPARE(labels[0], first);
    QCOMPARE(first->text(), firstText);
    QVERIFY(labels[1]->text().contains(entry(1, " 下载成功")));
    QVERIFY(labels[2]->text().contains(entry(0, " 下载中")));
    QCOMPARE(labels[19]->objectName(), entry(1, " 等待下载"));
    QCOMPARE(contents->height(), 1000);

    // Only the visible stretch is in the layout: rows of 40 pixels over the
    // viewport of about 550 pixels, from the scroll position on.
    auto *area = w.findChild<QScrollArea *>("scrollArea");
    QCOMPARE(laidOut(w), labels.mid(0, 13));
    area->verticalScrollBar()->setValue(120);
    QCOMPARE(laidOut(w), labels.mid(3, 13));
  }

  // The window opened from the main window's button, once at a time; the
  // directory chosen there reaches downloadDir but not the button's tool tip.
  void openedFromTheMainWindow() {
    auto main = std::make_unique<test>();
    main->show();
    auto *button = main->findChild<QPushButton *>("pushButton_downloadContent");
    const QString tip = button->toolTip();
    const QString startDir = downloadDir;

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(listWindows().size(), 1);
    QPointer<downloadInfo> firstWindow = listWindows().first();
    QVERIFY(firstWindow->isVisible());
    QCOMPARE(firstWindow->parentWidget(), nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(firstWindow.isNull());
    QCOMPARE(listWindows().size(), 1);
    downloadInfo *list = listWindows().first();

    auto *dirEdit = list->findChild<QLineEdit *>("lineEdit_dir");
    auto *change = list->findChild<QPushButton *>("pushButton");
    QCOMPARE(dirEdit->text(), startDir);

    chosenDir.clear();  // cancelled
    QTest::mouseClick(change, Qt::LeftButton);
    QCOMPARE(askedCaption, QString("选择下载目录"));
    QCOMPARE(askedStart, QDir::homePath());
    QCOMPARE(downloadDir, startDir);
    QCOMPARE(dirEdit->text(), startDir);

    chosenDir = "/tmp/elsewhere";
    QTest::mouseClick(change, Qt::LeftButton);
    QCOMPARE(downloadDir, chosenDir);
    QCOMPARE(dirEdit->text(), chosenDir);
    QCOMPARE(dirEdit->cursorPosition(), 0);
    QCOMPARE(button->toolTip(), tip);

    main.reset();
    QCOMPARE(listWindows().size(), 0);
  }
};

QTEST_MAIN(DownloadWindowTest)
#include "download_window_test.moc"
