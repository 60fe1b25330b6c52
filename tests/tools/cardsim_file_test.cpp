// The file-layout writer of the simulator, checked by reading its volumes
// back with the separate parser of file_volume.h and decoding the media with
// libavcodec.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "file_volume.h"
#include "file_writer.h"

namespace fs = std::filesystem;
using filevol::add;
using filevol::Volume;

namespace {

// A simulated volume in a directory of its own, removed with the object.
struct Card {
  Card() = default;
  Card(const Card &) = delete;
  Card &operator=(const Card &) = delete;
  ~Card() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  std::string dir;
  FileLayoutReport report;
  Volume vol;
  std::string error;
};

// Writes the scenario into a fresh directory and parses it back.
bool make(const Scenario &sc, const char *tag, Card *card) {
  card->dir = filevol::makeTempDir(tag);
  card->report.collectFrames = true;
  if (card->dir.empty()) return card->error = "no temp dir", false;
  if (!writeFileLayout(sc, card->dir, &card->report, &card->error)) return false;
  return card->vol.load(card->dir, &card->error);
}

const int64_t kT0 = filevol::localTime(2026, 3, 10, 10, 0, 0);

// Frames of the manifest that are still on the card, from (file, offset) on.
std::vector<FileLayoutFrame> liveFrom(const FileLayoutReport &r, uint16_t file, uint32_t offset) {
  std::vector<FileLayoutFrame> out;
  bool on = false;
  for (const FileLayoutFrame &f : r.frames) {
    if (f.live && f.file == file && f.offset == offset) on = true;
    if (on && f.live) out.push_back(f);
  }
  return out;
}

// The walked stream equals the manifest entries, field by field.
void expectSameFrames(const std::vector<filevol::Walked> &walked,
                      const std::vector<FileLayoutFrame> &frames) {
  ASSERT_EQ(walked.size(), frames.size());
  for (size_t i = 0; i < walked.size(); ++i) {
    const filevol::Walked &w = walked[i];
    const FileLayoutFrame &f = frames[i];
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(w.file, f.file);
    EXPECT_EQ(w.offset, f.offset);
    EXPECT_EQ(w.header.video(), f.video);
    EXPECT_EQ(w.header.second(), f.key);
    EXPECT_EQ(w.header.channel(), f.channel);
    EXPECT_EQ(w.header.length(), f.length);
    EXPECT_EQ(w.header.time, f.timeMs);
    EXPECT_EQ(crc32(0L, w.data.data(), static_cast<uInt>(w.data.size())), f.crc32);
    if (i > 0) {
      EXPECT_GE(w.header.time, walked[i - 1].header.time);
    }
  }
}

uint64_t fileSize(const std::string &path) {
  std::error_code ec;
  const auto n = fs::file_size(path, ec);
  return ec ? 0 : n;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(CardsimFileRecords, TwoChannelCardReadsBack) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(filevol::crc16(check, sizeof check), 0x29B1);  // the parser's own reference

  Scenario sc = filevol::scenario(1, 2, "{}", false);
  add(&sc, 0, kT0, kT0 + 3, 0x11);
  add(&sc, 1, kT0 + 1, kT0 + 4, 0x12);
  add(&sc, 0, kT0 + 5, kT0 + 6, 0x21);
  Card c;
  ASSERT_TRUE(make(sc, "two", &c)) << c.error;
  const Volume &v = c.vol;

  EXPECT_EQ(v.base.magic, 0x0135263Bu);
  EXPECT_TRUE(v.base.crcOk);
  EXPECT_EQ(v.base.channels, 2);
  EXPECT_EQ(v.base.fragRingBytes, 1024u * 32);
  EXPECT_EQ(v.base.iframeRingBytes, 4096 * 15);
  EXPECT_EQ(v.base.recordFileSize, 8 * 1024 * 1024);
  EXPECT_EQ(v.fragBytes.size(), 1024u * 32);
  EXPECT_EQ(v.iframeBytes.size(), 4096u * 15);
  EXPECT_FALSE(v.hasDel);

  // Copy 01 is the newer one; copy 00 holds the state from before the newest
  // recording began.
  ASSERT_TRUE(v.meta[0].crcOk && v.meta[1].crcOk);
  ASSERT_EQ(v.current(), 1);
  EXPECT_EQ(v.meta[1].sequence, v.meta[0].sequence + 1);
  const filevol::Meta &m = v.meta[1], &old = v.meta[0];
  EXPECT_EQ(m.fileCount, 16);
  EXPECT_EQ(m.fragTail - m.fragHead, 3u * 32);
  EXPECT_EQ(old.fragTail - old.fragHead, 2u * 32);
  ASSERT_FALSE(c.report.frames.empty());
  const FileLayoutFrame &newest = c.report.frames.back();
  EXPECT_EQ(m.writeFile, newest.file);
  EXPECT_EQ(m.writeOffset, newest.offset);
  EXPECT_EQ(m.lastTime, newest.timeMs);
  EXPECT_LT(old.lastTime, (kT0 + 5) * 1000);
  EXPECT_GT(old.lastTime, (kT0 + 3) * 1000);
  filevol::Header h;
  ASSERT_TRUE(v.header(old.writeFile, old.writeOffset, &h));
  EXPECT_TRUE(h.crcOk);
  EXPECT_EQ(h.time, old.lastTime);

  // One fragment per recording in start order, shared by both channels.
  const std::vector<filevol::Frag> frags = v.frags(m);
  ASSERT_EQ(frags.size(), 3u);
  const int channels[] = {0, 1, 0};
  const uint8_t types[] = {0x11, 0x12, 0x21};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(frags[i].crcOk);
    EXPECT_EQ(frags[i].id, 1 + i);
    EXPECT_EQ(frags[i].type, types[i]);
    EXPECT_EQ(frags[i].byte5 & 3, 1);  // H.264
    EXPECT_EQ((frags[i].byte5 >> 2) & 7, channels[i]);
    EXPECT_EQ(frags[i].start, sc.recordings[i].start);
    EXPECT_EQ(frags[i].end, sc.recordings[i].end);
  }

