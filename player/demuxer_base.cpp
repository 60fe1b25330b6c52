#include "demuxer_base.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QTimer>
#include <QMetaMethod>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/samplefmt.h>
}

DemuxerBase::DemuxerBase(const DemuxerTexts &texts, DemuxerPane pane,
                         QObject *parent)
    : QObject(parent),
      pane(pane),
      texts(texts),
      inFlight(qmx_player_newInFlight()) {
  qmx_player_registerMetaTypes();
}

DemuxerBase::~DemuxerBase() {
  if (g_pbFrame.data) {
    // A frame still held when the loop ended; its handle may be gone, so
    // the bytes are released without the library.
    free(g_pbFrame.data);
    g_pbFrame = qmx_storage_v2_frame{};
  }
  end();
  swr_free(&swrCtx);
  av_channel_layout_uninit(&swrInLayout);
}

void DemuxerBase::init() {
  // A set left over from an earlier init() would otherwise leak.
  end();
  qDebug().noquote() << texts.initStart;

  videoPacket = av_packet_alloc();
  if (!videoPacket) return;

  videoCodec = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
  if (!videoCodec) {
    printf("Codec not find\n");
    return;
  }
  videoCtx = avcodec_alloc_context3(videoCodec);
  if (!videoCtx) {
    printf("cannot allocate codec context to pCodecCtx\n");
    return;
  }
  videoCtx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  videoCtx->thread_count = 3;
  videoCtx->bit_rate = 1024000;

  // Options a decoder does not know are left in the dictionary and ignored.
  AVDictionary *opts = nullptr;
  av_dict_set(&opts, "buffer_size", "3072000", 0);
  av_dict_set(&opts, "max_delay", "1000000", 0);
  av_dict_set(&opts, "rtsp_transport", "tcp", 0);
  int opened = avcodec_open2(videoCtx, videoCodec, &opts);
  av_dict_free(&opts);
  if (opened < 0) {
    printf("Couldn't open codec\n");
    return;
  }

  videoParser = av_parser_init(codecId);
  if (!videoParser) {
    printf("cannot allocate parser context to pCodecCtx\n");
    return;
  }

  decodedPicture = av_frame_alloc();
  yuvFrame = av_frame_alloc();  // 0 x 0 until the first picture
  if (!decodedPicture || !yuvFrame) return;

  audioPacket = av_packet_alloc();
  if (!audioPacket) return;
  audioCodec = avcodec_find_decoder(static_cast<AVCodecID>(audioCodecId));
  if (!audioCodec) {
    printf("Codec_a not find\n");
    return;
  }
  audioCtx = avcodec_alloc_context3(audioCodec);
  if (!audioCtx) {
    printf("cannot allocate codec context to pCodecCtx_a\n");
    return;
  }
  audioCtx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  audioParser = av_parser_init(audioCodecId);
  if (!audioParser) {
    printf("cannot allocate parser context to pCodecCtx_a\n");
    return;
  }
  if (avcodec_open2(audioCtx, audioCodec, nullptr) < 0) {
    printf("Couldn't open codec_a\n");
    return;
  }

  decodedAudio = av_frame_alloc();
  if (!decodedAudio) return;

  pcmBlockSize = av_samples_get_buffer_size(nullptr, 1, kPcmSamples,
                                            AV_SAMPLE_FMT_S16, 1);
  pcmBuffer.reserve(2 * (size_t)pcmBlockSize);
  qDebug().noquote() << texts.initEnd;
}

void DemuxerBase::end() {
  sws_freeContext(swsCtx);
  swsCtx = nullptr;
  swsSrcFormat = -1;
  av_packet_free(&videoPacket);
  av_frame_free(&yuvFrame);
  av_frame_free(&decodedPicture);
  avcodec_free_context(&videoCtx);  // closes it first
  if (videoParser) av_parser_close(videoParser);
  videoParser = nullptr;
  videoCodec = nullptr;

  av_packet_free(&audioPacket);
  av_frame_free(&decodedAudio);
  avcodec_free_context(&audioCtx);
  if (audioParser) av_parser_close(audioParser);
  audioParser = nullptr;
  audioCodec = nullptr;
}

