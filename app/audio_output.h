// The window's sound: the heard pane's PCM (16 kHz mono signed 16-bit)
// pushed to an audio output device. The system's default device is used
// from start-up until the user chooses another; nothing here depends on
// SDL. PCM the device cannot take at once waits (up to about a second) and
// goes out as the device drains.
//
// GUI thread only.
#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <QString>

class QAudioOutput;
class QIODevice;
class QTimer;

class AudioOutput : public QObject {
  Q_OBJECT

 public:
  explicit AudioOutput(QObject *parent = nullptr);
  ~AudioOutput() override;

  // The format of every device opened: what the workers hand over.
  static QAudioFormat format();

  // Opens the system's default output device, when there is one.
  void openDefault();
  // Opens the output device of that name; false (the device in use stays)
  // when the system has none of that name.
  bool open(const QString &deviceName);
  // Name of the device in use, empty for none.
  QString device() const { return deviceName; }

  // Plays a PCM block; dropped while muted or without a device.
  void write(const char *data, int length);
  void setMuted(bool on);
  bool muted() const { return isMuted; }
  // Bytes handed to the device since it was opened (played or buffered).
  qint64 written() const { return writtenBytes; }

 private:
  void start(QAudioOutput *output, const QString &name);
  void drain();

  QAudioOutput *output = nullptr;
  QIODevice *sink = nullptr;  // owned by output
  QString deviceName;
  QByteArray waiting;
  QTimer *drainTimer = nullptr;
  bool isMuted = false;
  qint64 writtenBytes = 0;
};
