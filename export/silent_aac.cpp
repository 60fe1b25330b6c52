// One second of silent AAC (16 kHz, mono, AAC-LC) in ADTS frames, encoded
// once at start-up with FFmpeg's AAC encoder and ADTS writer into memory.
#include "silent_aac.h"

#include <stdio.h>
#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

// Written once by the start-up thread before the workers run; read-only after.
qmx_silentAacStream silentAac = {NULL, 0};

// Hands every packet the encoder has ready to the ADTS writer.
static void drainEncoder(AVCodecContext *enc, AVFormatContext *out,
                         AVPacket *pkt) {
  while (avcodec_receive_packet(enc, pkt) == 0) {
    pkt->stream_index = 0;
    av_packet_rescale_ts(pkt, enc->time_base, out->streams[0]->time_base);
    av_interleaved_write_frame(out, pkt);
    av_packet_unref(pkt);
  }
}

// Closes the dynamic buffer of a writer whose data is not kept.
static void discardDynBuf(AVFormatContext *out) {
  uint8_t *buf = NULL;
  avio_close_dyn_buf(out->pb, &buf);
  av_free(buf);
  out->pb = NULL;
}

int generateSilentAac(void) {
  // The stream is made once per process and kept to its end: the workers
  // hold on to its pointer, so a second window (tests make several) reuses it.
  if (silentAac.size > 0) {
    printf("Generated AAC with ADTS header: %d bytes\n", (int)silentAac.size);
    return 0;
  }
  silentAac.data = NULL;
  silentAac.size = 0;

  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) {
    fprintf(stderr, "AAC encoder not found\n");
    return -1;
  }
  AVCodecContext *enc = avcodec_alloc_context3(codec);
  if (!enc) {
    fprintf(stderr, "Failed to allocate codec context\n");
    return -1;
  }
  enc->codec_type = AVMEDIA_TYPE_AUDIO;
  enc->profile = FF_PROFILE_AAC_LOW;
  enc->sample_rate = 16000;
  av_channel_layout_uninit(&enc->ch_layout);
  enc->ch_layout = (AVChannelLayout)AV_CHANNEL_LAYOUT_MONO;
  enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
  enc->frame_size = 1024;
  enc->bit_rate = 64000;
  enc->time_base = AVRational{1, 16000};
  enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(enc, codec, NULL) < 0) {
    fprintf(stderr, "Failed to open codec\n");
    avcodec_free_context(&enc);
    return -1;
  }

  AVFormatContext *out = NULL;
  if (avformat_alloc_output_context2(&out, NULL, "adts", NULL) < 0 || !out) {
    fprintf(stderr, "Failed to create ADTS muxer\n");
    avcodec_free_context(&enc);
    return -1;
  }
  AVStream *st = avformat_new_stream(out, NULL);
  if (!st || avcodec_parameters_from_context(st->codecpar, enc) < 0) {
    fprintf(stderr, "Failed to create stream\n");
    avformat_free_context(out);
    avcodec_free_context(&enc);
    return -1;
  }
  st->time_base = enc->time_base;
  if (avio_open_dyn_buf(&out->pb) < 0) {
    fprintf(stderr, "Failed to open dynamic buffer\n");
    out->pb = NULL;
    avformat_free_context(out);
    avcodec_free_context(&enc);
    return -1;
  }
  if (avformat_write_header(out, NULL) < 0) {
    fprintf(stderr, "Failed to write ADTS header\n");
    discardDynBuf(out);
    avformat_free_context(out);
    avcodec_free_context(&enc);
    return -1;
  }

  AVFrame *frame = av_frame_alloc();
  if (!frame) {
    fprintf(stderr, "Failed to allocate frame\n");
    discardDynBuf(out);
    avformat_free_context(out);
    avcodec_free_context(&enc);
    return -1;
  }
  frame->nb_samples = enc->frame_size;
  frame->format = enc->sample_fmt;
  frame->sample_rate = enc->sample_rate;
  if (av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 ||
      av_frame_get_buffer(frame, 0) < 0) {
    fprintf(stderr, "Failed to allocate frame buffers\n");
    av_frame_free(&frame);
    discardDynBuf(out);
    avformat_free_context(out);
    avcodec_free_context(&enc);
    return -1;
  }
  // Planar float: one plane per channel, 0.0 is all-zero bytes.
  for (int ch = 0; ch < frame->ch_layout.nb_channels; ch++)
    memset(frame->extended_data[ch], 0,
           (size_t)frame->nb_samples * sizeof(float));

  AVPacket *pkt = av_packet_alloc();
  if (!pkt) {
    fprintf(stderr, "Failed to allocate packet\n");
    av_frame_free(&frame);
    discardDynBuf(out);
    avformat_free_context(out);
    avcodec_free_context(&enc);
    return -1;
  }

  const int frames = enc->sample_rate / enc->frame_size;  // 15
  for (int i = 0; i < frames; i++) {
    frame->pts = (int64_t)i * enc->frame_size;
    if (avcodec_send_frame(enc, frame) < 0) {
      fprintf(stderr, "Error sending frame\n");
      break;
    }
    drainEncoder(enc, out, pkt);
  }
  avcodec_send_frame(enc, NULL);
  drainEncoder(enc, out, pkt);

  av_write_trailer(out);
  uint8_t *buf = NULL;
  int len = avio_close_dyn_buf(out->pb, &buf);
  out->pb = NULL;
  silentAac.data = buf;
  silentAac.size = len > 0 ? (uint32_t)len : 0;

  av_frame_free(&frame);
  av_packet_free(&pkt);
  avformat_free_context(out);
  avcodec_free_context(&enc);

  printf("Generated AAC with ADTS header: %d bytes\n", (int)silentAac.size);
  return 0;
}