  // The stream from the first frame to the write position is the manifest.
  std::vector<filevol::Walked> walked;
  int marks = 0;
  std::string why;
  ASSERT_TRUE(v.walk(0, 0, m.writeFile, m.writeOffset, &walked, &marks, &why)) << why;
  EXPECT_EQ(marks, 0);
  expectSameFrames(walked, c.report.frames);
  // Both channels' video interleaves by time; audio carries its channel.
  int switchesBetweenChannels = 0, lastVideoChannel = -1;
  std::set<int> audioChannels;
  for (const filevol::Walked &w : walked) {
    if (!w.header.video()) {
      audioChannels.insert(w.header.channel());
      continue;
    }
    if (lastVideoChannel >= 0 && lastVideoChannel != w.header.channel()) ++switchesBetweenChannels;
    lastVideoChannel = w.header.channel();
  }
  EXPECT_GT(switchesBetweenChannels, 10);
  EXPECT_EQ(audioChannels, (std::set<int>{0, 1}));

  // Every key frame has its I-frame record, in time order, pointing at it.
  const std::vector<filevol::Iframe> iframes = v.iframes(m);
  size_t keys = 0;
  for (const FileLayoutFrame &f : c.report.frames) keys += f.key;
  ASSERT_EQ(iframes.size(), keys);
  for (size_t i = 0; i < iframes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(iframes[i].crcOk);
    if (i) {
      EXPECT_GE(iframes[i].time, iframes[i - 1].time);
    }
    ASSERT_TRUE(v.header(iframes[i].file, iframes[i].offset, &h));
    EXPECT_TRUE(h.crcOk && h.video() && h.second());
    EXPECT_EQ(h.channel(), iframes[i].byte0 & 7);
    EXPECT_EQ(h.time, iframes[i].time);
  }

