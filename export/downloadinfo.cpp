#include "downloadinfo.h"

#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QApplication>
#include <QFileDialog>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>
#include <QLabel>
#include <QListWidgetItem>
#include <QMutexLocker>
#include <QTimer>
#include <QUrl>

#include "download.h"
#include "globals.h"
#include "qmx_export.h"
#include "ui_downloadinfo.h"

namespace {

// Qt's own chooser rather than the desktop's: it speaks the window's
// language (Qt's translations), where the desktop's would speak the
// system's.
QString systemDirectoryChooser(QWidget *parent, const QString &caption, const QString &startDir) {
  return QFileDialog::getExistingDirectory(parent, caption, startDir,
                                           QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}

void systemFolderOpener(const QString &dir) { QDesktopServices::openUrl(QUrl::fromLocalFile(dir)); }

// A path that may wrap after any '/', so that a long one with no blanks is
// never cut off (the break is a zero-width space, not shown).
QString wrappable(const QString &path) {
  QString text = path;
  return text.replace('/', QString("/") + QChar(0x200B));
}

// An item shows the entry and, below it, its directory, as plain text: a
// directory named with '<' or '&' shows as it is.
QString itemText(const QString &entry, const QString &path) {
  return entry + "\n" + downloadInfo::tr("下载路径:%1").arg(wrappable(path));
}

// The directory line may wrap after any '/', so that a long path with no
// blanks is never cut off; the tooltip keeps it as it is.
void showDirectory(QLabel *label, const QString &dir) {
  label->setText(wrappable(dir));
  label->setToolTip(dir);
}

// Draws an entry wrapped at word boundaries, or anywhere inside a word too
// long for the row, and asks for the height that takes: no text is ever
// elided, whatever the font and the window's width.
class WrappingDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  static constexpr int kPad = 6;

  // Word boundaries (a path breaks after its slashes), unless a word is
  // wider than the row: then anywhere.
  static int flagsFor(const QFontMetrics &fm, int width, const QString &text) {
    const int words = Qt::TextWordWrap | Qt::AlignLeft;
    if (fm.boundingRect(QRect(0, 0, width, 1 << 20), words, text).width() <= width) return words;
    return words | Qt::TextWrapAnywhere;
  }

  void paint(QPainter *painter, const QStyleOptionViewItem &option,
             const QModelIndex &index) const override {
    QStyleOptionViewItem o = option;
    initStyleOption(&o, index);
    const QString text = o.text;
    o.text.clear();
    QStyle *style = o.widget ? o.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &o, painter, o.widget);
    painter->save();
    painter->setPen(o.palette.color(o.state & QStyle::State_Selected ? QPalette::HighlightedText
                                                                     : QPalette::Text));
    const QRect r = o.rect.adjusted(kPad, kPad / 2, -kPad, -kPad / 2);
    painter->drawText(r, flagsFor(o.fontMetrics, r.width(), text), text);
    painter->restore();
  }
  QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
    QStyleOptionViewItem o = option;
    initStyleOption(&o, index);
    const QAbstractItemView *view = qobject_cast<const QAbstractItemView *>(o.widget);
    const int width = (view ? view->viewport()->width() : o.rect.width()) - 2 * kPad;
    const int w = std::max(width, 40);
    const QRect r = o.fontMetrics.boundingRect(QRect(0, 0, w, 1 << 20),
                                               flagsFor(o.fontMetrics, w, o.text), o.text);
    return QSize(width, r.height() + kPad);
  }
};

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
  showDirectory(ui->label_dirPath, dir);
  ui->label_message->hide();
  ui->listWidget_entries->setItemDelegate(new WrappingDelegate(ui->listWidget_entries));
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
  const QString path = chooseDirectory(this, tr("选择下载目录"), QDir::homePath());
  qDebug() << "downloadDir:" << path;
  if (path.isEmpty()) return;
  QString card;
  {
    QMutexLocker lock(&playbackMutex);
    card = openCardPath;
  }
  // The card is evidence and is never written: no export may go into it.
  if (qmx_export_insideCard(path.toLocal8Bit().constData(), card.toLocal8Bit().constData())) {
    ui->label_message->setText(tr("所选目录在卡内: 卡不可写入, 请选择卡以外的目录 (%1)").arg(path));
    ui->label_message->show();
    return;
  }
  ui->label_message->hide();
  {
    // The download worker reads the directory under the mutex when it queues a span.
    QMutexLocker lock(&playbackMutex);
    downloadDir = path;
  }
  showDirectory(ui->label_dirPath, path);
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
  ui->pushButton_cancel->setEnabled(status.startsWith(download::tr(kDownloadWaiting)) ||
                                    status.startsWith(download::tr(kDownloadRunning)));
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
