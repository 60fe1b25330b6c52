// The decoding core of the panes, fed with streams encoded by libavcodec.
#include <gtest/gtest.h>

#include <cstdlib>

#include "audio_decoder.h"
#include "handover.h"
#include "test_media.h"
#include "video_decoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const int kH264 = 27, kH265 = 173;

struct Case {
  int codec;
  VideoDecoder::Mode mode;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << (c.codec == kH264 ? "H264" : "H265")
      << (c.mode == VideoDecoder::Mode::LowDelay ? "LowDelay" : "Threaded");
}

class VideoDecode : public ::testing::TestWithParam<Case> {};

// Every stored frame gives exactly its own picture, in order: at once with
// the low-delay decoder, and with the threaded one at the latest when the
// stream is drained. Only the first frame starts a group of pictures.
TEST_P(VideoDecode, EachFrameGivesItsOwnPicture) {
  const Case c = GetParam();
  const std::vector<Bytes> frames = encodeVideo(c.codec, 64, 48, 10);
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.open(c.codec, c.mode));
  std::vector<AVFrame *> out;
  for (size_t i = 0; i < frames.size(); i++) {
    EXPECT_EQ(qmx_isKeyFrame(c.codec, frames[i].data(), (int)frames[i].size()), i == 0) << i;
    EXPECT_TRUE(decoder.decode(frames[i].data(), (int)frames[i].size(), 1000 + 40 * (int)i, &out));
    if (c.mode == VideoDecoder::Mode::LowDelay) {
      ASSERT_EQ(out.size(), i + 1) << "picture held back";
    }
  }
  decoder.drain(&out);
  ASSERT_EQ(out.size(), frames.size());
  for (size_t i = 0; i < out.size(); i++) {
    EXPECT_EQ(out[i]->pts, 1000 + 40 * (int)i);
    EXPECT_EQ(out[i]->format, AV_PIX_FMT_YUV420P);
    EXPECT_NEAR(meanLuma(out[i]->data[0], out[i]->linesize[0], 64, 48), fixtureLevel((int)i), 3.0);
    av_frame_free(&out[i]);
  }
}

// Noise with and without start codes, a damaged slice, a cut frame and a
// null pointer are survived, and a clean stream decodes again afterwards.
TEST_P(VideoDecode, GarbageIsSurvived) {
  const Case c = GetParam();
  std::vector<Bytes> frames = encodeVideo(c.codec, 64, 48, 8);
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.open(c.codec, c.mode));
  std::vector<AVFrame *> out;
  unsigned seed = 7;
  for (unsigned i = 0; i < 40; i++) {
    Bytes g(1 + (i * 977) % 6000);
    for (uint8_t &x : g) x = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
    if (i % 2 == 0 && g.size() > 4) g[0] = g[1] = 0, g[2] = 1;
    decoder.decode(g.data(), (int)g.size(), i, &out);
  }
  Bytes mangled = frames[0];
  for (size_t i = mangled.size() / 2; i < mangled.size(); i += 3) mangled[i] ^= 0x5A;
  decoder.decode(mangled.data(), (int)mangled.size(), 0, &out);
  decoder.decode(frames[1].data(), (int)frames[1].size() / 2, 0, &out);
  EXPECT_FALSE(decoder.decode(nullptr, 100, 0, &out));
  decoder.flush();
  for (AVFrame *f : out) av_frame_free(&f);
  out.clear();
  for (size_t i = 0; i < frames.size(); i++) decoder.decode(frames[i].data(), (int)frames[i].size(), 500 + (int)i, &out);
  decoder.drain(&out);
  ASSERT_EQ(out.size(), frames.size());
  EXPECT_EQ(out.back()->pts, 507);
  for (AVFrame *f : out) av_frame_free(&f);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoDecode,
                         ::testing::Values(Case{kH264, VideoDecoder::Mode::LowDelay},
                                           Case{kH265, VideoDecoder::Mode::LowDelay},
                                           Case{kH264, VideoDecoder::Mode::Threaded},
                                           Case{kH265, VideoDecoder::Mode::Threaded}),
                         ::testing::PrintToStringParamName());

