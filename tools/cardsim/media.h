// The frames a recorder stores for a recording: one video access unit per
// frame in start-code form (key frames carry their parameter sets) and one
// ADTS AAC frame per 1024 samples of 16 kHz mono sound, in time order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

struct StoredFrame {
  bool video = true;
  bool key = false;       // a video key frame (an I-frame of the card)
  int64_t timeMs = 0;     // Unix milliseconds, as the recorder's clock read them
  int64_t recordedMs = 0; // Unix milliseconds, when it was really recorded
  std::vector<uint8_t> data;
};

// Receives the frames of a recording, in time order; returns false to stop.
using FrameSink = std::function<bool(const StoredFrame &)>;

// Produces the frames of one recording of the scenario: video at the
// scenario's frame rate from rec.start to rec.end (the first one a key frame,
// then one every gop frames) with the time burned into the picture, and,
// when the scenario has audio, a tone in AAC frames every 64 ms, interleaved
// by time. Sound in the scenario's sound gaps is left out; the scenario's
// clock jumps shift the frames' times (and the times burned into the
// pictures). With media "synthetic" the sizes and kinds are the same but the
// bytes are made up (start codes and NAL headers of the right codec remain).
// False with *error set when an encoder cannot be opened.
bool generateRecording(const Scenario &scenario, const Recording &rec, const FrameSink &sink,
                       std::string *error);
