#include "video_decoder.h"

#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/imgutils.h>
}

VideoDecoder::~VideoDecoder() { close(); }

int VideoDecoder::threadCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 2u, 8u));
}

bool VideoDecoder::open(int id, Mode mode, std::string *error) {
  close();
  const AVCodec *codec = avcodec_find_decoder(static_cast<AVCodecID>(id));
  if (!codec) {
    if (error) *error = "no decoder for codec " + std::to_string(id);
    return false;
  }
  ctx = avcodec_alloc_context3(codec);
  packet = av_packet_alloc();
  decoded = av_frame_alloc();
  if (!ctx || !packet || !decoded) {
    if (error) *error = "out of memory";
    close();
    return false;
  }
  if (mode == Mode::LowDelay) {
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->thread_count = 1;
  } else {
    ctx->thread_count = threadCount();
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  }
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    if (error) *error = "cannot open the decoder";
    close();
    return false;
  }
  codecId = id;
  openMode = mode;
  drained = false;
  return true;
}

void VideoDecoder::close() {
  avcodec_free_context(&ctx);
  av_packet_free(&packet);
  av_frame_free(&decoded);
  sws_freeContext(sws);
  sws = nullptr;
  swsFormat = -1;
  codecId = 0;
  drained = false;
}

void VideoDecoder::flush() {
  if (ctx) avcodec_flush_buffers(ctx);
  drained = false;
}

bool VideoDecoder::decode(const uint8_t *data, int size, int64_t pts,
                          std::vector<AVFrame *> *out) {
  if (!ctx || !data || size <= 0) return false;
  if (drained) flush();
  // A private copy with the zeroed padding the decoder may read past the end.
  av_packet_unref(packet);
  if (av_new_packet(packet, size) < 0) return false;
  memcpy(packet->data, data, static_cast<size_t>(size));
  packet->pts = pts;
  int r = avcodec_send_packet(ctx, packet);
  if (r == AVERROR(EAGAIN)) {
    // Pictures are waiting to be taken first.
    receive(out);
    r = avcodec_send_packet(ctx, packet);
  }
  av_packet_unref(packet);
  receive(out);
  return r >= 0;
}

void VideoDecoder::drain(std::vector<AVFrame *> *out) {
  if (!ctx || drained) return;
  if (avcodec_send_packet(ctx, nullptr) >= 0) receive(out);
  drained = true;
}

void VideoDecoder::receive(std::vector<AVFrame *> *out) {
  for (;;) {
    const int r = avcodec_receive_frame(ctx, decoded);
    if (r < 0) return;  // EAGAIN, end of stream, or an error in this frame
    if (decoded->pts == AV_NOPTS_VALUE) decoded->pts = decoded->best_effort_timestamp;
    AVFrame *picture = toYuv420(decoded);
    av_frame_unref(decoded);
    if (picture && out) out->push_back(picture);
    else av_frame_free(&picture);
  }
}

// The cards hold 8-bit 4:2:0, which is handed on as a new reference to the
// decoder's own buffers; anything else is converted.
AVFrame *VideoDecoder::toYuv420(AVFrame *picture) {
  const int w = picture->width, h = picture->height;
  if (w <= 0 || h <= 0) return nullptr;
  if (picture->format == AV_PIX_FMT_YUV420P || picture->format == AV_PIX_FMT_YUVJ420P) {
    AVFrame *ref = av_frame_clone(picture);
    if (ref) ref->format = AV_PIX_FMT_YUV420P;
    return ref;
  }
  if (!sws || swsWidth != w || swsHeight != h || swsFormat != picture->format) {
    sws_freeContext(sws);
    sws = sws_getContext(w, h, static_cast<AVPixelFormat>(picture->format), w, h,
                         AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    swsWidth = w;
    swsHeight = h;
    swsFormat = sws ? picture->format : -1;
    if (!sws) return nullptr;
  }
  AVFrame *yuv = av_frame_alloc();
  if (!yuv) return nullptr;
  yuv->width = w;
  yuv->height = h;
  yuv->format = AV_PIX_FMT_YUV420P;
  if (av_frame_get_buffer(yuv, 32) < 0 ||
      sws_scale(sws, picture->data, picture->linesize, 0, h, yuv->data, yuv->linesize) != h) {
    av_frame_free(&yuv);
    return nullptr;
  }
  yuv->pts = picture->pts;
  return yuv;
}

bool qmx_isKeyFrame(int codecId, const uint8_t *data, int size) {
  if (!data) return false;
  for (int i = 0; i + 3 < size; i++) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if (codecId == AV_CODEC_ID_H264) {
      const int type = header & 0x1F;
      if (type == 5 || type == 7) return true;
      if (type == 1) return false;  // a slice of a non-IDR picture
    } else {
      const int type = (header >> 1) & 0x3F;
      if ((type >= 16 && type <= 21) || (type >= 32 && type <= 34)) return true;
      if (type < 16) return false;
    }
    i += 3;
  }
  return false;
}
