// Simulator cards for the export tests: written by the cardsim program,
// attached through the device layer and loaded with the library of their
// layout, as the player would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ManifestFrame {
  int64_t time = 0;  // Unix ms
  bool video = false;
  bool key = false;
  uint32_t size = 0;
};

// Runs cardsim with these arguments (plus --out path); true when it made the card.
bool makeSimCard(const std::vector<std::string> &args, const std::string &path);
// Attaches the card at path and loads it with the library of layout (1 raw,
// 2 file), closing whatever card was loaded before. True when it loaded.
bool openSimCard(const std::string &path, int layout);
// One channel's frames in card order, from a raw card's --manifest file.
std::vector<ManifestFrame> readManifest(const std::string &path, int channel);

// What an export of one channel must hold, worked out from the card's frame
// list: from the first key frame at or after startMs on, in card order,
// every frame until the first video frame later than limitMs, and one
// silent stream in front of each video frame while the video track (83 ms
// a frame) is ahead of the audio track (64 ms a frame).
struct ExpectedExport {
  int video = 0;
  int audio = 0;      // card audio frames
  int silent = 0;     // silent streams put in
  int64_t firstVideo = -1;
  int64_t lastVideo = -1;
};
ExpectedExport expectExport(const std::vector<ManifestFrame> &frames, int64_t startMs,
                            int64_t limitMs);
