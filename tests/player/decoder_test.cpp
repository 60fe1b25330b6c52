#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cstdlib>

#include "demuxer.h"
#include "demuxer_2.h"
#include "test_media.h"
#include "silent_aac.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const int kH264 = 27, kH265 = 173;

// What a worker hands over. Copies are measured and released at once,
// or kept while `hold` is set (released by releaseHeld or the destructor).
struct Sink {
  struct Picture { int width, height; double luma; };
  std::vector<Picture> pictures;
  std::vector<Bytes> pcm;
  std::vector<AVFrame *> heldPictures;
  std::vector<const char *> heldPcm;
  bool hold = false;
  QObject context;

  void attach(DemuxerBase &w, Qt::ConnectionType type = Qt::DirectConnection) {
    QObject::connect(&w, &DemuxerBase::sigGetVedioFrame, &context,
        [this](AVFrame *f, int wd, int ht) {
          pictures.push_back({wd, ht, meanLuma(f->data[0], f->linesize[0], wd, ht)});
          hold ? heldPictures.push_back(f) : qmx_player_releasePicture(f);
        }, type);
    QObject::connect(&w, &DemuxerBase::sigGetAudioFrame, &context,
        [this](const char *data, int length) {
          pcm.emplace_back(data, data + length);
          hold ? heldPcm.push_back(data) : qmx_player_releasePcm(data);
        }, type);
  }
  void releaseHeld() {
    for (AVFrame *f : heldPictures) qmx_player_releasePicture(f);
    for (const char *p : heldPcm) qmx_player_releasePcm(p);
    heldPictures.clear();
    heldPcm.clear();
  }
  ~Sink() { releaseHeld(); }
};

void feed(DemuxerBase &w, const std::vector<Bytes> &frames) {
  for (const Bytes &f : frames) w.decodeVideo(f.data(), (int)f.size());
}

// Deterministic noise; with a start code in front the parser takes it for
// a unit of the stream.
Bytes garbage(unsigned seed, size_t n, bool startCode) {
  Bytes b(n);
  for (uint8_t &x : b) x = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
  if (startCode && n > 4) b[0] = b[1] = 0, b[2] = 1;
  return b;
}

// pictures[from..] show fixture pictures firstLevel, firstLevel + 1, ...
void expectLevels(const std::vector<Sink::Picture> &pictures, size_t from,
                  int firstLevel, int width, int height) {
  for (size_t i = from; i < pictures.size(); i++) {
    EXPECT_EQ(pictures[i].width, width) << "picture " << i;
    EXPECT_EQ(pictures[i].height, height) << "picture " << i;
    EXPECT_NEAR(pictures[i].luma, fixtureLevel(firstLevel + int(i - from)), 3.0)
        << "picture " << i;
  }
}

void ensureSilence() {
  if (silentAac.size == 0) generateSilentAac();
  ASSERT_GT(silentAac.size, 0u);
}

class VideoDecode : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ensureSilence();
    worker.codecId = GetParam();
    worker.init();
    sink.attach(worker);
  }
  demuxer_2 worker;
  Sink sink;
};

TEST_P(VideoDecode, FirstPictureAfterInitIsSkipped) {
  feed(worker, encodeVideo(GetParam(), 64, 48, 12));
  // Picture 0 only sets up the converter; the parser keeps the last stored
  // frame until the next one begins.
  ASSERT_GE(sink.pictures.size(), 10u);
  EXPECT_LE(sink.pictures.size(), 11u);
  expectLevels(sink.pictures, 0, 1, 64, 48);
  EXPECT_EQ(worker.picturesInFlight(), 0);
}

TEST_P(VideoDecode, ResolutionChangeSkipsExactlyOnePicture) {
  feed(worker, encodeVideo(GetParam(), 64, 48, 6, 0));
  feed(worker, encodeVideo(GetParam(), 96, 64, 6, 6));
  // 64x48: pictures 1 to 5; 96x64: 7 on, 6 is skipped.
  ASSERT_GE(sink.pictures.size(), 9u);
  std::vector<Sink::Picture> small(sink.pictures.begin(), sink.pictures.begin() + 5);
  expectLevels(small, 0, 1, 64, 48);
  expectLevels(sink.pictures, 5, 7, 96, 64);
}

// Noise with and without start codes, a damaged slice, a cut frame and a
// null pointer are all survived, in both decoders.
TEST_P(VideoDecode, GarbageIsSurvived) {
  for (unsigned i = 0; i < 20; i++) {
    Bytes g = garbage(i + 100, 8 + (i * 613) % 3000, false);
    if (i % 2 == 0) g[0] = 0xFF, g[1] = 0xF1;  // a plausible ADTS header in front
    worker.decodeAudio(g.data(), (int)g.size());
  }
  std::vector<Bytes> frames = encodeVideo(GetParam(), 64, 48, 8);
  for (unsigned i = 0; i < 40; i++) {
    Bytes g = garbage(i, 1 + (i * 977) % 6000, i % 2 == 0);
    worker.decodeVideo(g.data(), (int)g.size());
  }
  Bytes mangled = frames[0];  // good parameter sets, damaged slice
  for (size_t i = mangled.size() / 2; i < mangled.size(); i += 3) mangled[i] ^= 0x5A;
  worker.decodeVideo(mangled.data(), (int)mangled.size());
  worker.decodeVideo(frames[1].data(), (int)frames[1].size() / 2);
  worker.decodeVideo(nullptr, 100);
  // A clean stream that starts with an I-frame plays again.
  sink.pictures.clear();
  feed(worker, frames);
  feed(worker, frames);
  ASSERT_GE(sink.pictures.size(), 6u);
  EXPECT_EQ(sink.pictures.back().width, 64);
  EXPECT_NEAR(sink.pictures.back().luma, fixtureLevel(6), 3.0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoDecode, ::testing::Values(kH264, kH265),
    [](const ::testing::TestParamInfo<int> &i) { return i.param == kH264 ? "H264" : "H265"; });

class AudioDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    ensureSilence();
    worker.codecId = kH264;
    worker.init();
    sink.attach(worker);
  }
  demuxer worker;
  Sink sink;
};

