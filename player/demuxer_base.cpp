#include "demuxer_base.h"

#include <QDebug>
#include <cstdio>

#include "globals.h"

DemuxerBase::DemuxerBase(int pane, QObject *parent)
    : QObject(parent), paneIndex(pane), inFlight(qmx_player_newInFlight()) {
  qmx_player_registerMetaTypes();
  qmx_cardClock_reset(&cardClock);
}

DemuxerBase::~DemuxerBase() {
  clearQueues();
  delete reader;  // releases what it holds; the handle is stopped by the loop's end
}

// Log texts: pane 1 is "demuxer", pane 2 "demuxer_2", and so on.
QString DemuxerBase::name() const {
  return paneIndex == 0 ? QString("demuxer") : QString("demuxer_%1").arg(paneIndex + 1);
}

QString DemuxerBase::handleText() const {
  return paneIndex == 0 ? QString("dumxer_handle:") : QString("dumxer_%1_handle:").arg(paneIndex + 1);
}

void DemuxerBase::init() {
  const QString suffix = paneIndex == 0 ? QString() : QString::number(paneIndex + 1);
  qDebug().noquote() << "initDemuxer" + suffix + " start";
  std::string why;
  const auto mode = playState == 1 ? VideoDecoder::Mode::Threaded : VideoDecoder::Mode::LowDelay;
  if (!video.open(codecId, mode, &why)) {
    printf("Couldn't open codec: %s\n", why.c_str());
    return;
  }
  if (!audio.isOpen() && !audio.open()) {
    printf("Couldn't open codec_a\n");
    return;
  }
  qDebug().noquote() << "initDemuxer" + suffix + " end";
}

void DemuxerBase::end() {
  video.close();
  audio.close();
}
