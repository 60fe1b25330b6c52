#include "test.h"

#include <QAction>
#include <QApplication>
#include <QAbstractItemView>
#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QBrush>
#include <QCalendarWidget>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QLabel>
#include <QMenu>
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

// Chooses the SDL video driver that matches the toolkit's window system, so
// that SDL never tries to draw into a window id that belongs to another one
// (offscreen test runs, for instance, have no X windows behind the panes).
void chooseSdlVideoDriver() {
  if (qEnvironmentVariableIsSet("SDL_VIDEODRIVER")) return;
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("xcb"))
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
  else if (platform.startsWith(QLatin1String("wayland")))
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "wayland");
  else
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "offscreen");
}

}  // namespace

// Where a picture of width x height goes in a pane of ww x wh: as large as
// the pane allows, aspect ratio kept, centred.
SDL_Rect fitPicture(int width, int height, int ww, int wh) {
  SDL_Rect r{0, 0, 0, 0};
  if (width <= 0 || height <= 0 || ww <= 0 || wh <= 0) return r;
  const float a = static_cast<float>(width) / static_cast<float>(height);
  if (static_cast<float>(ww) / static_cast<float>(wh) > a) {
    r.h = wh;
    r.w = static_cast<int>(a * static_cast<float>(wh));
    r.x = (ww - r.w) / 2;
    r.y = 0;
  } else {
    r.w = ww;
    r.x = 0;
    r.h = static_cast<int>(static_cast<float>(ww) / a);
    r.y = (wh - r.h) / 2;
  }
  return r;
}

test::test(QWidget *parent, bool verbose) : QWidget(parent) {
  ui = new Ui::test;
  ui->setupUi(this);

  setWindowIcon(QIcon(":/videoPlayer.ico"));
  setWindowTitle(tr("视频播放器"));
  showMaximized();
  ui->label_video_2->hide();

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
  ui->pushButton_downloadContent->setToolTip(QString("当前下载路径: %1").arg(downloadDir));

  ui->scrollArea->setWidgetResizable(true);
  ui->scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ui->scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  initSdl2();
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
  delete ui;
  // The SDL windows wrap the panes' native windows; release SDL's side of
  // them so that another window made in the same process starts clean.
  if (texture1) SDL_DestroyTexture(texture1);
  if (texture2) SDL_DestroyTexture(texture2);
  if (renderer1) SDL_DestroyRenderer(renderer1);
  if (renderer2) SDL_DestroyRenderer(renderer2);
  if (window1) SDL_DestroyWindow(window1);
  if (window2) SDL_DestroyWindow(window2);
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

// Ends the three worker loops and their threads, then hands the window the
// pictures and PCM blocks still queued to it so that each copy is released.
// The threads are children of the window and must not be running when it
// deletes them.
void test::stopWorkers() {
  if (sliderTimer) sliderTimer->stop();
  if (demuxerWorker) demuxerWorker->requestStop();
  if (demuxer2Worker) demuxer2Worker->requestStop();
  if (downloadWorker) downloadWorker->requestStop();
  for (QThread *thread : {demuxerThread, demuxer2Thread, downloadThread}) {
    if (!thread) continue;
    thread->quit();
    thread->wait();
  }
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
  delete demuxerWorker;
  delete demuxer2Worker;
  delete downloadWorker;
  demuxerWorker = nullptr;
  demuxer2Worker = nullptr;
  downloadWorker = nullptr;
  delete audioOutput;  // takes audioDevice with it
  audioOutput = nullptr;
  audioDevice = nullptr;
}

// ---------------------------------------------------------------------------
// Video and audio output set-up

void test::initSdl2() {
  qDebug() << "initSdl2 start";
  chooseSdlVideoDriver();
  // The program handles its own signals; SDL must not turn Ctrl-C into an
  // event nobody reads.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_Init(SDL_INIT_EVERYTHING) != 0) {
    fprintf(stderr, "SDL_Init Error: %s\n", SDL_GetError());
    return;
  }
  window1 = SDL_CreateWindowFrom(reinterpret_cast<void *>(ui->label_video_1->winId()));
  if (!window1) {
    qDebug() << "window1=null";
    qDebug() << SDL_GetError();
    return;
  }
  SDL_ShowWindow(window1);
  renderer1 = SDL_CreateRenderer(window1, -1, 0);
  if (!renderer1) {
    qDebug() << "render1=null";
    SDL_DestroyWindow(window1);
    window1 = nullptr;
    SDL_Quit();
    return;
  }
  window2 = SDL_CreateWindowFrom(reinterpret_cast<void *>(ui->label_video_2->winId()));
  if (!window2) {
    qDebug() << "window2=null";
    qDebug() << SDL_GetError();
    return;
  }
  SDL_HideWindow(window2);
  renderer2 = SDL_CreateRenderer(window2, -1, 0);
  if (!renderer2) {
    qDebug() << "render2=null";
    SDL_DestroyWindow(window2);
    window2 = nullptr;
    SDL_Quit();
    return;
  }
  qDebug() << "initSdl2 end";
  qDebug() << "QIODevice start";
  audioFormat.setSampleRate(16000);
  audioFormat.setSampleSize(16);
  audioFormat.setChannelCount(1);
  audioFormat.setCodec("audio/pcm");
  audioFormat.setByteOrder(QAudioFormat::LittleEndian);
  audioFormat.setSampleType(QAudioFormat::SignedInt);
}

