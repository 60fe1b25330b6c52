// Shared pieces of the export tests: simulator cards (made by cardsim),
// cardtool runs, the card's own frame list, and exports read back with
// libavformat and libavcodec.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::string makeTempDir(const std::string &tag);
void removeTree(const std::string &dir);
std::vector<std::string> listFiles(const std::string &dir);  // names of regular files, sorted
std::string readFile(const std::string &path);

// Runs cardsim with these arguments plus --out path; true when it made the card.
bool makeSimCard(const std::vector<std::string> &args, const std::string &path);
// Attaches the card and loads it with the library of layout (1 raw, 2 file).
bool openSimCard(const std::string &path, int layout);

struct ToolRun {
  int code = -1;
  std::string out, err;
};
// Runs a shell command line (the tools' paths are CARDTOOL and CARDSIM).
ToolRun run(const std::string &commandLine);
extern const std::string CARDTOOL;

// The frames a playback of the channel from start hands out, in card order.
struct CardFrame {
  bool video = false;
  int64_t ms = 0;
};
std::vector<CardFrame> cardFrames(const std::string &card, int channel, int64_t start);

struct Packet {
  int64_t pts = 0, duration = 0;
  bool key = false;
};
struct Track {
  bool present = false;
  int codecId = 0;
  std::string tag;  // the sample entry's four letters
  int width = 0, height = 0;
  int tbNum = 1, tbDen = 1;
  std::vector<Packet> packets;
  std::vector<int64_t> decodedKeys;  // pts of the pictures the decoder calls key frames
  int decodedFrames = 0;
  int64_t decodedSamples = 0;
  double ms(int64_t ticks) const { return 1000.0 * ticks * tbNum / tbDen; }
};
struct Mp4 {
  bool ok = false;
  Track video, audio;
  int64_t moovAt = -1, mdatAt = -1;  // offsets of the first top-level boxes of each kind
  bool fragmented = false;           // a moof box is there
};
Mp4 readMp4(const std::string &path);
