// The simulator: scenarios, the frames it makes (checked with FFmpeg's own
// decoders), and the raw-disk images it writes (checked with the separate
// reader in raw_card_parse.h), including its deliberate faults.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
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
  const char *dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/cardsim_raw_test_" +
         std::to_string(getpid()) + "_" + name;
}

Scenario parseOrDie(const std::string &json) {
  Scenario s;
  std::string err;
  EXPECT_TRUE(parseScenario(QByteArray::fromStdString(json), &s, &err)) << err << "\n" << json;
  return s;
}

std::vector<StoredFrame> framesOf(const Scenario &s, const Recording &r) {
  std::vector<StoredFrame> out;
  std::string err;
  EXPECT_TRUE(generateRecording(s, r, [&](const StoredFrame &f) {
    out.push_back(f);
    return true;
  }, &err)) << err;
  return out;
}

// NAL unit types of an Annex B access unit, in order.
std::vector<int> nalTypes(const std::vector<uint8_t> &d, int codec) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < d.size(); ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      const uint8_t h = d[i + 3];
      types.push_back(codec == 1 ? (h & 0x1F) : ((h >> 1) & 0x3F));
      i += 2;
    }
  }
  return types;
}

bool startsWithParameterSets(const std::vector<uint8_t> &d, int codec) {
  std::vector<int> t = nalTypes(d, codec);
  std::set<int> seen(t.begin(), t.end());
  if (codec == 1) return !t.empty() && (t[0] == 7 || t[0] == 9) && seen.count(7) && seen.count(8) && seen.count(5);
  return !t.empty() && (t[0] == 32 || t[0] == 35) && seen.count(32) && seen.count(33) &&
         seen.count(34) && (seen.count(19) || seen.count(20));
}

struct Decoded {
  int pictures = 0, width = 0, height = 0;
  int samples = 0, sampleRate = 0, channels = 0;
  double peak = 0;
  int errors = 0;
};

// Runs frames through FFmpeg's decoder, one stored frame per packet.
Decoded decode(AVCodecID id, const std::vector<const StoredFrame *> &frames) {
  Decoded out;
  const AVCodec *codec = avcodec_find_decoder(id);
  AVCodecContext *c = avcodec_alloc_context3(codec);
  c->thread_count = 1;
  if (avcodec_open2(c, codec, nullptr) < 0) {
    out.errors = 1;
    avcodec_free_context(&c);
    return out;
  }
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  auto drain = [&]() {
    while (avcodec_receive_frame(c, frame) >= 0) {
      if (id == AV_CODEC_ID_AAC) {
        out.samples += frame->nb_samples;
        out.sampleRate = frame->sample_rate;
        out.channels = frame->ch_layout.nb_channels;
        const float *s = reinterpret_cast<const float *>(frame->data[0]);
        for (int i = 0; i < frame->nb_samples; ++i) out.peak = std::max(out.peak, double(std::abs(s[i])));
      } else {
        ++out.pictures;
        out.width = frame->width;
        out.height = frame->height;
      }
      av_frame_unref(frame);
    }
  };
  for (const StoredFrame *f : frames) {
    av_new_packet(pkt, static_cast<int>(f->data.size()));
    memcpy(pkt->data, f->data.data(), f->data.size());
    if (avcodec_send_packet(c, pkt) < 0) ++out.errors;
    av_packet_unref(pkt);
    drain();
  }
  avcodec_send_packet(c, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&c);
  return out;
}

