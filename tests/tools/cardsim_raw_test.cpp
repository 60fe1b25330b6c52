// The simulator itself: scenario files, the media it stores (decoded with
// libavcodec), the raw-disk options and faults that the card readers never
// see, and the command line. That the records of its cards are right is
// shown by the readers in storage_raw_sim_test and storage_file_sim_test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "media.h"
#include "raw_card_parse.h"
#include "raw_manifest.h"
#include "raw_writer.h"
#include "scenario.h"

using namespace rawimg;

namespace {

std::string tempPath(const std::string &name) {
  return ::testing::TempDir() + "/cardsim_raw_test_" + std::to_string(getpid()) + "_" + name;
}

Scenario parseOrDie(const std::string &json) {
  Scenario s;
  std::string err;
  EXPECT_TRUE(parseScenario(QByteArray::fromStdString(json), &s, &err)) << err << "\n" << json;
  return s;
}

const int64_t kDay = 1796054400;  // 2026-12-01 00:00:00 local (UTC+8)

}  // namespace

TEST(CardsimScenario, ReadsFieldsLocalTimesAndOrder) {
  Scenario s = parseOrDie(R"({"layout":"raw","codec":"h264","channels":2,"width":64,"height":48,
    "fps":10,"gop":5,"audio":false,"media":"synthetic","raw":{"frameAreaSize":1048576},
    "recordings":[{"channel":1,"start":"2026-12-01 10:00:00","end":"2026-12-01 10:00:30","type":7,"open":true},
                  {"channel":0,"start":1796090400,"end":1796090410},
                  {"channel":0,"start":1796090000,"end":1796090100}]})");
  EXPECT_EQ(std::vector<int>({s.codec, s.width, s.height, s.fps, s.gop, s.audio}),
            std::vector<int>({1, 64, 48, 10, 5, 0}));
  EXPECT_EQ(s.media, "synthetic");
  EXPECT_EQ(s.raw["frameAreaSize"].toDouble(), 1048576.0);
  ASSERT_EQ(s.recordings.size(), 3u);
  // By start, channel 0 first at the same start; 10:00 local is 02:00 UTC.
  const Recording &a = s.recordings[0], &b = s.recordings[1], &c = s.recordings[2];
  EXPECT_EQ(std::vector<int64_t>({a.start, a.type, b.channel, c.channel, c.start, c.end, c.type, c.open}),
            std::vector<int64_t>({1796090000, 1, 0, 1, 1796090400, 1796090430, 7, 1}));
}

TEST(CardsimScenario, RejectsBadScenariosWithClearMessages) {
  const struct {
    const char *json, *message;
  } cases[] = {
      {"{", "not valid JSON"},
      {R"({"codec":"h264"})", "\"layout\" is missing"},
      {R"({"layout":"disk"})", "\"layout\" must be \"raw\" or \"file\""},
      {R"({"layout":"raw","channels":5})", "\"channels\" must be a whole number from 1 to 4"},
      {R"({"layout":"raw","fps":2.5})", "\"fps\" must be a whole number"},
      {R"({"layout":"raw","width":321})", "must be even"},
      {R"({"layout":"raw","colour":1})", "unknown field \"colour\""},
      {R"({"layout":"raw","raw":[]})", "\"raw\" must be an object"},
      {R"({"layout":"raw","recordings":[{"channel":1,"start":1,"end":2}]})", "recording 0: \"channel\""},
      {R"({"layout":"raw","recordings":[{"start":1,"end":2,"speed":1}]})", "recording 0: unknown field"},
      {R"({"layout":"raw","recordings":[{"start":5}]})", "\"start\" and \"end\" are required"},
      {R"({"layout":"raw","recordings":[{"start":5,"end":5}]})", "\"end\" must be after \"start\""},
      {R"({"layout":"raw","recordings":[{"start":"2026-02-30 00:00:00","end":5}]})", "\"start\": '2026-02-30 00:00:00' is not a date"},
      {R"({"layout":"raw","recordings":[{"start":1,"end":4102444801}]})", "\"end\": '4102444801' is not a time from 1970 to 2100"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10},{"start":5,"end":20}]})", "overlap"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10,"open":true},{"start":20,"end":30}]})",
       "only the newest recording may be open"},
  };
  for (const auto &c : cases) {
    Scenario s;
    std::string err;
    EXPECT_FALSE(parseScenario(QByteArray(c.json), &s, &err)) << c.json;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.json << " gave: " << err;
  }
}

