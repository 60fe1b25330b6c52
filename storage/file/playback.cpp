// Playback handles of the file-layout library: a table of sixteen slots, each
// reading one channel's video and every audio frame from the record files,
// from an I-frame on, until the newest frame of the card.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "qmx_common.h"
#include "qmx_storage_v2.h"
#include "storage_v2_internal.h"

#define V2_HANDLES 16u

namespace {
struct v2_handle {
  uint8_t channel;
  FILE *file;       // the record file being read; null after a failed reopen
  int64_t fileSize; // its size in bytes when opened
  uint16_t fileNo;  // number of that record file
  uint32_t filesEntered;  // record files moved on to since the last positioning
  uint32_t offset;  // position of the next frame header in it
  int64_t startTime;  // Unix milliseconds asked for at start
  int64_t curTime;    // time of the last frame handed out
  v2_header header;   // the last header read
  int failure;        // the QMX_PLAYBACK_* reason of the last failed read
};

// Why a slot's handle last stopped handing out frames, kept until the slot
// is started again.
struct v2_ending {
  int reason;
  int64_t atMs;  // time of the last frame handed out
};
}  // namespace

// handleMutex guards the slot table, every handle in it and the endings:
// start, next frame, free frame, seek, progress, stop and the end query hold
// it for their whole run, so
// the playback and export threads take turns frame by frame. The card facts
// the handles read (g_v2) are only written by a load, which never runs while
// handles are in use, and set aside by discovery, which holds this lock
// while it validates other cards.
static pthread_mutex_t handleMutex = PTHREAD_MUTEX_INITIALIZER;
static v2_handle *handles[V2_HANDLES];
static v2_ending endings[V2_HANDLES];

namespace {
class Locked {
 public:
  Locked() { pthread_mutex_lock(&handleMutex); }
  ~Locked() { pthread_mutex_unlock(&handleMutex); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;
};
}  // namespace

static v2_handle *slotOf(uint32_t handle) {
  return handle < V2_HANDLES ? handles[handle] : nullptr;
}

static void releaseHandle(v2_handle *h) {
  if (h->file) fclose(h->file);
  free(h);
}

void v2_lockHandles(void) { pthread_mutex_lock(&handleMutex); }
void v2_unlockHandles(void) { pthread_mutex_unlock(&handleMutex); }

void v2_stopAllHandles(void) {
  Locked lock;
  for (uint32_t i = 0; i < V2_HANDLES; i++) {
    if (handles[i]) releaseHandle(handles[i]);
    handles[i] = nullptr;
  }
}

// ------------------------------------------------------------ I-frame search

static int readIframeAt(FILE *f, int64_t unwrapped, v2_iframe *rec) {
  const uint32_t ring = g_v2.iframeRingSize;
  uint32_t at = static_cast<uint32_t>(unwrapped >= ring ? unwrapped - ring : unwrapped);
  uint8_t buf[V2_IFRAME_SIZE];
  if (storage_readOffset(f, at, buf, sizeof buf) != 0) {
    QMX_LOGE_AS(V2_TAG, "storage_findIframe", "iframe read failed\n");
    return -1;
  }
  v2_parseIframe(buf, sizeof buf, rec);
  return 0;
}

// The channel's first I-frame at or after t (milliseconds); when none is,
// the newest I-frame of the ring. 0 or -1.
static int storage_findIframe(uint8_t channel, int64_t t, v2_iframe *out) {
  const uint32_t ring = g_v2.iframeRingSize;
  const v2_meta *m = &g_v2.meta;
  if (m->iframeHead == m->iframeTail || ring == 0) return -1;
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_IFRAME);
  FILE *f = storage_open(path);
  if (!f) return -1;