// An ADTS header of a 16 kHz mono AAC-LC frame whose length is the frame's.
::testing::AssertionResult isAdts16kMono(const StoredFrame &f) {
  const auto &d = f.data;
  if (d.size() < 8) return ::testing::AssertionFailure() << "too short: " << d.size();
  if (d[0] != 0xFF || (d[1] & 0xF6) != 0xF0) return ::testing::AssertionFailure() << "no sync word";
  const int profile = d[2] >> 6, rate = (d[2] >> 2) & 0xF, ch = ((d[2] & 1) << 2) | (d[3] >> 6);
  const size_t len = ((d[3] & 3) << 11) | (d[4] << 3) | (d[5] >> 5);
  if (profile != 1 || rate != 8 || ch != 1 || len != d.size() || (d[6] & 3) != 0)
    return ::testing::AssertionFailure() << "profile " << profile << " rate index " << rate
                                         << " channels " << ch << " length " << len << "/" << d.size();
  return ::testing::AssertionSuccess();
}

const int64_t kDay = 1796054400;  // 2026-12-01 00:00:00 at UTC+8

}  // namespace

// ---------------------------------------------------------------------------

TEST(CardsimScenario, ReadsFieldsLocalTimesAndSortsRecordings) {
  Scenario s = parseOrDie(R"({"layout":"raw","codec":"h264","channels":2,"width":64,"height":48,
    "fps":10,"gop":5,"audio":false,"media":"synthetic",
    "recordings":[{"channel":1,"start":"2026-12-01 10:00:00","end":"2026-12-01 10:00:30","type":7,"open":true},
                  {"channel":0,"start":1796090400,"end":1796090410},
                  {"channel":0,"start":1796090000,"end":1796090100}],
    "raw":{"frameAreaSize":1048576}})");
  EXPECT_EQ(s.codec, 1);
  EXPECT_EQ(s.channels, 2);
  EXPECT_EQ(s.width, 64);
  EXPECT_FALSE(s.audio);
  EXPECT_EQ(s.media, "synthetic");
  EXPECT_EQ(s.raw["frameAreaSize"].toDouble(), 1048576.0);
  ASSERT_EQ(s.recordings.size(), 3u);
  // Local time of TZ=CST-8: 10:00 is 02:00 UTC.
  EXPECT_EQ(s.recordings[0].start, 1796090000);
  EXPECT_EQ(s.recordings[1].start, 1796090400);  // same start: channel 0 first
  EXPECT_EQ(s.recordings[1].channel, 0);
  EXPECT_EQ(s.recordings[2].channel, 1);
  EXPECT_EQ(s.recordings[2].end, 1796090430);
  EXPECT_EQ(s.recordings[2].type, 7);
  EXPECT_TRUE(s.recordings[2].open);
  EXPECT_EQ(s.recordings[0].type, 1);  // default type
}

TEST(CardsimScenario, RejectsBadScenariosWithClearMessages) {
  const struct {
    const char *json, *message;
  } cases[] = {
      {"{", "not valid JSON"},
      {R"({"codec":"h264"})", "\"layout\" is missing"},
      {R"({"layout":"disk"})", "\"layout\" must be"},
      {R"({"layout":"raw","codec":"vp9"})", "\"codec\" must be"},
      {R"({"layout":"raw","channels":5})", "\"channels\" must be a whole number from 1 to 4"},
      {R"({"layout":"raw","width":321})", "must be even"},
      {R"({"layout":"raw","fps":0})", "\"fps\""},
      {R"({"layout":"raw","colour":1})", "unknown field \"colour\""},
      {R"({"layout":"raw","recordings":[{"channel":1,"start":1,"end":2}]})", "recording 0: \"channel\""},
      {R"({"layout":"raw","recordings":[{"start":5,"end":5}]})", "\"end\" must be after \"start\""},
      {R"({"layout":"raw","recordings":[{"start":"2026-02-30 00:00:00","end":5}]})", "\"start\" must be"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10},{"start":5,"end":20}]})", "overlap"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10,"open":true},{"start":20,"end":30}]})",
       "only the newest recording may be open"},
      {R"({"layout":"raw","recordings":[{"start":0,"end":10,"type":256}]})", "\"type\""},
  };
  for (const auto &c : cases) {
    Scenario s;
    std::string err;
    EXPECT_FALSE(parseScenario(QByteArray(c.json), &s, &err)) << c.json;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.json << " gave: " << err;
  }
}

