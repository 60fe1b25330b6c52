// Records of the file layout: the check word, the little-endian readers, the
// record parsers and the helpers that open and read the layout's files.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "qmx_common.h"
#include "storage_v2_internal.h"

// ---------------------------------------------------------------- check word

namespace {
struct CrcTable {
  uint16_t v[256];
  constexpr CrcTable() : v() {
    for (unsigned i = 0; i < 256; i++) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int b = 0; b < 8; b++)
        c = static_cast<uint16_t>((c & 0x8000u) ? ((c << 1) ^ 0x1021u) : (c << 1));
      v[i] = c;
    }
  }
};
constexpr CrcTable kCrcTable;
}  // namespace

uint16_t v2_crc16(const uint8_t *data, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; i++)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable.v[((crc >> 8) ^ data[i]) & 0xFFu]);
  return crc;
}

// ------------------------------------------------------------------- readers

void v2_readerInit(v2_reader *r, const uint8_t *data, size_t n) {
  r->p = data;
  r->end = data + n;
}

static int need(const v2_reader *r, size_t len) {
  return (len > static_cast<size_t>(r->end - r->p)) ? -1 : 0;
}

int v2_get8(v2_reader *r, uint8_t *v) {
  if (need(r, 1)) return -1;
  *v = r->p[0];
  r->p += 1;
  return 0;
}

int v2_get16(v2_reader *r, uint16_t *v) {
  if (need(r, 2)) return -1;
  *v = static_cast<uint16_t>(r->p[0] | (r->p[1] << 8));
  r->p += 2;
  return 0;
}

int v2_get32(v2_reader *r, uint32_t *v) {
  if (need(r, 4)) return -1;
  *v = static_cast<uint32_t>(r->p[0]) | (static_cast<uint32_t>(r->p[1]) << 8) |
       (static_cast<uint32_t>(r->p[2]) << 16) | (static_cast<uint32_t>(r->p[3]) << 24);
  r->p += 4;
  return 0;
}

int v2_get48(v2_reader *r, int64_t *v) {
  if (need(r, 6)) return -1;
  uint16_t high;
  uint32_t low;
  v2_get16(r, &high);
  v2_get32(r, &low);
  *v = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  return 0;
}

int v2_get64(v2_reader *r, int64_t *v) {
  if (need(r, 8)) return -1;
  uint32_t low, high;
  v2_get32(r, &low);
  v2_get32(r, &high);
  *v = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  return 0;
}

int v2_skip(v2_reader *r, size_t n) {
  if (need(r, n)) return -1;
  r->p += n;
  return 0;
}

// ------------------------------------------------------------------- records

// The check word closes every record and covers the bytes before it.
static int checkWord(const uint8_t *buf, size_t size) {
  uint16_t stored = static_cast<uint16_t>(buf[size - 2] | (buf[size - 1] << 8));
  return v2_crc16(buf, size - 2) == stored ? 0 : -1;
}

int v2_parseBase(const uint8_t *buf, size_t n, v2_base *out) {
  if (n < V2_BASE_SIZE) return -1;
  v2_reader r;
  v2_readerInit(&r, buf, V2_BASE_SIZE);
  uint32_t u;
  v2_get32(&r, &out->magic);
  v2_get64(&r, &out->total);
  v2_get8(&r, &out->channelNum);
  v2_skip(&r, 8);
  v2_get32(&r, &u);
  out->iframeRingSize = static_cast<int32_t>(u);
  v2_get32(&r, &out->fragRingSize);
  v2_skip(&r, 4);
  v2_get32(&r, &u);
  out->recordFileSize = static_cast<int32_t>(u);
  return checkWord(buf, V2_BASE_SIZE);
}

int v2_parseMeta(const uint8_t *buf, size_t n, v2_meta *out) {
  if (n < V2_META_SIZE) return -1;
  v2_reader r;
  v2_readerInit(&r, buf, V2_META_SIZE);
  uint32_t u;
  v2_get32(&r, &u);
  out->sequence = static_cast<int32_t>(u);
  v2_get32(&r, &out->iframeHead);
  v2_get32(&r, &out->iframeTail);
  v2_get32(&r, &out->fragHead);
  v2_get32(&r, &out->fragTail);
  v2_skip(&r, 6);
  v2_get16(&r, &out->writeFile);
  v2_get32(&r, &out->writeOffset);
  v2_get64(&r, &out->lastTime);
  v2_skip(&r, 1);
  v2_get16(&r, &out->recFileCount);
  return checkWord(buf, V2_META_SIZE);
}