  // The manifest file says the same as the report.
  const std::string manifest = c.dir + "/manifest.json";
  ASSERT_TRUE(writeFileLayoutManifest(c.report, manifest, &c.error)) << c.error;
  std::vector<uint8_t> text;
  ASSERT_TRUE(filevol::readFile(manifest, &text));
  const QJsonObject doc =
      QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char *>(text.data()),
                                         static_cast<int>(text.size())))
          .object();
  EXPECT_EQ(doc.value("writeOffset").toDouble(), m.writeOffset);
  EXPECT_EQ(doc.value("fragmentIds").toArray().size(), 3);
  const QJsonArray frames = doc.value("frames").toArray();
  ASSERT_EQ(static_cast<size_t>(frames.size()), c.report.frames.size());
  const QJsonObject last = frames.last().toObject();
  EXPECT_EQ(static_cast<int64_t>(last.value("time").toDouble()), newest.timeMs);
  EXPECT_EQ(static_cast<uint32_t>(last.value("crc").toDouble()), newest.crc32);
  EXPECT_EQ(last.value("offset").toDouble(), newest.offset);
}

// ---------------------------------------------------------------------------
// The stored media is what a player decodes.

namespace {

struct Decoded {
  int pictures = 0, width = 0, height = 0;
  int audioFrames = 0, badAudio = 0;
};

void decodeAll(AVCodecID id, const std::vector<std::vector<uint8_t>> &packets, Decoded *out,
               bool audio) {
  const AVCodec *codec = avcodec_find_decoder(id);
  ASSERT_NE(codec, nullptr);
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      if (audio) {
        ++out->audioFrames;
        if (frame->nb_samples != 1024 || frame->sample_rate != 16000 ||
            frame->ch_layout.nb_channels != 1)
          ++out->badAudio;
      } else {
        ++out->pictures;
        out->width = frame->width;
        out->height = frame->height;
      }
      av_frame_unref(frame);
    }
  };
  for (const auto &p : packets) {
    av_new_packet(pkt, static_cast<int>(p.size()));
    std::copy(p.begin(), p.end(), pkt->data);
    EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
    av_packet_unref(pkt);
    drain();
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
}

// The NAL unit type of the first NAL of a start-code access unit, or -1.
int firstNalType(const std::vector<uint8_t> &d, bool hevc) {
  size_t at;
  if (d.size() > 4 && d[0] == 0 && d[1] == 0 && d[2] == 1)
    at = 3;
  else if (d.size() > 5 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1)
    at = 4;
  else
    return -1;
  return hevc ? (d[at] >> 1) & 0x3F : d[at] & 0x1F;
}

class CardsimFileMedia : public testing::TestWithParam<int> {};

}  // namespace

TEST_P(CardsimFileMedia, VideoDecodesAndAudioIsAdts16kMono) {
  const int codec = GetParam();
  const bool hevc = codec == 0;
  Scenario sc = filevol::scenario(codec, 1, "{}", false);
  add(&sc, 0, kT0, kT0 + 2);
  Card c;
  ASSERT_TRUE(make(sc, hevc ? "h265" : "h264", &c)) << c.error;
  std::vector<filevol::Walked> walked;
  int marks = 0;
  std::string why;
  const filevol::Meta &m = c.vol.meta[c.vol.current()];
  ASSERT_TRUE(c.vol.walk(0, 0, m.writeFile, m.writeOffset, &walked, &marks, &why)) << why;

  std::vector<std::vector<uint8_t>> video, audio;
  for (const filevol::Walked &w : walked) (w.header.video() ? video : audio).push_back(w.data);
  ASSERT_EQ(video.size(), 20u);  // 2 s at 10 frames per second
  ASSERT_GE(audio.size(), 31u);  // a frame every 64 ms
  ASSERT_TRUE(walked[0].header.video() && walked[0].header.second());
  const int nal = firstNalType(walked[0].data, hevc);
  if (hevc)
    EXPECT_TRUE(nal >= 32 && nal <= 34) << nal;
  else
    EXPECT_TRUE(nal == 7 || nal == 9) << nal;

  Decoded d;
  decodeAll(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264, video, &d, false);
  EXPECT_EQ(d.pictures, 20);
  EXPECT_EQ(d.width, 160);
  EXPECT_EQ(d.height, 96);

  for (size_t i = 0; i < audio.size(); ++i) {
    const std::vector<uint8_t> &a = audio[i];
    SCOPED_TRACE("audio " + std::to_string(i));
    ASSERT_GE(a.size(), 7u);
    EXPECT_EQ(a[0], 0xFF);
    EXPECT_EQ(a[1] & 0xF0, 0xF0);                       // sync word
    EXPECT_EQ((a[2] >> 6) + 1, 2);                      // AAC LC
    EXPECT_EQ((a[2] >> 2) & 0xF, 8);                    // 16 000 Hz
    EXPECT_EQ(((a[2] & 1) << 2) | (a[3] >> 6), 1);      // mono
    EXPECT_EQ(((a[3] & 3) << 11) | (a[4] << 3) | (a[5] >> 5), static_cast<int>(a.size()));
  }
  decodeAll(AV_CODEC_ID_AAC, audio, &d, true);
  EXPECT_GE(d.audioFrames, static_cast<int>(audio.size()) - 2);
  EXPECT_EQ(d.badAudio, 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, CardsimFileMedia, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &i) {
                           return std::string(i.param == 0 ? "H265" : "H264");
                         });

