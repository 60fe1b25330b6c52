#include <QCoreApplication>
#include <QMutex>
#include <QStringList>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "demuxer.h"
#include "demuxer_2.h"
#include "media_fixture.h"
#include "silent_aac.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const int kH264 = 27;
const int kH265 = 173;

// Collects what a worker hands over. Pictures are measured and released at
// once unless `hold` is set; held copies are released by the destructor.
struct Sink {
  struct Picture {
    int width, height;
    double luma;
  };
  std::vector<Picture> pictures;
  std::vector<Bytes> pcm;
  std::vector<AVFrame *> heldPictures;
  std::vector<const char *> heldPcm;
  bool hold = false;
  QObject context;

  void attach(DemuxerBase &worker,
              Qt::ConnectionType type = Qt::DirectConnection) {
    QObject::connect(&worker, &DemuxerBase::sigGetVedioFrame, &context,
                     [this](AVFrame *f, int w, int h) {
                       pictures.push_back(
                           {w, h, meanLuma(f->data[0], f->linesize[0], w, h)});
                       if (hold)
                         heldPictures.push_back(f);
                       else
                         qmx_player_releasePicture(f);
                     },
                     type);
    QObject::connect(&worker, &DemuxerBase::sigGetAudioFrame, &context,
                     [this](const char *data, int length) {
                       pcm.emplace_back(data, data + length);
                       if (hold)
                         heldPcm.push_back(data);
                       else
                         qmx_player_releasePcm(data);
                     },
                     type);
  }
  void releaseHeld() {
    for (AVFrame *f : heldPictures) qmx_player_releasePicture(f);
    for (const char *p : heldPcm) qmx_player_releasePcm(p);
    heldPictures.clear();
    heldPcm.clear();
  }
  ~Sink() { releaseHeld(); }
};

int otherCodec(int codecId) { return codecId == kH264 ? kH265 : kH264; }

void feed(DemuxerBase &worker, const std::vector<Bytes> &frames) {
  for (const Bytes &f : frames) worker.decodeVideo(f.data(), (int)f.size());
}

// Deterministic noise, optionally behind a start code so that the parser
// takes it for a unit of the stream.
Bytes garbage(unsigned seed, size_t n, bool startCode) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1103515245u + 12345u;
    b[i] = (uint8_t)(seed >> 16);
  }
  if (startCode && n > 4) {
    b[0] = 0;
    b[1] = 0;
    b[2] = 1;
  }
  return b;
}

// Pictures [first, first + n) of a fixture stream, in order.
void expectLevels(const std::vector<Sink::Picture> &pictures, size_t from,
                  int firstLevel, size_t n, int width, int height) {
  ASSERT_GE(pictures.size(), from + n);
  for (size_t i = 0; i < n; i++) {
    const Sink::Picture &p = pictures[from + i];
    EXPECT_EQ(p.width, width) << "picture " << from + i;
    EXPECT_EQ(p.height, height) << "picture " << from + i;
    EXPECT_NEAR(p.luma, fixtureLevel(firstLevel + (int)i), 3.0)
        << "picture " << from + i;
  }
}

class VideoDecode : public ::testing::TestWithParam<int> {};

TEST_P(VideoDecode, FirstPictureAfterInitIsSkipped) {
  std::vector<Bytes> frames = encodeVideo(GetParam(), 64, 48, 12);
  ASSERT_EQ(frames.size(), 12u);
  demuxer worker;
  worker.codecId = GetParam();
  worker.init();
  Sink sink;
  sink.attach(worker);
  feed(worker, frames);
  // Picture 0 only sets up the converter; the parser holds back the last
  // stored frame until the next one starts.
  ASSERT_GE(sink.pictures.size(), 10u);
  EXPECT_LE(sink.pictures.size(), 11u);
  expectLevels(sink.pictures, 0, 1, sink.pictures.size(), 64, 48);
  EXPECT_EQ(worker.picturesInFlight(), 0);
}

TEST_P(VideoDecode, ResolutionChangeSkipsExactlyOnePicture) {
  std::vector<Bytes> small = encodeVideo(GetParam(), 64, 48, 6, 0);
  std::vector<Bytes> large = encodeVideo(GetParam(), 96, 64, 6, 6);
  ASSERT_EQ(small.size(), 6u);
  ASSERT_EQ(large.size(), 6u);
  demuxer_2 worker;
  worker.codecId = GetParam();
  worker.init();
  Sink sink;
  sink.attach(worker);
  feed(worker, small);
  feed(worker, large);
  // 64x48: pictures 1..5; 96x64: from picture 7 on (6 is skipped).
  expectLevels(sink.pictures, 0, 1, 5, 64, 48);
  ASSERT_GE(sink.pictures.size(), 5u + 4u);
  expectLevels(sink.pictures, 5, 7, sink.pictures.size() - 5, 96, 64);
}

