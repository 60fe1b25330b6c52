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

#include "video_panes.h"

struct AVFrame;
class AudioOutput;
class DemuxerBase;
class download;
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

// Text shown for a moment over the window when a chosen disk cannot be opened.
inline constexpr char kDiskOpenFailedText[] = "磁盘打开失败，请重新选择";

// One fragment of a day list, whichever card layout it came from.
struct FragmentEntry {
  uint8_t type;   // recording type
  int64_t start;  // Unix seconds
  int64_t end;
};

class test : public QWidget {
  Q_OBJECT

 public:
  explicit test(QWidget *parent = nullptr);
  ~test() override;

  bool eventFilter(QObject *watched, QEvent *event) override;

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
  int64_t playPosition() const;
  void seekBoth(uint64_t offsetMs);
  void showPosition(QString *label, int64_t seconds) const;
  bool openDisk(int id, int version);
  void queryMonth(int year, int month);
  void markMonth(int year, int month, uint32_t mask);
  void showDayList(const std::vector<FragmentEntry> &entries, int64_t dayEnd);
  void playFragment(QPushButton *button, const QPoint *clickInWindow);
  void showBubble(const QString &text, const QPoint &clickInWindow);
  void showDiskMessage();

  Ui::test *ui = nullptr;

  // Timeline slider, frame-step label and speed menu.
  QTimer *sliderTimer = nullptr;
  bool sliderHeld = false;
  QLabel *frameTimeLabel = nullptr;
  QMenu *speedMenu = nullptr;

  // Fragment list of the selected day.
  QList<QPushButton *> fragmentButtons;
  QPushButton *currentFragmentButton = nullptr;
  QVBoxLayout *fragmentLayout = nullptr;
  int fragmentRowUnit = 40;

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

  // Disks offered in comboBox_disk, with each one's device id and the layout
  // that recognised it (1 raw-disk, 2 file), and the disk last opened.
  QStringList diskNames;
  QList<int> diskIds;
  QList<int> diskVersions;
  int currentDiskId = -1;
  int currentDiskVersion = 0;  // layout of currentDiskId; ids of the two layouts can collide

  QLabel *diskMessageLabel = nullptr;
  QTimer *diskMessageTimer = nullptr;
};
