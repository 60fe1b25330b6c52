#include "demuxer.h"
#include "demuxer_2.h"

static const DemuxerTexts kDemuxerTexts = {
    "initDemuxer start",
    "initDemuxer end",
    "demuxer 277: avcodec_send_packet error",
    "demuxer 301: avcodec_receive_frame error",
    "demuxer",
    "dumxer_handle:",
};

static const DemuxerTexts kDemuxer2Texts = {
    "initDemuxer2 start",
    "initDemuxer2 end",
    "demuxer_2 277: avcodec_send_packet error",
    "demuxer_2 301: avcodec_receive_frame error",
    "demuxer_2",
    "dumxer_2_handle:",
};

demuxer::demuxer(QObject *parent) : DemuxerBase(kDemuxerTexts, DemuxerPane::First, parent) {}

demuxer_2::demuxer_2(QObject *parent) : DemuxerBase(kDemuxer2Texts, DemuxerPane::Second, parent) {}
