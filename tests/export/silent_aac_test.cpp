#include "silent_aac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

struct AdtsFrame {
  size_t offset;
  size_t length;
  int profile;      // audio object type minus one
  int freqIndex;
  int channels;
};

// Splits an ADTS byte stream into frames; fails the test on a broken header.
std::vector<AdtsFrame> splitAdts(const uint8_t *p, size_t n) {
  std::vector<AdtsFrame> frames;
  size_t pos = 0;
  while (pos < n) {
    if (n - pos < 7) {
      ADD_FAILURE() << "truncated ADTS header at " << pos;
      break;
    }
    const uint8_t *h = p + pos;
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) {
      ADD_FAILURE() << "no sync word at " << pos;
      break;
    }
    AdtsFrame f;
    f.offset = pos;
    f.profile = h[2] >> 6;
    f.freqIndex = (h[2] >> 2) & 0x0F;
    f.channels = ((h[2] & 1) << 2) | (h[3] >> 6);
    f.length = ((size_t)(h[3] & 3) << 11) | ((size_t)h[4] << 3) | (h[5] >> 5);
    if (f.length < 7 || f.length > n - pos) {
      ADD_FAILURE() << "bad frame length " << f.length << " at " << pos;
      break;
    }
    frames.push_back(f);
    pos += f.length;
  }
  return frames;
}

class SilentAac : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::testing::internal::CaptureStdout();
    result_ = generateSilentAac();
    fflush(stdout);
    printed_ = ::testing::internal::GetCapturedStdout();
  }
  static int result_;
  static std::string printed_;
};
int SilentAac::result_ = -1;
std::string SilentAac::printed_;

TEST_F(SilentAac, ReportsItsSizeAndStartsWithSyncWord) {
  ASSERT_EQ(result_, 0);
  ASSERT_NE(silentAac.data, nullptr);
  ASSERT_GT(silentAac.size, 7u);
  EXPECT_EQ(printed_, "Generated AAC with ADTS header: " +
                          std::to_string(silentAac.size) + " bytes\n");
  EXPECT_EQ(silentAac.data[0], 0xFF);
  EXPECT_EQ(silentAac.data[1] & 0xF0, 0xF0);
}

TEST_F(SilentAac, EveryFrameIsLcMono16kHz) {
  ASSERT_EQ(result_, 0);
  std::vector<AdtsFrame> frames = splitAdts(silentAac.data, silentAac.size);
  EXPECT_GE(frames.size(), 15u);
  for (const AdtsFrame &f : frames) {
    EXPECT_EQ(f.profile, 1) << "frame at " << f.offset;    // AAC LC
    EXPECT_EQ(f.freqIndex, 8) << "frame at " << f.offset;  // 16000 Hz
    EXPECT_EQ(f.channels, 1) << "frame at " << f.offset;
  }
}

TEST_F(SilentAac, DecodesToSilence) {
  ASSERT_EQ(result_, 0);
  std::vector<AdtsFrame> frames = splitAdts(silentAac.data, silentAac.size);
  const AVCodec *dec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  ASSERT_NE(dec, nullptr);
  AVCodecContext *ctx = avcodec_alloc_context3(dec);
  ASSERT_EQ(avcodec_open2(ctx, dec, nullptr), 0);
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frm = av_frame_alloc();
  int decoded = 0;
  float peak = 0;
  for (const AdtsFrame &f : frames) {
    ASSERT_EQ(av_new_packet(pkt, (int)f.length), 0);
    memcpy(pkt->data, silentAac.data + f.offset, f.length);
    ASSERT_EQ(avcodec_send_packet(ctx, pkt), 0);
    av_packet_unref(pkt);
    while (avcodec_receive_frame(ctx, frm) == 0) {
      EXPECT_EQ(frm->sample_rate, 16000);
      EXPECT_EQ(frm->ch_layout.nb_channels, 1);
      EXPECT_EQ(frm->format, AV_SAMPLE_FMT_FLTP);
      const float *s = (const float *)frm->extended_data[0];
      for (int i = 0; i < frm->nb_samples; i++)
        peak = std::max(peak, std::fabs(s[i]));
      decoded += frm->nb_samples;
      av_frame_unref(frm);
    }
  }
  EXPECT_GE(decoded, 15 * 1024);
  EXPECT_LT(peak, 1e-6f);
  av_frame_free(&frm);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
}

}  // namespace