TEST_P(VideoDecode, StoredFrameHoldingSeveralPicturesShowsEach) {
  std::vector<Bytes> frames = encodeVideo(GetParam(), 64, 48, 8);
  ASSERT_EQ(frames.size(), 8u);
  Bytes joined;
  for (const Bytes &f : frames) joined.insert(joined.end(), f.begin(), f.end());
  demuxer worker;
  worker.codecId = GetParam();
  worker.init();
  Sink sink;
  sink.attach(worker);
  worker.decodeVideo(joined.data(), (int)joined.size());
  ASSERT_GE(sink.pictures.size(), 6u);
  expectLevels(sink.pictures, 0, 1, sink.pictures.size(), 64, 48);
}

TEST_P(VideoDecode, CodecChangeRebuildsTheSetAndSkipsAgain) {
  std::vector<Bytes> before = encodeVideo(otherCodec(GetParam()), 64, 48, 4);
  std::vector<Bytes> after = encodeVideo(GetParam(), 64, 48, 6);
  demuxer worker;
  worker.codecId = otherCodec(GetParam());
  worker.init();
  Sink sink;
  sink.attach(worker);
  feed(worker, before);
  size_t shownBefore = sink.pictures.size();
  EXPECT_GE(shownBefore, 2u);
  worker.end();
  worker.codecId = GetParam();
  worker.init();
  feed(worker, after);
  // Same size as before, but the new set starts without a converter.
  ASSERT_GE(sink.pictures.size(), shownBefore + 4);
  expectLevels(sink.pictures, shownBefore, 1,
               sink.pictures.size() - shownBefore, 64, 48);
}

TEST_P(VideoDecode, GarbageIsSurvived) {
  std::vector<Bytes> frames = encodeVideo(GetParam(), 64, 48, 8);
  ASSERT_EQ(frames.size(), 8u);
  demuxer worker;
  worker.codecId = GetParam();
  worker.init();
  Sink sink;
  sink.attach(worker);
  for (unsigned i = 0; i < 40; i++) {
    Bytes g = garbage(i, 1 + (i * 977) % 6000, i % 2 == 0);
    worker.decodeVideo(g.data(), (int)g.size());
  }
  // Parameter sets followed by a mangled slice, and a truncated frame.
  Bytes mangled = frames[0];
  for (size_t i = mangled.size() / 2; i < mangled.size(); i += 3)
    mangled[i] ^= 0x5A;
  worker.decodeVideo(mangled.data(), (int)mangled.size());
  worker.decodeVideo(frames[1].data(), (int)frames[1].size() / 2);
  worker.decodeVideo(nullptr, 100);
  worker.decodeVideo(frames[1].data(), 0);
  // A clean stream afterwards decodes again: it starts with an I-frame.
  sink.pictures.clear();
  feed(worker, frames);
  feed(worker, frames);
  ASSERT_GE(sink.pictures.size(), 6u);
  const Sink::Picture &last = sink.pictures.back();
  EXPECT_EQ(last.width, 64);
  EXPECT_EQ(last.height, 48);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoDecode, ::testing::Values(kH264, kH265),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return info.param == kH264 ? "H264" : "H265";
                         });

class AudioDecode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (silentAac.size == 0) generateSilentAac();
  }
  void SetUp() override {
    worker.codecId = kH264;
    worker.init();
    sink.attach(worker);
  }
  demuxer worker;
  Sink sink;
};

size_t countAdtsFrames(const uint8_t *p, size_t n) {
  size_t count = 0, pos = 0;
  while (n - pos >= 7) {
    size_t len = ((size_t)(p[pos + 3] & 3) << 11) |
                 ((size_t)p[pos + 4] << 3) | (p[pos + 5] >> 5);
    if (len < 7 || len > n - pos) break;
    pos += len;
    count++;
  }
  return count;
}

TEST_F(AudioDecode, SilentStreamGivesOneZeroBlockPerFrame) {
  ASSERT_GT(silentAac.size, 0u);
  size_t frames = countAdtsFrames(silentAac.data, silentAac.size);
  ASSERT_GE(frames, 15u);
  worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_EQ(sink.pcm.size(), frames);
  for (const Bytes &block : sink.pcm) {
    ASSERT_EQ(block.size(), 2048u);
    for (uint8_t b : block) ASSERT_EQ(b, 0);
  }
}

