// Mounting a file-layout card and answering the window's questions about it:
// discovery, the load of base, meta, write position and deleted list, the
// card facts, the recorded span, and the month and day queries.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "qmx_common.h"
#include "qmx_storage_v2.h"
#include "storage_v2_internal.h"

v2_state g_v2;

#define DAY_SECONDS 86400
#define DAY_BATCH 500u
#define MONTH_BATCH 2000u
#define DAY_LIST_STEP 100u
// A day holds at most one fragment per second, and the list may end with
// the next day's first: a day list never grows beyond this many entries
// (1.6 MiB), whatever the fragment ring holds.
#define DAY_LIST_MAX 86401u
// Deleted ids kept at most (16 MiB); a longer list is taken as damaged and
// nothing counts as deleted.
#define DEL_MAX (4u << 20)
#define DEL_SPARE 100u

// ------------------------------------------------------------ release/reset

static void closeFile(FILE **f) {
  if (*f) fclose(*f);
  *f = nullptr;
}

// Releases every file a load kept open and what it allocated.
static void releaseFiles(void) {
  closeFile(&g_v2.metaFile[0]);
  closeFile(&g_v2.metaFile[1]);
  closeFile(&g_v2.iframeFile);
  closeFile(&g_v2.fragFile);
  closeFile(&g_v2.writeFile);
  free(g_v2.delIds);
  g_v2.delIds = nullptr;
  g_v2.delCount = 0;
  g_v2.loaded = 0;
}

// Lets go of the card: its files, what the load allocated, and any playback
// handle still reading it, so nothing outlives the card.
static void releaseLoad(void) {
  v2_stopAllHandles();
  releaseFiles();
}

// Forgets the previous card's facts so that nothing of it survives into a
// load that fails half-way.
static void clearCard(void) {
  g_v2.channelNum = 0;
  g_v2.iframeRingSize = 0;
  g_v2.fragRingSize = 0;
  g_v2.recordFileSize = 0;
  memset(g_v2.metaRaw, 0, sizeof g_v2.metaRaw);
  memset(&g_v2.meta, 0, sizeof g_v2.meta);
  g_v2.metaFlag = 0;
  memset(g_v2.newestFragRaw, 0, sizeof g_v2.newestFragRaw);
  memset(&g_v2.newestFrag, 0, sizeof g_v2.newestFrag);
  g_v2.firstTime = 0;
}

// --------------------------------------------------------------------- load

static int storage_loadBase(void) {
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_BASE);
  FILE *f = storage_open(path);
  if (!f) return -1;
  uint8_t buf[V2_BASE_SIZE];
  errno = 0;
  size_t got = fread(buf, 1, sizeof buf, f);
  fclose(f);
  if (got != sizeof buf) {
    QMX_LOGE(V2_TAG, "base read failed:%s\n", strerror(errno));
    return -1;
  }
  v2_base base;
  if (v2_parseBase(buf, sizeof buf, &base) != 0 || base.magic != V2_BASE_MAGIC) {
    QMX_LOGE(V2_TAG, "invalid base\n");
    return -1;
  }
  g_v2.channelNum = base.channelNum;
  g_v2.iframeRingSize =
      base.iframeRingSize > 0 ? static_cast<uint32_t>(base.iframeRingSize / 15 * 15) : 0;
  g_v2.fragRingSize = base.fragRingSize & ~31u;
  g_v2.recordFileSize = base.recordFileSize;
  // Rings without a single record or record files that cannot hold one
  // header would make every later walk divide by zero or never advance.
  if (g_v2.iframeRingSize == 0 || g_v2.fragRingSize == 0 ||
      g_v2.recordFileSize < V2_HEADER_SIZE) {
    QMX_LOGE(V2_TAG, "invalid base sizes: iframe %u frag %u record %d\n", g_v2.iframeRingSize,
             g_v2.fragRingSize, g_v2.recordFileSize);
    return -1;
  }
  return 0;
}