// ---------------------------------------------------------------------------

class CardsimMedia : public ::testing::TestWithParam<int> {};

TEST_P(CardsimMedia, EncodedFramesDecodeToTheExpectedPicturesAndSound) {
  const int codec = GetParam();
  Scenario s = parseOrDie(std::string(R"({"layout":"raw","codec":")") + (codec ? "h264" : "h265") +
                          R"(","fps":12,"gop":6})");
  Recording r;
  r.start = kDay + 36000;
  r.end = r.start + 2;
  std::vector<StoredFrame> frames = framesOf(s, r);

  std::vector<const StoredFrame *> video, audio;
  int64_t lastTime = 0;
  for (const StoredFrame &f : frames) {
    EXPECT_GE(f.timeMs, lastTime) << "frames out of time order";
    lastTime = f.timeMs;
    (f.video ? video : audio).push_back(&f);
  }
  ASSERT_EQ(video.size(), 24u);
  for (size_t i = 0; i < video.size(); ++i) {
    EXPECT_EQ(video[i]->timeMs, r.start * 1000 + static_cast<int64_t>(i) * 1000 / 12);
    EXPECT_EQ(video[i]->key, i % 6 == 0) << "frame " << i;
    EXPECT_EQ(startsWithParameterSets(video[i]->data, codec), i % 6 == 0) << "frame " << i;
  }
  Decoded v = decode(codec ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC, video);
  EXPECT_EQ(v.errors, 0);
  EXPECT_EQ(v.pictures, 24);
  EXPECT_EQ(v.width, 320);
  EXPECT_EQ(v.height, 180);
  // Decoding from the second key frame on works too: key frames stand alone.
  std::vector<const StoredFrame *> tail(video.begin() + 6, video.end());
  EXPECT_EQ(decode(codec ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC, tail).pictures, 18);

  ASSERT_EQ(audio.size(), 32u);  // ceil(2000 / 64)
  for (size_t i = 0; i < audio.size(); ++i) {
    EXPECT_EQ(audio[i]->timeMs, r.start * 1000 + static_cast<int64_t>(i) * 64);
    EXPECT_TRUE(isAdts16kMono(*audio[i])) << "audio frame " << i;
  }
  Decoded a = decode(AV_CODEC_ID_AAC, audio);
  EXPECT_EQ(a.errors, 0);
  EXPECT_EQ(a.samples, 32 * 1024);
  EXPECT_EQ(a.sampleRate, 16000);
  EXPECT_EQ(a.channels, 1);
  EXPECT_GT(a.peak, 0.1);  // the tone is there
}

TEST_P(CardsimMedia, SyntheticFramesHaveTheSameTimingAndShape) {
  const int codec = GetParam();
  const std::string base = std::string(R"({"layout":"raw","codec":")") + (codec ? "h264" : "h265") +
                           R"(","fps":25,"gop":10,"width":64,"height":48)";
  Scenario enc = parseOrDie(base + "}");
  Scenario syn = parseOrDie(base + R"(,"media":"synthetic"})");
  Recording r;
  r.start = kDay;
  r.end = kDay + 3;
  std::vector<StoredFrame> a = framesOf(enc, r), b = framesOf(syn, r);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].video, b[i].video) << i;
    EXPECT_EQ(a[i].key, b[i].key) << i;
    EXPECT_EQ(a[i].timeMs, b[i].timeMs) << i;
    if (b[i].video) {
      EXPECT_EQ(startsWithParameterSets(b[i].data, codec), b[i].key) << i;
      std::vector<int> t = nalTypes(b[i].data, codec);
      ASSERT_FALSE(t.empty());
      EXPECT_EQ(t.back(), codec == 1 ? (b[i].key ? 5 : 1) : (b[i].key ? 19 : 1)) << i;
    } else {
      EXPECT_TRUE(isAdts16kMono(b[i])) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, CardsimMedia, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &i) {
                           return std::string(i.param ? "H264" : "H265");
                         });