TEST_F(AudioDecode, SilentStreamGivesOneZeroBlockPerFrame) {
  size_t frames = 0;
  for (uint32_t pos = 0, len = 7; len >= 7 && pos + 7 <= silentAac.size; frames++)
    pos += len = (silentAac.data[pos + 3] & 3) << 11 |
                 silentAac.data[pos + 4] << 3 | silentAac.data[pos + 5] >> 5;
  worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_EQ(sink.pcm.size(), frames);
  for (const Bytes &block : sink.pcm) EXPECT_EQ(block, Bytes(2048, 0));
}

TEST_F(AudioDecode, EachFrameGivesWholeBlocksAtAnyInputFormat) {
  std::vector<Bytes> tone = encodeAacTone(16000, 1, 12);
  for (size_t i = 0; i < tone.size(); i++) {
    worker.decodeAudio(tone[i].data(), (int)tone[i].size());
    ASSERT_EQ(sink.pcm.size(), i + 1) << "one block per 16 kHz mono frame";
  }
  int peak = 0;
  for (const Bytes &b : sink.pcm)
    for (size_t i = 0; i < b.size(); i += 2)
      peak = std::max(peak, std::abs((int)(int16_t)(b[i] | b[i + 1] << 8)));
  EXPECT_NEAR(peak, 16384, 4000);  // the half-scale tone comes back

  // 48 kHz stereo is resampled: a third as many blocks, each still whole.
  sink.pcm.clear();
  std::vector<Bytes> stereo = encodeAacTone(48000, 2, 31);
  for (const Bytes &f : stereo) worker.decodeAudio(f.data(), (int)f.size());
  EXPECT_NEAR((double)sink.pcm.size(), stereo.size() / 3.0, 1.0);
  for (const Bytes &b : sink.pcm) EXPECT_EQ(b.size(), 2048u);
}

TEST(DecoderSetup, EndAndInitInAnyOrderReleaseEachThingOnce) {
  std::vector<Bytes> frames = encodeVideo(kH265, 64, 48, 4);
  demuxer worker;
  Sink sink;
  sink.attach(worker);
  worker.end();  // before any init()
  worker.codecId = kH265;
  worker.init();
  feed(worker, frames);
  worker.end();
  worker.end();
  worker.init();
  worker.init();  // without end(): the first set goes
  sink.pictures.clear();
  feed(worker, frames);
  EXPECT_EQ(sink.pictures.size(), 2u);
  worker.end();
  feed(worker, frames);  // ignored after end()
  EXPECT_EQ(sink.pictures.size(), 2u);
}  // and the destructor ends once more

TEST(HandOver, BoundHoldsWhileTheReceiverNeverReleases) {
  ensureSilence();
  std::vector<Bytes> frames = encodeVideo(kH264, 64, 48, 16);
  demuxer worker;
  worker.codecId = kH264;
  worker.init();
  Sink sink;
  sink.hold = true;
  sink.attach(worker);
  feed(worker, frames);
  for (int i = 0; i < 6; i++) worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_EQ(sink.pictures.size(), (size_t)QMX_PLAYER_MAX_PICTURES);
  EXPECT_EQ(worker.picturesInFlight(), QMX_PLAYER_MAX_PICTURES);
  EXPECT_GE(worker.droppedPictures(), 5u);
  EXPECT_EQ(sink.pcm.size(), (size_t)QMX_PLAYER_MAX_PCM_BLOCKS);
  EXPECT_EQ(worker.pcmInFlight(), QMX_PLAYER_MAX_PCM_BLOCKS);
  EXPECT_GT(worker.droppedPcmBlocks(), 0u);
  // Once the receiver catches up, pictures flow again.
  sink.releaseHeld();
  EXPECT_EQ(worker.picturesInFlight() + worker.pcmInFlight(), 0);
  sink.hold = false;
  sink.pictures.clear();
  feed(worker, frames);
  EXPECT_GE(sink.pictures.size(), 14u);
}

}  // namespace

// x265 keeps some encoder memory until the process ends; the leak checker
// of sanitizer builds ignores it (only the fixture uses that encoder).
extern "C" const char *__lsan_default_suppressions() { return "leak:libx265\n"; }

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  av_log_set_level(AV_LOG_FATAL);  // the garbage tests make decoders complain
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