// Reads one meta copy. 1 valid, 0 invalid (logged), -1 short read.
static int readMetaCopy(FILE *f, uint8_t *raw, v2_meta *meta) {
  errno = 0;
  if (fread(raw, 1, V2_META_SIZE, f) != V2_META_SIZE) {
    QMX_LOGE_AS(V2_TAG, "storage_loadMeta", "meta read failed:%s\n", strerror(errno));
    return -1;
  }
  if (v2_parseMeta(raw, V2_META_SIZE, meta) != 0) {
    QMX_LOGE_AS(V2_TAG, "storage_loadMeta", "invalid meta\n");
    return 0;
  }
  return 1;
}

static int storage_loadMeta(void) {
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_META0);
  g_v2.metaFile[0] = storage_open(path);
  v2_formatPath(path, sizeof path, V2_FILE_META1);
  g_v2.metaFile[1] = storage_open(path);
  if (!g_v2.metaFile[0] || !g_v2.metaFile[1]) return -1;

  uint8_t raw0[V2_META_SIZE], raw1[V2_META_SIZE];
  v2_meta m0, m1;
  int valid0 = readMetaCopy(g_v2.metaFile[0], raw0, &m0);
  if (valid0 < 0) return -1;
  if (valid0) {
    memcpy(g_v2.metaRaw, raw0, V2_META_SIZE);
    g_v2.meta = m0;
    g_v2.metaFlag = 1;
  }
  int valid1 = readMetaCopy(g_v2.metaFile[1], raw1, &m1);
  if (valid1 < 0) return -1;
  if (valid1) {
    // Sequence numbers wrap: the newer copy is the one ahead by a positive
    // signed difference.
    int32_t ahead = static_cast<int32_t>(static_cast<uint32_t>(m1.sequence) -
                                         static_cast<uint32_t>(m0.sequence));
    if (!valid0 || ahead >= 1) {
      memcpy(g_v2.metaRaw, raw1, V2_META_SIZE);
      g_v2.meta = m1;
      g_v2.metaFlag = 0;
    }
  }
  if (!valid0 && !valid1) return -1;
  return 0;
}

static int storage_readFrag(FILE *f, uint32_t offset) {
  uint8_t buf[V2_FRAG_SIZE];
  if (storage_readOffset(f, offset, buf, sizeof buf) != 0) {
    QMX_LOGE(V2_TAG, "frag read failed\n");
    return -1;
  }
  v2_frag frag;
  if (v2_parseFrag(buf, sizeof buf, &frag) != 0) {
    QMX_LOGE(V2_TAG, "invalid frag\n");
    return -1;
  }
  memcpy(g_v2.newestFragRaw, buf, sizeof buf);
  g_v2.newestFrag = frag;
  return 0;
}

static int storage_readIframe(FILE *f, uint32_t offset) {
  uint8_t buf[V2_IFRAME_SIZE];
  if (storage_readOffset(f, offset, buf, sizeof buf) != 0) {
    QMX_LOGE(V2_TAG, "iframe read failed\n");
    return -1;
  }
  v2_iframe rec;
  if (v2_parseIframe(buf, sizeof buf, &rec) != 0) {
    QMX_LOGE(V2_TAG, "invalid iframe\n");
    return -1;
  }
  return 0;
}

static int storage_readHeader(FILE *f, uint32_t offset, v2_header *header) {
  uint8_t buf[V2_HEADER_SIZE];
  if (storage_readOffset(f, offset, buf, sizeof buf) != 0) {
    QMX_LOGE(V2_TAG, "header read failed\n");
    return -1;
  }
  if (v2_parseHeader(buf, sizeof buf, header) != 0) {
    QMX_LOGE(V2_TAG, "invalid header\n");
    return -1;
  }
  return 0;
}

// A ring offset from the meta record is usable when it lies on a record
// boundary inside the ring.
static int ringOffsetOk(uint32_t offset, uint32_t ring, uint32_t record) {
  return offset < ring && offset % record == 0;
}