// ---------------------------------------------------------------------------

namespace {

struct Written {
  std::string image, manifest;
  RawWriteSummary summary;
};

Written writeCard(const Scenario &s, const std::string &name) {
  Written w{tempPath(name + ".img"), tempPath(name + ".json"), {}};
  std::string err;
  EXPECT_TRUE(writeRawCard(s, w.image, w.manifest, &w.summary, &err)) << err;
  return w;
}

// Three channels: channel 0 has a recording across midnight, a short one
// and an open newest one, written so that the frame ring wraps; channel 1
// is empty; channel 2 has one recording. Small lists give several of them.
const char *kThreeChannels = R"({"layout":"raw","codec":"h265","channels":3,
  "width":96,"height":64,"fps":10,"gop":5,
  "recordings":[
    {"channel":0,"start":"2026-11-30 23:59:58","end":"2026-12-01 00:00:02","type":2},
    {"channel":2,"start":"2026-12-01 00:00:00","end":"2026-12-01 00:00:03","type":1},
    {"channel":0,"start":"2026-12-01 00:00:05","end":"2026-12-01 00:00:07","type":1},
    {"channel":0,"start":"2026-12-01 00:00:10","end":"2026-12-01 00:00:13","type":4,"open":true}],
  "raw":{"frameAreaSize":1048576,"ringStartBeforeEnd":30000,"fragmentsPerList":2,"iframesPerList":3}})";

}  // namespace

