#include "test.h"

#include <QAction>
#include <QApplication>
#include <QAbstractItemView>
#include <QAudioDeviceInfo>
#include <QBrush>
#include <QCalendarWidget>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSpacerItem>
#include <QStyle>
#include <QTextCharFormat>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio_output.h"
#include "card_worker.h"
#include "demuxer.h"
#include "demuxer_2.h"
#include "device.h"
#include "disk_chooser.h"
#include "fragment_list.h"
#include "notice.h"
#include "download.h"
#include "close_guard.h"
#include "downloadinfo.h"
#include "globals.h"
#include "handover.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"
#include "play_position.h"
#include "shortcuts.h"
#include "silent_aac.h"
#include "ui_test.h"

namespace {

const char kSliderStyle[] =
    "QSlider::groove:horizontal { height: 8px; background: rgb(192, 192, 192);"
    " border-radius: 4px; border: none; }"
    "QSlider::sub-page:horizontal { background: rgb(29, 170, 200);"
    " border: 2px solid rgb(29, 170, 200); border-radius: 4px; }"
    "QSlider::add-page:horizontal { background: rgb(192, 192, 192); border-radius: 4px; }"
    "QSlider::handle:horizontal { width: 20px; height: 20px; margin-top: -6px;"
    " margin-bottom: -6px; border-radius: 10px; background: rgb(29, 170, 200); }"
    "QSlider::handle:horizontal:hover { background: rgb(184, 0, 0);"
    " border: 1px solid rgb(184, 18, 18); }";

}  // namespace

test::test(QWidget *parent, bool verbose) : QWidget(parent) {
  ui = new Ui::test;
  ui->setupUi(this);

  setWindowIcon(QIcon(":/videoPlayer.ico"));
  setWindowTitle(tr("视频播放器"));
  showMaximized();
  panes = new VideoPanes(this, {ui->label_video_1, ui->label_video_2, ui->label_video_3,
                                ui->label_video_4});

  QFont labelFont = font();
  labelFont.setPixelSize(13);
  for (QLabel *label : findChildren<QLabel *>()) label->setFont(labelFont);

  ui->calendarWidget->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
  QTextCharFormat weekend;
  weekend.setForeground(QBrush(Qt::black));
  ui->calendarWidget->setWeekdayTextFormat(Qt::Saturday, weekend);
  ui->calendarWidget->setWeekdayTextFormat(Qt::Sunday, weekend);

  fragmentList = new FragmentList(ui->scrollArea, this, SLOT(on_playbutton_clicked()));
  diskChooser = new DiskChooser(ui->comboBox_disk);
  notice = new Notice(this);

  ui->pushButton_play->setIcon(style()->standardPixmap(QStyle::SP_MediaPlay));
  ui->pushButton_play->setIconSize(QSize(25, 25));
  ui->pushButton_last->setIcon(style()->standardPixmap(QStyle::SP_MediaSkipBackward));
  ui->pushButton_next->setIcon(style()->standardPixmap(QStyle::SP_MediaSkipForward));

  ui->horizontalSlider->setStyleSheet(kSliderStyle);

  ui->horizontalSlider->installEventFilter(this);
  ui->comboBox_audioDevice->installEventFilter(this);
  ui->comboBox_disk->installEventFilter(this);

  downloadDir = QCoreApplication::applicationDirPath() + "/Video";
  ui->pushButton_downloadContent->setToolTip(tr("当前下载路径: %1").arg(downloadDir));

  ui->scrollArea->setWidgetResizable(true);
  ui->scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ui->scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  initSdl2();
  audio = new AudioOutput(this);
  audio->openDefault();
  installShortcuts(this);
  videoPlayerInit();
  startCardThread(verbose);
}