// ---------------------------------------------------------------------------
// Rotation through the record files.

TEST(CardsimFileLayout, StreamRotatesPastTheLastFileWithEndMarks) {
  for (bool marks : {true, false}) {
    SCOPED_TRACE(marks ? "with end-of-file marks" : "without marks");
    char options[200];
    std::snprintf(options, sizeof options,
                  "{\"recordFileSize\": 30000, \"recordFiles\": 12, \"firstRecordFile\": 10,"
                  " \"eofMarks\": %s}",
                  marks ? "true" : "false");
    Scenario sc = filevol::scenario(0, 2, options, true);
    add(&sc, 0, kT0, kT0 + 8);
    add(&sc, 1, kT0 + 2, kT0 + 9);
    Card c;
    ASSERT_TRUE(make(sc, "rotate", &c)) << c.error;
    const filevol::Meta &m = c.vol.meta[c.vol.current()];
    // Past rec_0011 the stream goes on in rec_0000, and nothing was lost.
    ASSERT_GE(c.report.rotations, 3u);
    ASSERT_LT(c.report.rotations, 12u);
    EXPECT_LT(m.writeFile, 10);
    for (const FileLayoutFrame &f : c.report.frames) ASSERT_TRUE(f.live);

    std::vector<filevol::Walked> walked;
    int eofMarks = 0;
    std::string why;
    ASSERT_TRUE(c.vol.walk(10, 0, m.writeFile, m.writeOffset, &walked, &eofMarks, &why)) << why;
    expectSameFrames(walked, c.report.frames);
    std::set<int> files;
    for (const filevol::Walked &w : walked) files.insert(w.file);
    EXPECT_TRUE(files.count(11) && files.count(0));

    // Where each finished file ends: with marks every frame lies inside the
    // nominal size; without, the last frame's data may run past it.
    bool pastSize = false;
    for (size_t i = 0; i + 1 < walked.size(); ++i) {
      if (walked[i + 1].file == walked[i].file) continue;
      const uint64_t end = walked[i].offset + 12ull + walked[i].header.length();
      if (marks) {
        EXPECT_LE(end, 30000u);
      } else {
        EXPECT_GT(end + 12, 30000u);
        pastSize |= end > 30000;
      }
    }
    if (marks) {
      EXPECT_GE(eofMarks, 1);
      EXPECT_LE(eofMarks, static_cast<int>(c.report.rotations));
    } else {
      EXPECT_EQ(eofMarks, 0);
      EXPECT_TRUE(pastSize);
    }
    // Files the stream never reached exist, empty.
    EXPECT_TRUE(fs::exists(c.vol.recordPath(5)));
    EXPECT_EQ(fileSize(c.vol.recordPath(5)), 0u);
  }
}