static int storage_loadWrite(void) {
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_IFRAME);
  g_v2.iframeFile = storage_open(path);
  if (!g_v2.iframeFile) return -1;
  v2_formatPath(path, sizeof path, V2_FILE_FRAG);
  g_v2.fragFile = storage_open(path);
  if (!g_v2.fragFile) return -1;

  // The rings must fit in their files and rotation needs at least one file.
  int64_t iframeBytes = v2_fileSize(g_v2.iframeFile);
  int64_t fragBytes = v2_fileSize(g_v2.fragFile);
  if (iframeBytes < static_cast<int64_t>(g_v2.iframeRingSize) ||
      fragBytes < static_cast<int64_t>(g_v2.fragRingSize)) {
    QMX_LOGE(V2_TAG, "ring larger than its file: iframe %u/%lld frag %u/%lld\n",
             g_v2.iframeRingSize, static_cast<long long>(iframeBytes), g_v2.fragRingSize,
             static_cast<long long>(fragBytes));
    return -1;
  }
  v2_meta *m = &g_v2.meta;
  if (m->recFileCount == 0) {
    QMX_LOGE(V2_TAG, "no record files\n");
    return -1;
  }

  if (m->fragHead == m->fragTail) {
    // Empty card: nothing is recorded, writing starts at record file 0000.
    m->iframeHead = m->iframeTail = m->fragHead = m->fragTail = 0;
    memset(g_v2.metaRaw + 4, 0, 16);
    memset(g_v2.metaRaw + 20, 0, 6);
    memset(g_v2.newestFragRaw, 0, sizeof g_v2.newestFragRaw);
    memset(&g_v2.newestFrag, 0, sizeof g_v2.newestFrag);
    g_v2.writeFile = storage_openFormatOffset(0, 0);
    return g_v2.writeFile ? 0 : -1;
  }

  if (!ringOffsetOk(m->fragHead, g_v2.fragRingSize, V2_FRAG_SIZE) ||
      !ringOffsetOk(m->fragTail, g_v2.fragRingSize, V2_FRAG_SIZE) ||
      !ringOffsetOk(m->iframeHead, g_v2.iframeRingSize, V2_IFRAME_SIZE) ||
      !ringOffsetOk(m->iframeTail, g_v2.iframeRingSize, V2_IFRAME_SIZE) ||
      m->writeFile >= m->recFileCount ||
      static_cast<int64_t>(m->writeOffset) + V2_HEADER_SIZE > g_v2.recordFileSize) {
    QMX_LOGE(V2_TAG, "invalid write position\n");
    return -1;
  }

  uint32_t fragAt = (m->fragTail == 0 ? g_v2.fragRingSize : m->fragTail) - V2_FRAG_SIZE;
  if (storage_readFrag(g_v2.fragFile, fragAt) != 0) return -1;
  uint8_t oldest[V2_FRAG_SIZE];
  if (storage_readOffset(g_v2.fragFile, m->fragHead, oldest, sizeof oldest) == 0) {
    v2_frag frag;
    v2_parseFragFields(oldest, &frag);
    g_v2.firstTime = frag.startTime;
  }
  uint32_t iframeAt =
      (m->iframeTail == 0 ? g_v2.iframeRingSize : m->iframeTail) - V2_IFRAME_SIZE;
  if (storage_readIframe(g_v2.iframeFile, iframeAt) != 0) return -1;

  g_v2.writeFile = storage_openFormatOffset(m->writeFile, 0);
  if (!g_v2.writeFile) return -1;
  v2_header header;
  if (storage_readHeader(g_v2.writeFile, m->writeOffset, &header) != 0) return -1;
  int64_t after = static_cast<int64_t>(m->writeOffset) + V2_HEADER_SIZE +
                  V2_WORD_LENGTH(header.word);
  if (after > v2_fileSize(g_v2.writeFile)) {
    QMX_LOGE_AS(V2_TAG, "storage_readHeader", "invalid header\n");
    return -1;
  }
  if (fseeko(g_v2.writeFile, static_cast<off_t>(after), SEEK_SET) != 0) {
    QMX_LOGE(V2_TAG, "lseek %d failed:%s\n", static_cast<int>(after), strerror(errno));
    return -1;
  }
  return 0;
}

