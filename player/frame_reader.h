// One channel's frames through a playback handle of the open card's
// library (raw-disk or file layout), with a look at the next frame before
// it is taken. On the file layout a handle hands out every channel's sound;
// the reader keeps only its own channel's.
//
// No Qt and no lock of its own: the caller serialises the calls with the
// other users of the storage library (the workers hold playbackMutex around
// each call; cardtool is alone).
#pragma once

#include <stdint.h>

#include <atomic>

#include "qmx_storage.h"
#include "qmx_storage_v2.h"

struct FrameInfo {
  bool video = false;
  int64_t time = 0;  // card time, Unix ms
};

class FrameReader {
 public:
  // layout: 1 raw-disk, 2 file. handleSlot keeps the open handle's number
  // (-1 for none) where others can see it; null keeps it inside.
  FrameReader(int layout, int channel, std::atomic<int> *handleSlot = nullptr);
  // Releases what is held; the handle itself is stopped only by close().
  ~FrameReader();
  FrameReader(const FrameReader &) = delete;
  FrameReader &operator=(const FrameReader &) = delete;

  int layout() const { return layout_; }
  int channel() const { return channel_; }

  // Opens at startSec (Unix seconds): the handle stands on the first
  // I-frame at or after it. On the file layout *codec (when not null) gets
  // the recording's codec (0 H.265, 1 H.264, anything else unknown). 0 or -1.
  int open(int64_t startSec, int *codec = nullptr);
  // Stops the handle.
  void close();
  // The handle number no longer belongs to this reader (another card was
  // opened, which reset the library's handles): forget it without stopping.
  void forget();
  bool isOpen() const { return handle() >= 0; }
  int64_t startMs() const { return start; }

  // Moves to the first I-frame at or after startMs() + offsetMs.
  bool seek(uint64_t offsetMs);
  // The next frame of this channel, not taken: 1 and *info; 0 the recorded
  // data ends; -1 the card failed.
  int peek(FrameInfo *info);
  // Takes the next frame: 1 with its bytes in *data, *size (valid until the
  // next call), or 0 / -1 as peek.
  int take(const uint8_t **data, int *size, FrameInfo *info);

 private:
  int handle() const { return slot->load(); }
  void releaseHeld();
  void releaseTaken();

  const int layout_;
  const int channel_;
  std::atomic<int> own{-1};
  std::atomic<int> *const slot;
  int64_t start = 0;
  bool exhausted = false;  // the recorded data ended and the handle went free
  // Raw-disk layout: the frame last taken.
  qmx_storage_frame rawTaken{};
  // File layout: the frame read ahead by peek() and the frame last taken.
  qmx_storage_v2_frame fileHeld{};
  qmx_storage_v2_frame fileTaken{};
};