TEST(CardsimFileLayout, OverwrittenFilesDropTheirRingRecords) {
  Scenario sc = filevol::scenario(1, 1, "{\"recordFileSize\": 20000, \"recordFiles\": 3,"
                                        " \"preallocate\": true}", true);
  for (int i = 0; i < 6; ++i) add(&sc, 0, kT0 + 10 * i, kT0 + 10 * i + 4);
  Card c;
  ASSERT_TRUE(make(sc, "overwrite", &c)) << c.error;
  const filevol::Meta &m = c.vol.meta[c.vol.current()];
  ASSERT_GT(c.report.rotations, 3u);
  for (int n = 0; n < 3; ++n) EXPECT_EQ(fileSize(c.vol.recordPath(n)), 20000u);

  // Each I-frame record points at a key frame that is still there.
  std::map<std::pair<int, uint32_t>, FileLayoutFrame> live;
  for (const FileLayoutFrame &f : c.report.frames)
    if (f.live) live[{f.file, f.offset}] = f;
  const std::vector<filevol::Iframe> iframes = c.vol.iframes(m);
  ASSERT_FALSE(iframes.empty());
  for (const filevol::Iframe &i : iframes) {
    auto it = live.find({i.file, i.offset});
    ASSERT_NE(it, live.end()) << i.file << "+" << i.offset;
    EXPECT_TRUE(it->second.key);
    EXPECT_EQ(it->second.timeMs, i.time);
  }
  // A fragment stays while any of its frames does.
  std::set<int> kept;
  for (const FileLayoutFrame &f : c.report.frames)
    if (f.live) kept.insert(f.recording);
  const std::vector<filevol::Frag> frags = c.vol.frags(m);
  ASSERT_EQ(frags.size(), kept.size());
  ASSERT_LT(frags.size(), 6u);
  EXPECT_EQ(frags.front().id, static_cast<uint32_t>(*kept.begin() + 1));
  EXPECT_EQ(frags.back().id, 6u);

  // From the oldest I-frame the stream reads to the write position.
  std::vector<filevol::Walked> walked;
  int marks = 0;
  std::string why;
  ASSERT_TRUE(c.vol.walk(iframes[0].file, iframes[0].offset, m.writeFile, m.writeOffset, &walked,
                         &marks, &why))
      << why;
  expectSameFrames(walked, liveFrom(c.report, iframes[0].file, iframes[0].offset));
}

TEST(CardsimFileLayout, RingsWrapAndByteSizesRoundDown) {
  {
    Scenario sc = filevol::scenario(0, 1, "{\"fragRingRecords\": 4, \"fragRingStart\": 2,"
                                          " \"iframeRingRecords\": 8, \"iframeRingStart\": 3}",
                                    true);
    add(&sc, 0, kT0, kT0 + 3, 1, false);
    add(&sc, 0, kT0 + 10, kT0 + 13);
    add(&sc, 0, kT0 + 20, kT0 + 23, 2, true);
    Card c;
    ASSERT_TRUE(make(sc, "wrap", &c)) << c.error;
    const filevol::Meta &m = c.vol.meta[c.vol.current()];
    EXPECT_EQ(m.fragHead, 2u * 32);
    EXPECT_EQ(m.fragTail, 1u * 32);  // wrapped: head above tail
    EXPECT_GT(m.iframeHead, m.iframeTail);
    const std::vector<filevol::Frag> frags = c.vol.frags(m);
    ASSERT_EQ(frags.size(), 3u);
    EXPECT_EQ(frags[2].id, 3u);
    EXPECT_EQ(frags[2].end, 0);  // still being recorded
    EXPECT_EQ(frags[1].end, kT0 + 13);
    // Nine key frames do not fit in an 8-record ring: the newest seven stay.
    const std::vector<filevol::Iframe> iframes = c.vol.iframes(m);
    ASSERT_EQ(iframes.size(), 7u);
    for (size_t i = 1; i < iframes.size(); ++i) EXPECT_GT(iframes[i].time, iframes[i - 1].time);
    EXPECT_EQ(iframes.back().time, (kT0 + 22) * 1000);
    // The open recording's frames run to its end.
    EXPECT_GE(m.lastTime, (kT0 + 22) * 1000);
  }
  {
    Scenario sc = filevol::scenario(0, 1, "{\"fragRingBytes\": 1000, \"iframeRingBytes\": 1000}", true);
    add(&sc, 0, kT0, kT0 + 2);
    Card c;
    ASSERT_TRUE(make(sc, "bytes", &c)) << c.error;
    EXPECT_EQ(c.vol.base.fragRingBytes, 1000u);
    EXPECT_EQ(c.vol.base.iframeRingBytes, 1000);
    EXPECT_EQ(c.vol.fragBytes.size(), 992u);
    EXPECT_EQ(c.vol.iframeBytes.size(), 990u);
  }
}

