#include "downloadinfo.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QListWidgetItem>
#include <QMutexLocker>
#include <QTimer>
#include <QUrl>

#include "download.h"
#include "globals.h"
#include "qmx_export.h"
#include "ui_downloadinfo.h"

namespace {

QString systemDirectoryChooser(QWidget *parent, const QString &caption, const QString &startDir) {
  return QFileDialog::getExistingDirectory(parent, caption, startDir, QFileDialog::ShowDirsOnly);
}

void systemFolderOpener(const QString &dir) { QDesktopServices::openUrl(QUrl::fromLocalFile(dir)); }

// An item shows the entry and, below it, its directory, as plain text: a
// directory named with '<' or '&' shows as it is.
QString itemText(const QString &entry, const QString &path) {
  return entry + "\n下载路径:" + path;
}

QString statusOf(const QString &entry) { return entry.mid(entry.indexOf('|') + 1); }

}  // namespace

downloadInfo::DirectoryChooser downloadInfo::chooseDirectory = systemDirectoryChooser;
downloadInfo::FolderOpener downloadInfo::openFolder = systemFolderOpener;

downloadInfo::downloadInfo(QWidget *parent) : QWidget(parent), ui(new Ui::downloadInfo) {
  ui->setupUi(this);
  setStyleSheet("background-color: rgb(160, 216, 200);");

  QString dir;
  {
    QMutexLocker lock(&playbackMutex);
    dir = downloadDir;
  }
  ui->label_dirPath->setText(dir);
  ui->label_message->hide();
  ui->comboBox_timing->setCurrentIndex(download::timing() == QMX_EXPORT_TIMING_NOMINAL ? 1 : 0);
  connect(ui->listWidget_entries, &QListWidget::itemSelectionChanged, this,
          &downloadInfo::updateButtons);

  refreshTimer = new QTimer(this);
  connect(refreshTimer, SIGNAL(timeout()), this, SLOT(on_timeoutMessage()));
  on_timeoutMessage();
  refreshTimer->start(kRefreshMs);
}

downloadInfo::~downloadInfo() { delete ui; }

void downloadInfo::on_pushButton_clicked() {
  const QString path = chooseDirectory(this, "选择下载目录", QDir::homePath());
  qDebug() << "downloadDir:" << path;
  if (path.isEmpty()) return;
  QString card;
  {
    QMutexLocker lock(&playbackMutex);
    card = openCardPath;
  }
  // The card is evidence and is never written: no export may go into it.
  if (qmx_export_insideCard(path.toLocal8Bit().constData(), card.toLocal8Bit().constData())) {
    ui->label_message->setText("所选目录在卡内: 卡不可写入, 请选择卡以外的目录 (" + path + ")");
    ui->label_message->show();
    return;
  }
  ui->label_message->hide();
  {
    // The download worker reads the directory under the mutex when it queues a span.
    QMutexLocker lock(&playbackMutex);
    downloadDir = path;
  }
  ui->label_dirPath->setText(path);
}

void downloadInfo::on_comboBox_timing_currentIndexChanged(int index) {
  download::setTiming(index == 1 ? QMX_EXPORT_TIMING_NOMINAL : QMX_EXPORT_TIMING_CARD);
}

void downloadInfo::on_pushButton_cancel_clicked() {
  const int row = ui->listWidget_entries->currentRow();
  if (row < 0) return;
  download::cancelEntry(row);
  on_timeoutMessage();
}

void downloadInfo::on_pushButton_openFolder_clicked() {
  const int row = ui->listWidget_entries->currentRow();
  if (row < 0 || row >= pathSnapshot.size()) return;
  openFolder(pathSnapshot.at(row));
}

void downloadInfo::updateButtons() {
  const int row = ui->listWidget_entries->currentRow();
  const QString status = row >= 0 && row < entrySnapshot.size() ? statusOf(entrySnapshot.at(row))
                                                                 : QString();
  ui->pushButton_cancel->setEnabled(status.startsWith(kDownloadWaiting) ||
                                    status.startsWith(kDownloadRunning));
  ui->pushButton_openFolder->setEnabled(row >= 0);
}

void downloadInfo::on_timeoutMessage() {
  {
    QMutexLocker lock(&playbackMutex);
    entrySnapshot = downloadEntries;
    pathSnapshot = downloadPaths;
  }
  QListWidget *list = ui->listWidget_entries;
  for (int i = 0; i < entrySnapshot.size(); ++i) {
    // The worker appends an entry and its path together, but never trust
    // the two lists to be the same length.
    const QString text =
        itemText(entrySnapshot.at(i), i < pathSnapshot.size() ? pathSnapshot.at(i) : QString());
    if (i >= list->count()) {
      list->addItem(text);
    } else if (list->item(i)->text() != text) {
      list->item(i)->setText(text);
    }
  }
  updateButtons();
}