// ---------------------------------------------------------------------------

namespace {

std::vector<StoredFrame> framesOf(const Scenario &s, const Recording &r) {
  std::vector<StoredFrame> out;
  std::string err;
  EXPECT_TRUE(generateRecording(s, r, [&](const StoredFrame &f) {
    out.push_back(f);
    return true;
  }, &err)) << err;
  return out;
}

// Parameter sets (SPS and PPS, plus VPS for H.265) and an IDR slice among
// the NAL units of a start-code access unit.
bool carriesParameterSets(const std::vector<uint8_t> &d, int codec) {
  std::set<int> s;
  for (size_t i = 0; i + 3 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)
      s.insert(codec == 1 ? (d[i + 3] & 0x1F) : ((d[i + 3] >> 1) & 0x3F));
  if (codec == 1) return s.count(7) && s.count(8) && s.count(5);
  return s.count(32) && s.count(33) && s.count(34) && (s.count(19) || s.count(20));
}

// An ADTS header of a 16 kHz mono AAC-LC frame whose length is the frame's.
bool isAdts16kMono(const std::vector<uint8_t> &d) {
  if (d.size() < 8 || d[0] != 0xFF || (d[1] & 0xF6) != 0xF0) return false;
  const int profile = d[2] >> 6, rate = (d[2] >> 2) & 0xF, ch = ((d[2] & 1) << 2) | (d[3] >> 6);
  const size_t len = ((d[3] & 3) << 11) | (d[4] << 3) | (d[5] >> 5);
  return profile == 1 && rate == 8 && ch == 1 && len == d.size();
}

struct Decoded {
  int pictures = 0, width = 0, height = 0, samples = 0, rate = 0, channels = 0, errors = 0;
  double peak = 0;
};

// One stored frame per packet through FFmpeg's decoder.
Decoded decode(AVCodecID id, const std::vector<const StoredFrame *> &frames) {
  Decoded out;
  const AVCodec *codec = avcodec_find_decoder(id);
  AVCodecContext *c = avcodec_alloc_context3(codec);
  AVPacket *pkt = av_packet_alloc();
  AVFrame *f = av_frame_alloc();
  c->thread_count = 1;
  if (avcodec_open2(c, codec, nullptr) < 0) ++out.errors;
  for (size_t i = 0; i <= frames.size() && !out.errors; ++i) {
    if (i < frames.size() && av_new_packet(pkt, static_cast<int>(frames[i]->data.size())) == 0)
      memcpy(pkt->data, frames[i]->data.data(), frames[i]->data.size());
    if (avcodec_send_packet(c, i < frames.size() ? pkt : nullptr) < 0) ++out.errors;
    av_packet_unref(pkt);
    for (; avcodec_receive_frame(c, f) >= 0; av_frame_unref(f)) {
      out.pictures += id != AV_CODEC_ID_AAC;
      out.width = f->width;
      out.height = f->height;
      out.samples += id == AV_CODEC_ID_AAC ? f->nb_samples : 0;
      out.rate = f->sample_rate;
      out.channels = f->ch_layout.nb_channels;
      for (int k = 0; id == AV_CODEC_ID_AAC && k < f->nb_samples; ++k)
        out.peak = std::max(out.peak, double(std::fabs(reinterpret_cast<const float *>(f->data[0])[k])));
    }
  }
  av_frame_free(&f);
  av_packet_free(&pkt);
  avcodec_free_context(&c);
  return out;
}

class CardsimMedia : public ::testing::TestWithParam<int> {};

}  // namespace

