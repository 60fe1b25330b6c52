#include "silent_aac.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// The stream is made once per process and printed with its byte count; every
// frame is AAC-LC, 16 kHz, mono, and decodes to silence.
TEST(SilentAac, MadeOnceAndEveryFrameIsSilentLcMono16kHz) {
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(generateSilentAac(), 0);
  fflush(stdout);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_GT(silentAac.size, 7u);
  EXPECT_EQ(printed, "Generated AAC with ADTS header: " + std::to_string(silentAac.size) +
                         " bytes\n");
  // A second window gets the same stream; pointers the workers hold stay valid.
  const uint8_t *data = silentAac.data;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(generateSilentAac(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), printed);
  EXPECT_EQ(silentAac.data, data);

  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  AVCodecContext *dec = avcodec_alloc_context3(codec);
  ASSERT_EQ(avcodec_open2(dec, codec, nullptr), 0);
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frm = av_frame_alloc();
  int frames = 0, samples = 0;
  float peak = 0;
  for (uint32_t pos = 0; pos < silentAac.size; frames++) {
    const uint8_t *h = silentAac.data + pos;
    ASSERT_GE(silentAac.size - pos, 7u) << "truncated header at " << pos;
    ASSERT_EQ(h[0] << 4 | h[1] >> 4, 0xFFF) << "sync word at " << pos;
    EXPECT_EQ(h[2] >> 6, 1) << "profile at " << pos;  // LC
    uint32_t len = (h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5;
    ASSERT_GE(len, 7u);
    ASSERT_LE(len, silentAac.size - pos);
    ASSERT_EQ(av_new_packet(pkt, (int)len), 0);
    memcpy(pkt->data, h, len);
    ASSERT_EQ(avcodec_send_packet(dec, pkt), 0);
    av_packet_unref(pkt);
    while (avcodec_receive_frame(dec, frm) == 0) {
      EXPECT_EQ(frm->sample_rate, 16000);
      EXPECT_EQ(frm->ch_layout.nb_channels, 1);
      const float *s = (const float *)frm->extended_data[0];
      for (int i = 0; i < frm->nb_samples; i++) peak = std::max(peak, std::fabs(s[i]));
      samples += frm->nb_samples;
    }
    pos += len;
  }
  EXPECT_GE(frames, 15);
  EXPECT_GE(samples, 15 * 1024);
  EXPECT_LT(peak, 1e-6f);
  av_frame_free(&frm);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
}

}  // namespace