TEST(CardsimRawImage, RecordsDescribeExactlyTheFramesWritten) {
  Scenario s = parseOrDie(kThreeChannels);
  Written w = writeCard(s, "three");
  Image img(w.image);
  ASSERT_TRUE(img.ok());
  std::vector<ManifestChannel> man = readManifest(w.manifest);
  ASSERT_EQ(man.size(), 3u);
  EXPECT_EQ(w.summary.fragments, 4u);

  // Card information and its checksum over bytes 4 .. 16 + 64 * 3.
  std::vector<uint8_t> card = img.read(kCardInfo, 273);
  ASSERT_EQ(card.size(), 273u);
  uint32_t sum = 0;
  for (int i = 4; i <= 16 + 64 * 3; ++i) sum += card[i];
  EXPECT_EQ(le32(card.data()), sum);
  EXPECT_EQ(card[16], 3);  // three channels, H.265
  for (int i = 17 + 64 * 3; i < 273; ++i) EXPECT_EQ(card[i], 0) << "unused channel slot byte " << i;

  // Channel 1 is empty: both indexes have count 0.
  ChannelInfo c1 = channelInfo(card, 1);
  EXPECT_EQ(img.u32(c1.fragIdx), 0u);
  EXPECT_EQ(img.u32(c1.iframeIdx), 0u);

  for (int c : {0, 2}) {
    SCOPED_TRACE("channel " + std::to_string(c));
    ChannelInfo ci = channelInfo(card, c);
    const ManifestChannel &mc = man[c];
    EXPECT_EQ(ci.framePart, mc.framePart);
    EXPECT_EQ(ci.frameRetrace, mc.frameRetrace);
    EXPECT_LT(ci.fragIdx, ci.fragPart);
    EXPECT_LT(ci.iframePart, ci.framePart);

    // Fragments: through the index and the lists, as the manifest says.
    std::vector<IndexRecord> fidx = readIndex(img, ci.fragIdx);
    std::vector<FragmentRecord> frags;
    for (const IndexRecord &ir : fidx) {
      std::vector<FragmentRecord> list = readFragmentList(img, ir.listAddr);
      ASSERT_FALSE(list.empty());
      EXPECT_LE(list.size(), 2u);
      EXPECT_EQ(ir.time, list.front().startTime);  // an index record holds its list's start
      frags.insert(frags.end(), list.begin(), list.end());
    }
    ASSERT_EQ(frags.size(), mc.fragments.size());
    for (size_t i = 0; i < frags.size(); ++i) {
      EXPECT_EQ(frags[i].startTime, mc.fragments[i].start);
      EXPECT_EQ(frags[i].startAddr, mc.fragments[i].startAddr);
      EXPECT_EQ(frags[i].type, mc.fragments[i].type);
      if (mc.fragments[i].open) {
        EXPECT_EQ(frags[i].endTime, 0);
        EXPECT_EQ(frags[i].endAddr, 0u);
      } else {
        EXPECT_EQ(frags[i].endTime, mc.fragments[i].end);
        EXPECT_EQ(frags[i].endAddr, mc.fragments[i].endAddr);
      }
      // Each fragment starts with a key frame that carries its parameter sets.
      FrameHeader h;
      ASSERT_TRUE(readFrameHeader(img, frags[i].startAddr, &h));
      EXPECT_EQ(h.flags, 0x11);
      EXPECT_EQ(h.time, frags[i].startTime * 1000);
      StoredFrame f;
      f.data = img.read(frags[i].startAddr + 13, h.length);
      EXPECT_TRUE(startsWithParameterSets(f.data, 0));
    }
    if (c == 0) {
      EXPECT_EQ(fidx.size(), 2u);
    }

    // I-frames: every key frame of the manifest, in order, through the lists.
    std::vector<IndexRecord> iidx = readIndex(img, ci.iframeIdx);
    std::vector<IframeRecord> iframes;
    for (const IndexRecord &ir : iidx) {
      std::vector<IframeRecord> list = readIframeList(img, ir.listAddr);
      ASSERT_FALSE(list.empty());
      EXPECT_LE(list.size(), 3u);
      EXPECT_EQ(ir.time, list.front().time);
      iframes.insert(iframes.end(), list.begin(), list.end());
    }
    size_t k = 0;
    for (const ManifestFrame &f : mc.frames) {
      if (!f.key) continue;
      ASSERT_LT(k, iframes.size());
      EXPECT_EQ(iframes[k].time, f.time);
      EXPECT_EQ(iframes[k].frameAddr, f.addr);
      ++k;
    }
    EXPECT_EQ(k, iframes.size());

    // Frames: header and bytes at each address, the next one right behind
    // or, past the wrap point, at the ring's start.
    int wraps = 0;
    for (size_t i = 0; i < mc.frames.size(); ++i) {
      const ManifestFrame &f = mc.frames[i];
      FrameHeader h;
      ASSERT_TRUE(readFrameHeader(img, f.addr, &h));
      EXPECT_EQ(h.length, f.size);
      EXPECT_EQ(h.time, f.time);
      EXPECT_EQ(h.flags & 0xF, f.video ? 1 : 0);
      EXPECT_EQ(h.flags >> 4, f.key ? 1 : 0);
      std::vector<uint8_t> data = img.read(f.addr + 13, h.length);
      EXPECT_EQ(crc32(0, data.data(), data.size()), f.crc) << "frame " << i;
      EXPECT_LT(f.addr, ci.frameRetrace);
      if (i + 1 < mc.frames.size()) {
        uint64_t next = f.addr + 13 + f.size;
        if (next >= ci.frameRetrace) {
          next = ci.framePart;
          ++wraps;
        }
        EXPECT_EQ(mc.frames[i + 1].addr, next) << "frame " << i;
      }
    }
    if (c == 0) {
      EXPECT_EQ(wraps, 1);
    }
  }

  // Sparse: hundreds of MiB long, a few hundred KiB on disk.
  struct stat st;
  ASSERT_EQ(stat(w.image.c_str(), &st), 0);
  EXPECT_GT(static_cast<uint64_t>(st.st_size), 0x6400000ull);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), w.summary.imageSize);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, static_cast<uint64_t>(st.st_size) / 50);
  unlink(w.image.c_str());
  unlink(w.manifest.c_str());
}