// Video every 1000/fps ms with a key frame (carrying its parameter sets)
// every gop frames, sound every 64 ms, in time order; synthetic frames have
// the same times and kinds as encoded ones.
TEST_P(CardsimMedia, FramesDecodeAndSyntheticOnesMatchTheirKinds) {
  const int codec = GetParam();
  const AVCodecID id = codec ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  const std::string base = std::string(R"({"layout":"raw","width":96,"height":64,"fps":12,"gop":6,)") +
                           (codec ? R"("codec":"h264")" : R"("codec":"h265")");
  Recording r;
  r.start = kDay + 36000;
  r.end = r.start + 2;
  const std::vector<StoredFrame> enc = framesOf(parseOrDie(base + "}"), r);
  const std::vector<StoredFrame> syn = framesOf(parseOrDie(base + R"(,"media":"synthetic"})"), r);
  ASSERT_EQ(syn.size(), enc.size());
  std::vector<const StoredFrame *> video, audio;
  for (size_t i = 0; i < enc.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const StoredFrame &e = enc[i], &s = syn[i];
    const int64_t n = static_cast<int64_t>(e.video ? video.size() : audio.size());
    EXPECT_EQ(e.timeMs, r.start * 1000 + (e.video ? n * 1000 / 12 : n * 64));
    EXPECT_GE(e.timeMs, i ? enc[i - 1].timeMs : 0);
    EXPECT_EQ(e.key, e.video && n % 6 == 0);
    EXPECT_TRUE(e.video ? carriesParameterSets(e.data, codec) == e.key : isAdts16kMono(e.data));
    EXPECT_EQ(std::vector<int64_t>({s.video, s.key, s.timeMs}), std::vector<int64_t>({e.video, e.key, e.timeMs}));
    EXPECT_TRUE(s.video ? carriesParameterSets(s.data, codec) == s.key : isAdts16kMono(s.data));
    (e.video ? video : audio).push_back(&e);
  }
  ASSERT_EQ(video.size(), 24u);
  ASSERT_EQ(audio.size(), 32u);  // up to the end of the recording
  const Decoded v = decode(id, video);
  EXPECT_EQ(std::vector<int>({v.errors, v.pictures, v.width, v.height}), std::vector<int>({0, 24, 96, 64}));
  // A key frame stands alone: decoding from the second one on works.
  EXPECT_EQ(decode(id, std::vector<const StoredFrame *>(video.begin() + 6, video.end())).pictures, 18);
  const Decoded a = decode(AV_CODEC_ID_AAC, audio);
  EXPECT_EQ(std::vector<int>({a.errors, a.samples, a.rate, a.channels}), std::vector<int>({0, 32 * 1024, 16000, 1}));
  EXPECT_GT(a.peak, 0.1);  // the tone is there
}

INSTANTIATE_TEST_SUITE_P(Codecs, CardsimMedia, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &i) {
                           return std::string(i.param ? "H264" : "H265");
                         });

// ---------------------------------------------------------------------------

namespace {

// A written image with its card information; removed with the object.
struct RawCard {
  std::string path;
  RawWriteSummary summary;
  std::vector<uint8_t> info;  // empty when the image is cut before its end
  explicit RawCard(const Scenario &s, const std::string &name = "card") : path(tempPath(name + ".img")) {
    std::string err;
    EXPECT_TRUE(writeRawCard(s, path, "", &summary, &err)) << err;
    info = Image(path).read(kCardInfo, 273);
  }
  ~RawCard() { unlink(path.c_str()); }
};

}  // namespace

// Options no reader depends on: the image size, the format time, the list
// areas reserved and where in its ring the first frame goes. The image stays
// sparse, and a channel without recordings gets empty indexes.
TEST(CardsimRawImage, OptionsLandAndTheImageIsSparse) {
  const RawCard c(parseOrDie(R"({"layout":"raw","channels":2,"media":"synthetic",
    "width":64,"height":48,"recordings":[{"start":1796090400,"end":1796090403,"type":3}],
    "raw":{"frameAreaSize":1048576,"diskSize":209715200,"formatTime":12345,"ringStart":4096,
           "fragmentListSlots":200,"iframeListSlots":40}})"));
  ASSERT_EQ(c.info.size(), 273u);
  struct stat st;
  ASSERT_EQ(stat(c.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 209715200);
  EXPECT_EQ(c.summary.imageSize, 209715200u);
  EXPECT_EQ(le64(&c.info[8]), 209715200u);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, static_cast<uint64_t>(st.st_size) / 50);
  EXPECT_EQ(le32(&c.info[4]), 12345u);
  EXPECT_EQ(le64(&c.info[17 + 16]), 2u << 20);  // 200 fragment lists of 8452 bytes, in whole MiB
  EXPECT_EQ(le64(&c.info[17 + 40]), 2u << 20);  // 40 I-frame lists of 32772 bytes

  Image img(c.path);
  const ChannelInfo c0 = channelInfo(c.info, 0), c1 = channelInfo(c.info, 1);
  EXPECT_EQ(c0.frameRetrace - c0.framePart, 1048576u);
  const std::vector<IndexRecord> idx = readIndex(img, c0.fragIdx);
  ASSERT_EQ(idx.size(), 1u);
  const uint64_t first = img.u64(idx[0].listAddr + 4 + 16);  // the fragment's start address
  EXPECT_EQ(first, c0.framePart + 4096);
  EXPECT_EQ(img.u64(first + 4), 1796090400000u);  // a key frame at the recording's start
  EXPECT_EQ(img.read(first + 12, 1).at(0), 0x11);
  EXPECT_EQ(img.u32(c1.fragIdx), 0u);
  EXPECT_EQ(img.u32(c1.iframeIdx), 0u);
}