void v2_parseFragFields(const uint8_t *buf, v2_frag *out) {
  v2_reader r;
  v2_readerInit(&r, buf, V2_FRAG_SIZE);
  uint8_t vt;
  v2_get32(&r, &out->id);
  v2_get8(&r, &out->type);
  v2_get8(&r, &vt);
  out->videoType = vt & 0x3u;
  v2_get48(&r, &out->startTime);
  v2_get48(&r, &out->endTime);
}

int v2_parseFrag(const uint8_t *buf, size_t n, v2_frag *out) {
  if (n < V2_FRAG_SIZE) return -1;
  v2_parseFragFields(buf, out);
  return checkWord(buf, V2_FRAG_SIZE);
}

int v2_parseIframe(const uint8_t *buf, size_t n, v2_iframe *out) {
  if (n < V2_IFRAME_SIZE) return -1;
  v2_reader r;
  v2_readerInit(&r, buf, V2_IFRAME_SIZE);
  uint8_t ch;
  v2_get8(&r, &ch);
  out->channel = ch & 0x7u;
  v2_get16(&r, &out->file);
  v2_get32(&r, &out->offset);
  v2_get48(&r, &out->time);
  return checkWord(buf, V2_IFRAME_SIZE);
}

int v2_parseHeader(const uint8_t *buf, size_t n, v2_header *out) {
  if (n < V2_HEADER_SIZE) return -1;
  v2_reader r;
  v2_readerInit(&r, buf, V2_HEADER_SIZE);
  v2_get32(&r, &out->word);
  v2_get48(&r, &out->time);
  return checkWord(buf, V2_HEADER_SIZE);
}

// --------------------------------------------------------------------- files

void v2_formatPath(char *buf, size_t size, v2_file which) {
  static const char *const names[] = {
      "/storage/base.dt",          "/storage/index/meta_00.dt", "/storage/index/meta_01.dt",
      "/storage/index/frag.dt",    "/storage/index/iframe.dt",  "/storage/index/del_frag.dt",
  };
  snprintf(buf, size, "%s%s", g_v2.root, names[which]);
}

void v2_formatRecPath(char *buf, size_t size, unsigned fileNo) {
  snprintf(buf, size, "%s/storage/record/rec_%04u.dt", g_v2.root, fileNo);
}

FILE *storage_open(const char *path) {
  // Without a volume directory the path would point below the file-system
  // root: such a card cannot be reached at all.
  FILE *f = g_v2.root[0] ? fopen(path, "rb") : nullptr;
  if (!f) QMX_LOGE(V2_TAG, "open %s failed.\n", path);
  return f;
}

int storage_readOffset(FILE *file, uint32_t offset, void *buffer, size_t n) {
  if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
    QMX_LOGE(V2_TAG, "lseek %d failed:%s\n", static_cast<int>(offset), strerror(errno));
    return -1;
  }
  errno = 0;
  if (fread(buffer, 1, n, file) != n) {
    QMX_LOGE(V2_TAG, "read %d len:%d failed:%s\n", static_cast<int>(offset),
             static_cast<int>(n), strerror(errno));
    return -1;
  }
  return 0;
}

FILE *storage_openFormatOffset(unsigned fileNo, uint32_t offset) {
  char path[PLAT_PATH_SIZE + 64];
  v2_formatRecPath(path, sizeof path, fileNo);
  FILE *f = storage_open(path);
  if (!f) return nullptr;
  if (offset != 0 && fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) {
    QMX_LOGE(V2_TAG, "%s lseek %d failed:%s\n", path, static_cast<int>(offset), strerror(errno));
    fclose(f);
    return nullptr;
  }
  return f;
}

int64_t v2_fileSize(FILE *file) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}
