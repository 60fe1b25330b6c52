// The main window: video panes, calendar and fragment list, disk and audio
// device choosers, and the playback controls. Every slot runs on the GUI
// thread; the workers are reached through queued signals and the
// process-wide variables of globals.h.
#pragma once

#include <QAudioFormat>
#include <QList>
#include <QSize>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <vector>

#define SDL_MAIN_HANDLED
#include <SDL.h>

struct AVFrame;
class demuxer;
class demuxer_2;
class download;
class QAudioOutput;
class QCloseEvent;
class QIODevice;
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

// Where a picture of width x height is drawn in a pane of ww x wh pixels:
// centred, as large as fits, aspect ratio kept. Empty for empty sizes.
SDL_Rect fitPicture(int width, int height, int ww, int wh);

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

 protected:
  // Asks whether to wait for or cancel the exports still under way.
  void closeEvent(QCloseEvent *event) override;

 private:
  friend class AppWindowTest;  // the window's tests look at the members below
  friend class AppBench;

  void initSdl2();
  void stopWorkers();
  void drawPicture(int pane, AVFrame *picture, int width, int height);
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

  // Workers and their threads, made by videoPlayerInit. The workers have no
  // parent; the destructor ends their loops and threads and then deletes them.
  demuxer *demuxerWorker = nullptr;
  demuxer_2 *demuxer2Worker = nullptr;
  download *downloadWorker = nullptr;
  QThread *demuxerThread = nullptr;
  QThread *demuxer2Thread = nullptr;
  QThread *downloadThread = nullptr;

  // Video output of the two panes.
  SDL_Window *window1 = nullptr;
  SDL_Renderer *renderer1 = nullptr;
  SDL_Texture *texture1 = nullptr;
  QSize textureSize1{0, 0};
  SDL_Rect displayRect1{0, 0, 0, 0};
  SDL_Window *window2 = nullptr;
  SDL_Renderer *renderer2 = nullptr;
  SDL_Texture *texture2 = nullptr;
  QSize textureSize2{0, 0};
  SDL_Rect displayRect2{0, 0, 0, 0};

  // Audio output.
  QAudioFormat audioFormat;
  QAudioOutput *audioOutput = nullptr;
  QIODevice *audioDevice = nullptr;

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