void test::updateVideo_1(AVFrame *pFrameYUV, int mWidth, int mHeight) {
  drawPicture(1, pFrameYUV, mWidth, mHeight);
}

void test::updateVideo_2(AVFrame *pFrameYUV, int mWidth, int mHeight) {
  drawPicture(2, pFrameYUV, mWidth, mHeight);
}

// Draws one picture (planar YUV 4:2:0) centred in its pane with the aspect
// ratio kept, then releases the worker's copy. Without an SDL renderer for
// the pane (SDL could not be set up) the picture is only released.
void test::drawPicture(int pane, AVFrame *picture, int width, int height) {
  SDL_Window *window = pane == 1 ? window1 : window2;
  SDL_Renderer *renderer = pane == 1 ? renderer1 : renderer2;
  SDL_Texture *&texture = pane == 1 ? texture1 : texture2;
  QSize &textureSize = pane == 1 ? textureSize1 : textureSize2;
  SDL_Rect &rect = pane == 1 ? displayRect1 : displayRect2;

  if (picture && window && renderer && width > 0 && height > 0) {
    if (textureSize != QSize(width, height)) {
      textureSize = QSize(width, height);
      if (texture) SDL_DestroyTexture(texture);
      texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                  width, height);
    }
    if (texture) {
      SDL_UpdateYUVTexture(texture, nullptr, picture->data[0], picture->linesize[0],
                           picture->data[1], picture->linesize[1], picture->data[2],
                           picture->linesize[2]);
      // SDL keeps the size a pane had when its window was made and does not
      // see Qt resize the pane (the window is maximised after that, and the
      // user may resize it): tell SDL the pane's size before fitting into it.
      QLabel *label = pane == 1 ? ui->label_video_1 : ui->label_video_2;
      const qreal ratio = label->devicePixelRatioF();
      const int lw = qRound(label->width() * ratio), lh = qRound(label->height() * ratio);
      int ww = 0, wh = 0;
      SDL_GetWindowSize(window, &ww, &wh);
      if (lw > 0 && lh > 0 && (lw != ww || lh != wh)) {
        SDL_SetWindowSize(window, lw, lh);
        ww = lw;
        wh = lh;
      }
      rect = fitPicture(width, height, ww, wh);
      SDL_RenderClear(renderer);
      SDL_RenderCopy(renderer, texture, nullptr, &rect);
      SDL_RenderPresent(renderer);
    }
  }
  qmx_player_releasePicture(picture);
}

// Writes one PCM block to the chosen device; without one it is dropped.
// What the device's buffer cannot take is lost.
void test::playPCM(const char *data, int length) {
  if (audioDevice && data && length > 0) audioDevice->write(data, length);
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

void test::on_comboBox_audioDevice_currentTextChanged(QString) {
  qDebug() << "on_comboBox_audioDevice_currentTextChanged";
  const QString name = ui->comboBox_audioDevice->currentText();
  for (const QAudioDeviceInfo &info : QAudioDeviceInfo::availableDevices(QAudio::AudioOutput)) {
    if (info.deviceName() != name) continue;
    delete audioOutput;  // takes its device with it
    audioDevice = nullptr;
    audioOutput = new QAudioOutput(info, audioFormat);
    audioDevice = audioOutput->start();
    return;
  }
}

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

  demuxerWorker = new demuxer;
  demuxerThread = new QThread(this);
  demuxerWorker->moveToThread(demuxerThread);
  demuxerThread->start();
  connect(demuxerWorker, &DemuxerBase::sigGetVedioFrame, this, &test::updateVideo_1,
          Qt::QueuedConnection);
  connect(demuxerWorker, &DemuxerBase::sigGetAudioFrame, this, &test::playPCM,
          Qt::QueuedConnection);
  connect(this, &test::sigThreadStart, demuxerWorker, &DemuxerBase::on_demuxer_start,
          Qt::QueuedConnection);
  connect(this, &test::sigPlayNextFrame, demuxerWorker, &DemuxerBase::on_demuxer_nextFrame,
          Qt::QueuedConnection);

  demuxer2Worker = new demuxer_2;
  demuxer2Thread = new QThread(this);
  demuxer2Worker->moveToThread(demuxer2Thread);
  demuxer2Thread->start();
  connect(demuxer2Worker, &DemuxerBase::sigGetVedioFrame, this, &test::updateVideo_2,
          Qt::QueuedConnection);
  connect(demuxer2Worker, &DemuxerBase::sigGetAudioFrame, this, &test::playPCM,
          Qt::QueuedConnection);
  connect(this, &test::sigThreadStart, demuxer2Worker, &DemuxerBase::on_demuxer_start,
          Qt::QueuedConnection);
  connect(this, &test::sigPlayNextFrame, demuxer2Worker, &DemuxerBase::on_demuxer_nextFrame,
          Qt::QueuedConnection);

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

  sliderTimer = new QTimer(this);
  connect(sliderTimer, &QTimer::timeout, this, &test::on_updateSliderPosition);
  sliderTimer->start(200);
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
  if (result.channels == 1) {
    ui->label_video_2->hide();
    if (window2) SDL_HideWindow(window2);
  } else {
    ui->label_video_2->show();
    if (window2) SDL_ShowWindow(window2);
  }
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
  demuxerRestart = 1;
  demuxer2Restart = 1;
  ui->label_time->setText(
      QString("00:00:00/%1").arg(QTime(0, 0).addSecs(static_cast<int>(e.end - e.start)).toString("hh:mm:ss")));
  qCDebug(lcCard) << "播放";
  if (playState == 0) emit ui->pushButton_nextFrame->clicked(false);
}

