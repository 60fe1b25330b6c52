// Video decoder of a card's channel (H.264 or H.265), fed whole stored
// frames: each stored frame is one access unit in start-code form and goes
// to the decoder as one packet, so nothing is held back waiting for the
// next frame. Every picture comes out as planar YUV 4:2:0 with its pts set
// to the card time (Unix ms) of the stored frame it was decoded from.
//
// No Qt and no lock: one decoder belongs to one thread (a playback worker,
// or cardtool).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

class VideoDecoder {
 public:
  enum class Mode {
    // Frame threads on every core: the fastest, but a picture comes out a
    // few frames after its stored frame went in (drain() gets the rest).
    Threaded,
    // One thread, low-delay flag: each picture comes out as soon as its
    // stored frame went in, so the decoder's state always matches the last
    // frame sent (frame steps, stills).
    LowDelay,
  };

  VideoDecoder() = default;
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder &) = delete;
  VideoDecoder &operator=(const VideoDecoder &) = delete;

  // Opens a decoder for FFmpeg's codec id (27 H.264, 173 H.265), closing the
  // one before. False, with *error (when not null), on failure.
  bool open(int codecId, Mode mode, std::string *error = nullptr);
  void close();
  bool isOpen() const { return ctx != nullptr; }
  int codec() const { return codecId; }
  Mode mode() const { return openMode; }

  // Sends one stored frame of card time pts and appends every picture that
  // came out (owned by the caller, released with av_frame_free). False when
  // the decoder refused the frame (damaged data); later frames still decode.
  bool decode(const uint8_t *data, int size, int64_t pts, std::vector<AVFrame *> *out);
  // End of the stream: appends the pictures still inside. The decoder is
  // flushed before the next frame is sent.
  void drain(std::vector<AVFrame *> *out);
  // Forgets every frame inside (a restart or a seek follows).
  void flush();

  // Frame threads used in Threaded mode: the machine's cores, 2 to 8.
  static int threadCount();

 private:
  void receive(std::vector<AVFrame *> *out);
  AVFrame *toYuv420(AVFrame *decoded);

  AVCodecContext *ctx = nullptr;
  AVPacket *packet = nullptr;
  AVFrame *decoded = nullptr;
  int codecId = 0;
  Mode openMode = Mode::LowDelay;
  bool drained = false;
  // Converter for pictures that are not already YUV 4:2:0, made for one
  // size and format at a time.
  SwsContext *sws = nullptr;
  int swsWidth = 0, swsHeight = 0, swsFormat = -1;
};

// True when a stored video frame starts a group of pictures: an H.264 IDR
// slice or parameter set, or an H.265 random-access picture or parameter set.
bool qmx_isKeyFrame(int codecId, const uint8_t *data, int size);