  int64_t lo = m->iframeHead;
  int64_t newest = static_cast<int64_t>(m->iframeTail) - V2_IFRAME_SIZE;
  if (newest < lo) newest += ring;
  if (newest < lo) {
    fclose(f);
    return -1;
  }
  int64_t hi = newest;
  v2_iframe rec;
  while (lo <= hi) {
    int64_t mid = lo + ((hi - lo) / 30) * 15;
    if (readIframeAt(f, mid, &rec) != 0) {
      fclose(f);
      return -1;
    }
    if (rec.time == t) break;
    if (t > rec.time)
      lo = mid + V2_IFRAME_SIZE;
    else
      hi = mid - V2_IFRAME_SIZE;
  }
  // The binary search lands near t over all channels; walk on to this
  // channel's record.
  bool any = false;
  for (int64_t at = lo; at <= newest; at += V2_IFRAME_SIZE) {
    if (readIframeAt(f, at, &rec) != 0) {
      fclose(f);
      return -1;
    }
    any = true;
    if (rec.channel == channel && rec.time >= t) break;
  }
  if (!any && readIframeAt(f, newest, &rec) != 0) {
    fclose(f);
    return -1;
  }
  fclose(f);
  *out = rec;
  return 0;
}

// ------------------------------------------------------------------- frames

uint32_t v2_detectCodec(const uint8_t *data, uint32_t n) {
  uint8_t nal;
  if (n >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1)
    nal = data[3];
  else if (n >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1)
    nal = data[4];
  else
    return 0xFFFFFFFFu;
  unsigned hevcType = (nal >> 1) & 0x3Fu;
  if (hevcType >= 32 && hevcType <= 34) return 0;  // VPS, SPS, PPS
  unsigned avcType = nal & 0x1Fu;
  if (avcType == 7 || avcType == 8) return 1;  // SPS, PPS
  return 255;
}

static bool atNewest(const v2_handle *h) {
  return h->fileNo == g_v2.meta.writeFile && h->offset == g_v2.meta.writeOffset;
}

// Opens record file fileNo at offset for the handle and notes its size, so
// that frames are checked against it without asking the system each time.
static bool openRecord(v2_handle *h, uint16_t fileNo, uint32_t offset) {
  if (h->file) fclose(h->file);
  h->fileNo = fileNo;
  h->file = storage_openFormatOffset(fileNo, offset);
  h->fileSize = h->file ? v2_fileSize(h->file) : -1;
  return h->file != nullptr;
}

// Whether a header just read at offset (already past it) can be a frame of
// the card: it has data, lies inside its file, does not run across the
// write position and is dated inside the card's recorded span.
static bool plausible(const v2_handle *h, const v2_header *header) {
  const uint32_t len = V2_WORD_LENGTH(header->word);
  const int64_t end = static_cast<int64_t>(h->offset) + len;
  if (len == 0 || end > h->fileSize) return false;
  const int64_t at = static_cast<int64_t>(h->offset) - V2_HEADER_SIZE;
  if (h->fileNo == g_v2.meta.writeFile &&
      (at > g_v2.meta.writeOffset || (at < g_v2.meta.writeOffset && end > g_v2.meta.writeOffset)))
    return false;
  typedef __int128 wide;  // card times cannot overflow in it
  return header->time >= static_cast<wide>(g_v2.firstTime) * 1000 &&
         header->time <= static_cast<wide>(g_v2.meta.lastTime) + 86400000;
}