TEST(CardsimFileLayout, MetaCopiesFollowTheirOptions) {
  struct Case {
    const char *options;
    int current;
    bool badCrc[2];
  } cases[] = {
      {"{\"metaNewer\": 0}", 0, {false, false}},
      {"{\"metaSequence\": [2147483647, 2147483648]}", 1, {false, false}},
      {"{\"metaBadCrc\": [1]}", 0, {false, true}},
      {"{\"metaNewer\": 0, \"metaBadCrc\": [0]}", 1, {true, false}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.options);
    Scenario sc = filevol::scenario(0, 1, k.options, true);
    add(&sc, 0, kT0, kT0 + 2);
    add(&sc, 0, kT0 + 5, kT0 + 7);
    Card c;
    ASSERT_TRUE(make(sc, "meta", &c)) << c.error;
    EXPECT_EQ(c.vol.meta[0].crcOk, !k.badCrc[0]);
    EXPECT_EQ(c.vol.meta[1].crcOk, !k.badCrc[1]);
    ASSERT_EQ(c.vol.current(), k.current);
    // The copy holding the state of the full card has both fragments.
    const int full = c.vol.meta[0].lastTime > c.vol.meta[1].lastTime ? 0 : 1;
    const filevol::Meta &m = c.vol.meta[full];
    EXPECT_EQ(m.lastTime, c.report.frames.back().timeMs);
    EXPECT_EQ(c.vol.frags(m).size(), 2u);
    EXPECT_EQ(c.vol.frags(c.vol.meta[1 - full]).size(), 1u);
  }
}

