#include "demuxer.h"
#include "demuxer_2.h"

demuxer::demuxer(QObject *parent) : DemuxerBase(0, parent) {}

demuxer_2::demuxer_2(QObject *parent) : DemuxerBase(1, parent) {}
