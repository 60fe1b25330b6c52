// The MP4 muxer, checked by reading its files back with libavformat.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "media.h"
#include "qmx_muxer.h"

namespace {

// 5 January 2024 12:34:56 and 12:39:58 in UTC+8 (the tests' zone).
const uint64_t kStart = 1704429296;
const uint64_t kEndMs = 1704429598000ULL;

class MuxerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir("muxer");
    ASSERT_FALSE(dir.empty());
    h264 = encodeVideo(QMX_CODEC_H264, 3);
    aac = encodeAdts(2);
    }
  void TearDown() override {
    for (int c = 0; c < 4; c++) qmx_muxer_end(c);
    removeTree(dir);
  }

  int writeVideo(int channel, const Bytes &b, uint64_t t) {
    return qmx_muxer_writeFrame(channel, 1, t, b.data(), static_cast<uint32_t>(b.size()));
  }
  int writeAudio(int channel, const Bytes &b) {
    return qmx_muxer_writeFrame(channel, 0, 123, b.data(), static_cast<uint32_t>(b.size()));
  }
  // One finished file of one video frame on channel 0, ending at endMs.
  std::string exportOne(uint64_t start, uint64_t endMs, const std::string &d) {
    EXPECT_EQ(qmx_muxer_start(0, start, d.c_str(), QMX_CODEC_H264), 0);
    EXPECT_EQ(writeVideo(0, h264[0], endMs), 0);
    EXPECT_EQ(qmx_muxer_end(0), 0);
    return qmx_muxer_lastFile(0);
  }

  std::string dir;
  std::vector<Bytes> h264;
  std::vector<Bytes> aac;
};

const char *kBase = "20240105_123456-20240105_123958-channel";

TEST_F(MuxerTest, SyntheticTimeLineAndStreamsReadBackWithLibavformat) {
  ASSERT_EQ(qmx_muxer_start(1, kStart, dir.c_str(), QMX_CODEC_H264), 0);
  // Card time stamps are irregular on purpose: the file's time line ignores them.
  EXPECT_EQ(writeVideo(1, h264[0], kEndMs - 5000), 0);
  EXPECT_EQ(writeAudio(1, aac[0]), 0);
  EXPECT_EQ(writeVideo(1, h264[1], kEndMs - 4999), 0);
  EXPECT_EQ(writeAudio(1, aac[1]), 0);
  EXPECT_EQ(writeVideo(1, h264[2], kEndMs), 0);
  EXPECT_EQ(qmx_muxer_end(1), 0);

  std::string expected = dir + "/" + kBase + "1.mp4";
  EXPECT_EQ(std::string(qmx_muxer_lastFile(1)), expected);
  // Only the final file remains; the temporary one went with the rename.
  EXPECT_EQ(listFiles(dir), std::vector<std::string>{std::string(kBase) + "1.mp4"});

  FileInfo info = readMp4(expected);
  ASSERT_TRUE(info.ok);
  ASSERT_EQ(info.streams.size(), 2u);
  const StreamInfo &v = info.streams[0];
  const StreamInfo &a = info.streams[1];
  EXPECT_EQ(v.codecId, QMX_CODEC_H264);
  EXPECT_EQ(v.tbDen, 90000);
  EXPECT_EQ(v.pts, (std::vector<int64_t>{0, 7499, 14999}));
  EXPECT_EQ(v.decodedFrames, 3);
  EXPECT_EQ(a.sampleRate, 16000);
  EXPECT_EQ(a.channels, 1);
  EXPECT_EQ(a.tbDen, 16000);
  EXPECT_EQ(a.pts, (std::vector<int64_t>{0, 1024}));
  EXPECT_EQ(a.decodedFrames, 2);
}