// The deleted list is optional: its failures are logged, never fatal.
static void storage_loadDelInfo(void) {
  free(g_v2.delIds);
  g_v2.delIds = nullptr;
  g_v2.delCount = 0;

  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_DEL);
  FILE *f = storage_open(path);
  if (!f) return;
  uint8_t head[V2_DEL_HEADER_SIZE];
  errno = 0;
  if (fread(head, 1, sizeof head, f) != sizeof head) {
    QMX_LOGE(V2_TAG, "del header read failed:%s\n", strerror(errno));
    fclose(f);
    return;
  }
  v2_reader r;
  v2_readerInit(&r, head, sizeof head);
  uint32_t count;
  uint16_t crc;
  v2_get32(&r, &count);
  v2_get16(&r, &crc);
  if (v2_crc16(head, 4) != crc) {
    QMX_LOGE(V2_TAG, "invalid del header\n");
    fclose(f);
    return;
  }
  if (count != 0) {
    // Never allocate for more ids than the file can hold.
    int64_t bytes = v2_fileSize(f);
    if (bytes < V2_DEL_HEADER_SIZE || count > (bytes - V2_DEL_HEADER_SIZE) / 4 || count > DEL_MAX) {
      QMX_LOGE(V2_TAG, "del count %u beyond file size %lld\n", count,
               static_cast<long long>(bytes));
      fclose(f);
      return;
    }
    // Bounded by DEL_MAX and by the file's own size: at most 16 MiB.
    uint32_t *ids = static_cast<uint32_t *>(malloc((static_cast<size_t>(count) + DEL_SPARE) * 4));
    uint8_t *raw = static_cast<uint8_t *>(malloc(static_cast<size_t>(count) * 4));
    if (!ids || !raw) {
      QMX_LOGE(V2_TAG, "malloc failed\n");
      free(ids);
      free(raw);
      fclose(f);
      return;
    }
    errno = 0;
    if (fread(raw, 4, count, f) != count) {
      QMX_LOGE(V2_TAG, "del id read failed:%s\n", strerror(errno));
      free(ids);
      free(raw);
      fclose(f);
      return;
    }
    v2_readerInit(&r, raw, static_cast<size_t>(count) * 4);
    for (uint32_t i = 0; i < count; i++) v2_get32(&r, &ids[i]);
    free(raw);
    g_v2.delIds = ids;
    g_v2.delCount = count;
  }
  fclose(f);
}

static int load(void) {
  if (storage_loadBase() != 0) return -1;
  if (storage_loadMeta() != 0) return -1;
  if (storage_loadWrite() != 0) return -1;
  storage_loadDelInfo();
  g_v2.loaded = 1;
  return 0;
}

// Points the library at a drive and loads its card, dropping the previous one.
static int loadDrive(uint8_t driveIndex) {
  releaseLoad();
  clearCard();
  g_v2.driveIndex = driveIndex;
  if (plat_volumeRoot(driveIndex, g_v2.root, sizeof g_v2.root) != 0) g_v2.root[0] = '\0';
  return load();
}

// --------------------------------------------------------------- public API

int qmx_storage_v2_init(void) {
  g_v2.initialised = 1;
  return 0;
}

int qmx_storage_v2_close(void) {
  releaseLoad();
  return 0;
}

int qmx_storage_v2_open(uint8_t driveIndex) {
  if (!g_v2.initialised) return -1;
  return loadDrive(driveIndex);
}

uint8_t qmx_storage_v2_getChannelNum(void) { return g_v2.channelNum; }

int qmx_storage_v2_getVideoType(void) { return g_v2.newestFragRaw[5] & 0x3; }

