// The simulated camera: a moving test picture with the time and channel
// burned in, encoded as H.264 or H.265, and a tone encoded as AAC in ADTS
// frames. Or, for very large cards, frames of the same kinds and sizes with
// made-up bytes that cost no encoding.
#include "media.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kAudioRate = 16000;
constexpr int kAudioFrameSamples = 1024;
constexpr int64_t kAudioFrameMs = 64;  // 1024 samples at 16 kHz

// ---------------------------------------------------------------------------
// A 5x7 bitmap font for the characters the picture shows. Each row is five
// bits, the leftmost pixel in bit 4.
struct Glyph {
  char c;
  uint8_t rows[7];
};
const Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {' ', {0, 0, 0, 0, 0, 0, 0}},
};

const Glyph *glyphFor(char c) {
  for (const Glyph &g : kFont)
    if (g.c == c) return &g;
  return &kFont[sizeof(kFont) / sizeof(kFont[0]) - 1];
}

// Draws text into a luma plane at (x, y) with each font pixel scale x scale,
// white on a black box so it stays readable over the moving background.
void drawText(uint8_t *plane, int stride, int w, int h, int x, int y, int scale,
              const std::string &text) {
  const int cw = 6 * scale, ch = 9 * scale;
  for (int py = y - scale; py < y - scale + ch; ++py)
    for (int px = x - scale; px < x - scale + cw * static_cast<int>(text.size()) + scale; ++px)
      if (px >= 0 && py >= 0 && px < w && py < h) plane[py * stride + px] = 16;
  for (size_t i = 0; i < text.size(); ++i) {
    const Glyph *g = glyphFor(text[i]);
    for (int r = 0; r < 7; ++r)
      for (int c = 0; c < 5; ++c) {
        if (!(g->rows[r] & (0x10 >> c))) continue;
        for (int sy = 0; sy < scale; ++sy)
          for (int sx = 0; sx < scale; ++sx) {
            int px = x + static_cast<int>(i) * cw + c * scale + sx, py = y + r * scale + sy;
            if (px < w && py < h) plane[py * stride + px] = 235;
          }
      }
  }
}

std::string timeText(int64_t ms) {
  time_t secs = static_cast<time_t>(ms / 1000);
  struct tm tm;
  localtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

// Fills a YUV 4:2:0 picture: a drifting gradient, a square that moves one
// step per frame, a colour that tells the channels apart, and the time and
// channel as text.
void paintPicture(AVFrame *f, int channel, int64_t index, int64_t timeMs) {
  const int w = f->width, h = f->height;
  for (int y = 0; y < h; ++y) {
    uint8_t *row = f->data[0] + y * f->linesize[0];
    for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(40 + ((x + y + index * 2) & 127));
  }
  const int side = std::max(4, h / 6);
  const int sx = static_cast<int>((index * 4) % std::max(1, w - side));
  const int sy = h - side - 2 > 0 ? h - side - 2 : 0;
  for (int y = sy; y < sy + side && y < h; ++y)
    for (int x = sx; x < sx + side && x < w; ++x) f->data[0][y * f->linesize[0] + x] = 220;
  static const uint8_t tintU[4] = {160, 90, 128, 200}, tintV[4] = {100, 180, 200, 128};
  for (int y = 0; y < h / 2; ++y) {
    memset(f->data[1] + y * f->linesize[1], tintU[channel & 3], w / 2);
    memset(f->data[2] + y * f->linesize[2], tintV[channel & 3], w / 2);
  }
  const std::string line1 = timeText(timeMs);
  const std::string line2 = "CH" + std::to_string(channel + 1);
  int scale = std::max(1, std::min(3, (w - 8) / (6 * static_cast<int>(line1.size()))));
  drawText(f->data[0], f->linesize[0], w, h, 4, 4, scale, line1);
  drawText(f->data[0], f->linesize[0], w, h, 4, 4 + 10 * scale, scale, line2);
}

struct CodecCtxDeleter {
  void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket *p) const { av_packet_free(&p); }
};
using CodecCtx = std::unique_ptr<AVCodecContext, CodecCtxDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

std::string avError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

void quietFfmpeg() {
  static bool done = false;
  if (!done) av_log_set_level(AV_LOG_ERROR);
  done = true;
}

