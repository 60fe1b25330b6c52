#include "still.h"

#include <cstdio>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

// A search never decodes more than this many frames (a broken card could
// otherwise hold the reader for a very long time).
const int kMaxFrames = 100000;
// How far back an I-frame is looked for at most.
const int64_t kMaxLookBackMs = 3600 * 1000;

struct Locked {
  explicit Locked(ReaderLock &l) : lock(l) { lock.lock(); }
  ~Locked() { lock.unlock(); }
  ReaderLock &lock;
};

int codecIdOf(int videoType) {
  return videoType == 1 ? AV_CODEC_ID_H264 : videoType == 0 ? AV_CODEC_ID_HEVC : 0;
}

}  // namespace

bool qmx_seekKeyAtOrBefore(FrameReader &reader, int64_t tMs, ReaderLock &lock) {
  const int64_t start = reader.startMs();
  if (tMs < start) return false;
  // A seek lands on the first I-frame at or after its target: step the
  // target back until that I-frame is not later than tMs.
  for (int64_t back = 0;; back = back ? back * 2 : 1000) {
    const int64_t target = std::max(tMs - back, start);
    FrameInfo info;
    int found;
    {
      Locked held(lock);
      found = reader.seek(static_cast<uint64_t>(target - start)) ? reader.peek(&info) : -1;
    }
    if (found == 1 && info.time <= tMs) return true;
    if (target == start || back >= kMaxLookBackMs) return false;
  }
}

AVFrame *qmx_decodeUpTo(FrameReader &reader, VideoDecoder &decoder, int64_t tMs,
                        ReaderLock &lock) {
  AVFrame *last = nullptr;
  std::vector<AVFrame *> pictures;
  auto keepLast = [&] {
    for (AVFrame *p : pictures) {
      av_frame_free(&last);
      last = p;
    }
    pictures.clear();
  };
  for (int n = 0; n < kMaxFrames; n++) {
    const uint8_t *data = nullptr;
    int size = 0;
    FrameInfo info;
    int r;
    {
      Locked held(lock);
      r = reader.peek(&info);
      if (r == 1 && info.video && info.time > tMs) break;
      if (r == 1) r = reader.take(&data, &size, &info);
      if (r == 1 && info.video) decoder.decode(data, size, info.time, &pictures);
    }
    if (r != 1) break;
    keepLast();
  }
  if (decoder.mode() == VideoDecoder::Mode::Threaded) decoder.drain(&pictures);
  keepLast();
  return last;
}

bool qmx_writePng(const AVFrame *picture, const std::string &path, std::string *error) {
  auto fail = [error](const char *why) {
    if (error) *error = why;
    return false;
  };
  if (!picture || picture->width <= 0 || picture->height <= 0) return fail("no picture");
  const int w = picture->width, h = picture->height;
  const AVCodec *png = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!png) return fail("no PNG encoder");

  AVFrame *rgb = av_frame_alloc();
  AVCodecContext *ctx = avcodec_alloc_context3(png);
  AVPacket *packet = av_packet_alloc();
  // The same conversion as ffmpeg's command line with these flags, so that
  // a still can be checked against it.
  SwsContext *sws = sws_getContext(w, h, static_cast<AVPixelFormat>(picture->format), w, h,
                                   AV_PIX_FMT_RGB24,
                                   SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                   nullptr, nullptr);
  bool ok = false;
  const char *why = "out of memory";
  if (rgb && ctx && packet && sws) {
    rgb->width = w;
    rgb->height = h;
    rgb->format = AV_PIX_FMT_RGB24;
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 25};
    if (av_frame_get_buffer(rgb, 32) < 0) {
    } else if (sws_scale(sws, picture->data, picture->linesize, 0, h, rgb->data, rgb->linesize) !=
               h) {
      why = "cannot convert the picture";
    } else if (avcodec_open2(ctx, png, nullptr) < 0 || avcodec_send_frame(ctx, rgb) < 0 ||
               avcodec_receive_packet(ctx, packet) < 0) {
      why = "cannot encode the PNG";
    } else {
      FILE *f = fopen(path.c_str(), "wb");
      if (!f) {
        why = "cannot create the file";
      } else {
        ok = fwrite(packet->data, 1, static_cast<size_t>(packet->size), f) ==
             static_cast<size_t>(packet->size);
        ok = fclose(f) == 0 && ok;
        if (!ok) {
          why = "cannot write the file";
          remove(path.c_str());
        }
      }
    }
  }
  sws_freeContext(sws);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  av_frame_free(&rgb);
  return ok || fail(why);
}

bool qmx_still(int layout, int channel, int64_t tMs, const std::string &path, int64_t *shownMs,
               std::string *error) {
  auto fail = [error](const std::string &why) {
    if (error) *error = why;
    return false;
  };
  if (tMs < 0) return fail("the time must not be negative");
  FrameReader reader(layout, channel);
  ReaderLock alone;
  int videoType = layout == 1 ? qmx_storage_getVideoType() : -1;
  // The handle starts a day early so that the I-frame before tMs can be
  // reached by seeking forward from its start.
  const int64_t startSec = std::max<int64_t>(tMs / 1000 - 86400, 0);
  if (reader.open(startSec, layout == 1 ? nullptr : &videoType) != 0)
    return fail("channel " + std::to_string(channel) + " has no recording to play");
  const int codecId = codecIdOf(videoType);
  if (!codecId) return fail("the recording's codec is neither H.264 nor H.265");
  if (!qmx_seekKeyAtOrBefore(reader, tMs, alone))
    return fail("no recorded picture at or before that time");
  VideoDecoder decoder;
  std::string why;
  if (!decoder.open(codecId, VideoDecoder::Mode::LowDelay, &why)) return fail(why);
  AVFrame *picture = qmx_decodeUpTo(reader, decoder, tMs, alone);
  reader.close();
  if (!picture) return fail("the pictures up to that time do not decode");
  if (shownMs) *shownMs = picture->pts;
  const bool written = qmx_writePng(picture, path, &why);
  av_frame_free(&picture);
  return written || fail(why);
}