int qmx_storage_v2_getValidTime(int64_t *start, int64_t *end) {
  if (!start || !end) return -1;
  *start = 0;
  *end = g_v2.meta.lastTime / 1000;
  if (!g_v2.loaded || g_v2.meta.fragHead == g_v2.meta.fragTail) return 0;
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_FRAG);
  FILE *f = storage_open(path);
  if (!f) return 0;
  uint8_t buf[V2_FRAG_SIZE];
  if (storage_readOffset(f, g_v2.meta.fragHead, buf, sizeof buf) == 0) {
    v2_frag oldest;
    v2_parseFragFields(buf, &oldest);
    *start = oldest.startTime;
  }
  fclose(f);
  return 0;
}

// ------------------------------------------------------------------ queries

static int isDeleted(uint32_t id) {
  uint32_t lo = 0, hi = g_v2.delCount;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (g_v2.delIds[mid] == id) return 1;
    if (g_v2.delIds[mid] < id)
      lo = mid + 1;
    else
      hi = mid;
  }
  return 0;
}

static int64_t fragEnd(const v2_frag *frag) {
  return frag->endTime != 0 ? frag->endTime : g_v2.meta.lastTime / 1000;
}

// Binary search of the fragment ring for time t (seconds). Returns -1 on
// failure; else 0 with *ringOffset the record that holds t (*found 1) or the
// first record that starts after t (*found 0; the tail when none does).
static int storage_findFrag(FILE *f, int64_t t, uint32_t *ringOffset, int *found) {
  const uint32_t ring = g_v2.fragRingSize;
  const v2_meta *m = &g_v2.meta;
  if (m->fragHead == m->fragTail || ring == 0) return -1;
  int64_t lo = m->fragHead;
  int64_t hi = static_cast<int64_t>(m->fragTail) - V2_FRAG_SIZE;
  if (hi < lo) hi += ring;
  *found = 0;
  while (lo <= hi) {
    int64_t mid = lo + ((hi - lo) / 64) * 32;
    uint32_t at = static_cast<uint32_t>(mid >= ring ? mid - ring : mid);
    uint8_t buf[V2_FRAG_SIZE];
    if (storage_readOffset(f, at, buf, sizeof buf) != 0) {
      QMX_LOGE(V2_TAG, "frag read failed\n");
      return -1;
    }
    v2_frag frag;
    v2_parseFragFields(buf, &frag);
    if (frag.startTime > t) {
      hi = mid - 32;
    } else if (t < fragEnd(&frag)) {
      *found = 1;
      *ringOffset = at;
      return 0;
    } else {
      lo = mid + 32;
    }
  }
  *ringOffset = static_cast<uint32_t>(lo >= ring ? lo - ring : lo);
  return 0;
}

// Reads up to max records in ring order from *cur, never past the tail,
// wrapping to offset 0 inside the batch. *got records; -1 on a read failure.
static int readBatch(FILE *f, uint32_t *cur, uint8_t *buf, uint32_t max, uint32_t *got,
                     const char *fn) {
  const uint32_t ring = g_v2.fragRingSize;
  uint32_t tail = g_v2.meta.fragTail;
  uint32_t remaining = ((tail + ring - *cur) % ring) / V2_FRAG_SIZE;
  uint32_t n = remaining < max ? remaining : max;
  uint32_t first = (ring - *cur) / V2_FRAG_SIZE;
  if (first > n) first = n;
  *got = 0;
  if (first > 0 && storage_readOffset(f, *cur, buf, first * V2_FRAG_SIZE) != 0) {
    QMX_LOGE_AS(V2_TAG, fn, "frag read failed\n");
    return -1;
  }
  if (n > first &&
      storage_readOffset(f, 0, buf + first * V2_FRAG_SIZE, (n - first) * V2_FRAG_SIZE) != 0) {
    QMX_LOGE_AS(V2_TAG, fn, "frag read failed\n");
    return -1;
  }
  *cur = static_cast<uint32_t>((static_cast<uint64_t>(*cur) + n * V2_FRAG_SIZE) % ring);
  *got = n;
  return 0;
}

