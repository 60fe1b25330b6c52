// Playback worker of video pane 1 (card channel 0).
#pragma once

#include "demuxer_base.h"

class demuxer : public DemuxerBase {
  Q_OBJECT

 public:
  explicit demuxer(QObject *parent = nullptr);
};
