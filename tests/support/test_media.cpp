#include "test_media.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

// Encodes every frame `fill` prepares, then flushes; one entry per packet.
template <class Fill>
std::vector<Bytes> encode(AVCodecContext *ctx, AVFrame *f, int count,
                          Fill fill) {
  std::vector<Bytes> out;
  AVPacket *pkt = av_packet_alloc();
  for (int i = 0; i <= count; i++) {
    if (i < count) {
      av_frame_make_writable(f);
      fill(f, i);
    }
    avcodec_send_frame(ctx, i < count ? f : nullptr);
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      out.emplace_back(pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
  }
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return out;
}

}  // namespace

std::vector<Bytes> encodeVideo(int codecId, int width, int height, int count,
                               int levelBase) {
  const AVCodec *codec =
      avcodec_find_encoder_by_name(codecId == 173 ? "libx265" : "libx264");
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = AVRational{1, 12};
  ctx->gop_size = 250;
  ctx->max_b_frames = 0;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "x265-params", "log-level=error", 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return {};
  }
  AVFrame *f = av_frame_alloc();
  f->width = width;
  f->height = height;
  f->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(f, 0);
  return encode(ctx, f, count, [&](AVFrame *f, int i) {
    for (int p = 0; p < 3; p++)
      for (int y = 0; y < (p ? height / 2 : height); y++)
        memset(f->data[p] + y * f->linesize[p],
               p ? 128 : fixtureLevel(levelBase + i), p ? width / 2 : width);
    f->pts = i;
  });
}

std::vector<Bytes> encodeAacTone(int sampleRate, int channels, int frames) {
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = sampleRate;
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx->bit_rate = 64000;
  ctx->time_base = AVRational{1, sampleRate};
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return {};
  }
  AVFrame *f = av_frame_alloc();
  f->nb_samples = 1024;
  f->format = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout);
  av_frame_get_buffer(f, 0);
  std::vector<Bytes> raw = encode(ctx, f, frames, [&](AVFrame *f, int i) {
    for (int c = 0; c < channels; c++)
      for (int n = 0; n < 1024; n++)
        ((float *)f->extended_data[c])[n] =
            0.5f * (float)std::sin(2 * M_PI * 440 * (i * 1024 + n) / sampleRate);
    f->pts = (int64_t)i * 1024;
  });

  // Raw AAC frames get a 7-byte ADTS header: AAC LC, no CRC.
  const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                       22050, 16000, 12000, 11025, 8000};
  int index = 0;
  while (index < 11 && rates[index] != sampleRate) index++;
  std::vector<Bytes> out;
  for (const Bytes &r : raw) {
    size_t len = r.size() + 7;
    Bytes a = {0xFF, 0xF1, (uint8_t)(0x40 | index << 2 | channels >> 2),
               (uint8_t)((channels & 3) << 6 | len >> 11),
               (uint8_t)(len >> 3), (uint8_t)((len & 7) << 5 | 0x1F), 0xFC};
    a.insert(a.end(), r.begin(), r.end());
    out.push_back(a);
  }
  return out;
}

double meanLuma(const uint8_t *y, int linesize, int width, int height) {
  double sum = 0;
  for (int r = 0; r < height; r++)
    for (int c = 0; c < width; c++) sum += y[r * linesize + c];
  return sum / ((double)width * height);
}
