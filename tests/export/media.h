// Test media for the export tests: tiny real H.264/H.265 access units and
// ADTS AAC frames (the shared test encoder), and a reader that lists an MP4
// file's streams and packets through libavformat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_media.h"

// count access units in start-code form of a 64x64 picture, the first a key
// frame with its parameter sets. codecId is FFmpeg's (27 H.264, 173 HEVC).
inline std::vector<Bytes> encodeVideo(int codecId, int count) {
  return encodeVideo(codecId, 64, 64, count);
}
// count ADTS AAC-LC frames, 16 kHz mono, 1024 samples each.
// (The encoder's flush adds a frame of its own; only count are kept.)
inline std::vector<Bytes> encodeAdts(int count) {
  std::vector<Bytes> frames = encodeAacTone(16000, 1, count);
  if (frames.size() > static_cast<size_t>(count)) frames.resize(static_cast<size_t>(count));
  return frames;
}

struct StreamInfo {
  int codecId = 0;
  int type = -1;  // AVMEDIA_TYPE_*
  int sampleRate = 0;
  int channels = 0;
  int tbDen = 0;
  std::vector<int64_t> pts;
  int decodedFrames = 0;  // frames a decoder made of the stream's packets
};

struct FileInfo {
  bool ok = false;
  std::vector<StreamInfo> streams;
};

// Opens path with libavformat, reads every packet and decodes each stream.
FileInfo readMp4(const std::string &path);

// Files (not directories) in dir, names only, sorted.
std::vector<std::string> listFiles(const std::string &dir);
// A fresh empty directory under the test's temporary area; removeTree drops one.
std::string makeTempDir(const std::string &tag);
void removeTree(const std::string &dir);
void writeFile(const std::string &path, const std::string &content);
std::string readFile(const std::string &path);