TEST(CardsimFileLayout, DeletedListOpenFragmentAndEmptyCard) {
  {
    Scenario sc = filevol::scenario(0, 1, "{\"deleted\": [3, 1, 3], \"fragmentIdStart\": 1}", true);
    add(&sc, 0, kT0, kT0 + 1);
    add(&sc, 0, kT0 + 2, kT0 + 3);
    add(&sc, 0, kT0 + 4, kT0 + 5);
    Card c;
    ASSERT_TRUE(make(sc, "del", &c)) << c.error;
    ASSERT_TRUE(c.vol.hasDel);
    EXPECT_TRUE(c.vol.delCrcOk);
    EXPECT_EQ(c.vol.deleted, (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(fileSize(c.dir + "/storage/index/del_frag.dt"), 6u + 8u);
  }
  {
    Scenario sc = filevol::scenario(0, 2, "{\"deleted\": []}", true);
    Card c;
    ASSERT_TRUE(make(sc, "empty", &c)) << c.error;
    EXPECT_TRUE(c.vol.hasDel && c.vol.delCrcOk && c.vol.deleted.empty());
    const filevol::Meta &m = c.vol.meta[c.vol.current()];
    EXPECT_EQ(m.fragHead, m.fragTail);
    EXPECT_EQ(m.iframeHead, m.iframeTail);
    EXPECT_EQ(m.writeFile, 0);
    EXPECT_EQ(m.writeOffset, 0u);
    EXPECT_EQ(m.lastTime, 0);
    EXPECT_EQ(c.report.frameCount, 0u);
    for (int n = 0; n < 16; ++n) EXPECT_TRUE(fs::exists(c.vol.recordPath(n))) << n;
  }
}

TEST(CardsimFileLayout, FaultsDamageExactlyWhatTheySay) {
  auto build = [](const char *options, Card *c) {
    Scenario sc = filevol::scenario(0, 1, options, true);
    add(&sc, 0, kT0, kT0 + 2);
    add(&sc, 0, kT0 + 4, kT0 + 6);
    return make(sc, "fault", c);
  };
  {
    Card c;
    ASSERT_TRUE(build("{\"faults\": {\"badBaseMagic\": true}}", &c)) << c.error;
    EXPECT_NE(c.vol.base.magic, 0x0135263Bu);
    EXPECT_TRUE(c.vol.base.crcOk);
  }
  {
    Card c;
    ASSERT_TRUE(build("{\"faults\": {\"badBaseCrc\": true, \"ringSizeZero\": [\"frag\", \"iframe\"]}}",
                      &c))
        << c.error;
    EXPECT_EQ(c.vol.base.magic, 0x0135263Bu);
    EXPECT_FALSE(c.vol.base.crcOk);
    EXPECT_EQ(c.vol.base.fragRingBytes, 0u);
    EXPECT_EQ(c.vol.base.iframeRingBytes, 0);
    EXPECT_EQ(c.vol.fragBytes.size(), 1024u * 32);
  }
  {
    Card c;
    ASSERT_TRUE(build("{\"faults\": {\"badHeaderCrc\": [-1, 3], \"badNewestFragCrc\": true,"
                      " \"badNewestIframeCrc\": true}}",
                      &c))
        << c.error;
    const filevol::Meta &m = c.vol.meta[c.vol.current()];
    filevol::Header h;
    ASSERT_TRUE(c.vol.header(m.writeFile, m.writeOffset, &h));
    EXPECT_FALSE(h.crcOk);
    for (size_t i = 0; i < 6; ++i) {
      const FileLayoutFrame &f = c.report.frames[i];
      ASSERT_TRUE(c.vol.header(f.file, f.offset, &h));
      EXPECT_EQ(h.crcOk, i != 3) << i;
    }
    const auto frags = c.vol.frags(m);
    const auto iframes = c.vol.iframes(m);
    ASSERT_EQ(frags.size(), 2u);
    EXPECT_TRUE(frags[0].crcOk);
    EXPECT_FALSE(frags[1].crcOk);
    EXPECT_FALSE(iframes.back().crcOk);
    EXPECT_TRUE(iframes.front().crcOk);
  }
  {
    Card c;
    ASSERT_TRUE(build("{\"deleted\": [2], \"faults\": {\"badDelCrc\": true,"
                      " \"truncate\": {\"storage/index/frag.dt\": 40},"
                      " \"remove\": [\"storage/index/meta_01.dt\"]}}",
                      &c))
        << c.error;
    EXPECT_FALSE(c.vol.delCrcOk);
    EXPECT_EQ(c.vol.fragBytes.size(), 40u);
    EXPECT_FALSE(c.vol.metaPresent[1]);
    EXPECT_TRUE(c.vol.metaPresent[0]);
  }
}

TEST(CardsimFileLayout, RejectsBadOptionsAndFramesThatCannotFit) {
  const char *bad[] = {
      "{\"recordFile\": 1}",
      "{\"recordFiles\": 4, \"firstRecordFile\": 4}",
      "{\"fragRingRecords\": 4, \"fragRingStart\": 4}",
      "{\"recordFileSize\": 10}",
      "{\"metaSequence\": [1]}",
      "{\"faults\": {\"truncate\": {\"../outside\": 0}}}",
      "{\"faults\": {\"ringSizeZero\": [\"meta\"]}}",
      "{\"recordFileSize\": 64}",  // the first key frame is far larger
  };
  for (const char *options : bad) {
    SCOPED_TRACE(options);
    Scenario sc = filevol::scenario(0, 1, options, true);
    add(&sc, 0, kT0, kT0 + 1);
    Card c;
    c.dir = filevol::makeTempDir("bad");
    EXPECT_FALSE(writeFileLayout(sc, c.dir, &c.error));
    EXPECT_FALSE(c.error.empty());
  }
}
