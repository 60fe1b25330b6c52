// A scenario: what the simulated recorder recorded, and on which card
// layout. Read from a small JSON file; the layout-specific options (disk
// geometry, rings, faults) stay as JSON objects that each card writer reads
// for itself.
#pragma once

#include <QJsonObject>
#include <cstdint>
#include <string>
#include <vector>

// One recording period of one channel: the recorder made one fragment of it.
struct Recording {
  int channel = 0;
  int64_t start = 0;  // Unix seconds
  int64_t end = 0;    // Unix seconds, after start
  uint8_t type = 0;   // recording type byte, carried to the day lists
  bool open = false;  // still being recorded when the card was taken out
};

// A while without sound: the channel's sound frames recorded from fromMs up
// to toMs are left out; its pictures go on.
struct SoundGap {
  int channel = -1;  // -1: every channel
  int64_t fromMs = 0, toMs = 0;  // Unix ms
};

// The recorder's clock set back (byMs < 0) or forward: the channel's frames
// recorded from atMs on carry times shifted by byMs, on top of any earlier
// jump. Fragment records take their times from the same clock.
struct ClockJump {
  int channel = -1;  // -1: every channel (the recorder has one clock)
  int64_t atMs = 0;  // Unix ms, as the frames were really recorded
  int64_t byMs = 0;
};

struct Scenario {
  std::string layout;  // "raw" or "file"
  int codec = 0;       // card code: 0 H.265, 1 H.264
  int channels = 1;    // 1 to 4 (a fault may write another count)
  int width = 320;     // picture size of the encoded video
  int height = 180;
  int fps = 12;        // video frames per second
  int gop = 12;        // frames from one key frame to the next
  bool audio = true;   // 16 kHz mono AAC-LC in ADTS frames, 1024 samples each
  // "encoded": real H.264/H.265 and AAC; "synthetic": frames of the right
  // sizes and kinds with made-up bytes (for very large benchmark cards).
  std::string media = "encoded";
  std::vector<Recording> recordings;  // sorted by start time, then channel
  std::vector<SoundGap> soundGaps;
  std::vector<ClockJump> clockJumps;
  QJsonObject raw;   // options of the raw-disk writer ("raw" object)
  QJsonObject file;  // options of the file-layout writer ("file" object)
};

// Reads and checks a scenario file. False with *error set when it is not
// valid JSON or a field is out of range (recordings of one channel must not
// overlap; only the newest recording of a channel may be open).
bool loadScenario(const std::string &path, Scenario *scenario, std::string *error);
bool parseScenario(const QByteArray &json, Scenario *scenario, std::string *error);

// What the recorder's clock read for `channel` at the moment atMs (Unix ms).
int64_t clockTimeMs(const Scenario &scenario, int channel, int64_t atMs);
// Whether the channel's sound recorded at atMs is left out.
bool soundLeftOut(const Scenario &scenario, int channel, int64_t atMs);