TEST(CardsimRawImage, FaultsAreWrittenWhereAsked) {
  const std::string base = R"({"layout":"raw","codec":"h264","channels":2,"media":"synthetic",
    "width":64,"height":48,"recordings":[{"channel":0,"start":1796090400,"end":1796090403},
    {"channel":1,"start":1796090400,"end":1796090402}],"raw":{"frameAreaSize":1048576)";
  auto card = [&](const std::string &faults, std::vector<uint8_t> *info, ChannelInfo *c1,
                  Written *out) {
    Written w = writeCard(parseOrDie(base + faults + "}}"), "fault");
    Image img(w.image);
    *info = img.read(kCardInfo, 273);
    if (info->size() == 273) *c1 = channelInfo(*info, 1);
    if (out) *out = w;
  };
  std::vector<uint8_t> info;
  ChannelInfo c1{};
  auto checksum = [&](int channels) {
    uint32_t s = 0;
    for (int i = 4; i <= 16 + 64 * channels; ++i) s += info[i];
    return s;
  };

  card("", &info, &c1, nullptr);
  ASSERT_EQ(info.size(), 273u);
  EXPECT_EQ(info[16], 2 | (1 << 3));
  EXPECT_EQ(le32(info.data()), checksum(2));

  card(R"(,"badChecksum":true)", &info, &c1, nullptr);
  EXPECT_EQ(le32(info.data()), checksum(2) + 1);

  for (int n : {0, 5, 7}) {
    card(R"(,"channelCount":)" + std::to_string(n), &info, &c1, nullptr);
    EXPECT_EQ(info[16] & 7, n);
    EXPECT_EQ(info[16] >> 3, 1);
  }

  Written w;
  card(R"(,"faultChannel":1,"fragmentIndexCount":65536,"iframeIndexCount":70000,"fragmentListCount":257,"iframeListCount":2049)",
       &info, &c1, &w);
  {
    Image img(w.image);
    EXPECT_EQ(img.u32(c1.fragIdx), 65536u);
    EXPECT_EQ(img.u32(c1.iframeIdx), 70000u);
    // The records are still there behind the false counts.
    EXPECT_EQ(img.u32(c1.fragPart), 257u);
    EXPECT_EQ(img.u32(c1.iframePart), 2049u);
    ChannelInfo c0 = channelInfo(info, 0);
    EXPECT_EQ(img.u32(c0.fragIdx), 1u);  // the other channel is intact
    EXPECT_EQ(img.u32(c0.fragPart), 1u);
    EXPECT_EQ(le32(info.data()), checksum(2));
  }

  card(R"(,"truncateAt":104857700)", &info, &c1, &w);
  struct stat st;
  ASSERT_EQ(stat(w.image.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 104857700);
  EXPECT_EQ(w.summary.imageSize, 104857700u);
  EXPECT_TRUE(info.empty());  // the card information is cut after 100 bytes
  unlink(w.image.c_str());
  unlink(w.manifest.c_str());
}

TEST(CardsimRawImage, RefusesWhatCannotBeWritten) {
  const std::string base = R"({"layout":"raw","media":"synthetic","recordings":[
    {"channel":0,"start":1796090400,"end":1796090460}],"raw":{)";
  const struct {
    const char *raw, *message;
  } cases[] = {
      {R"("frameAreaSize":65536)", "do not fit into its frame ring"},
      {R"("frameAreaSize":100000)", "multiple of 4096"},
      {R"("diskSize":1000)", "too small"},
      {R"("fragmentListSlots":1,"fragmentsPerList":1,"ringStart":0)", ""},
      {R"("ringStart":67108864)", "inside the frame area"},
      {R"("fragmentsPerList":257)", "\"fragmentsPerList\""},
      {R"("colour":1)", "unknown option \"colour\""},
  };
  for (const auto &c : cases) {
    Scenario s = parseOrDie(base + c.raw + "}}");
    std::string err;
    const std::string path = tempPath("refuse.img");
    bool ok = writeRawCard(s, path, "", nullptr, &err);
    if (!*c.message) {
      EXPECT_TRUE(ok) << c.raw << ": " << err;
    } else {
      EXPECT_FALSE(ok) << c.raw;
      EXPECT_NE(err.find(c.message), std::string::npos) << c.raw << " gave: " << err;
    }
    unlink(path.c_str());
  }
  // Two recordings need two lists when a list holds one fragment.
  Scenario s = parseOrDie(R"({"layout":"raw","media":"synthetic","recordings":[
    {"start":1796090400,"end":1796090410},{"start":1796090500,"end":1796090510}],
    "raw":{"fragmentListSlots":1,"fragmentsPerList":1}})");
  std::string err;
  EXPECT_FALSE(writeRawCard(s, tempPath("slots.img"), "", nullptr, &err));
  EXPECT_NE(err.find("fragmentListSlots"), std::string::npos) << err;
  unlink(tempPath("slots.img").c_str());
}

