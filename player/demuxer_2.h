// Playback worker of video pane 2 (card channel 1).
#pragma once

#include "demuxer_base.h"

class demuxer_2 : public DemuxerBase {
  Q_OBJECT

 public:
  explicit demuxer_2(QObject *parent = nullptr);
};
