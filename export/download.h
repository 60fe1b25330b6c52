// The download worker: queues the spans the window asks to export and, in
// one endless loop on its own thread, exports every channel of each span
// into an MP4 file, keeping the entries of downloadEntries up to date.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>

class download : public QObject {
  Q_OBJECT

 public:
  explicit download(QObject *parent = nullptr);

  // Makes the loop of on_download_start return at its next idle check.
  // Only tests stop the loop; the program never does.
  void requestStop();

 public slots:
  void on_download_start();
  void on_download_file(QString fileName);

 private:
  // A queued span with what its queueing fixed: how many channels it has
  // and where its entries stand in downloadEntries, so that choosing another
  // disk meanwhile does not shift them.
  struct QueuedSpan {
    QString fileName;
    int channels = 0;
    int firstEntry = 0;
  };

  void pause(int ms);
  void setStatus(int index, const QString &status);
  void exportSpan(const QueuedSpan &span, const uint8_t *silent, uint32_t silentSize);

  // Spans waiting for export, oldest first. Used only on the worker's
  // thread: on_download_file runs there during the loop's pauses.
  QList<QueuedSpan> downloadQueue;
  uint64_t startTime = 0;  // span being exported, Unix seconds
  uint64_t endTime = 0;
  int entryIndex = 0;  // entry of the channel export under way
  std::atomic<bool> stopRequested{false};
};