// Reads headers until one of a frame this handle delivers: audio of any
// channel or video of its own channel. Follows end-of-file marks and the
// record file rotation. 0 a header, 1 the newest frame of the card was
// reached first (only when stopAtNewest), -1 failure with the reason in
// h->failure. A handle that goes round every record file without meeting
// the write position, or passes it, has left the recorded data: damaged.
static int storage_pbReadHeader(v2_handle *h, bool stopAtNewest) {
  h->failure = QMX_PLAYBACK_READ_ERROR;
  if (!h->file) return -1;
  h->header.word &= ~V2_WORD_EOF;
  const uint32_t files = g_v2.meta.recFileCount;
  for (;;) {
    while (static_cast<int64_t>(h->offset) + V2_HEADER_SIZE > g_v2.recordFileSize ||
           (h->header.word & V2_WORD_EOF)) {
      if (h->fileNo == g_v2.meta.writeFile || ++h->filesEntered >= files) {
        QMX_LOGE(V2_TAG, "the record files end before the write position\n");
        h->failure = QMX_PLAYBACK_DAMAGED;
        return -1;
      }
      h->offset = 0;
      h->header.word &= ~V2_WORD_EOF;
      if (!openRecord(h, static_cast<uint16_t>((h->fileNo + 1u) % files), 0)) {
        QMX_LOGE(V2_TAG, "storage_openNextRec failed.\n");
        return -1;
      }
    }
    if (stopAtNewest && atNewest(h)) return 1;

    uint8_t buf[V2_HEADER_SIZE];
    errno = 0;
    if (fread(buf, 1, sizeof buf, h->file) != sizeof buf) {
      QMX_LOGE(V2_TAG, "header read failed:%s\n", strerror(errno));
      return -1;
    }
    h->offset += V2_HEADER_SIZE;
    if (v2_parseHeader(buf, sizeof buf, &h->header) != 0) {
      QMX_LOGE(V2_TAG, "invalid frame header\n");
      fflush(stdout);
      h->failure = QMX_PLAYBACK_DAMAGED;
      return -1;
    }
    if (h->header.word & V2_WORD_EOF) continue;
    if (!plausible(h, &h->header)) {
      QMX_LOGE(V2_TAG, "no frame at %u of record file %u\n", h->offset - V2_HEADER_SIZE, h->fileNo);
      h->failure = QMX_PLAYBACK_DAMAGED;
      return -1;
    }
    uint32_t word = h->header.word;
    if (!(word & V2_WORD_VIDEO) || V2_WORD_CHANNEL(word) == h->channel) return 0;

    // Another channel's video: step over its data.
    uint32_t len = V2_WORD_LENGTH(word);
    if (fseeko(h->file, static_cast<off_t>(len), SEEK_CUR) != 0) {
      QMX_LOGE(V2_TAG, "header lseek failed:%s\n", strerror(errno));
      return -1;
    }
    h->offset += len;
  }
}

// Reads the data of the header just read (checked by storage_pbReadHeader:
// it lies inside its file, at most 4 MiB by the frame word's 22 bits).
static int storage_pbReadFrame(v2_handle *h, qmx_storage_v2_frame *frame) {
  h->failure = QMX_PLAYBACK_READ_ERROR;
  if (frame->data) return -1;
  uint32_t len = V2_WORD_LENGTH(h->header.word);
  uint8_t *data = static_cast<uint8_t *>(malloc(len ? len : 1));  // at most 4 MiB
  if (!data) {
    QMX_LOGE(V2_TAG, "malloc failed\n");
    return -1;
  }
  errno = 0;
  if (fread(data, 1, len, h->file) != len) {
    QMX_LOGE(V2_TAG, "frame read %u failed:%s\n", h->offset, strerror(errno));
    free(data);
    return -1;
  }
  frame->word = (frame->word & ~V2_WORD_PUBLIC_MASK) | (h->header.word & V2_WORD_PUBLIC_MASK);
  frame->data = data;
  frame->time = h->header.time;
  h->offset += len;
  h->curTime = h->header.time;
  return 0;
}

// Puts the handle at an I-frame's header, with no header read yet.
static void placeAt(v2_handle *h, const v2_iframe *rec) {
  h->fileNo = rec->file;
  h->offset = rec->offset;
  h->filesEntered = 0;
  memset(&h->header, 0, sizeof h->header);
}

// ------------------------------------------------------------------- public

