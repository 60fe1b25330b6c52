// Internals of the file-layout card library shared by its three parts: the
// records and file helpers (records.cpp), the mount and queries (mount.cpp)
// and the playback handles (playback.cpp).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "device.h"

// Empty module tag: the lines of this library carry no tag.
#define V2_TAG ""

// Record sizes on the card.
#define V2_BASE_SIZE 39
#define V2_META_SIZE 57
#define V2_FRAG_SIZE 32
#define V2_IFRAME_SIZE 15
#define V2_DEL_HEADER_SIZE 6
#define V2_HEADER_SIZE 12

#define V2_BASE_MAGIC 0x0135263Bu

// Frame word bits.
#define V2_WORD_VIDEO 0x1u
#define V2_WORD_EOF (1u << 27)
#define V2_WORD_CHANNEL(w) (((w) >> 2) & 0x7u)
#define V2_WORD_LENGTH(w) (((w) >> 5) & 0x3FFFFFu)
// The bits handed to callers: kind, second flag, channel and length.
#define V2_WORD_PUBLIC_MASK 0x07FFFFFFu

// Frames longer than this are never read, whatever a header says.
#define V2_MAX_FRAME (16u * 1024u * 1024u)

// CRC-16/CCITT-FALSE over n bytes.
uint16_t v2_crc16(const uint8_t *data, size_t n);

// Bounds-checked little-endian reader over a byte buffer. Every get fails
// (returns -1, leaves the output alone) instead of reading past the end.
struct v2_reader {
  const uint8_t *p;
  const uint8_t *end;
};
void v2_readerInit(v2_reader *r, const uint8_t *data, size_t n);
int v2_get8(v2_reader *r, uint8_t *v);
int v2_get16(v2_reader *r, uint16_t *v);
int v2_get32(v2_reader *r, uint32_t *v);
int v2_get48(v2_reader *r, int64_t *v);  // 16-bit high part, then 32-bit low part
int v2_get64(v2_reader *r, int64_t *v);
int v2_skip(v2_reader *r, size_t n);

struct v2_base {
  uint32_t magic;
  int64_t total;
  uint8_t channelNum;
  int32_t iframeRingSize;  // as stored
  uint32_t fragRingSize;   // as stored
  int32_t recordFileSize;
};

struct v2_meta {
  int32_t sequence;
  uint32_t iframeHead;
  uint32_t iframeTail;
  uint32_t fragHead;
  uint32_t fragTail;
  uint16_t writeFile;
  uint32_t writeOffset;
  int64_t lastTime;  // Unix milliseconds
  uint16_t recFileCount;
};

struct v2_frag {
  uint32_t id;
  uint8_t type;
  uint8_t videoType;  // bits 0-1 of the record's byte 5
  int64_t startTime;  // Unix seconds
  int64_t endTime;    // 0 while still recording
};

struct v2_iframe {
  uint8_t channel;  // bits 0-2
  uint16_t file;
  uint32_t offset;
  int64_t time;  // Unix milliseconds
};

struct v2_header {
  uint32_t word;
  int64_t time;  // Unix milliseconds
};

// Each parser takes exactly one record's bytes and returns 0, or -1 when the
// buffer is too short or the check word does not match (the fields are
// filled either way as far as the bytes go).
int v2_parseBase(const uint8_t *buf, size_t n, v2_base *out);
int v2_parseMeta(const uint8_t *buf, size_t n, v2_meta *out);
int v2_parseFrag(const uint8_t *buf, size_t n, v2_frag *out);
int v2_parseIframe(const uint8_t *buf, size_t n, v2_iframe *out);
int v2_parseHeader(const uint8_t *buf, size_t n, v2_header *out);
// A fragment record's fields without looking at its check word (the
// queries read the ring in bulk and check only the newest record at load).
void v2_parseFragFields(const uint8_t *buf, v2_frag *out);

// Files of the layout, below the volume's directory.
enum v2_file {
  V2_FILE_BASE,
  V2_FILE_META0,
  V2_FILE_META1,
  V2_FILE_FRAG,
  V2_FILE_IFRAME,
  V2_FILE_DEL,
};
// Formats the path of a layout file or of record file number fileNo.
void v2_formatPath(char *buf, size_t size, v2_file which);
void v2_formatRecPath(char *buf, size_t size, unsigned fileNo);

// Opens a file read-only; null (and "open %s failed.") when it cannot.
FILE *storage_open(const char *path);
// Reads exactly n bytes at an absolute offset. 0 or -1.
int storage_readOffset(FILE *file, uint32_t offset, void *buffer, size_t n);
// Opens a record file positioned at offset; null on failure.
FILE *storage_openFormatOffset(unsigned fileNo, uint32_t offset);
// Size of an open file in bytes, or -1.
int64_t v2_fileSize(FILE *file);

// Process-wide state of the library. Loading and queries run on one thread
// (the GUI thread) without a lock; playback reads the card facts below under
// the handle mutex of playback.cpp and relies on no load running while
// handles are in use.
struct v2_state {
  uint8_t initialised;
  uint8_t driveIndex;
  uint8_t loaded;  // 1 after a load that succeeded, until the next close or load
  char root[PLAT_PATH_SIZE];  // volume directory of driveIndex, "" when unknown

  uint8_t channelNum;
  uint32_t iframeRingSize;  // usable, a multiple of 15
  uint32_t fragRingSize;    // usable, a multiple of 32
  int32_t recordFileSize;

  uint8_t metaRaw[V2_META_SIZE];  // the current meta record as read
  v2_meta meta;
  uint8_t metaFlag;  // 1 when the current meta came from copy 00

  uint8_t newestFragRaw[V2_FRAG_SIZE];  // all zero for an empty card
  v2_frag newestFrag;
  int64_t firstTime;  // start of the oldest fragment, Unix seconds; 0 when unknown

  uint32_t *delIds;  // ascending; room for delCount + 100
  uint32_t delCount;

  // Files a load keeps open until the next close or load.
  FILE *metaFile[2];
  FILE *iframeFile;
  FILE *fragFile;
  FILE *writeFile;  // positioned just after the newest frame
};
extern v2_state g_v2;

// Codec code of a first frame: 0 H.265, 1 H.264, 255 another start code,
// 0xFFFFFFFF no start code.
uint32_t v2_detectCodec(const uint8_t *data, uint32_t n);

// Closes every playback handle (playback.cpp).
void v2_stopAllHandles(void);
// Takes and releases the handle lock, for the discovery that sets the open
// card's state aside while it validates other cards.
void v2_lockHandles(void);
void v2_unlockHandles(void);
