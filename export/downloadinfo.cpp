#include "downloadinfo.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMutexLocker>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "globals.h"
#include "ui_downloadinfo.h"

namespace {

// Pixels a label takes when paging, and the content height grown per entry.
constexpr int kPageRow = 40;
constexpr int kContentRow = 50;
constexpr int kMinContentHeight = 800;

const char kEntryStyle[] =
    "QLabel { min-width: 700px;min-height: 40px;max-height: 40px;"
    "background-color: rgb(180, 216, 200); border:1px solid gray;border-radius: 6px;}";

QString systemDirectoryChooser(QWidget *parent, const QString &caption, const QString &startDir) {
  return QFileDialog::getExistingDirectory(parent, caption, startDir, QFileDialog::ShowDirsOnly);
}

}  // namespace

downloadInfo::DirectoryChooser downloadInfo::chooseDirectory = systemDirectoryChooser;

downloadInfo::downloadInfo(QWidget *parent) : QWidget(parent), ui(new Ui::downloadInfo) {
  ui->setupUi(this);
  setStyleSheet("background-color: rgb(160, 216, 200);");

  QString dir;
  {
    QMutexLocker lock(&playbackMutex);
    dir = downloadDir;
  }
  ui->lineEdit_dir->setText(dir);
  ui->lineEdit_dir->setCursorPosition(0);

  ui->scrollArea->setWidgetResizable(true);
  ui->scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ui->scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  entryLayout = new QVBoxLayout(ui->scrollAreaWidgetContents);
  entryLayout->setAlignment(Qt::AlignTop);

  connect(ui->scrollArea->verticalScrollBar(), SIGNAL(valueChanged(int)), this,
          SLOT(on_scrollBar_change(int)));

  refreshTimer = new QTimer(this);
  connect(refreshTimer, SIGNAL(timeout()), this, SLOT(on_timeoutMessage()));
  on_timeoutMessage();
  refreshTimer->start(kRefreshMs);
}

downloadInfo::~downloadInfo() { delete ui; }

// The first refresh runs in the constructor, before the scroll area has its
// real size, so it pages in no labels at all; page again once the window is
// shown and the viewport is measured, or a list opened over existing entries
// would stay blank until the user scrolls.
void downloadInfo::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  on_scrollBar_change(0);
}

QString downloadInfo::entryText(const QString &entry, const QString &path) {
  return QString(
             "<div style='font-size: 16pt;white-space: pre;margin-bottom: 4px;'>%1</div>"
             "<div style='font-size: 8pt;'>下载路径:%2</div>")
      .arg(entry, path);
}

void downloadInfo::on_pushButton_clicked() {
  const QString path = chooseDirectory(this, "选择下载目录", QDir::homePath());
  qDebug() << "downloadDir:" << path;
  if (path.isEmpty()) return;
  {
    // The download worker reads the directory under the mutex when it queues a span.
    QMutexLocker lock(&playbackMutex);
    downloadDir = path;
  }
  ui->lineEdit_dir->setText(path);
  ui->lineEdit_dir->setCursorPosition(0);
}

void downloadInfo::on_timeoutMessage() {
  QMutexLocker lock(&playbackMutex);
  entrySnapshot = downloadEntries;
  const int n = entrySnapshot.size();

  const int height = std::max(n * kContentRow, kMinContentHeight);
  if (ui->scrollAreaWidgetContents->height() != height)
    ui->scrollAreaWidgetContents->setFixedHeight(height);
  if (n < 1) return;

  for (int i = 0; i < n; ++i) {
    const QString &entry = entrySnapshot.at(i);
    // The worker appends an entry and its path together, but never trust
    // the two lists to be the same length.
    const QString path = i < downloadPaths.size() ? downloadPaths.at(i) : QString();
    if (i >= entryLabels.size()) {
      auto *label = new QLabel(this);
      label->setObjectName(entry);
      label->setText(entryText(entry, path));
      label->setAlignment(Qt::AlignLeft);
      label->setStyleSheet(kEntryStyle);
      label->hide();
      entryLabels.append(label);
      on_scrollBar_change(0);
    } else if (entryLabels.at(i)->objectName() != entry) {
      // Only the status of an entry ever changes, so the object name records
      // what the label shows and a label is rebuilt only when it differs.
      entryLabels.at(i)->setObjectName(entry);
      entryLabels.at(i)->setText(entryText(entry, path));
    }
  }
}

void downloadInfo::on_scrollBar_change(int) {
  const int v = ui->scrollArea->verticalScrollBar()->value();
  const int h = ui->scrollArea->viewport()->height();

  const int startIndex = v > kPageRow - 1 ? v / kPageRow : 0;
  const int endIndex = std::min((v + h) / kPageRow, int(entryLabels.size()));
  qDebug() << "startIndex:" << startIndex << " endIndex:" << endIndex;

  // Only the visible stretch stays in the layout; the labels themselves live on.
  while (QLayoutItem *item = entryLayout->takeAt(0)) delete item;
  for (int i = startIndex; i < endIndex; ++i) {
    entryLabels.at(i)->show();
    entryLayout->addWidget(entryLabels.at(i));
  }
}