int qmx_storage_v2_playbackStart(uint8_t channel, uint64_t start, uint32_t *handle,
                                 uint32_t *codec) {
  Locked lock;
  if (!handle || !codec || !g_v2.loaded || channel >= g_v2.channelNum) return -1;
  uint32_t slot = 0;
  while (slot < V2_HANDLES && handles[slot]) slot++;
  if (slot == V2_HANDLES) return -1;

  if (start > static_cast<uint64_t>(INT64_MAX / 1000)) return -1;
  int64_t t = static_cast<int64_t>(start) * 1000;
  if (t >= g_v2.meta.lastTime) return -1;
  v2_iframe rec;
  if (storage_findIframe(channel, t, &rec) != 0) return -1;
  if (rec.file >= g_v2.meta.recFileCount) {
    QMX_LOGE_AS(V2_TAG, "storage_pbStart", "record file %u out of rotation\n", rec.file);
    return -1;
  }

  v2_handle *h = static_cast<v2_handle *>(calloc(1, sizeof(v2_handle)));
  if (!h) {
    QMX_LOGE_AS(V2_TAG, "storage_pbStart", "malloc failed\n");
    return -1;
  }
  h->channel = channel;
  if (!openRecord(h, rec.file, rec.offset)) {
    free(h);
    return -1;
  }
  placeAt(h, &rec);
  h->startTime = h->curTime = t;

  // The first frame tells which decoder the recording needs.
  qmx_storage_v2_frame first;
  memset(&first, 0, sizeof first);
  if (storage_pbReadHeader(h, false) != 0 || storage_pbReadFrame(h, &first) != 0) {
    releaseHandle(h);
    return -1;
  }
  fclose(h->file);
  h->file = nullptr;
  uint32_t detected = v2_detectCodec(first.data, QMX_V2_FRAME_LENGTH(first.word));
  free(first.data);

  if (!openRecord(h, rec.file, rec.offset)) {
    free(h);
    return -1;
  }
  placeAt(h, &rec);
  h->startTime = h->curTime = t;
  handles[slot] = h;
  endings[slot].reason = QMX_PLAYBACK_RUNNING;
  endings[slot].atMs = 0;
  *handle = slot;
  *codec = detected;
  return 0;
}

int qmx_storage_v2_playbackFrame(uint32_t handle, qmx_storage_v2_frame *frame) {
  Locked lock;
  v2_handle *h = slotOf(handle);
  if (!h || !frame) return -1;
  int r = atNewest(h) ? 1 : storage_pbReadHeader(h, true);
  if (r == 0) r = storage_pbReadFrame(h, frame);
  if (r == 0) {
    endings[handle].atMs = frame->time;
  } else {
    endings[handle].reason = r == 1 ? QMX_PLAYBACK_END_OF_DATA : h->failure;
  }
  return r;
}

void qmx_storage_v2_freeFrame(uint32_t handle, qmx_storage_v2_frame *frame) {
  Locked lock;
  if (!frame || !slotOf(handle)) return;
  free(frame->data);
  memset(frame, 0, sizeof *frame);
}

int qmx_storage_v2_playbackSeek(uint32_t handle, uint64_t offsetMs) {
  Locked lock;
  v2_handle *h = slotOf(handle);
  if (!h) return -1;
  if (offsetMs > static_cast<uint64_t>(INT64_MAX - h->startTime)) return -1;
  int64_t t = h->startTime + static_cast<int64_t>(offsetMs);
  if (t >= g_v2.meta.lastTime) return -1;
  v2_iframe rec;
  if (storage_findIframe(h->channel, t, &rec) != 0) return -1;
  if (rec.file >= g_v2.meta.recFileCount) return -1;
  if (!h->file || rec.file != h->fileNo) {
    if (!openRecord(h, rec.file, rec.offset)) return -1;
  } else if (fseeko(h->file, static_cast<off_t>(rec.offset), SEEK_SET) != 0) {
    return -1;
  }
  placeAt(h, &rec);
  endings[handle].reason = QMX_PLAYBACK_RUNNING;
  return 0;
}