// One encoder for a whole recording; encoded packets come out in order and
// are matched to the input frames by their presentation stamp.
class VideoEncoder {
 public:
  bool open(const Scenario &s, std::string *error) {
    quietFfmpeg();
    const char *name = s.codec == 1 ? "libx264" : "libx265";
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
      *error = std::string("video encoder ") + name + " is not available";
      return false;
    }
    ctx_.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = ctx_.get();
    c->width = s.width;
    c->height = s.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, s.fps};
    c->framerate = AVRational{s.fps, 1};
    c->gop_size = s.gop;
    c->keyint_min = s.gop;
    c->max_b_frames = 0;
    c->thread_count = 1;  // the machine is shared; small pictures need no threads
    c->bit_rate = static_cast<int64_t>(s.width) * s.height * s.fps / 8;
    // No global header: every key frame carries its own parameter sets in
    // the stream, as the recorder's frames do.
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "preset", "ultrafast", 0);
    av_dict_set(&opts, "tune", "zerolatency", 0);
    av_dict_set(&opts, "forced-idr", "1", 0);
    std::string params = "keyint=" + std::to_string(s.gop) + ":min-keyint=" +
                         std::to_string(s.gop) + ":scenecut=0:bframes=0:repeat-headers=1";
    if (s.codec == 1) {
      av_dict_set(&opts, "x264-params", params.c_str(), 0);
    } else {
      params += ":open-gop=0:frame-threads=1:pools=none:log-level=error";
      av_dict_set(&opts, "x265-params", params.c_str(), 0);
    }
    int err = avcodec_open2(c, codec, &opts);
    av_dict_free(&opts);
    if (err < 0) {
      *error = std::string("cannot open ") + name + ": " + avError(err);
      return false;
    }
    frame_.reset(av_frame_alloc());
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = s.width;
    frame_->height = s.height;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) {
      *error = "cannot allocate a picture";
      return false;
    }
    pkt_.reset(av_packet_alloc());
    return true;
  }

  // Encodes picture `index`; appends whatever packets are ready.
  bool encode(int channel, int64_t index, int64_t timeMs, bool key, std::string *error) {
    if (av_frame_make_writable(frame_.get()) < 0) {
      *error = "cannot write the picture";
      return false;
    }
    paintPicture(frame_.get(), channel, index, timeMs);
    frame_->pts = index;
    frame_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    return send(frame_.get(), error);
  }
  bool flush(std::string *error) { return send(nullptr, error); }

  struct Packet {
    int64_t index;
    bool key;
    std::vector<uint8_t> data;
  };
  std::deque<Packet> ready;

 private:
  bool send(AVFrame *f, std::string *error) {
    int err = avcodec_send_frame(ctx_.get(), f);
    if (err < 0 && err != AVERROR_EOF) {
      *error = "video encoding failed: " + avError(err);
      return false;
    }
    while ((err = avcodec_receive_packet(ctx_.get(), pkt_.get())) >= 0) {
      ready.push_back({pkt_->pts, (pkt_->flags & AV_PKT_FLAG_KEY) != 0,
                       std::vector<uint8_t>(pkt_->data, pkt_->data + pkt_->size)});
      av_packet_unref(pkt_.get());
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
      *error = "video encoding failed: " + avError(err);
      return false;
    }
    return true;
  }

  CodecCtx ctx_;
  FramePtr frame_;
  PacketPtr pkt_;
};

// The ADTS header of one AAC-LC frame of 16 kHz mono sound.
void putAdtsHeader(uint8_t *h, size_t payload) {
  const size_t len = payload + 7;
  const int profile = 1;     // AAC LC (object type 2) minus one
  const int rateIndex = 8;   // 16000 Hz
  const int channels = 1;
  h[0] = 0xFF;
  h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
  h[2] = static_cast<uint8_t>((profile << 6) | (rateIndex << 2) | (channels >> 2));
  h[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((len >> 11) & 3));
  h[4] = static_cast<uint8_t>((len >> 3) & 0xFF);
  h[5] = static_cast<uint8_t>(((len & 7) << 5) | 0x1F);  // buffer fullness 0x7FF: variable rate
  h[6] = 0xFC;                                           // ... and one raw data block
}

