// Finding and decoding the picture of one moment of a channel: the frame
// whose card time is the moment, or the last one before it. The panes' step
// back and `cardtool still` both go through here, with the panes' decoder.
//
// No Qt. The reader's calls are bracketed by the caller's ReaderLock.
#pragma once

#include <stdint.h>

#include <string>

#include "frame_reader.h"
#include "video_decoder.h"

// How the storage calls of a search are serialised with other users of
// the card; the default does nothing (a program alone with the card).
class ReaderLock {
 public:
  virtual ~ReaderLock() = default;
  virtual void lock() {}
  virtual void unlock() {}
};

// Moves the reader onto an I-frame at or before tMs (card ms, not before
// the reader's start). False when there is none.
bool qmx_seekKeyAtOrBefore(FrameReader &reader, int64_t tMs, ReaderLock &lock);

// Decodes from the reader's position every video frame up to the last one
// at or before tMs (sound is passed over) and returns that picture (YUV
// 4:2:0, pts its card time; released with av_frame_free), or null when no
// picture came out. The reader stops in front of the first frame after tMs.
AVFrame *qmx_decodeUpTo(FrameReader &reader, VideoDecoder &decoder, int64_t tMs,
                        ReaderLock &lock);

// Writes a picture as an 8-bit RGB PNG file.
bool qmx_writePng(const AVFrame *picture, const std::string &path, std::string *error);

// The still of channel `channel` at tMs on the card the library of `layout`
// (1 raw-disk, 2 file) has loaded, written to path. *shownMs gets the card
// time of the frame written. False with *error on failure.
bool qmx_still(int layout, int channel, int64_t tMs, const std::string &path, int64_t *shownMs,
               std::string *error);