TEST_F(AudioDecode, Mono16kFrameGivesOneBlockOfTheTone) {
  std::vector<Bytes> frames = encodeAacTone(16000, 1, 12);
  ASSERT_GE(frames.size(), 12u);
  for (size_t i = 0; i < frames.size(); i++) {
    worker.decodeAudio(frames[i].data(), (int)frames[i].size());
    EXPECT_EQ(sink.pcm.size(), i + 1) << "after frame " << i;
  }
  int peak = 0;
  for (const Bytes &block : sink.pcm) {
    ASSERT_EQ(block.size(), 2048u);
    const int16_t *s = reinterpret_cast<const int16_t *>(block.data());
    for (int i = 0; i < 1024; i++) peak = std::max(peak, std::abs((int)s[i]));
  }
  // A half-scale tone comes back near half scale.
  EXPECT_GT(peak, 12000);
  EXPECT_LT(peak, 22000);
}

TEST_F(AudioDecode, OtherRatesAndLayoutsAreResampledIntoWholeBlocks) {
  // 48 kHz stereo: three input samples per output sample.
  std::vector<Bytes> stereo = encodeAacTone(48000, 2, 30);
  ASSERT_GE(stereo.size(), 30u);
  for (const Bytes &f : stereo) worker.decodeAudio(f.data(), (int)f.size());
  size_t expected = stereo.size() * 1024 / 3 / 1024;
  EXPECT_GE(sink.pcm.size() + 1, expected);
  EXPECT_LE(sink.pcm.size(), expected);

  // 8 kHz mono: two output samples per input sample.
  sink.pcm.clear();
  std::vector<Bytes> narrow = encodeAacTone(8000, 1, 10);
  for (const Bytes &f : narrow) worker.decodeAudio(f.data(), (int)f.size());
  EXPECT_GE(sink.pcm.size() + 1, narrow.size() * 2);
  EXPECT_LE(sink.pcm.size(), narrow.size() * 2 + 1);
  for (const Bytes &block : sink.pcm) EXPECT_EQ(block.size(), 2048u);
}

TEST_F(AudioDecode, GarbageIsSurvived) {
  for (unsigned i = 0; i < 40; i++) {
    Bytes g = garbage(i + 100, 1 + (i * 613) % 3000, false);
    if (i % 2 == 0 && g.size() > 7) {  // a plausible ADTS header in front
      g[0] = 0xFF;
      g[1] = 0xF1;
    }
    worker.decodeAudio(g.data(), (int)g.size());
  }
  sink.pcm.clear();
  worker.decodeAudio(silentAac.data, (int)silentAac.size);
  worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_GE(sink.pcm.size(), 15u);
  for (const Bytes &block : sink.pcm) EXPECT_EQ(block.size(), 2048u);
}

// Messages of the debug log, captured while a test runs.
QStringList *g_log = nullptr;
void captureLog(QtMsgType, const QMessageLogContext &, const QString &msg) {
  if (g_log) g_log->append(msg);
}

TEST(DecoderSetup, IncompleteSetupDecodesNothing) {
  if (silentAac.size == 0) generateSilentAac();
  std::vector<Bytes> frames = encodeVideo(kH264, 64, 48, 4);
  demuxer worker;  // codecId 0: no video decoder
  Sink sink;
  sink.attach(worker);
  ::testing::internal::CaptureStdout();
  worker.init();
  fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Codec not find\n");
  feed(worker, frames);
  worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_TRUE(sink.pictures.empty());
  EXPECT_TRUE(sink.pcm.empty());
}

TEST(DecoderSetup, EndIsSafeAnyNumberOfTimes) {
  std::vector<Bytes> frames = encodeVideo(kH265, 64, 48, 4);
  demuxer worker;
  worker.end();  // before any init()
  worker.codecId = kH265;
  worker.init();
  feed(worker, frames);
  worker.end();
  worker.end();
  worker.init();
  worker.init();  // again without end(): the first set is released
  Sink sink;
  sink.attach(worker);
  feed(worker, frames);
  EXPECT_GE(sink.pictures.size(), 2u);
  worker.end();
  feed(worker, frames);  // after end(): ignored
  EXPECT_LE(sink.pictures.size(), 3u);
}  // the destructor ends once more

TEST(DecoderSetup, WorkersLogTheirOwnTexts) {
  std::vector<Bytes> frames = encodeVideo(kH264, 64, 48, 2);
  QStringList log;
  g_log = &log;
  QtMessageHandler previous = qInstallMessageHandler(captureLog);
  {
    demuxer one;
    one.codecId = kH264;
    one.init();
    demuxer_2 two;
    two.codecId = kH264;
    two.init();
    feed(two, frames);
  }
  qInstallMessageHandler(previous);
  g_log = nullptr;
  EXPECT_EQ(log, QStringList({"initDemuxer start", "initDemuxer end",
                              "initDemuxer2 start", "initDemuxer2 end",
                              "【重建】分辨率切换，跳过本帧"}));
}