// ---------------------------------------------------------------------------

namespace {

struct RunResult {
  int status = -1;
  std::string out;
};

RunResult run(const std::string &args) {
  RunResult r;
  const std::string cmd = std::string(CARDSIM_PATH) + " " + args + " 2>&1";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace

TEST(CardsimCommand, HelpErrorsAndShortcuts) {
  RunResult help = run("--help");
  EXPECT_EQ(help.status, 0);
  for (const char *word : {"--scenario", "--record", "--manifest", "ringStartBeforeEnd",
                           "fragmentIndexCount", "truncateAt", "\"recordings\""})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  RunResult noOut = run("--layout raw");
  EXPECT_EQ(noOut.status, 1);
  EXPECT_NE(noOut.out.find("--out is required"), std::string::npos) << noOut.out;
  RunResult badRecord = run("--layout raw --out /dev/null --record 0,5");
  EXPECT_EQ(badRecord.status, 1);
  EXPECT_NE(badRecord.out.find("CH,START,END"), std::string::npos) << badRecord.out;
  RunResult badScenario = run("--scenario /nonexistent/scenario.json --out /dev/null");
  EXPECT_EQ(badScenario.status, 1);
  EXPECT_NE(badScenario.out.find("cannot read"), std::string::npos) << badScenario.out;

  const std::string img = tempPath("cmd.img"), man = tempPath("cmd.json");
  RunResult ok = run("--layout raw --codec h264 --channels 2 --size 64x48 --no-audio --media synthetic "
                     "--raw frameAreaSize=1048576 --raw badChecksum=true "
                     "--record '1,2026-12-01 10:00:00,2026-12-01 10:00:02,9,open' "
                     "--out " + img + " --manifest " + man);
  ASSERT_EQ(ok.status, 0) << ok.out;
  EXPECT_NE(ok.out.find("cardsim: raw card " + img + ": 24 frames, 1 fragments"), std::string::npos)
      << ok.out;
  Image image(img);
  std::vector<uint8_t> info = image.read(kCardInfo, 273);
  ASSERT_EQ(info.size(), 273u);
  EXPECT_EQ(info[16], 2 | 8);
  uint32_t sum = 0;
  for (int i = 4; i <= 16 + 128; ++i) sum += info[i];
  EXPECT_EQ(le32(info.data()), sum + 1);
  std::vector<FragmentRecord> list =
      readFragmentList(image, readIndex(image, channelInfo(info, 1).fragIdx).at(0).listAddr);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].type, 9);
  EXPECT_EQ(list[0].endTime, 0);
  EXPECT_EQ(readManifest(man).at(1).frames.size(), 24u);
  unlink(img.c_str());
  unlink(man.c_str());
}
