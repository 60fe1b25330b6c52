#include "media_fixture.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

int fixtureLevel(int i) { return 32 + 12 * i; }

namespace {

void drain(AVCodecContext *ctx, AVPacket *pkt, std::vector<Bytes> &out) {
  while (avcodec_receive_packet(ctx, pkt) == 0) {
    out.emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
}

Bytes adtsHeader(int sampleRate, int channels, size_t payload) {
  static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                              22050, 16000, 12000, 11025, 8000,  7350};
  int index = 15;
  for (int i = 0; i < 13; i++)
    if (rates[i] == sampleRate) index = i;
  size_t len = payload + 7;
  Bytes h(7);
  h[0] = 0xFF;
  h[1] = 0xF1;  // MPEG-4, no CRC
  h[2] = (uint8_t)((1 << 6) | (index << 2) | (channels >> 2));  // AAC LC
  h[3] = (uint8_t)(((channels & 3) << 6) | (len >> 11));
  h[4] = (uint8_t)((len >> 3) & 0xFF);
  h[5] = (uint8_t)(((len & 7) << 5) | 0x1F);
  h[6] = 0xFC;
  return h;
}

}  // namespace

std::vector<Bytes> encodeVideo(int codecId, int width, int height, int count,
                               int levelBase) {
  std::vector<Bytes> out;
  const AVCodec *codec =
      avcodec_find_encoder_by_name(codecId == 173 ? "libx265" : "libx264");
  if (!codec) return out;
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = AVRational{1, 12};
  ctx->framerate = AVRational{12, 1};
  ctx->gop_size = 250;
  ctx->max_b_frames = 0;
  ctx->thread_count = 1;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  if (codecId == 173)
    av_opt_set(ctx->priv_data, "x265-params", "log-level=error", 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame *f = av_frame_alloc();
  f->width = width;
  f->height = height;
  f->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(f, 0);
  AVPacket *pkt = av_packet_alloc();
  for (int i = 0; i < count; i++) {
    av_frame_make_writable(f);
    for (int y = 0; y < height; y++)
      memset(f->data[0] + y * f->linesize[0], fixtureLevel(levelBase + i),
             width);
    for (int p = 1; p < 3; p++)
      for (int y = 0; y < height / 2; y++)
        memset(f->data[p] + y * f->linesize[p], 128, width / 2);
    f->pts = i;
    avcodec_send_frame(ctx, f);
    drain(ctx, pkt, out);
  }
  avcodec_send_frame(ctx, nullptr);
  drain(ctx, pkt, out);
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return out;
}

std::vector<Bytes> encodeAacTone(int sampleRate, int channels, int frames) {
  std::vector<Bytes> out;
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) return out;
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = sampleRate;
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx->bit_rate = 64000;
  ctx->time_base = AVRational{1, sampleRate};
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame *f = av_frame_alloc();
  f->nb_samples = ctx->frame_size;
  f->format = ctx->sample_fmt;
  f->sample_rate = sampleRate;
  av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout);
  av_frame_get_buffer(f, 0);
  AVPacket *pkt = av_packet_alloc();
  std::vector<Bytes> raw;
  for (int i = 0; i < frames; i++) {
    av_frame_make_writable(f);
    for (int c = 0; c < channels; c++) {
      float *s = (float *)f->extended_data[c];
      for (int n = 0; n < f->nb_samples; n++)
        s[n] = 0.5f * std::sin(2 * M_PI * 440.0 *
                               (double)(i * f->nb_samples + n) / sampleRate);
    }
    f->pts = (int64_t)i * f->nb_samples;
    avcodec_send_frame(ctx, f);
    drain(ctx, pkt, raw);
  }
  avcodec_send_frame(ctx, nullptr);
  drain(ctx, pkt, raw);
  for (const Bytes &r : raw) {
    Bytes frame = adtsHeader(sampleRate, channels, r.size());
    frame.insert(frame.end(), r.begin(), r.end());
    out.push_back(frame);
  }
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return out;
}

double meanLuma(const uint8_t *y, int linesize, int width, int height) {
  double sum = 0;
  for (int r = 0; r < height; r++)
    for (int c = 0; c < width; c++) sum += y[r * linesize + c];
  return width > 0 && height > 0 ? sum / ((double)width * height) : 0;
}