TEST(CardsimRawImage, FaultsLandWhereAsked) {
  const std::string base = R"({"layout":"raw","codec":"h264","channels":2,"media":"synthetic",
    "width":64,"height":48,"recordings":[{"channel":0,"start":1796090400,"end":1796090403},
    {"channel":1,"start":1796090400,"end":1796090402}],"raw":{"frameAreaSize":1048576)";
  const RawCard c(parseOrDie(base + R"(,"badChecksum":true,"channelCount":5,"faultChannel":1,
    "fragmentIndexCount":65536,"iframeIndexCount":70000,"fragmentListCount":257,"iframeListCount":2049}})"));
  ASSERT_EQ(c.info.size(), 273u);
  EXPECT_EQ(c.info[16], 5 | (1 << 3));  // H.264 stays in bits 3-4
  uint32_t sum = 0;
  for (int i = 4; i <= 16 + 64 * 2; ++i) sum += c.info[i];
  EXPECT_EQ(le32(c.info.data()), sum + 1);
  Image img(c.path);
  const ChannelInfo c0 = channelInfo(c.info, 0), c1 = channelInfo(c.info, 1);
  EXPECT_EQ(img.u32(c1.fragIdx), 65536u);
  EXPECT_EQ(img.u32(c1.iframeIdx), 70000u);
  EXPECT_EQ(img.u32(c1.fragPart), 257u);  // the newest (here the only) list
  EXPECT_EQ(img.u32(c1.iframePart), 2049u);
  EXPECT_EQ(img.u32(c0.fragIdx), 1u);  // the other channel is intact
  EXPECT_EQ(img.u32(c0.iframePart), 3u);

  const RawCard cut(parseOrDie(base + R"(,"truncateAt":104857700}})"));
  struct stat st;
  ASSERT_EQ(stat(cut.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 104857700);
  EXPECT_EQ(cut.summary.imageSize, 104857700u);
}

TEST(CardsimRawImage, RefusesWhatCannotBeWritten) {
  const struct {
    const char *recordings, *raw, *message;
  } cases[] = {
      {"", R"("frameAreaSize":65536)", "do not fit into its frame ring"},
      {"", R"("frameAreaSize":100000)", "multiple of 4096"},
      {"", R"("diskSize":1000)", "too small"},
      {"", R"("ringStart":67108864)", "inside the frame area"},
      {"", R"("fragmentsPerList":257)", "\"fragmentsPerList\" must be a whole number from 1 to 256"},
      {"", R"("badChecksum":1)", "\"badChecksum\" must be true or false"},
      {"", R"("colour":1)", "unknown option \"colour\""},
      {R"(,{"start":1796090500,"end":1796090510})", R"("fragmentListSlots":1,"fragmentsPerList":1)",
       "raise \"fragmentListSlots\""},
  };
  const std::string path = tempPath("refused.img");
  for (const auto &c : cases) {
    Scenario s = parseOrDie(std::string(R"({"layout":"raw","media":"synthetic","recordings":[
      {"start":1796090400,"end":1796090460})") + c.recordings + R"(],"raw":{)" + c.raw + "}}");
    std::string err;
    EXPECT_FALSE(writeRawCard(s, path, "", nullptr, &err)) << c.raw;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.raw << " gave: " << err;
  }
  unlink(path.c_str());
}

// ---------------------------------------------------------------------------

