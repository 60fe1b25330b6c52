#include "audio_output.h"

#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QDebug>
#include <QTimer>

namespace {
// PCM kept while the device is full: one second at 16 kHz mono 16-bit.
const int kMaxWaiting = 32000;
// The device's own buffer: half a second.
const int kDeviceBuffer = 16000;
}  // namespace

AudioOutput::AudioOutput(QObject *parent) : QObject(parent) {
  drainTimer = new QTimer(this);
  drainTimer->setInterval(20);
  connect(drainTimer, &QTimer::timeout, this, &AudioOutput::drain);
}

AudioOutput::~AudioOutput() { delete output; }

QAudioFormat AudioOutput::format() {
  QAudioFormat f;
  f.setSampleRate(16000);
  f.setSampleSize(16);
  f.setChannelCount(1);
  f.setCodec("audio/pcm");
  f.setByteOrder(QAudioFormat::LittleEndian);
  f.setSampleType(QAudioFormat::SignedInt);
  return f;
}

void AudioOutput::openDefault() {
  const QAudioDeviceInfo info = QAudioDeviceInfo::defaultOutputDevice();
  if (info.isNull()) return;
  start(new QAudioOutput(info, format()), info.deviceName());
}

bool AudioOutput::open(const QString &name) {
  for (const QAudioDeviceInfo &info : QAudioDeviceInfo::availableDevices(QAudio::AudioOutput)) {
    if (info.deviceName() != name) continue;
    start(new QAudioOutput(info, format()), name);
    return true;
  }
  return false;
}

void AudioOutput::start(QAudioOutput *next, const QString &name) {
  delete output;  // takes its device with it
  sink = nullptr;
  waiting.clear();
  output = next;
  output->setBufferSize(kDeviceBuffer);
  sink = output->start();
  deviceName = sink ? name : QString();
  writtenBytes = 0;
  if (!sink) qDebug() << "audio output" << name << "did not start";
}

void AudioOutput::setMuted(bool on) {
  isMuted = on;
  if (on) waiting.clear();
}

void AudioOutput::write(const char *data, int length) {
  if (!sink || isMuted || !data || length <= 0) return;
  waiting.append(data, length);
  if (waiting.size() > kMaxWaiting) waiting.remove(0, waiting.size() - kMaxWaiting);
  drain();
}

void AudioOutput::drain() {
  if (!sink || waiting.isEmpty()) {
    drainTimer->stop();
    return;
  }
  const qint64 n = sink->write(waiting.constData(), waiting.size());
  if (n > 0) {
    waiting.remove(0, static_cast<int>(n));
    writtenBytes += n;
  }
  if (waiting.isEmpty())
    drainTimer->stop();
  else if (!drainTimer->isActive())
    drainTimer->start();
}