static qmx_storage_v2_dayFragment *storage_queryByDay(int64_t t1, int64_t t2) {
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_FRAG);
  FILE *f = storage_open(path);
  if (!f) return nullptr;
  uint8_t *batch = static_cast<uint8_t *>(malloc(DAY_BATCH * V2_FRAG_SIZE));
  uint32_t cap = DAY_LIST_STEP;
  qmx_storage_v2_dayFragment *list = static_cast<qmx_storage_v2_dayFragment *>(
      malloc(sizeof(qmx_storage_v2_dayFragment) + cap * sizeof(qmx_storage_v2_fragment)));
  if (!batch || !list) {
    QMX_LOGE(V2_TAG, "malloc failed\n");
    free(batch);
    free(list);
    fclose(f);
    return nullptr;
  }
  list->count = 0;

  uint32_t cur;
  int found;
  if (storage_findFrag(f, t1, &cur, &found) == 0) {
    uint32_t got = DAY_BATCH;
    bool done = false;
    while (!done && got == DAY_BATCH) {
      if (readBatch(f, &cur, batch, DAY_BATCH, &got, __func__) != 0 || got == 0) break;
      v2_frag frag;
      v2_parseFragFields(batch, &frag);
      if (frag.startTime >= t2) break;
      for (uint32_t i = 0; i < got && !done; i++) {
        v2_parseFragFields(batch + i * V2_FRAG_SIZE, &frag);
        int64_t end = fragEnd(&frag);
        if (end > t1 && !isDeleted(frag.id)) {
          if (list->count == DAY_LIST_MAX) {
            QMX_LOGE(V2_TAG, "day list capped at %u fragments\n", DAY_LIST_MAX);
            done = true;
            break;
          }
          if (list->count == cap) {
            uint32_t bigger = cap + DAY_LIST_STEP;  // at most DAY_LIST_MAX + DAY_LIST_STEP
            void *grown = realloc(list, sizeof(qmx_storage_v2_dayFragment) +
                                            bigger * sizeof(qmx_storage_v2_fragment));
            if (!grown) {
              QMX_LOGE(V2_TAG, "realloc failed\n");
              done = true;
              break;
            }
            list = static_cast<qmx_storage_v2_dayFragment *>(grown);
            cap = bigger;
          }
          qmx_storage_v2_fragment *e = &list->fragment[list->count++];
          e->type = frag.type;
          e->videoType = frag.videoType & 0x3u;
          e->startTime = frag.startTime;
          e->endTime = end;
          if (end >= t2) done = true;
        }
        if (!done && i + 1 < got) {
          v2_frag next;
          v2_parseFragFields(batch + (i + 1) * V2_FRAG_SIZE, &next);
          if (next.startTime >= t2) done = true;
        }
      }
    }
  }
  free(batch);
  fclose(f);
  return list;
}

static uint32_t storage_queryByMonth(int64_t t1, int64_t t2) {
  char path[PLAT_PATH_SIZE + 64];
  v2_formatPath(path, sizeof path, V2_FILE_FRAG);
  FILE *f = storage_open(path);
  if (!f) return 0;
  uint8_t *batch = static_cast<uint8_t *>(malloc(MONTH_BATCH * V2_FRAG_SIZE));
  if (!batch) {
    QMX_LOGE(V2_TAG, "malloc failed\n");
    fclose(f);
    return 0;
  }
  uint32_t mask = 0;
  uint32_t cur;
  int found;
  if (storage_findFrag(f, t1, &cur, &found) == 0) {
    // Longer ranges than a month and a bit are cut to 31 days.
    int64_t limit = (t2 - t1 > 2764799) ? t1 + 2678400 : t2;
    int64_t curTime = t1;
    uint32_t got = MONTH_BATCH;
    bool done = false;
    while (!done && got == MONTH_BATCH) {
      if (readBatch(f, &cur, batch, MONTH_BATCH, &got, __func__) != 0 || got == 0) break;
      v2_frag frag;
      v2_parseFragFields(batch, &frag);
      if (frag.startTime >= limit) break;
      for (uint32_t i = 0; i < got && !done; i++) {
        v2_parseFragFields(batch + i * V2_FRAG_SIZE, &frag);
        int64_t end = fragEnd(&frag);
        if (end > curTime && !isDeleted(frag.id)) {
          int64_t s = frag.startTime > curTime ? frag.startTime : curTime;
          int64_t e = end < limit ? end : limit;
          if (s <= e) {
            int64_t first = (s - t1) / DAY_SECONDS;
            int64_t last = (e - t1) / DAY_SECONDS;
            for (int64_t d = first; d <= last; d++)
              if (d >= 0 && d < 32) mask |= 1u << d;
            curTime = t1 + (last + 1) * DAY_SECONDS;
          }
        }
        if (limit <= end) done = true;
        if (!done && i + 1 < got) {
          v2_frag next;
          v2_parseFragFields(batch + (i + 1) * V2_FRAG_SIZE, &next);
          if (next.startTime >= limit) done = true;
        }
      }
    }
  }
  free(batch);
  fclose(f);
  return mask;
}