TEST(HandOver, BoundHoldsWhenTheReceiverNeverReleases) {
  if (silentAac.size == 0) generateSilentAac();
  std::vector<Bytes> frames = encodeVideo(kH264, 64, 48, 16);
  demuxer worker;
  worker.codecId = kH264;
  worker.init();
  Sink sink;
  sink.hold = true;
  sink.attach(worker);
  feed(worker, frames);
  EXPECT_EQ(sink.pictures.size(), (size_t)QMX_PLAYER_MAX_PICTURES);
  EXPECT_EQ(worker.picturesInFlight(), QMX_PLAYER_MAX_PICTURES);
  EXPECT_GE(worker.droppedPictures(), 5u);
  for (int i = 0; i < 6; i++)
    worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_EQ(sink.pcm.size(), (size_t)QMX_PLAYER_MAX_PCM_BLOCKS);
  EXPECT_EQ(worker.pcmInFlight(), QMX_PLAYER_MAX_PCM_BLOCKS);
  EXPECT_GT(worker.droppedPcmBlocks(), 0u);

  // Once the receiver catches up, hand-over resumes.
  sink.releaseHeld();
  EXPECT_EQ(worker.picturesInFlight(), 0);
  EXPECT_EQ(worker.pcmInFlight(), 0);
  sink.hold = false;
  sink.pictures.clear();
  feed(worker, frames);
  EXPECT_GE(sink.pictures.size(), 14u);
}

TEST(HandOver, QueuedReceiverGetsPicturesAndBlocksIntact) {
  if (silentAac.size == 0) generateSilentAac();
  std::vector<Bytes> frames = encodeVideo(kH264, 64, 48, 8);
  std::vector<Bytes> tone = encodeAacTone(16000, 1, 4);
  demuxer worker;
  worker.codecId = kH264;
  worker.init();
  Sink sink;
  sink.attach(worker, Qt::QueuedConnection);
  feed(worker, frames);
  for (const Bytes &f : tone) worker.decodeAudio(f.data(), (int)f.size());
  worker.decodeAudio(silentAac.data, (int)silentAac.size);
  EXPECT_TRUE(sink.pictures.empty());  // nothing delivered yet
  QCoreApplication::processEvents();
  // Each delivered picture is the one decoded at the time, not the worker's
  // latest: the queue carried copies.
  ASSERT_GE(sink.pictures.size(), 6u);
  expectLevels(sink.pictures, 0, 1, sink.pictures.size(), 64, 48);
  ASSERT_GE(sink.pcm.size(), tone.size() + 15);
  bool toneHeard = false;
  for (size_t i = 0; i < tone.size(); i++)
    for (size_t j = 0; j < 2048; j++) toneHeard |= sink.pcm[i][j] != 0;
  EXPECT_TRUE(toneHeard);
  // The first silent block still carries the tail of the tone (the
  // decoder overlaps neighbouring frames); the rest is silence.
  for (size_t i = tone.size() + 1; i < sink.pcm.size(); i++)
    for (uint8_t b : sink.pcm[i]) ASSERT_EQ(b, 0) << "block " << i;
  EXPECT_EQ(worker.picturesInFlight(), 0);
  EXPECT_EQ(worker.pcmInFlight(), 0);
}

TEST(HandOver, CopiesOutliveTheirWorker) {
  std::vector<Bytes> frames = encodeVideo(kH265, 64, 48, 4);
  Sink sink;
  sink.hold = true;
  {
    demuxer_2 worker;
    worker.codecId = kH265;
    worker.init();
    sink.attach(worker);
    feed(worker, frames);
  }
  ASSERT_FALSE(sink.heldPictures.empty());
  EXPECT_NEAR(meanLuma(sink.heldPictures[0]->data[0],
                       sink.heldPictures[0]->linesize[0], 64, 48),
              fixtureLevel(1), 3.0);
  sink.releaseHeld();
  qmx_player_releasePicture(nullptr);
  qmx_player_releasePcm(nullptr);
}

TEST(HandOver, NoReceiverMeansNoCopies) {
  std::vector<Bytes> frames = encodeVideo(kH264, 64, 48, 4);
  demuxer worker;
  worker.codecId = kH264;
  worker.init();
  feed(worker, frames);
  EXPECT_EQ(worker.picturesInFlight(), 0);
  EXPECT_EQ(worker.droppedPictures(), 0u);
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  av_log_set_level(AV_LOG_FATAL);  // the garbage tests make decoders complain
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// The x265 library keeps some encoder memory until the process ends; the
// leak checker of sanitizer builds is told to ignore it (the fixture, not
// the code under test, uses that encoder).
extern "C" const char *__lsan_default_suppressions() {
  return "leak:libx265\n";
}
