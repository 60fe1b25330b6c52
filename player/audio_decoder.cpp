#include "audio_decoder.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

// Length of the ADTS frame at p (header included), or 0 when p holds no
// whole, plausible frame.
int adtsLength(const uint8_t *p, int left) {
  if (left < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return 0;
  const int length = (p[3] & 0x03) << 11 | p[4] << 3 | p[5] >> 5;
  return length >= 7 && length <= left ? length : 0;
}

}  // namespace

AudioDecoder::~AudioDecoder() { close(); }

bool AudioDecoder::open() {
  close();
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (!codec) return false;
  ctx = avcodec_alloc_context3(codec);
  packet = av_packet_alloc();
  frame = av_frame_alloc();
  if (!ctx || !packet || !frame || avcodec_open2(ctx, codec, nullptr) < 0) {
    close();
    return false;
  }
  return true;
}

void AudioDecoder::close() {
  avcodec_free_context(&ctx);
  av_packet_free(&packet);
  av_frame_free(&frame);
  swr_free(&swr);
  av_channel_layout_uninit(&swrLayout);
  swrFormat = -1;
  swrRate = 0;
}

void AudioDecoder::flush() {
  if (ctx) avcodec_flush_buffers(ctx);
}

int AudioDecoder::decode(const uint8_t *data, int size, std::vector<uint8_t> *pcm) {
  if (!ctx || !data || size <= 0) return 0;
  int samples = 0;
  // Each ADTS frame is a packet of its own; bytes that are no frame are
  // skipped up to the next sync word.
  for (int pos = 0; pos < size;) {
    const int length = adtsLength(data + pos, size - pos);
    if (length == 0) {
      pos++;
      continue;
    }
    samples += decodePacket(data + pos, length, pcm);
    pos += length;
  }
  return samples;
}

int AudioDecoder::decodePacket(const uint8_t *data, int size, std::vector<uint8_t> *pcm) {
  av_packet_unref(packet);
  if (av_new_packet(packet, size) < 0) return 0;
  memcpy(packet->data, data, static_cast<size_t>(size));
  const int sent = avcodec_send_packet(ctx, packet);
  av_packet_unref(packet);
  if (sent < 0) return 0;
  int samples = 0;
  while (avcodec_receive_frame(ctx, frame) >= 0) {
    if (prepareResampler(frame)) {
      const int room = swr_get_out_samples(swr, frame->nb_samples);
      if (room > 0) {
        const size_t at = pcm->size();
        pcm->resize(at + static_cast<size_t>(room) * kBytesPerSample);
        uint8_t *out = pcm->data() + at;
        const int n = swr_convert(swr, &out, room,
                                  const_cast<const uint8_t **>(frame->extended_data),
                                  frame->nb_samples);
        pcm->resize(at + static_cast<size_t>(n > 0 ? n : 0) * kBytesPerSample);
        if (n > 0) samples += n;
      }
    }
    av_frame_unref(frame);
  }
  return samples;
}

bool AudioDecoder::prepareResampler(const AVFrame *f) {
  if (f->nb_samples <= 0 || f->sample_rate <= 0 || f->ch_layout.nb_channels <= 0 ||
      f->format < 0)
    return false;
  if (swr && swrFormat == f->format && swrRate == f->sample_rate &&
      av_channel_layout_compare(&swrLayout, &f->ch_layout) == 0)
    return true;
  swr_free(&swr);
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, kRate,
                          const_cast<AVChannelLayout *>(&f->ch_layout),
                          static_cast<AVSampleFormat>(f->format), f->sample_rate, 0,
                          nullptr) < 0 ||
      swr_init(swr) < 0) {
    swr_free(&swr);
    return false;
  }
  av_channel_layout_uninit(&swrLayout);
  if (av_channel_layout_copy(&swrLayout, &f->ch_layout) < 0) {
    swr_free(&swr);
    return false;
  }
  swrFormat = f->format;
  swrRate = f->sample_rate;
  return true;
}