namespace {

struct RunResult {
  int status = -1;
  std::string out;
};

RunResult run(const std::string &args) {
  RunResult r;
  FILE *p = popen((std::string(CARDSIM_PATH) + " " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace

TEST(CardsimCommand, HelpAndUsageErrors) {
  const RunResult help = run("--help");
  EXPECT_EQ(help.status, 0);
  for (const char *word : {"--scenario", "--record", "--manifest", "\"recordings\"",
                           "ringStartBeforeEnd", "truncateAt", "recordFileSize", "badHeaderCrc"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  const std::string out = " --out " + tempPath("never");
  const struct {
    std::string args;
    const char *message;
  } cases[] = {
      {"--layout raw", "--out is required"},
      {"--bogus" + out, "unknown argument \"--bogus\""},
      {"--layout raw" + out + " --fps", "--fps needs a value"},
      {"--layout raw" + out + " --size 64", "--size wants WIDTHxHEIGHT"},
      {"--layout raw" + out + " --record 0,5", "CH,START,END"},
      {"--layout raw" + out + " --record 0,1,2,x", "\"x\" is neither a type"},
      {"--layout raw" + out + " --raw frameAreaSize", "--raw wants KEY=VALUE"},
      {"--layout raw" + out + " --channels 9", "\"channels\" must be a whole number"},
      {"--scenario /nonexistent/s.json" + out, "cannot read /nonexistent/s.json"},
      {"--layout file" + out + " --manifest " + tempPath("m.json"), "only made for the raw layout"},
  };
  for (const auto &c : cases) {
    const RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << " gave: " << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(tempPath("never")));
}

// The command line adds to and overrides the scenario file, down to single
// options of the layout objects.
TEST(CardsimCommand, CommandLineMergesIntoTheScenarioFile) {
  const std::string scenario = tempPath("scenario.json"), img = tempPath("cmd.img"),
                    man = tempPath("cmd.json");
  std::ofstream(scenario) << R"({"layout":"raw","codec":"h265","channels":2,"width":64,"height":48,
    "media":"synthetic","raw":{"frameAreaSize":1048576},
    "recordings":[{"channel":0,"start":"2026-12-01 10:00:00","end":"2026-12-01 10:00:02"}]})";
  const RunResult ok = run("--scenario " + scenario + " --codec h264 --no-audio --raw badChecksum=true"
                           " --record '1,2026-12-01 10:00:00,2026-12-01 10:00:02,9,open'"
                           " --out " + img + " --manifest " + man);
  ASSERT_EQ(ok.status, 0) << ok.out;
  EXPECT_NE(ok.out.find("cardsim: raw card " + img + ": 48 frames, 2 fragments"), std::string::npos)
      << ok.out;
  Image image(img);
  const std::vector<uint8_t> info = image.read(kCardInfo, 273);
  ASSERT_EQ(info.size(), 273u);
  EXPECT_EQ(info[16], 2 | (1 << 3));  // two channels of H.264
  uint32_t sum = 0;
  for (int i = 4; i <= 16 + 128; ++i) sum += info[i];
  EXPECT_EQ(le32(info.data()), sum + 1);  // badChecksum=true read as JSON
  const ChannelInfo c1 = channelInfo(info, 1);
  EXPECT_EQ(c1.frameRetrace - c1.framePart, 1048576u);  // the file's option stays
  const std::vector<IndexRecord> idx = readIndex(image, c1.fragIdx);
  ASSERT_EQ(idx.size(), 1u);
  EXPECT_EQ(image.u64(idx[0].listAddr + 4 + 8), 0u);  // open: no end time
  EXPECT_EQ(image.read(idx[0].listAddr + 4 + 32, 1).at(0), 9);
  EXPECT_EQ(readManifest(man).at(1).frames.size(), 24u);

  const std::string vol = tempPath("vol");
  const RunResult file = run("--layout file --size 64x48 --media synthetic --file recordFiles=3"
                             " --record '0,2026-12-01 10:00:00,2026-12-01 10:00:02' --out " + vol);
  ASSERT_EQ(file.status, 0) << file.out;
  EXPECT_NE(file.out.find("cardsim: file card " + vol + ": 1 recordings"), std::string::npos) << file.out;
  EXPECT_TRUE(std::filesystem::exists(vol + "/storage/record/rec_0002.dt"));
  EXPECT_FALSE(std::filesystem::exists(vol + "/storage/record/rec_0003.dt"));
  std::filesystem::remove_all(vol);
  for (const std::string &p : {scenario, img, man}) unlink(p.c_str());
}