void DemuxerBase::decodeVideo(const uint8_t *data, int size) {
  if (!videoCtx || !avcodec_is_open(videoCtx) || !videoParser ||
      !videoPacket || !decodedPicture)
    return;
  parseAndDecode(videoParser, videoCtx, videoPacket, decodedPicture, data,
                 size, "avcodec_send_packet error",
                 "avcodec_receive_frame error", &DemuxerBase::showPicture);
}

void DemuxerBase::parseAndDecode(AVCodecParserContext *parser,
                                 AVCodecContext *ctx, AVPacket *packet,
                                 AVFrame *frame, const uint8_t *data, int size,
                                 const char *sendFail, const char *receiveFail,
                                 void (DemuxerBase::*onFrame)(AVFrame *)) {
  if (!data || size <= 0) return;

  // Private, zero-padded copy: the parser and decoder may read a little
  // past the end of their input.
  inputCopy.assign(data, data + size);
  inputCopy.resize((size_t)size + AV_INPUT_BUFFER_PADDING_SIZE, 0);

  const uint8_t *p = inputCopy.data();
  int left = size;
  int stalls = 0;
  while (left > 0) {
    uint8_t *out = nullptr;
    int outSize = 0;
    int used = av_parser_parse2(parser, ctx, &out, &outSize, p, left,
                                AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return;
    p += used;
    left -= used;
    // A parser that takes nothing twice running would never finish.
    stalls = used == 0 ? stalls + 1 : 0;
    if (stalls > 1) return;
    if (outSize == 0) continue;

    packet->data = out;
    packet->size = outSize;
    int sent = avcodec_send_packet(ctx, packet);
    packet->data = nullptr;
    packet->size = 0;
    if (sent < 0) {
      // Only this packet is lost. The bytes left in the input already
      // belong to the next frame (the parser hands a frame over once it
      // sees the next one begin), so they are still parsed: dropping them
      // could lose the I-frame or the frame header that ends the damage.
      qDebug().noquote() << sendFail;
      continue;
    }
    for (;;) {
      int r = avcodec_receive_frame(ctx, frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
      if (r < 0) {
        qDebug().noquote() << receiveFail;
        break;
      }
      (this->*onFrame)(frame);
      av_frame_unref(frame);
    }
  }
}

void DemuxerBase::showPicture(AVFrame *picture) {
  const int w = picture->width, h = picture->height;
  if (!yuvFrame || !swsCtx || yuvFrame->width != w || yuvFrame->height != h ||
      swsSrcFormat != picture->format) {
    // First picture after set-up or a new size: make the converter and
    // yuvFrame for it and skip this one picture.
    qDebug().noquote() << "【重建】分辨率切换，跳过本帧";
    rebuildPicture(picture);
    return;
  }
  sws_scale(swsCtx, picture->data, picture->linesize, 0, h, yuvFrame->data,
            yuvFrame->linesize);
  if (!isSignalConnected(QMetaMethod::fromSignal(&DemuxerBase::sigGetVedioFrame)))
    return;
  AVFrame *copy = qmx_player_copyPicture(inFlight, yuvFrame);
  if (!copy) {
    droppedPictureCount++;
    return;
  }
  emit sigGetVedioFrame(copy, w, h);
}

void DemuxerBase::rebuildPicture(const AVFrame *picture) {
  sws_freeContext(swsCtx);
  swsCtx = nullptr;
  swsSrcFormat = -1;
  av_frame_free(&yuvFrame);
  yuvFrame = av_frame_alloc();
  if (!yuvFrame) return;
  const int w = picture->width, h = picture->height;
  if (w <= 0 || h <= 0 || picture->format < 0) return;
  yuvFrame->width = w;
  yuvFrame->height = h;
  yuvFrame->format = AV_PIX_FMT_YUV420P;
  if (av_frame_get_buffer(yuvFrame, 32) < 0) {
    // Leave it 0 x 0 so that the next picture tries again.
    av_frame_unref(yuvFrame);
    yuvFrame->width = yuvFrame->height = 0;
    return;
  }
  swsCtx = sws_getContext(w, h, static_cast<AVPixelFormat>(picture->format),
                          w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                          nullptr, nullptr);
  if (swsCtx) swsSrcFormat = picture->format;
}

void DemuxerBase::decodeAudio(const uint8_t *data, int size) {
  if (!audioCtx || !avcodec_is_open(audioCtx) || !audioParser ||
      !audioPacket || !decodedAudio)
    return;
  parseAndDecode(audioParser, audioCtx, audioPacket, decodedAudio, data, size,
                 texts.audioSendFail, texts.audioReceiveFail,
                 &DemuxerBase::convertAudio);
}

bool DemuxerBase::prepareResampler(const AVFrame *frame) {
  if (frame->nb_samples <= 0 || frame->sample_rate <= 0 ||
      frame->ch_layout.nb_channels <= 0 || frame->format < 0)
    return false;
  if (swrReady && swrInFormat == frame->format &&
      swrInRate == frame->sample_rate &&
      av_channel_layout_compare(&swrInLayout, &frame->ch_layout) == 0)
    return true;

  // The card's audio is planar float, 16 kHz mono; anything else is
  // converted from what the decoder really delivered.
  swr_free(&swrCtx);
  swrReady = false;
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  if (swr_alloc_set_opts2(&swrCtx, &mono, AV_SAMPLE_FMT_S16, kPcmRate,
                          const_cast<AVChannelLayout *>(&frame->ch_layout),
                          static_cast<AVSampleFormat>(frame->format),
                          frame->sample_rate, 0, nullptr) < 0 ||
      swr_init(swrCtx) < 0) {
    swr_free(&swrCtx);
    return false;
  }
  av_channel_layout_uninit(&swrInLayout);
  if (av_channel_layout_copy(&swrInLayout, &frame->ch_layout) < 0) {
    swr_free(&swrCtx);
    return false;
  }
  swrInFormat = frame->format;
  swrInRate = frame->sample_rate;
  swrReady = true;
  return true;
}

void DemuxerBase::convertAudio(AVFrame *frame) {
  if (!prepareResampler(frame) || pcmBlockSize <= 0) return;
  int maxOut = swr_get_out_samples(swrCtx, frame->nb_samples);
  if (maxOut <= 0) return;
  resampled.resize((size_t)maxOut * 2);
  uint8_t *out = resampled.data();
  int n = swr_convert(swrCtx, &out, maxOut,
                      const_cast<const uint8_t **>(frame->extended_data),
                      frame->nb_samples);
  if (n <= 0) return;
  pcmBuffer.insert(pcmBuffer.end(), resampled.begin(),
                   resampled.begin() + (size_t)n * 2);
  // Whole blocks go out; a remainder (only when resampling) waits for the
  // next frame.
  size_t taken = 0;
  while (pcmBuffer.size() - taken >= (size_t)pcmBlockSize) {
    handOverPcm(pcmBuffer.data() + taken);
    taken += (size_t)pcmBlockSize;
  }
  pcmBuffer.erase(pcmBuffer.begin(), pcmBuffer.begin() + taken);
}

void DemuxerBase::handOverPcm(const uint8_t *block) {
  if (!isSignalConnected(QMetaMethod::fromSignal(&DemuxerBase::sigGetAudioFrame)))
    return;
  const char *copy = qmx_player_copyPcm(inFlight, block, pcmBlockSize);
  if (!copy) {
    droppedPcmCount++;
    return;
  }
  emit sigGetAudioFrame(copy, pcmBlockSize);
}