void test::showBubble(const QString &text, const QPoint &click) {
  auto *bubble = new QLabel(text, this);
  bubble->setAlignment(Qt::AlignCenter);
  bubble->setStyleSheet("background-color: #45d049; border-radius: 5px;");
  bubble->setFixedSize(60, 30);
  bubble->move(click.x() - 10, click.y() + 10 - bubble->height());
  bubble->show();
  QTimer::singleShot(400, this, [bubble] { delete bubble; });
}

// ---------------------------------------------------------------------------
// Playback controls and timeline

// Play position of pane 1 in whole seconds from playStartTime, from the
// time of its latest picture: the card library is not asked on the GUI
// thread, where a card that opens slowly would hold the timer up.
int64_t test::playPosition() const { return currentVideoTime / 1000 - playStartTime; }

// Moves both panes' handles to offsetMs after playStartTime. Under
// playbackMutex, so no worker is inside a storage call meanwhile.
void test::seekBoth(uint64_t offsetMs) {
  QMutexLocker lock(&playbackMutex);
  if (storageV == 1) {
    qmx_storage_playbackSeek(static_cast<uint32_t>(demuxerHandle.load()), offsetMs);
    if (channelNum == 2)
      qmx_storage_playbackSeek(static_cast<uint32_t>(demuxer2Handle.load()), offsetMs);
  } else {
    qmx_storage_v2_playbackSeek(static_cast<uint32_t>(demuxerHandle.load()), offsetMs);
    if (channelNum == 2)
      qmx_storage_v2_playbackSeek(static_cast<uint32_t>(demuxer2Handle.load()), offsetMs);
  }
}

namespace {
// Seconds as a clock time "hh:mm:ss"; a day or more wraps around.
QString clockText(int64_t seconds) {
  return QTime(0, 0).addSecs(static_cast<int>(seconds % 86400)).toString("hh:mm:ss");
}
}  // namespace

void test::showPosition(QString *label, int64_t seconds) const {
  *label = QString("%1/%2").arg(clockText(seconds), clockText(playEndTime - playStartTime));
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
    QString text;
    showPosition(&text, p);
    ui->label_time->setText(text);
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

void test::on_nextFramePlayMs_flush() {
  const QDateTime at = QDateTime::fromMSecsSinceEpoch(currentVideoTime);
  frameTimeLabel->setText(QString("当前帧: %1:%2")
                              .arg(at.time().toString(Qt::TextDate))
                              .arg(at.time().msec()));
  frameTimeLabel->setAlignment(Qt::AlignCenter);
  frameTimeLabel->setStyleSheet(
      "background: transparent; color: blue; border-radius: 5px; font-size: 15pt;");
  frameTimeLabel->setFixedSize(200, 30);
  const QPoint b = ui->pushButton_nextFrame->mapTo(this, QPoint(0, 0));
  const int x = b.x() + (ui->pushButton_nextFrame->width() - 200) / 2;
  const int y = b.y() - 30;
  qDebug() << "globalX:" << b.x() << " globalY:" << b.y();
  qDebug() << "X:" << x << " Y:" << y;
  frameTimeLabel->move(x, y);
  frameTimeLabel->show();
  QTimer::singleShot(800, frameTimeLabel, &QWidget::hide);
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