uint32_t qmx_storage_v2_queryByMonth(int64_t monthStart, int64_t monthEnd) {
  if (monthStart >= monthEnd || monthStart >= qmx_common_getTimeSec()) return 0;
  if (!g_v2.loaded) return 0;
  return storage_queryByMonth(monthStart, monthEnd);
}

qmx_storage_v2_dayFragment *qmx_storage_v2_queryByDay(int64_t dayStart, int64_t dayEnd) {
  if (dayStart >= dayEnd || dayStart >= qmx_common_getTimeSec()) return nullptr;
  if (!g_v2.loaded) return nullptr;
  return storage_queryByDay(dayStart, dayEnd);
}

// ---------------------------------------------------------------- discovery

static void allocateDevice(qmx_storage_deviceList *list) {
  free(list->device);
  list->device = nullptr;
  list->count = 0;

  plat_volume *vols = nullptr;
  int n = plat_listVolumes(&vols);
  // One entry per volume: a card's file system may be any partition of its
  // disk, and only a mounted one can hold the layout's files.
  for (int i = 0; i < n; i++) {
    const plat_volume *v = &vols[i];
    if (plat_probeVolume(v) != 0) {
      QMX_LOGE(V2_TAG, "open failed.\n");
      continue;
    }
    if (!v->onUsb) {
      QMX_LOGE(V2_TAG, "type not support.\n");
      continue;
    }
    if (!v->root[0]) continue;
    qmx_storage_device *grown = static_cast<qmx_storage_device *>(
        realloc(list->device, (static_cast<size_t>(list->count) + 1) * sizeof *grown));
    if (!grown) continue;
    list->device = grown;
    qmx_storage_device *d = &list->device[list->count++];
    memset(d, 0, sizeof *d);
    snprintf(d->path, sizeof d->path, "%s", v->name);
    d->id = v->driveIndex;
    d->valid = 0;
  }
  plat_freeVolumes(vols);
}

int qmx_storage_v2_findDevice(qmx_storage_deviceList *list) {
  if (!g_v2.initialised) return -1;
  allocateDevice(list);
  // Validation loads each card into a state of its own and lets go of it at
  // once. The card that is open, and any playback on it, stay as they were:
  // the window lists the disks on every press of its chooser and goes on
  // asking the open card afterwards. The handle lock keeps playback calls,
  // which read the card's state, out while the state is set aside.
  v2_lockHandles();
  v2_state open = g_v2;
  for (int i = 0; i < list->count; i++) {
    g_v2 = v2_state{};
    g_v2.initialised = 1;
    g_v2.driveIndex = static_cast<uint8_t>(list->device[i].id);
    if (plat_volumeRoot(g_v2.driveIndex, g_v2.root, sizeof g_v2.root) != 0) g_v2.root[0] = '\0';
    list->device[i].valid = load() == 0 ? 1 : 0;
    list->device[i].channels = list->device[i].valid ? g_v2.channelNum : 0;
    releaseFiles();
  }
  g_v2 = open;
  v2_unlockHandles();
  return 0;
}

int qmx_storage_v2_freeDevice(qmx_storage_deviceList *list) {
  free(list->device);
  list->device = nullptr;
  list->count = 0;
  return 0;
}