class AudioEncoder {
 public:
  bool open(int channel, std::string *error) {
    quietFfmpeg();
    const AVCodec *codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
      *error = "audio encoder aac is not available";
      return false;
    }
    ctx_.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = ctx_.get();
    c->sample_rate = kAudioRate;
    av_channel_layout_default(&c->ch_layout, 1);
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->bit_rate = 32000;
    c->profile = FF_PROFILE_AAC_LOW;
    c->time_base = AVRational{1, kAudioRate};
    int err = avcodec_open2(c, codec, nullptr);
    if (err < 0) {
      *error = "cannot open the aac encoder: " + avError(err);
      return false;
    }
    frame_.reset(av_frame_alloc());
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->nb_samples = kAudioFrameSamples;
    frame_->sample_rate = kAudioRate;
    av_channel_layout_copy(&frame_->ch_layout, &c->ch_layout);
    if (av_frame_get_buffer(frame_.get(), 0) < 0) {
      *error = "cannot allocate a sound frame";
      return false;
    }
    pkt_.reset(av_packet_alloc());
    toneHz_ = 440.0 + 110.0 * channel;
    return true;
  }

  // The next ADTS frame; the encoder is fed with more tone until it has one.
  bool next(std::vector<uint8_t> *out, std::string *error) {
    while (ready_.empty()) {
      if (av_frame_make_writable(frame_.get()) < 0) {
        *error = "cannot write the sound frame";
        return false;
      }
      float *s = reinterpret_cast<float *>(frame_->data[0]);
      for (int i = 0; i < kAudioFrameSamples; ++i, ++sample_) {
        // A tone that beeps: on for half of every second.
        double on = (sample_ % kAudioRate) < kAudioRate / 2 ? 0.3 : 0.0;
        s[i] = static_cast<float>(on * std::sin(2 * M_PI * toneHz_ * sample_ / kAudioRate));
      }
      frame_->pts = sample_ - kAudioFrameSamples;
      int err = avcodec_send_frame(ctx_.get(), frame_.get());
      if (err < 0) {
        *error = "audio encoding failed: " + avError(err);
        return false;
      }
      while ((err = avcodec_receive_packet(ctx_.get(), pkt_.get())) >= 0) {
        std::vector<uint8_t> f(7 + pkt_->size);
        putAdtsHeader(f.data(), pkt_->size);
        memcpy(f.data() + 7, pkt_->data, pkt_->size);
        ready_.push_back(std::move(f));
        av_packet_unref(pkt_.get());
      }
      if (err != AVERROR(EAGAIN)) {
        *error = "audio encoding failed: " + avError(err);
        return false;
      }
    }
    *out = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }

 private:
  CodecCtx ctx_;
  FramePtr frame_;
  PacketPtr pkt_;
  std::deque<std::vector<uint8_t>> ready_;
  int64_t sample_ = 0;
  double toneHz_ = 440.0;
};

// ---------------------------------------------------------------------------
// Made-up frames. A fixed pool of bytes without zeros (so no start code can
// appear inside a payload) is copied from at a moving offset: fast enough for
// millions of frames.
class Synthetic {
 public:
  explicit Synthetic(const Scenario &s, const Recording &rec) : s_(s) {
    seed_ = static_cast<uint32_t>(rec.start * 31 + rec.channel * 7 + 1);
    if (pool().empty()) {
      uint32_t x = 0x12345678u;
      pool().resize(1 << 20);
      for (uint8_t &b : pool()) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>((x >> 24) | 1);
      }
    }
  }

  void video(bool key, std::vector<uint8_t> *out) {
    const size_t pixels = static_cast<size_t>(s_.width) * s_.height;
    // Roughly what the encoder makes of the test picture.
    size_t size = key ? pixels / 6 : pixels / 48;
    size = std::max<size_t>(size, 24);
    size += rand() % (size / 4 + 1);
    out->clear();
    out->reserve(size + 64);
    if (s_.codec == 1) {
      if (key) {
        nal(out, {0x67, 0x42, 0xC0, 0x1E}, 12);  // sequence parameter set
        nal(out, {0x68, 0xCE, 0x3C, 0x80}, 0);   // picture parameter set
        nal(out, {0x65, 0x88, 0x84}, size);      // IDR slice
      } else {
        nal(out, {0x41, 0x9A}, size);  // non-IDR slice
      }
    } else {
      if (key) {
        nal(out, {0x40, 0x01, 0x0C, 0x01}, 16);  // video parameter set
        nal(out, {0x42, 0x01, 0x01, 0x01}, 24);  // sequence parameter set
        nal(out, {0x44, 0x01, 0xC1, 0x72}, 4);   // picture parameter set
        nal(out, {0x26, 0x01, 0xAF}, size);      // IDR_W_RADL slice
      } else {
        nal(out, {0x02, 0x01, 0xD0}, size);  // TRAIL_R slice
      }
    }
  }

  void audio(std::vector<uint8_t> *out) {
    size_t payload = 160 + rand() % 96;
    out->resize(7 + payload);
    putAdtsHeader(out->data(), payload);
    copyPool(out->data() + 7, payload);
  }

 private:
  static std::vector<uint8_t> &pool() {
    static std::vector<uint8_t> p;
    return p;
  }
  uint32_t rand() {
    seed_ = seed_ * 1103515245u + 12345u;
    return seed_ >> 8;
  }
  void copyPool(uint8_t *dst, size_t n) {
    while (n) {
      size_t off = rand() % (pool().size() / 2);
      size_t k = std::min(n, pool().size() - off);
      memcpy(dst, pool().data() + off, k);
      dst += k;
      n -= k;
    }
  }
  void nal(std::vector<uint8_t> *out, std::initializer_list<uint8_t> header, size_t body) {
    static const uint8_t sc[4] = {0, 0, 0, 1};
    out->insert(out->end(), sc, sc + 4);
    out->insert(out->end(), header.begin(), header.end());
    size_t at = out->size();
    out->resize(at + body);
    copyPool(out->data() + at, body);
  }

  const Scenario &s_;
  uint32_t seed_;
};

}  // namespace