// 16 kHz mono comes back sample for sample; 48 kHz stereo is resampled to
// a third as many samples; bytes between frames and garbage are skipped.
TEST(AudioDecode, AnyFormatBecomes16kMono) {
  AudioDecoder decoder;
  ASSERT_TRUE(decoder.open());
  std::vector<uint8_t> pcm;
  const std::vector<Bytes> tone = encodeAacTone(16000, 1, 12);
  Bytes joined = {0x12, 0x34};  // not a frame
  for (const Bytes &f : tone) joined.insert(joined.end(), f.begin(), f.end());
  EXPECT_EQ(decoder.decode(joined.data(), (int)joined.size(), &pcm), 1024 * (int)tone.size());
  int peak = 0;
  for (size_t i = 0; i + 1 < pcm.size(); i += 2)
    peak = std::max(peak, std::abs((int)(int16_t)(pcm[i] | pcm[i + 1] << 8)));
  EXPECT_NEAR(peak, 16384, 4000);  // the half-scale tone

  const std::vector<Bytes> stereo = encodeAacTone(48000, 2, 30);
  int samples = 0;
  for (const Bytes &f : stereo) samples += decoder.decode(f.data(), (int)f.size(), &pcm);
  EXPECT_NEAR(samples, 1024 * 30 / 3, 1024);
  Bytes noise(3000, 0xFF);
  EXPECT_EQ(decoder.decode(noise.data(), (int)noise.size(), &pcm), 0);
}

// A receiver that never releases gets at most the bound; releasing makes
// room again.
TEST(HandOver, BoundHoldsUntilTheReceiverReleases) {
  auto counter = qmx_player_newInFlight();
  std::vector<AVFrame *> frames = {};
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.open(kH264, VideoDecoder::Mode::LowDelay));
  const std::vector<Bytes> stream = encodeVideo(kH264, 64, 48, 1);
  decoder.decode(stream[0].data(), (int)stream[0].size(), 42, &frames);
  ASSERT_EQ(frames.size(), 1u);
  std::vector<AVFrame *> held;
  for (int i = 0; i < QMX_PLAYER_MAX_PICTURES + 3; i++)
    if (AVFrame *f = qmx_player_copyPicture(counter, frames[0])) held.push_back(f);
  EXPECT_EQ(held.size(), (size_t)QMX_PLAYER_MAX_PICTURES);
  EXPECT_EQ(held[0]->pts, 42);
  const uint8_t block[2048] = {};
  std::vector<const char *> pcm;
  for (int i = 0; i < QMX_PLAYER_MAX_PCM_BLOCKS + 3; i++)
    if (const char *p = qmx_player_copyPcm(counter, block, 2048)) pcm.push_back(p);
  EXPECT_EQ(pcm.size(), (size_t)QMX_PLAYER_MAX_PCM_BLOCKS);
  for (AVFrame *f : held) qmx_player_releasePicture(f);
  for (const char *p : pcm) qmx_player_releasePcm(p);
  EXPECT_EQ(qmx_player_picturesInFlight(counter) + qmx_player_pcmInFlight(counter), 0);
  AVFrame *again = qmx_player_copyPicture(counter, frames[0]);
  EXPECT_NE(again, nullptr);
  qmx_player_releasePicture(again);
  av_frame_free(&frames[0]);
}

}  // namespace

// x265 keeps some encoder memory until the process ends; the leak checker
// of sanitizer builds ignores it (only the fixture uses that encoder).
extern "C" const char *__lsan_default_suppressions() { return "leak:libx265\n"; }

int main(int argc, char **argv) {
  av_log_set_level(AV_LOG_FATAL);  // the garbage tests make decoders complain
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
