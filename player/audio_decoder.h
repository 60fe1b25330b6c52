// Sound decoder of a card's channel: AAC in ADTS frames to 16 kHz mono
// signed 16-bit PCM, the one format the window plays.
//
// No Qt and no lock: one decoder belongs to one thread.
#pragma once

#include <stdint.h>

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
}

class AudioDecoder {
 public:
  static const int kRate = 16000;        // samples per second, mono
  static const int kBytesPerSample = 2;  // signed 16-bit, little-endian

  AudioDecoder() = default;
  ~AudioDecoder();
  AudioDecoder(const AudioDecoder &) = delete;
  AudioDecoder &operator=(const AudioDecoder &) = delete;

  bool open();
  void close();
  bool isOpen() const { return ctx != nullptr; }

  // Decodes one stored sound frame (one or more ADTS frames, or any run of
  // them such as the silent AAC stream) and appends its PCM to *pcm.
  // Returns the number of samples appended; damaged frames add none.
  int decode(const uint8_t *data, int size, std::vector<uint8_t> *pcm);
  void flush();

 private:
  int decodePacket(const uint8_t *data, int size, std::vector<uint8_t> *pcm);
  bool prepareResampler(const AVFrame *frame);

  AVCodecContext *ctx = nullptr;
  AVPacket *packet = nullptr;
  AVFrame *frame = nullptr;
  // Made from the decoded frames' real format and remade when it changes.
  SwrContext *swr = nullptr;
  int swrFormat = -1;
  int swrRate = 0;
  AVChannelLayout swrLayout{};
};