test::~test() {
  // No scan is asked for once the watch has stopped; the card thread ends
  // after what it is doing.
  plat_watchStop();
  if (cardThread) {
    cardThread->quit();
    cardThread->wait();
  }
  // Answers still queued to the window find no card thread and are dropped.
  delete cardWorker;
  cardWorker = nullptr;
  stopWorkers();
  // The list window has no parent, so it would outlive the window otherwise.
  delete downloadWindow;
  delete diskChooser;
  // SDL lets go of the panes' native windows while they still exist.
  delete panes;
  delete ui;
}

void test::closeEvent(QCloseEvent *event) { exportCloseGuard::allowClose(this, event); }

bool test::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
    if (watched == ui->comboBox_disk) {
      findDiskDevice();
    } else if (watched == ui->comboBox_audioDevice) {
      findAudioDevice();
    } else if (watched == ui->horizontalSlider) {
      // A click on the groove jumps there; the slider's own press handling
      // follows.
      QSlider *slider = ui->horizontalSlider;
      const int x = qRound(static_cast<QMouseEvent *>(event)->localPos().x());
      slider->setValue(QStyle::sliderValueFromPosition(slider->minimum(), slider->maximum(), x,
                                                       slider->width(), false));
    }
  }
  return QWidget::eventFilter(watched, event);
}

// Ends the worker loops and their threads, then hands the window the
// pictures and PCM blocks still queued to it so that each copy is released.
// The threads are children of the window and must not be running when it
// deletes them.
void test::stopWorkers() {
  if (sliderTimer) sliderTimer->stop();
  for (DemuxerBase *worker : paneWorkers)
    if (worker) worker->requestStop();
  if (downloadWorker) downloadWorker->requestStop();
  for (QThread *thread : paneThreads)
    if (thread) thread->quit(), thread->wait();
  if (downloadThread) downloadThread->quit(), downloadThread->wait();
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
  for (DemuxerBase *&worker : paneWorkers) delete worker, worker = nullptr;
  delete downloadWorker;
  downloadWorker = nullptr;
}

// ---------------------------------------------------------------------------
// Video and audio output set-up

void test::initSdl2() { panes->setUpSdl(); }

void test::updateVideo_1(AVFrame *pFrameYUV, int mWidth, int mHeight) {
  drawPicture(0, pFrameYUV, mWidth, mHeight);
}

void test::updateVideo_2(AVFrame *pFrameYUV, int mWidth, int mHeight) {
  drawPicture(1, pFrameYUV, mWidth, mHeight);
}

// The pane keeps the picture (for redrawing and stills) and draws it; while
// paused (frame steps) the frame-step label follows the leading pane's
// picture once it is on the screen.
void test::drawPicture(int pane, AVFrame *picture, int, int) {
  const bool leading = picture && picture->pts == currentVideoTime;
  panes->show(pane, picture);
  if (frameTimeLabel && playState == 0 && leading) showFrameTime();
}

void test::playPCM(const char *data, int length) {
  audio->write(data, length);
  qmx_player_releasePcm(data);
}