bool generateRecording(const Scenario &scenario, const Recording &rec, const FrameSink &sink,
                       std::string *error) {
  std::string localError;
  if (!error) error = &localError;
  const bool synthetic = scenario.media == "synthetic";
  const int64_t t0 = rec.start * 1000, tEnd = rec.end * 1000;
  const int fps = scenario.fps > 0 ? scenario.fps : 1;
  const int gop = scenario.gop > 0 ? scenario.gop : 1;
  auto videoTime = [&](int64_t i) { return t0 + i * 1000 / fps; };
  int64_t videoCount = 0;
  while (videoTime(videoCount) < tEnd) ++videoCount;
  const int64_t audioCount = scenario.audio ? (tEnd - t0 + kAudioFrameMs - 1) / kAudioFrameMs : 0;

  VideoEncoder venc;
  AudioEncoder aenc;
  std::unique_ptr<Synthetic> syn;
  if (synthetic) {
    syn.reset(new Synthetic(scenario, rec));
  } else {
    if (!venc.open(scenario, error)) return false;
    if (scenario.audio && !aenc.open(rec.channel, error)) return false;
  }

  StoredFrame f;
  int64_t vi = 0, ai = 0, sent = 0;
  while (vi < videoCount || ai < audioCount) {
    const int64_t vt = vi < videoCount ? videoTime(vi) : INT64_MAX;
    const int64_t at = ai < audioCount ? t0 + ai * kAudioFrameMs : INT64_MAX;
    f.recordedMs = std::min(vt, at);
    f.timeMs = clockTimeMs(scenario, rec.channel, f.recordedMs);
    if (vt <= at) {
      f.video = true;
      if (synthetic) {
        f.key = vi % gop == 0;
        syn->video(f.key, &f.data);
      } else {
        // Feed pictures until the one for frame vi has come out.
        while (venc.ready.empty()) {
          if (sent < videoCount) {
            if (!venc.encode(rec.channel, sent, clockTimeMs(scenario, rec.channel, videoTime(sent)),
                             sent % gop == 0, error))
              return false;
            ++sent;
          } else {
            if (!venc.flush(error)) return false;
            if (venc.ready.empty()) {
              *error = "the video encoder delivered fewer frames than it was given";
              return false;
            }
          }
        }
        VideoEncoder::Packet &p = venc.ready.front();
        f.key = p.key;
        f.data = std::move(p.data);
        venc.ready.pop_front();
      }
      ++vi;
    } else {
      f.video = false;
      f.key = false;
      if (synthetic) {
        syn->audio(&f.data);
      } else if (!aenc.next(&f.data, error)) {
        return false;
      }
      ++ai;
      // Encoded all the same, so that the tone goes on in time after a gap.
      if (soundLeftOut(scenario, rec.channel, at)) continue;
    }
    if (!sink(f)) return true;
  }
  return true;
}