int64_t qmx_storage_v2_playbackProgress(uint32_t handle) {
  Locked lock;
  v2_handle *h = slotOf(handle);
  if (!h) return -1;
  return h->curTime - h->startTime;
}

void qmx_storage_v2_playbackStop(uint32_t handle) {
  Locked lock;
  v2_handle *h = slotOf(handle);
  if (!h) return;
  releaseHandle(h);
  handles[handle] = nullptr;
}

int qmx_storage_v2_playbackEnd(uint32_t handle, int64_t *atMs) {
  Locked lock;
  if (handle >= V2_HANDLES) return -1;
  if (atMs) *atMs = endings[handle].atMs;
  return endings[handle].reason;
}

// Reads n I-frame records from unwrapped ring offset `at` on into buf.
static int readIframes(FILE *f, int64_t at, uint32_t n, uint8_t *buf) {
  const uint32_t ring = g_v2.iframeRingSize;
  for (uint32_t i = 0; i < n;) {
    uint32_t pos = static_cast<uint32_t>(at % ring);
    uint32_t take = std::min<uint32_t>(n - i, (ring - pos) / V2_IFRAME_SIZE);
    if (storage_readOffset(f, pos, buf + i * V2_IFRAME_SIZE, take * V2_IFRAME_SIZE) != 0) return -1;
    i += take;
    at += static_cast<int64_t>(take) * V2_IFRAME_SIZE;
  }
  return 0;
}

uint32_t qmx_storage_v2_channelsInSpan(int64_t start, int64_t end) {
  if (!g_v2.loaded || start >= end || g_v2.meta.iframeHead == g_v2.meta.iframeTail) return 0;
  // Times in milliseconds, held inside the range a card time can take.
  const int64_t limit = INT64_MAX / 1000;
  const int64_t from = std::max(-limit, std::min(start, limit)) * 1000;
  const int64_t to = std::max(-limit, std::min(end, limit)) * 1000;
  const uint32_t ring = g_v2.iframeRingSize;
  const uint32_t all = g_v2.channelNum >= 8 ? 0xFFu : (1u << g_v2.channelNum) - 1u;
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_IFRAME);
  FILE *f = storage_open(path);
  if (!f) return 0;

  // Binary search for the first record at or after the span's start; the
  // ring is in time order across channels.
  const int64_t head = g_v2.meta.iframeHead;
  int64_t count = ((static_cast<int64_t>(g_v2.meta.iframeTail) + ring - head) % ring) / V2_IFRAME_SIZE;
  int64_t lo = 0, hi = count;
  uint8_t rec[V2_IFRAME_SIZE];
  v2_iframe r;
  while (lo < hi) {
    int64_t mid = lo + (hi - lo) / 2;
    if (readIframes(f, head + mid * V2_IFRAME_SIZE, 1, rec) != 0) break;
    v2_parseIframe(rec, sizeof rec, &r);
    if (r.time < from)
      lo = mid + 1;
    else
      hi = mid;
  }
  // Then in batches up to the span's end, or until every channel is seen.
  uint32_t mask = 0;
  enum { kBatch = 1024 };
  static_assert(kBatch * V2_IFRAME_SIZE <= 16384, "one batch stays small");
  uint8_t *batch = static_cast<uint8_t *>(malloc(kBatch * V2_IFRAME_SIZE));
  bool done = !batch;
  for (int64_t i = lo; !done && i < count && mask != all; i += kBatch) {
    uint32_t n = static_cast<uint32_t>(std::min<int64_t>(kBatch, count - i));
    if (readIframes(f, head + i * V2_IFRAME_SIZE, n, batch) != 0) break;
    for (uint32_t k = 0; k < n; k++) {
      v2_parseIframe(batch + k * V2_IFRAME_SIZE, V2_IFRAME_SIZE, &r);
      if (r.time >= to) {
        done = true;
        break;
      }
      if (r.time >= from) mask |= (1u << r.channel) & all;
    }
  }
  free(batch);
  fclose(f);
  return mask;
}
