#include "silent_aac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

class SilentAac : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::testing::internal::CaptureStdout();
    result = generateSilentAac();
    fflush(stdout);
    printed = ::testing::internal::GetCapturedStdout();
  }
  static int result;
  static std::string printed;
};
int SilentAac::result = -1;
std::string SilentAac::printed;

TEST_F(SilentAac, ReportsItsSizeAndStartsWithSyncWord) {
  ASSERT_EQ(result, 0);
  ASSERT_GT(silentAac.size, 7u);
  EXPECT_EQ(printed, "Generated AAC with ADTS header: " +
                         std::to_string(silentAac.size) + " bytes\n");
  EXPECT_EQ(silentAac.data[0], 0xFF);
  EXPECT_EQ(silentAac.data[1] & 0xF0, 0xF0);

  // Made once per process: a second window gets the same stream, and the
  // pointer the workers already hold stays valid.
  const uint8_t *data = silentAac.data;
  uint32_t size = silentAac.size;
  testing::internal::CaptureStdout();
  EXPECT_EQ(generateSilentAac(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), printed);
  EXPECT_EQ(silentAac.data, data);
  EXPECT_EQ(silentAac.size, size);
}

// Walks the stream frame by frame: every header declares AAC LC, 16 kHz,
// mono, and every frame decodes to silence.
TEST_F(SilentAac, EveryFrameIsSilentLcMono16kHz) {
  ASSERT_EQ(result, 0);
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
    EXPECT_EQ(h[2] >> 6, 1) << "profile at " << pos;                  // LC
    EXPECT_EQ((h[2] >> 2) & 15, 8) << "rate index at " << pos;        // 16 kHz
    EXPECT_EQ((h[2] & 1) << 2 | h[3] >> 6, 1) << "channels at " << pos;
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
