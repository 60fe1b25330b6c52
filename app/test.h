// The main window: video panes, calendar and fragment list, disk and audio
// device choosers, and the playback controls. Every slot runs on the GUI
// thread; the workers are reached through queued signals and the
// process-wide variables of globals.h.
#pragma once

#include <QList>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "card_scan.h"
#include "video_panes.h"

struct AVFrame;
class AudioOutput;
class CardWorker;
class DemuxerBase;
class DiskChooser;
class FragmentList;
class Notice;
class download;
class QCloseEvent;
class QLabel;
class QMenu;
class QPushButton;
class QThread;
class QTimer;
class QVBoxLayout;

namespace Ui {
class test;
}

// Style sheet that the entry point gives the window; it cascades to every
// child that does not set a background of its own.
inline constexpr char kMainWindowStyleSheet[] = "background-color: rgb(160, 216, 200);";

class test : public QWidget {
  Q_OBJECT

 public:
  // verbose: the card libraries report what they find wrong with disks
  // that are not cards, too.
  explicit test(QWidget *parent = nullptr, bool verbose = false);
  ~test() override;

  bool eventFilter(QObject *watched, QEvent *event) override;

  // Shows a message about the cards over the window for a while.
  void showNotice(const QString &text);
  // True while the card thread works on something the window waits for.
  bool isBusy() const { return busy > 0; }

 signals:
  void sigThreadStart();
  void sigPlayNextFrame();
  void sigPlayPrevFrame();
  void sigDownloadFile(QString fileName);

 private slots:
  void updateVideo_1(AVFrame *pFrameYUV, int mWidth, int mHeight);
  void updateVideo_2(AVFrame *pFrameYUV, int mWidth, int mHeight);
  void playPCM(const char *data, int length);
  void videoPlayerInit();
  int findAudioDevice();
  int findDiskDevice();
  void on_updateSliderPosition();
  void on_scrollBar_change(int value);
  void on_calendarWidget_currentPageChanged(int year, int month);
  void on_calendarWidget_selectionChanged();
  void on_playbutton_clicked();
  void on_pushButton_play_clicked();
  void on_pushButton_last_clicked();
  void on_pushButton_next_clicked();
  void on_comboBox_disk_currentTextChanged(QString arg1);
  void on_comboBox_audioDevice_currentTextChanged(QString arg1);
  void on_horizontalSlider_sliderReleased();
  void on_horizontalSlider_sliderMoved(int position);
  void on_horizontalSlider_sliderPressed();
  void on_horizontalSlider_valueChanged(int value);
  void on_nextFramePlayMs_flush();
  void on_pushButton_nextFrame_clicked();
  void on_pushButton_downloadContent_clicked();
  void on_pushButton_15L_clicked();
  void on_pushButton_15R_clicked();
  // Playback parts beyond the original controls (video_panes, audio_output,
  // shortcuts): one slot per action, for the buttons and the keys.
  void on_pushButton_prevFrame_clicked();
  void on_pushButton_still_clicked();
  void on_pushButton_mute_toggled(bool on);
  void toggleMute();
  void restartFragment();
  void speedUp();
  void speedDown();
  void toggleFullScreen();
  void leaveFullScreen();
  void showShortcuts();

  // Answers of the card thread.
  void onCardsScanned(QVector<CardEntry> cards, int serial);
  void onCardOpened(OpenResult result, int serial);
  void onMonthReady(int year, int month, uint32_t mask, int serial);
  void onDayReady(QDate date, QVector<FragmentEntry> entries, bool listed, int serial);

 protected:
  // Asks whether to wait for or cancel the exports still under way.
  void closeEvent(QCloseEvent *event) override;

 private:
  friend class AppWindowTest;  // the window's tests look at the members below
  friend class AppBench;

  void initSdl2();
  void stopWorkers();
  void startWorker(int pane);
  void showPanes(int channels);
  void drawPicture(int pane, AVFrame *picture, int width, int height);
  void changeSpeed(int step);
  void showControls(bool on);
  QString showFrameTime();
  void showAboveStep(const QString &text);
  int64_t playPosition() const;
  void seekBoth(uint64_t offsetMs);
  void showPosition(QString *label, int64_t seconds) const;
  void startCardThread(bool verbose);
  void openDisk(const CardEntry &entry);
  void queryMonth(int year, int month);
  void markMonth(int year, int month, uint32_t mask);
  void forgetMarksAndList();
  void setBusy(int change);
  void playRow(int row, const QPoint *clickInWindow);
  void showBubble(const QString &text, const QPoint &clickInWindow);

  Ui::test *ui = nullptr;

  // Timeline slider, frame-step label and speed menu.
  QTimer *sliderTimer = nullptr;
  bool sliderHeld = false;
  QLabel *frameTimeLabel = nullptr;
  QMenu *speedMenu = nullptr;

  // Fragment list of the selected day.
  FragmentList *fragmentList = nullptr;

  // Workers and their threads, made by videoPlayerInit (panes 1 and 2) and
  // when a card first needs four panes (panes 3 and 4). The workers have no
  // parent; the destructor ends their loops and threads and then deletes them.
  DemuxerBase *paneWorkers[VideoPanes::kPanes] = {};
  QThread *paneThreads[VideoPanes::kPanes] = {};
  download *downloadWorker = nullptr;
  QThread *downloadThread = nullptr;

  // Video panes and sound.
  VideoPanes *panes = nullptr;
  AudioOutput *audio = nullptr;
  bool videoOnly = false;  // a pane full screen (F)
  bool wasMaximized = false;

  // Download list window last opened.
  QWidget *downloadWindow = nullptr;

  // Cards offered in comboBox_disk, the card thread that finds, opens and
  // asks them, and what it has open: openKey is the card open (kNoCard for
  // none), pendingKey the one being opened. Answers carry the serial of
  // their request; only the latest request's answer is used.
  static constexpr uint64_t kNoCard = UINT64_MAX;
  DiskChooser *diskChooser = nullptr;
  CardWorker *cardWorker = nullptr;
  QThread *cardThread = nullptr;
  uint64_t openKey = kNoCard;
  uint64_t pendingKey = kNoCard;
  int openLayout = 0;
  int openChannels = 0;
  int scanSerial = 0, openSerial = 0, monthSerial = 0, daySerial = 0;
  bool scanWaited = false;  // a discovery the window asked for is still out
  int busy = 0;  // requests the window waits for
  Notice *notice = nullptr;
};