TEST_F(MuxerTest, RefusedCallsLeaveCountsAndFilesAlone) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(qmx_muxer_start(4, kStart, dir.c_str(), QMX_CODEC_H264), -1);
  EXPECT_EQ(qmx_muxer_end(4), -1);
  EXPECT_EQ(qmx_muxer_end(3), 0);  // never started: nothing happens
  EXPECT_EQ(writeVideo(3, h264[0], kEndMs), -1);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("unsupport channel.\n"), std::string::npos);
  EXPECT_NE(log.find("muxer not start.\n"), std::string::npos);
  EXPECT_TRUE(listFiles(dir).empty());

  ASSERT_EQ(qmx_muxer_start(0, kStart, dir.c_str(), QMX_CODEC_H264), 0);
  EXPECT_EQ(writeVideo(0, h264[0], kEndMs), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(qmx_muxer_writeFrame(0, 2, kEndMs + 9000, h264[1].data(),
                                 static_cast<uint32_t>(h264[1].size())),
            -1);
  log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("not supported frame type.\n"), std::string::npos);
  EXPECT_EQ(writeVideo(0, h264[1], kEndMs), 0);
  EXPECT_EQ(writeAudio(0, aac[0]), 0);
  qmx_muxer_end(0);

  // The refused frame neither counted nor moved the end time in the name.
  EXPECT_EQ(std::string(qmx_muxer_lastFile(0)), dir + "/" + kBase + "0.mp4");
  FileInfo info = readMp4(qmx_muxer_lastFile(0));
  ASSERT_TRUE(info.ok);
  ASSERT_EQ(info.streams.size(), 2u);
  EXPECT_EQ(info.streams[0].pts, (std::vector<int64_t>{0, 7499}));
  EXPECT_EQ(info.streams[1].pts, (std::vector<int64_t>{0}));
}

TEST_F(MuxerTest, SecondStartKeepsTheOpenFileItsStartAndDirectory) {
  std::string other = dir + "/other";
  ASSERT_EQ(qmx_muxer_start(0, kStart, dir.c_str(), QMX_CODEC_H264), 0);
  writeVideo(0, h264[0], kEndMs);
  testing::internal::CaptureStdout();
  EXPECT_EQ(qmx_muxer_start(0, kStart + 86400, other.c_str(), QMX_CODEC_HEVC), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("muxer already start.\n"),
            std::string::npos);
  writeVideo(0, h264[1], kEndMs);
  qmx_muxer_end(0);
  EXPECT_EQ(std::string(qmx_muxer_lastFile(0)), dir + "/" + kBase + "0.mp4");
  FileInfo info = readMp4(qmx_muxer_lastFile(0));
  ASSERT_TRUE(info.ok);
  ASSERT_GE(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].codecId, QMX_CODEC_H264);
  EXPECT_EQ(info.streams[0].pts.size(), 2u);
  EXPECT_NE(access(other.c_str(), F_OK), 0);
}

TEST_F(MuxerTest, TakenNamesGetNumberedUpToNineteen) {
  std::string plain = dir + "/" + kBase + "0.mp4";
  writeFile(plain, "old");
  EXPECT_EQ(exportOne(kStart, kEndMs, dir), dir + "/" + kBase + "0(1).mp4");

  for (int i = 2; i <= 18; i++) writeFile(dir + "/" + kBase + "0(" + std::to_string(i) + ").mp4", "old");
  std::string nineteen = dir + "/" + kBase + "0(19).mp4";
  EXPECT_EQ(exportOne(kStart, kEndMs, dir), nineteen);

  // Every name taken: the export is dropped, nothing is overwritten and no
  // temporary file stays behind.
  std::vector<std::string> before = listFiles(dir);
  std::string content = readFile(nineteen);
  EXPECT_EQ(exportOne(kStart, kEndMs, dir), "");
  EXPECT_EQ(listFiles(dir), before);
  EXPECT_EQ(readFile(nineteen), content);
  EXPECT_EQ(readFile(plain), "old");
}

TEST_F(MuxerTest, MidnightNameAndFileWithoutVideoRemoved) {
  // 1 March 2024 23:59:59 to 2 March 00:00:05 in UTC+8.
  std::string name = exportOne(1709308799, 1709308805999ULL, dir);
  EXPECT_EQ(name, dir + "/20240301_235959-20240302_000005-channel0.mp4");
  // The earlier file's last video time must not name this one.
  std::vector<std::string> before = listFiles(dir);
  ASSERT_EQ(qmx_muxer_start(0, kStart, dir.c_str(), QMX_CODEC_H264), 0);
  writeAudio(0, aac[0]);
  EXPECT_EQ(qmx_muxer_end(0), 0);
  EXPECT_EQ(std::string(qmx_muxer_lastFile(0)), "");
  EXPECT_EQ(listFiles(dir), before);
}

TEST_F(MuxerTest, DirectoryOf256BytesIsRefused) {
  std::string longest = dir + "/" + std::string(255 - dir.size() - 1, 'd');
  EXPECT_EQ(exportOne(kStart, kEndMs, longest), longest + "/" + kBase + "0.mp4");
  std::string tooLong = longest + "e";
  EXPECT_EQ(qmx_muxer_start(0, kStart, tooLong.c_str(), QMX_CODEC_H264), -1);
  EXPECT_EQ(writeVideo(0, h264[0], kEndMs), -1);
  EXPECT_NE(access(tooLong.c_str(), F_OK), 0);
}

}  // namespace
