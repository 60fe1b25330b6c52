// The download worker: queues the spans the window asks to export and, in
// one endless loop on its own thread, exports every channel of each span
// into an MP4 file, keeping the entries of downloadEntries up to date.
//
// An entry reads "NAME.mp4           |STATUS": NAME is the span's name until
// the file has its final name, then that name. STATUS is one of
// " 等待下载", " 下载中 NN%", " 下载成功" (with a note when the card's data
// ended before the span), " 下载不完整: ..." (the card's data broke off: the
// file holds what was read), " 下载失败: ..." with the reason, " 已取消".
// Statuses are written translated (download::tr of the constants below).
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>

extern const char *const kDownloadWaiting;
extern const char *const kDownloadRunning;
extern const char *const kDownloadDone;
extern const char *const kDownloadIncomplete;
extern const char *const kDownloadFailed;
extern const char *const kDownloadCancelled;

class QEventLoop;

class download : public QObject {
  Q_OBJECT

 public:
  explicit download(QObject *parent = nullptr);

  // Makes the loop of on_download_start return at its next idle check.
  void requestStop();
  bool stopping() const { return stopRequested; }

  // Calls from any thread. Cancels entry index (waiting or running): its
  // file is not made and its status becomes " 已取消".
  static void cancelEntry(int index);
  // Cancels every entry not finished yet.
  static void cancelAll();
  // True while a queued span has channels not finished yet.
  static bool busy();
  // Timing of spans queued from now on: QMX_EXPORT_TIMING_CARD or _NOMINAL.
  static void setTiming(int timing);
  static int timing();

 public slots:
  void on_download_start();
  void on_download_file(QString fileName);

 private:
  // A queued span with what its queueing fixed: how many channels it has,
  // where its entries stand in downloadEntries, the card it was queued on
  // and the timing chosen then, so that choosing another disk meanwhile
  // neither shifts them nor exports them from the other card.
  struct QueuedSpan {
    QString fileName;
    int channels = 0;
    int firstEntry = 0;
    uint32_t generation = 0;
    int timing = 0;
    int layout = 0;
    int videoType = 0;
    QString cardPath, cardName;
    uint64_t cardSize = 0;
  };

  void pause(int ms);
  void exportSpan(const QueuedSpan &span, uint64_t start, uint64_t end);
  void exportChannel(const QueuedSpan &span, int channel, uint64_t start, uint64_t end);

  // Spans waiting for export, oldest first. Used only on the worker's
  // thread: on_download_file runs there, between frames of an export too.
  QList<QueuedSpan> downloadQueue;
  QEventLoop *idleLoop = nullptr;  // the wait of pause() under way, on the worker's thread
  std::atomic<bool> stopRequested{false};
};
