#include "frame_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// Releases a file-layout frame; the library ignores a handle that is no
// longer open, and then the bytes are freed here.
void releaseFileFrame(int handle, qmx_storage_v2_frame *frame) {
  if (frame->data && handle >= 0) qmx_storage_v2_freeFrame(static_cast<uint32_t>(handle), frame);
  free(frame->data);
  *frame = qmx_storage_v2_frame{};
}

}  // namespace

FrameReader::FrameReader(int layout, int channel, std::atomic<int> *handleSlot)
    : layout_(layout), channel_(channel), slot(handleSlot ? handleSlot : &own) {}

FrameReader::~FrameReader() {
  releaseHeld();
  releaseTaken();
}

void FrameReader::releaseHeld() { releaseFileFrame(handle(), &fileHeld); }

void FrameReader::releaseTaken() {
  qmx_storage_freeFrame(&rawTaken);
  rawTaken = qmx_storage_frame{};
  releaseFileFrame(handle(), &fileTaken);
}

int FrameReader::open(int64_t startSec, int *codec) {
  close();
  if (startSec < 0) startSec = 0;
  start = startSec * 1000;
  exhausted = false;
  uint32_t h = 0;
  if (layout_ == 1) {
    if (qmx_storage_playbackStart(static_cast<uint32_t>(channel_), static_cast<uint64_t>(startSec),
                                  &h) != 0)
      return -1;
  } else {
    uint32_t found = 0;
    if (channel_ < 0 || channel_ > 255 ||
        qmx_storage_v2_playbackStart(static_cast<uint8_t>(channel_),
                                     static_cast<uint64_t>(startSec), &h, &found) != 0)
      return -1;
    if (codec) *codec = static_cast<int>(found);
  }
  *slot = static_cast<int>(h);
  return 0;
}

void FrameReader::close() {
  releaseHeld();
  releaseTaken();
  const int h = slot->exchange(-1);
  if (h < 0) return;
  if (layout_ == 1)
    qmx_storage_playbackStop(static_cast<uint32_t>(h));
  else
    qmx_storage_v2_playbackStop(static_cast<uint32_t>(h));
}

void FrameReader::forget() {
  *slot = -1;
  releaseHeld();
  releaseTaken();
}

bool FrameReader::seek(uint64_t offsetMs) {
  releaseHeld();
  const int h = handle();
  if (h < 0) return false;
  if (layout_ == 1) return qmx_storage_playbackSeek(static_cast<uint32_t>(h), offsetMs) == 0;
  return qmx_storage_v2_playbackSeek(static_cast<uint32_t>(h), offsetMs) == 0;
}

int FrameReader::peek(FrameInfo *info) {
  const int h = handle();
  if (h < 0) {
    releaseHeld();
    return exhausted ? 0 : -1;
  }
  if (layout_ == 1) {
    qmx_storage_frameInfo raw{};
    const int r = qmx_storage_playbackFrameInfo(static_cast<uint32_t>(h), &raw);
    if (r == -5) {  // the handle went free: the recorded data is exhausted
      *slot = -1;
      exhausted = true;
      return 0;
    }
    if (r != 0) return -1;
    // Kinds other than video are played as sound.
    info->video = (raw.flags & 0x0F) == 1;
    info->time = raw.time;
    return 1;
  }
  while (QMX_V2_FRAME_LENGTH(fileHeld.word) == 0) {
    releaseHeld();
    const int r = qmx_storage_v2_playbackFrame(static_cast<uint32_t>(h), &fileHeld);
    if (r != 0) {
      releaseHeld();
      return r == 1 ? 0 : -1;
    }
    // Sound of the other channels, and empty records, are passed over.
    const bool video = (fileHeld.word & 1u) != 0;
    if (!video && QMX_V2_FRAME_CHANNEL(fileHeld.word) != static_cast<uint32_t>(channel_))
      releaseHeld();
  }
  info->video = (fileHeld.word & 1u) != 0;
  info->time = fileHeld.time;
  return 1;
}

int FrameReader::take(const uint8_t **data, int *size, FrameInfo *info) {
  const int r = peek(info);
  releaseTaken();
  if (r != 1) return r;
  if (layout_ == 1) {
    const uint32_t h = static_cast<uint32_t>(handle());
    if (qmx_storage_playbackFrame(h, &rawTaken) != 0) {
      *slot = -1;  // the library has let the handle go
      return -1;
    }
    // After the last recorded frame the library lets the handle go at once;
    // its number must not be used again, another reader may get it next.
    qmx_storage_frameInfo next{};
    if (qmx_storage_playbackFrameInfo(h, &next) == -5) {
      *slot = -1;
      exhausted = true;
    }
    *data = rawTaken.data;
    *size = static_cast<int>(std::min<uint32_t>(rawTaken.size, INT32_MAX));
    return 1;
  }
  fileTaken = fileHeld;
  fileHeld = qmx_storage_v2_frame{};
  *data = fileTaken.data;
  *size = static_cast<int>(QMX_V2_FRAME_LENGTH(fileTaken.word));
  return 1;
}