int test::findAudioDevice() {
  QComboBox *combo = ui->comboBox_audioDevice;
  combo->blockSignals(true);
  const QString remembered = combo->currentText();
  combo->clear();
  for (const QAudioDeviceInfo &info : QAudioDeviceInfo::availableDevices(QAudio::AudioOutput)) {
    qDebug() << info.deviceName();
    combo->addItem(info.deviceName());
  }
  combo->setCurrentIndex(-1);
  if (!remembered.isEmpty()) {
    const int i = combo->findText(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (i >= 0) combo->setCurrentIndex(i);
  }
  int longest = 0;
  for (int i = 0; i < combo->count(); i++) longest = std::max(longest, combo->itemText(i).size());
  const int wanted = longest * 10;
  combo->view()->setFixedWidth(wanted > combo->width() - 1 ? wanted : combo->width());
  combo->blockSignals(false);
  emit combo->currentTextChanged(combo->currentText());
  return 1;
}

// Until a device is chosen here the system's default one plays.
void test::on_comboBox_audioDevice_currentTextChanged(QString) {
  qDebug() << "on_comboBox_audioDevice_currentTextChanged";
  audio->open(ui->comboBox_audioDevice->currentText());
}

void test::on_pushButton_mute_toggled(bool on) { audio->setMuted(on); }

void test::toggleMute() { ui->pushButton_mute->toggle(); }

// ---------------------------------------------------------------------------
// Start-up of the libraries, the speed menu and the timers

void test::videoPlayerInit() {
  qmx_storage_init();
  qmx_storage_v2_init();
  generateSilentAac();

  speedMenu = new QMenu(this);
  const struct {
    const char *text;
    int speed;
  } speeds[] = {{"0.1x", 1}, {"0.5x", 5}, {"1.0x", 10}, {"1.5x", 15}, {"2.0x", 20}, {"4.0x", 40}};
  for (const auto &s : speeds) speedMenu->addAction(s.text)->setData(s.speed);
  ui->pushButton_speed->setMenu(speedMenu);
  connect(speedMenu, &QMenu::triggered, this, [this](QAction *action) {
    const double value = action->data().toDouble();
    qDebug() << "Playback speed:aaa" << value << "x";
    ui->pushButton_speed->setText(action->text());
    playSpeed = static_cast<int>(value);
  });
  speedMenu->actions().at(2)->activate(QAction::Trigger);

  connect(ui->scrollArea->verticalScrollBar(), &QScrollBar::valueChanged, this,
          &test::on_scrollBar_change);

  qmx_player_registerMetaTypes();

  startWorker(0);
  startWorker(1);

  downloadWorker = new download;
  downloadThread = new QThread(this);
  downloadWorker->moveToThread(downloadThread);
  downloadThread->start();
  connect(this, &test::sigDownloadFile, downloadWorker, &download::on_download_file,
          Qt::QueuedConnection);
  connect(this, &test::sigThreadStart, downloadWorker, &download::on_download_start,
          Qt::QueuedConnection);

  emit sigThreadStart();

  frameTimeLabel = new QLabel(this);
  frameTimeLabel->setAlignment(Qt::AlignCenter);
  frameTimeLabel->setStyleSheet("background: transparent; color: blue; border-radius: 5px; font-size: 15pt;");

  sliderTimer = new QTimer(this);
  connect(sliderTimer, &QTimer::timeout, this, &test::on_updateSliderPosition);
  sliderTimer->start(200);
}

// The playback worker of a pane on a thread of its own. Panes 1 and 2 start
// with the other workers; panes 3 and 4 when a card first needs them.
void test::startWorker(int pane) {
  if (paneWorkers[pane]) return;
  DemuxerBase *worker = pane == 0 ? new demuxer : pane == 1 ? new demuxer_2 : new DemuxerBase(pane);
  auto *thread = new QThread(this);
  worker->moveToThread(thread);
  thread->start();
  if (pane == 0)
    connect(worker, &DemuxerBase::sigGetVedioFrame, this, &test::updateVideo_1, Qt::QueuedConnection);
  else if (pane == 1)
    connect(worker, &DemuxerBase::sigGetVedioFrame, this, &test::updateVideo_2, Qt::QueuedConnection);
  else
    connect(worker, &DemuxerBase::sigGetVedioFrame, this,
            [this, pane](AVFrame *f, int w, int h) { drawPicture(pane, f, w, h); },
            Qt::QueuedConnection);
  connect(worker, &DemuxerBase::sigGetAudioFrame, this, &test::playPCM, Qt::QueuedConnection);
  connect(this, &test::sigPlayNextFrame, worker, &DemuxerBase::on_demuxer_nextFrame,
          Qt::QueuedConnection);
  connect(this, &test::sigPlayPrevFrame, worker, &DemuxerBase::on_demuxer_prevFrame,
          Qt::QueuedConnection);
  if (sliderTimer)  // sigThreadStart has gone out already
    QMetaObject::invokeMethod(worker, "on_demuxer_start", Qt::QueuedConnection);
  else
    connect(this, &test::sigThreadStart, worker, &DemuxerBase::on_demuxer_start,
            Qt::QueuedConnection);
  paneWorkers[pane] = worker;
  paneThreads[pane] = thread;
}

// The panes a card of `channels` channels shows, each with its worker.
void test::showPanes(int channels) {
  for (int i = 0; i < qmx_panes_forChannels(channels); i++) startWorker(i);
  panes->setChannels(channels);
  panes->clear();
}

// ---------------------------------------------------------------------------
// Disk list and opening

void test::startCardThread(bool verbose) {
  qRegisterMetaType<CardEntry>();
  qRegisterMetaType<OpenResult>();
  qRegisterMetaType<QVector<CardEntry>>();
  qRegisterMetaType<QVector<FragmentEntry>>();
  qRegisterMetaType<uint32_t>("uint32_t");
  cardWorker = new CardWorker(verbose);
  cardThread = new QThread(this);
  cardWorker->moveToThread(cardThread);
  connect(cardWorker, &CardWorker::scanned, this, &test::onCardsScanned);
  connect(cardWorker, &CardWorker::opened, this, &test::onCardOpened);
  connect(cardWorker, &CardWorker::monthReady, this, &test::onMonthReady);
  connect(cardWorker, &CardWorker::dayReady, this, &test::onDayReady);
  cardThread->start();
  // Cards that come and go are offered or taken away without a press.
  plat_watchStart([](void *worker) { static_cast<CardWorker *>(worker)->requestScan(); }, cardWorker);
  findDiskDevice();
}

// Asks the card thread for the cards on offer; the chooser follows when the
// answer comes (an open drop-down updates in place).
int test::findDiskDevice() {
  if (!scanWaited) setBusy(+1);
  scanWaited = true;
  cardWorker->requestScan(++scanSerial);
  return 1;
}

void test::onCardsScanned(QVector<CardEntry> cards, int serial) {
  if (!cardWorker) return;  // the window is closing
  if (scanWaited && serial >= scanSerial) {
    scanWaited = false;
    setBusy(-1);
  }
  const bool gone = openKey != kNoCard &&
                    std::none_of(cards.begin(), cards.end(), [this](const CardEntry &c) { return c.key() == openKey; });
  if (gone) {
    // The open card was taken out: nothing may read it any more.
    const bool wasPlaying = playState == 1;
    openKey = kNoCard;
    QMetaObject::invokeMethod(cardWorker, "close", Qt::QueuedConnection);
    showNotice(wasPlaying ? tr("存储卡已移除，播放已停止。") : tr("存储卡已移除。"));
  }
  // A card opened through another entry (one that needed the right to be
  // read) is chosen under its own.
  diskChooser->offer(cards, openKey);
}

void test::on_comboBox_disk_currentTextChanged(QString) {
  qCDebug(lcCard) << "on_comboBox_disk_currentTextChanged";
  on_calendarWidget_currentPageChanged(ui->calendarWidget->yearShown(), ui->calendarWidget->monthShown());
}

// Opening runs on the card thread, which stops every pane's handle and
// changes the card under playbackMutex; the window waits for the answer.
void test::openDisk(const CardEntry &entry) {
  pendingKey = entry.key();
  playState = 0;
  setBusy(+1);
  QMetaObject::invokeMethod(cardWorker, "open", Qt::QueuedConnection, Q_ARG(CardEntry, entry),
                            Q_ARG(int, ++openSerial));
}

void test::onCardOpened(OpenResult result, int serial) {
  if (!cardWorker) return;  // the window is closing
  setBusy(-1);
  if (serial != openSerial) return;
  const uint64_t openKeyAsked = pendingKey;
  pendingKey = kNoCard;
  if (!result.ok) {
    openKey = kNoCard;
    forgetMarksAndList();
    diskChooser->clearChoice();
    showNotice(result.message);
    return;
  }
  if (result.entry.key() != openKeyAsked) findDiskDevice();  // it is offered under a name of its own now
  openKey = result.entry.key();
  openLayout = result.entry.layout;
  openChannels = result.channels;
  // The marks belonged to the card shown before.
  ui->calendarWidget->setDateTextFormat(QDate(), QTextCharFormat());
  showPanes(result.channels);
  queryMonth(ui->calendarWidget->yearShown(), ui->calendarWidget->monthShown());
}

void test::showNotice(const QString &text) { notice->say(text); }

void test::setBusy(int change) {
  busy += change;
  if (busy > 0) {
    setCursor(Qt::BusyCursor);
    ui->label_2->setText(tr("读取中…"));
  } else {
    unsetCursor();
    ui->label_2->setText(tr("选择磁盘:"));
  }
}

void test::on_calendarWidget_currentPageChanged(int year, int month) {
  qCDebug(lcCard) << "year:" << year << "  month:" << month;
  const CardEntry *chosen = diskChooser->chosen();
  if (!chosen) return;
  if (chosen->key() == pendingKey) return;  // its month is asked once it is open
  if (chosen->key() != openKey) {
    openDisk(*chosen);
    return;
  }
  queryMonth(year, month);
}

// ---------------------------------------------------------------------------
// Calendar marks and the fragment list

void test::queryMonth(int year, int month) {
  setBusy(+1);
  QMetaObject::invokeMethod(cardWorker, "queryMonth", Qt::QueuedConnection, Q_ARG(int, openLayout),
                            Q_ARG(int, openChannels), Q_ARG(int, year), Q_ARG(int, month),
                            Q_ARG(int, ++monthSerial));
}

void test::onMonthReady(int year, int month, uint32_t mask, int serial) {
  if (!cardWorker) return;  // the window is closing
  setBusy(-1);
  if (serial != monthSerial || openKey == kNoCard) return;
  markMonth(year, month, mask);
  emit ui->calendarWidget->selectionChanged();
}

// Draws the days of the month whose bit is set in red; bits of days the
// month does not have are ignored.
void test::markMonth(int year, int month, uint32_t mask) {
  for (int d = 0; d <= 30; d++) {
    if (!(mask & (1u << d))) continue;
    const QDate date(year, month, d + 1);
    if (!date.isValid()) continue;
    QTextCharFormat marked;
    marked.setForeground(QBrush(Qt::red));
    ui->calendarWidget->setDateTextFormat(date, marked);
  }
}

void test::forgetMarksAndList() {
  ui->calendarWidget->setDateTextFormat(QDate(), QTextCharFormat());
  fragmentList->clear();
  daySerial++;  // a day list on its way belongs to what was forgotten
}

void test::on_calendarWidget_selectionChanged() {
  if (!diskChooser->chosen() || openKey == kNoCard) return;
  fragmentList->clear();
  const QDate date = ui->calendarWidget->selectedDate();
  qCDebug(lcCard) << "day:" << date.toString(Qt::TextDate);
  setBusy(+1);
  QMetaObject::invokeMethod(cardWorker, "queryDay", Qt::QueuedConnection, Q_ARG(int, openLayout),
                            Q_ARG(int, openChannels), Q_ARG(QDate, date), Q_ARG(int, ++daySerial));
}

void test::onDayReady(QDate, QVector<FragmentEntry> entries, bool listed, int serial) {
  if (!cardWorker) return;  // the window is closing
  setBusy(-1);
  if (serial != daySerial || !listed) return;
  fragmentList->show(entries);
}

void test::on_scrollBar_change(int value) {
  qCDebug(lcCard) << "on_scrollBar_change:" << value;
  fragmentList->page();
}

void test::on_playbutton_clicked() {
  auto *button = qobject_cast<QPushButton *>(sender());
  const int row = fragmentList->rowOf(button);
  if (row < 0) return;
  const QPoint click = button->mapFromGlobal(QCursor::pos());
  if (!QRect(0, 0, button->width(), button->height()).contains(click)) {
    // Not a mouse click on the button (keyboard, or a programmatic click).
    playRow(row, nullptr);
    return;
  }
  qCDebug(lcCard) << "Button clicked at:" << click;
  if (click.x() > 181) {
    const QPoint inWindow = button->mapTo(this, QPoint(0, 0)) + click;
    playRow(row, &inWindow);
  } else if (click.x() > 143) {
    // The bubble is placed from the button's position in the list, as the
    // list's own coordinates.
    showBubble(tr("即将下载"), button->pos() + click);
    emit sigDownloadFile(button->objectName());
  }
}

void test::playRow(int row, const QPoint *clickInWindow) {
  if (row < 0 || row >= fragmentList->rowCount()) return;
  fragmentList->setCurrent(row);
  const FragmentEntry &e = fragmentList->model()->entry(row);
  if (clickInWindow) showBubble(tr("即将播放"), *clickInWindow);
  playEndTime = e.end;
  playStartTime = e.start;
  qmx_panes_requestRestart();
  ui->label_time->setText(
      QString("00:00:00/%1").arg(QTime(0, 0).addSecs(static_cast<int>(e.end - e.start)).toString("hh:mm:ss")));
  qCDebug(lcCard) << "播放";
  if (playState == 0) emit ui->pushButton_nextFrame->clicked(false);
}

void test::showBubble(const QString &text, const QPoint &click) {
  auto *bubble = new QLabel(text, this);
  bubble->setAlignment(Qt::AlignCenter);
  bubble->setStyleSheet("background-color: #45d049; border-radius: 5px;");
  bubble->ensurePolished();
  bubble->setFixedSize(std::max(60, bubble->fontMetrics().horizontalAdvance(text) + 12), 30);
  bubble->move(click.x() - 10, click.y() + 10 - bubble->height());
  bubble->show();
  QTimer::singleShot(400, this, [bubble] { delete bubble; });
}

// ---------------------------------------------------------------------------
// Playback controls and timeline

// Play position in whole seconds from playStartTime: where the picture of
// the leading pane (the first one still playing) lies in the segment.
int64_t test::playPosition() const {
  return std::clamp<int64_t>(currentVideoTime / 1000 - playStartTime, 0,
                             std::max<int64_t>(playEndTime - playStartTime, 0));
}

// Moves every pane to offsetMs after playStartTime: each worker repositions
// its own handle, under playbackMutex, at its next pass.
void test::seekBoth(uint64_t offsetMs) { qmx_panes_requestSeek(offsetMs); }

void test::showPosition(QString *label, int64_t seconds) const {
  *label = positionText(0, seconds, playEndTime - playStartTime);
}

void test::on_updateSliderPosition() {
  ui->pushButton_play->setIcon(
      style()->standardPixmap(playState == 1 ? QStyle::SP_MediaStop : QStyle::SP_MediaPlay));
  if (sliderHeld) return;
  QSlider *slider = ui->horizontalSlider;
  slider->blockSignals(true);
  const int64_t start = playStartTime, end = playEndTime;
  if (end > start) {
    const int64_t p = playPosition();
    const uint64_t value =
        static_cast<uint64_t>(p) * 1000u / static_cast<uint64_t>(end - start);
    slider->setValue(static_cast<int>(std::min<uint64_t>(value, INT32_MAX)));
    const int64_t at = currentVideoTime;
    ui->label_time->setText(positionText(at / 1000 >= start ? at : 0, p, end - start));
  }
  slider->blockSignals(false);
}

void test::on_pushButton_play_clicked() {
  qDebug() << "on_pushButton_play_clicked";
  if (playState == 1) {
    playState = 0;
    ui->pushButton_play->setIcon(style()->standardPixmap(QStyle::SP_MediaPlay));
  } else {
    playState = 1;
    ui->pushButton_play->setIcon(style()->standardPixmap(QStyle::SP_MediaStop));
  }
}

void test::on_pushButton_last_clicked() {
  qDebug() << "on_pushButton_last_clicked";
  const int i = fragmentList->currentRow();
  if (i < 1) return;
  fragmentList->scrollTo(i - 1);
  playRow(i - 1, nullptr);
}

void test::on_pushButton_next_clicked() {
  qDebug() << "on_pushButton_next_clicked";
  const int i = fragmentList->currentRow();
  if (i < 0 || i + 1 >= fragmentList->rowCount()) return;
  fragmentList->scrollTo(i + 1);
  playRow(i + 1, nullptr);
}

void test::on_horizontalSlider_sliderPressed() {
  qDebug() << "on_horizontalSlider_sliderPressed:" << ui->horizontalSlider->value();
  sliderHeld = true;
}

void test::on_horizontalSlider_sliderReleased() {
  qDebug() << "on_horizontalSlider_sliderReleased:" << ui->horizontalSlider->value();
  sliderHeld = false;
}

void test::on_horizontalSlider_sliderMoved(int position) {
  qDebug() << "on_horizontalSlider_sliderMoved:" << position;
  if (playState != 1) return;
  QString text;
  showPosition(&text, (playEndTime - playStartTime) * position / 1000);
  ui->label_time->setText(text);
}

void test::on_horizontalSlider_valueChanged(int value) {
  qDebug() << "on_horizontalSlider_valueChanged:" << ui->horizontalSlider->value() << "_"
           << value;
  if (playState != 1) return;
  const uint64_t s = static_cast<uint64_t>(playEndTime - playStartTime) *
                     static_cast<uint64_t>(value) / 1000u;
  seekBoth(s * 1000u);
  qDebug() << playStartTime.load() << "-" << playEndTime.load() << "seek:" << s * 1000u;
}

void test::on_pushButton_nextFrame_clicked() {
  qDebug() << "on_pushButton_nextFrame_clicked";
  playState = 0;
  ui->pushButton_play->setIcon(style()->standardPixmap(QStyle::SP_MediaPlay));
  emit sigPlayNextFrame();
  on_nextFramePlayMs_flush();
}

void test::on_pushButton_prevFrame_clicked() {
  qDebug() << "on_pushButton_prevFrame_clicked";
  playState = 0;
  ui->pushButton_play->setIcon(style()->standardPixmap(QStyle::SP_MediaPlay));
  emit sigPlayPrevFrame();
  on_nextFramePlayMs_flush();
}

// The frame-step label above the step button for 800 ms; it follows the
// picture the step brings (drawPicture).
void test::on_nextFramePlayMs_flush() {
  showFrameTime();
  frameTimeLabel->show();
  frameTimeLabel->raise();
  QTimer::singleShot(800, frameTimeLabel, &QWidget::hide);
}

QString test::showFrameTime() {
  const QString text = frameTimeText(currentVideoTime);
  showAboveStep(text);
  return text;
}

// The frame-step label's text, centred above the step button, at least
// 360 px wide and never narrower than its text in any language.
void test::showAboveStep(const QString &text) {
  frameTimeLabel->setText(text);
  frameTimeLabel->ensurePolished();
  const int width = std::max(360, frameTimeLabel->fontMetrics().horizontalAdvance(text) + 20);
  frameTimeLabel->setFixedSize(width, 30);
  const QPoint b = ui->pushButton_nextFrame->mapTo(this, QPoint(0, 0));
  frameTimeLabel->move(b.x() + (ui->pushButton_nextFrame->width() - width) / 2, b.y() - 30);
}

// Opens the download list as a top-level window of its own; a window opened
// before is closed and deleted first, so at most one exists at a time.
void test::on_pushButton_downloadContent_clicked() {
  if (downloadWindow) {
    downloadWindow->close();
    delete downloadWindow;
    downloadWindow = nullptr;
  }
  downloadWindow = new downloadInfo(nullptr);
  downloadWindow->show();
}

void test::on_pushButton_15L_clicked() {
  qDebug() << "on_pushButton_15L_clicked";
  if (playState != 1) return;
  const int64_t p = playPosition();
  seekBoth(static_cast<uint64_t>(std::max<int64_t>(p, 15) - 15) * 1000u);
}

void test::on_pushButton_15R_clicked() {
  qDebug() << "on_pushButton_15R_clicked";
  if (playState != 1) return;
  const int64_t p = playPosition();
  const int64_t start = playStartTime, end = playEndTime;
  if (static_cast<uint64_t>(start + 15) < static_cast<uint64_t>(end) &&
      static_cast<uint64_t>(end - 15 - start) > static_cast<uint64_t>(p))
    seekBoth(static_cast<uint64_t>(p + 15) * 1000u);
}

// Home: the fragment from its start; while paused its first picture shows.
void test::restartFragment() {
  qmx_panes_requestRestart();
  if (playState == 0) emit sigPlayNextFrame();
}

void test::speedUp() { changeSpeed(1); }

void test::speedDown() { changeSpeed(-1); }

// The next speed of the menu up or down, as if chosen there.
void test::changeSpeed(int step) {
  const QList<QAction *> actions = speedMenu->actions();
  int at = 0;
  for (int i = 0; i < actions.size(); i++)
    if (actions[i]->data().toInt() == playSpeed) at = i;
  const int next = std::clamp(at + step, 0, static_cast<int>(actions.size()) - 1);
  if (next != at) actions[next]->activate(QAction::Trigger);
}

// Everything around the video area: the list, the calendar, the choosers
// and the playback controls.
void test::showControls(bool on) {
  const QList<QWidget *> around = {ui->scrollArea,   ui->calendarWidget,   ui->groupBox_2,
                                   ui->label_time,   ui->horizontalSlider, ui->groupBox};
  for (QWidget *w : around) w->setVisible(on);
}

// F: the pane under the mouse (or pane 1) alone on the whole screen, and back.
void test::toggleFullScreen() {
  if (videoOnly) {
    leaveFullScreen();
    return;
  }
  const int pane = panes->paneAt(QCursor::pos());
  videoOnly = true;
  wasMaximized = isMaximized();
  showControls(false);
  if (panes->alone() < 0) panes->toggleAlone(pane < 0 ? 0 : pane);
  showFullScreen();
}

void test::leaveFullScreen() {
  if (!videoOnly) return;
  videoOnly = false;
  showControls(true);
  if (panes->alone() >= 0) panes->toggleAlone(panes->alone());
  wasMaximized ? showMaximized() : showNormal();
}

// The still of the pane under the mouse (or pane 1), as a PNG named after
// its channel and card time, in the download directory.
void test::on_pushButton_still_clicked() {
  int pane = panes->paneAt(QCursor::pos());
  if (pane < 0) pane = 0;
  QString dir;
  {
    QMutexLocker held(&playbackMutex);
    dir = downloadDir;
  }
  QString path, error;
  const bool saved = panes->saveStill(pane, dir, &path, &error);
  qDebug() << "still" << path << error;
  on_nextFramePlayMs_flush();
  showAboveStep(saved ? tr("截图已保存: %1").arg(QFileInfo(path).fileName()) : tr("截图失败: %1").arg(error));
}

void test::showShortcuts() {
  auto *box = new QMessageBox(QMessageBox::NoIcon, tr("快捷键"), shortcutHelp(), QMessageBox::Close, this);
  box->setObjectName("shortcutHelp");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}
