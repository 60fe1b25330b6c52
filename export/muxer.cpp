// MP4 muxer: copies one channel's stored frames (start-code H.264/H.265 and
// ADTS AAC) into an MP4 file without re-encoding.
//
// Each channel's file is written under a temporary name of this program's
// own pattern inside its target directory, so that the final rename stays on
// one volume and a crashed run's leftovers can be told apart from anything
// else in the directory. The container header waits for the first video
// frame: its parameter sets give the picture size and the decoder
// configuration, and are checked with FFmpeg's own parser before the writer
// ever sees them (made-up parameter sets can send the writer's trailer into
// an endless parse). A channel may also write into memory instead, with
// no file at all.
#include "qmx_muxer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <nettle/sha2.h>

#include "qmx_common.h"

#define MUXER_TAG "MUXER"
#define MUXER_CHANNELS 4
#define MUXER_DIR_SIZE 256
#define MUXER_PATH_SIZE 512

#define VIDEO_FRAME_US 83333
#define AUDIO_FRAME_US 64000

namespace {

const char kTempPrefix[] = ".qmxexport-";
const char kTempSuffix[] = ".tmp";

// A position in an in-memory file; the writer and the read-back pass of
// the index-at-front layout each have their own over the same bytes.
struct MemoryCursor {
  std::vector<uint8_t> *bytes;
  int64_t pos;
};

struct MuxerChannel {
  int32_t started;
  int flags;
  int codec;
  AVFormatContext *oc;
  bool headerWritten;
  bool failed;            // a write failed: the file cannot be finished
  int64_t lastDts[2];     // per stream (0 audio, 1 video), stream ticks; -1 none yet
  uint64_t videoCount;    // video packets handed to the writer
  uint64_t audioCount;
  int64_t startTime;      // Unix ms: the start argument x 1000
  int64_t lastVideoTime;  // Unix ms of the last video frame
  int width, height;
  char dir[MUXER_DIR_SIZE];
  std::string tempPath;
  std::string lastFile;
  std::string lastSha;
  int error;
  std::string detail;
  std::vector<uint8_t> memory;  // the file of an in-memory channel
  MemoryCursor cursor;
};

// The channel table. It has no lock: every call comes from the one thread
// that exports (the download worker, or cardtool's main thread), one
// channel at a time.
MuxerChannel muxerChannel[MUXER_CHANNELS];

bool validChannel(int channel) { return channel >= 0 && channel < MUXER_CHANNELS; }

// Records why the channel failed and logs it under the failing function's name.
int failAt(MuxerChannel *ch, int code, const std::string &detail, const char *fn) {
  ch->error = code;
  ch->detail = detail;
  QMX_LOGE_AS(MUXER_TAG, fn, "%s%s\n", code == QMX_MUXER_ERR_MEDIA ? "parameter sets: " : "",
              detail.c_str());
  return -1;
}
#define fail(ch, code, detail) failAt((ch), (code), (detail), __func__)

std::string avError(int err) {
  char text[AV_ERROR_MAX_STRING_SIZE];
  av_strerror(err, text, sizeof text);
  return text;
}

bool fileExists(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

// True when path is a directory afterwards; creates one level only.
bool ensureDirectory(const char *path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (mkdir(path, 0777) == 0) return true;
  return errno == EEXIST;
}

// Moves from to to, but never over an existing file. Where the file system
// cannot refuse atomically, a hard link does (it fails on an existing name).
int renameNoReplace(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (link(from, to) != 0) return -1;
  unlink(from);
  return 0;
}

// A temporary name of this program's pattern in dir, created exclusively.
// The pid in it tells later runs whether its writer is still alive.
std::string makeTemporary(const char *dir, int channel) {
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    char path[MUXER_PATH_SIZE];
    snprintf(path, sizeof path, "%s/%s%ld-%d-%u%s", dir, kTempPrefix, static_cast<long>(getpid()),
             channel, serial++, kTempSuffix);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return path;
    }
    if (errno != EEXIST) break;
  }
  return std::string();
}

// Removes the temporary files that a run of this program which is no
// longer alive left in dir (a crash or a kill in the middle of an export).
void removeStale(const char *dir) {
  DIR *d = opendir(dir);
  if (!d) return;
  while (struct dirent *e = readdir(d)) {
    if (!qmx_muxer_isTemporaryName(e->d_name)) continue;
    long pid = strtol(e->d_name + sizeof kTempPrefix - 1, nullptr, 10);
    if (pid <= 0 || pid == getpid()) continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::string path = std::string(dir) + "/" + e->d_name;
    if (unlink(path.c_str()) == 0) QMX_LOGE(MUXER_TAG, "removed stale %s.\n", path.c_str());
  }
  closedir(d);
}

// Writes text to path through a temporary file of the program's pattern
// beside it, never over an existing file. 0, or -1 with errno set and
// nothing left behind.
int writeSideFile(const std::string &path, const std::string &text) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  std::string temp = makeTemporary(dir.c_str(), 9);
  if (temp.empty()) return -1;
  FILE *f = fopen(temp.c_str(), "wb");
  bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && fflush(f) != 0) ok = false;
  if (f && fsync(fileno(f)) != 0) ok = false;
  int saved = errno;
  if (f && fclose(f) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && renameNoReplace(temp.c_str(), path.c_str()) == 0) return 0;
  saved = ok ? errno : saved;
  unlink(temp.c_str());
  errno = saved;
  return -1;
}

// Whether the access unit is a key frame: its first picture slice is an
// IDR (H.264) or an intra random access point (H.265). Parameter sets and
// other NAL units in front of the slice are skipped.
bool isKeyFrame(int codec, const uint8_t *p, uint32_t size) {
  for (uint32_t i = 0; i + 3 < size; i++) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    uint8_t h = p[i + 3];
    if (codec == QMX_CODEC_HEVC) {
      int type = (h >> 1) & 0x3F;
      if (type < 32) return type >= 16 && type <= 23;
    } else {
      int type = h & 0x1F;
      if (type >= 1 && type <= 5) return type == 5;
    }
    i += 2;
  }
  return false;
}

// Whether FFmpeg's decoder, told to stop at the first error, takes every
// parameter set of the extradata. The writer parses H.265 sets once more
// with checks of its own that are looser: a set the decoder refuses (a
// count no recorder writes, say) can keep the writer's header busy for
// minutes. (Its H.264 sets are read with bounded loops.)
bool decoderAccepts(int codec, const uint8_t *extra, size_t size) {
  const AVCodec *decoder = avcodec_find_decoder(static_cast<AVCodecID>(codec));
  AVCodecContext *cc = decoder ? avcodec_alloc_context3(decoder) : nullptr;
  AVPacket *pkt = av_packet_alloc();
  bool ok = false;
  if (cc && pkt && size <= INT32_MAX && av_new_packet(pkt, static_cast<int>(size)) == 0) {
    memcpy(pkt->data, extra, size);
    cc->err_recognition = AV_EF_EXPLODE;
    cc->thread_count = 1;
    ok = avcodec_open2(cc, decoder, nullptr) == 0 && avcodec_send_packet(cc, pkt) == 0;
  }
  av_packet_free(&pkt);
  avcodec_free_context(&cc);
  return ok;
}

// Reads the parameter sets of the first video frame: the picture size
// through FFmpeg's parser (which decodes them fully and gives up on
// made-up ones) and the decoder configuration through the
// extract_extradata filter, whose sets the decoder must take. 0, or -1
// with the reason in *why.
int readParameterSets(int codec, const uint8_t *data, uint32_t size, AVCodecParameters *par,
                      std::string *why) {
  AVCodecParserContext *parser = av_parser_init(codec);
  AVCodecContext *cc = avcodec_alloc_context3(nullptr);
  AVPacket *pkt = av_packet_alloc();
  AVBSFContext *bsf = nullptr;
  int rc = -1;
  *why = "the check could not be set up";
  if (!parser || !cc || !pkt || av_new_packet(pkt, static_cast<int>(size)) < 0) goto done;
  {
    memcpy(pkt->data, data, size);
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    uint8_t *out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, cc, &out, &outSize, pkt->data, pkt->size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (parser->width <= 0 || parser->height <= 0 || parser->width > 16384 ||
        parser->height > 16384) {
      *why = "no usable picture size";
      goto done;
    }
    par->width = parser->width;
    par->height = parser->height;

    const AVBitStreamFilter *filter = av_bsf_get_by_name("extract_extradata");
    if (!filter || av_bsf_alloc(filter, &bsf) < 0) goto done;
    bsf->par_in->codec_type = AVMEDIA_TYPE_VIDEO;
    bsf->par_in->codec_id = static_cast<AVCodecID>(codec);
    if (av_bsf_init(bsf) < 0 || av_bsf_send_packet(bsf, pkt) < 0 ||
        av_bsf_receive_packet(bsf, pkt) < 0)
      goto done;
    size_t extraSize = 0;
    uint8_t *extra = av_packet_get_side_data(pkt, AV_PKT_DATA_NEW_EXTRADATA, &extraSize);
    if (!extra || extraSize == 0) {
      *why = "the first video frame carries no parameter sets";
      goto done;
    }
    if (codec == QMX_CODEC_HEVC && !decoderAccepts(codec, extra, extraSize)) {
      *why = "the decoder refuses them";
      goto done;
    }
    par->extradata = static_cast<uint8_t *>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) goto done;
    memcpy(par->extradata, extra, extraSize);
    par->extradata_size = static_cast<int>(extraSize);
    rc = 0;
  }
done:
  av_bsf_free(&bsf);
  av_packet_free(&pkt);
  avcodec_free_context(&cc);
  if (parser) av_parser_close(parser);
  return rc;
}

// ---- In-memory files ----------------------------------------------------------

int memoryWrite(void *opaque, uint8_t *buf, int size) {
  MemoryCursor *c = static_cast<MemoryCursor *>(opaque);
  size_t end = static_cast<size_t>(c->pos) + static_cast<size_t>(size);
  if (end > c->bytes->size()) c->bytes->resize(end);
  memcpy(c->bytes->data() + c->pos, buf, static_cast<size_t>(size));
  c->pos = static_cast<int64_t>(end);
  return size;
}

int memoryRead(void *opaque, uint8_t *buf, int size) {
  MemoryCursor *c = static_cast<MemoryCursor *>(opaque);
  int64_t left = static_cast<int64_t>(c->bytes->size()) - c->pos;
  if (left <= 0) return AVERROR_EOF;
  int n = left < size ? static_cast<int>(left) : size;
  memcpy(buf, c->bytes->data() + c->pos, static_cast<size_t>(n));
  c->pos += n;
  return n;
}

int64_t memorySeek(void *opaque, int64_t offset, int whence) {
  MemoryCursor *c = static_cast<MemoryCursor *>(opaque);
  const int64_t size = static_cast<int64_t>(c->bytes->size());
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: break;
    case SEEK_CUR: offset += c->pos; break;
    case SEEK_END: offset += size; break;
    default: return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  c->pos = offset;
  return offset;
}

AVIOContext *memoryOpen(MemoryCursor *c, bool write) {
  const int kBufferSize = 1 << 16;
  uint8_t *buffer = static_cast<uint8_t *>(av_malloc(kBufferSize));
  if (!buffer) return nullptr;
  AVIOContext *pb = avio_alloc_context(buffer, kBufferSize, write ? 1 : 0, c, memoryRead,
                                       write ? memoryWrite : nullptr, memorySeek);
  if (!pb) av_free(buffer);
  return pb;
}

void memoryClose(AVIOContext **pb) {
  if (!*pb) return;
  av_freep(&(*pb)->buffer);
  avio_context_free(pb);
}

// The writer opens its output again to read it back (index at the front).
int memoryIoOpen(AVFormatContext *s, AVIOContext **pb, const char *, int flags, AVDictionary **) {
  MuxerChannel *ch = static_cast<MuxerChannel *>(s->opaque);
  if (!ch || (flags & AVIO_FLAG_WRITE)) return AVERROR(EINVAL);
  MemoryCursor *c = new MemoryCursor{&ch->memory, 0};
  if (!(*pb = memoryOpen(c, false))) {
    delete c;
    return AVERROR(ENOMEM);
  }
  return 0;
}

int memoryIoClose(AVFormatContext *, AVIOContext *pb) {
  if (!pb) return 0;
  delete static_cast<MemoryCursor *>(pb->opaque);
  memoryClose(&pb);
  return 0;
}

// Length of the ADTS header in front of an AAC frame, 0 when there is none.
uint32_t adtsHeaderSize(const uint8_t *p, uint32_t size) {
  if (size < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return 0;
  uint32_t header = (p[1] & 0x01) ? 7 : 9;  // protection_absent
  return header < size ? header : 0;
}

// Closes the writer's output: its file, or its buffer in the channel's
// memory (written out first when the bytes are kept). 0, or the error.
int closeOutput(MuxerChannel *ch, bool keep) {
  if (!ch->oc->pb) return 0;
  if (!(ch->flags & QMX_MUXER_IN_MEMORY)) return avio_closep(&ch->oc->pb);
  if (keep) avio_flush(ch->oc->pb);
  memoryClose(&ch->oc->pb);
  return 0;
}

void dropFile(MuxerChannel *ch) {
  if (ch->oc) {
    closeOutput(ch, false);
    ch->memory = std::vector<uint8_t>();
    avformat_free_context(ch->oc);
    ch->oc = nullptr;
  }
  if (!ch->tempPath.empty()) unlink(ch->tempPath.c_str());
  ch->tempPath.clear();
  ch->started = 0;
}

int writeHeader(MuxerChannel *ch, const uint8_t *data, uint32_t size) {
  AVStream *video = ch->oc->streams[0];
  std::string why;
  if (readParameterSets(ch->codec, data, size, video->codecpar, &why) != 0) {
    ch->failed = true;
    return fail(ch, QMX_MUXER_ERR_MEDIA, why);
  }
  ch->width = video->codecpar->width;
  ch->height = video->codecpar->height;
  AVDictionary *opts = nullptr;
  if (ch->flags & QMX_MUXER_FRAGMENTED) {
    // A fragment from a key frame on, at least two seconds long: fewer,
    // larger fragments keep the per-fragment bookkeeping of a day small.
    av_dict_set(&opts, "movflags", "+frag_keyframe+empty_moov+default_base_moof", 0);
    av_dict_set(&opts, "min_frag_duration", "2000000", 0);
  } else {
    av_dict_set(&opts, "movflags", "+faststart", 0);
  }
  int err = 0;
  if (ch->flags & QMX_MUXER_IN_MEMORY) {
    ch->cursor = MemoryCursor{&ch->memory, 0};
    if (!(ch->oc->pb = memoryOpen(&ch->cursor, true))) err = AVERROR(ENOMEM);
  } else {
    err = avio_open(&ch->oc->pb, ch->tempPath.c_str(), AVIO_FLAG_WRITE);
  }
  if (err >= 0) err = avformat_write_header(ch->oc, &opts);
  av_dict_free(&opts);
  if (err < 0) {
    ch->failed = true;
    return fail(ch, QMX_MUXER_ERR_WRITE, "cannot write the file header: " + avError(err));
  }
  ch->headerWritten = true;
  return 0;
}

struct Release {
  qmx_muxer_release fn;
  void *opaque;
};

void releaseBuffer(void *opaque, uint8_t *data) {
  Release *r = static_cast<Release *>(opaque);
  r->fn(r->opaque, data);
  delete r;
}

std::string hexDigest(struct sha256_ctx *sha) {
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(sha, sizeof digest, digest);
  char hex[65];
  for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// SHA-256 of the file at path in hex; "" when it cannot be read. The file
// is flushed to the disk first, so that a late write error shows here.
std::string hashFile(const std::string &path, std::string *why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    *why = std::string("cannot flush the file: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return std::string();
  }
  struct sha256_ctx sha;
  sha256_init(&sha);
  std::vector<uint8_t> buffer(1 << 20);
  ssize_t n;
  while ((n = read(fd, buffer.data(), buffer.size())) > 0)
    sha256_update(&sha, static_cast<size_t>(n), buffer.data());
  int readErr = errno;
  close(fd);
  if (n < 0) {
    *why = std::string("cannot read the file back: ") + strerror(readErr);
    return std::string();
  }
  return hexDigest(&sha);
}

std::string hashBytes(const uint8_t *data, size_t size) {
  struct sha256_ctx sha;
  sha256_init(&sha);
  sha256_update(&sha, size, data);
  return hexDigest(&sha);
}

}  // namespace

int qmx_muxer_writeSmallFile(const char *path, const char *text) {
  return writeSideFile(path, text ? text : "");
}

int qmx_muxer_isTemporaryName(const char *name) {
  size_t n = strlen(name), p = sizeof kTempPrefix - 1, s = sizeof kTempSuffix - 1;
  if (n <= p + s || strncmp(name, kTempPrefix, p) != 0 || strcmp(name + n - s, kTempSuffix) != 0)
    return 0;
  return name[p] >= '1' && name[p] <= '9';
}

// Internal steps; not static so that their names stay what the log says.
int muxer_open(int channel, int codec);
int getFileName(int channel, char *out, int size);

int muxer_open(int channel, int codec) {
  MuxerChannel *ch = &muxerChannel[channel];
  ch->memory = std::vector<uint8_t>();
  const bool memory = ch->flags & QMX_MUXER_IN_MEMORY;
  if (!memory && !ensureDirectory(ch->dir))
    return fail(ch, QMX_MUXER_ERR_DIR,
                std::string("cannot make directory ") + ch->dir + ": " + strerror(errno));
  if (!memory) removeStale(ch->dir);
  ch->tempPath = memory ? std::string() : makeTemporary(ch->dir, channel);
  if (!memory && ch->tempPath.empty())
    return fail(ch, QMX_MUXER_ERR_DIR,
                std::string("cannot create a file in ") + ch->dir + ": " + strerror(errno));

  AVFormatContext *oc = nullptr;
  const char *url = memory ? "memory.mp4" : ch->tempPath.c_str();
  if (avformat_alloc_output_context2(&oc, nullptr, "mp4", url) < 0 || !oc) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_WRITE, "cannot set up the MP4 writer");
  }
  ch->oc = oc;
  if (memory) {
    oc->opaque = ch;
    oc->io_open = memoryIoOpen;
    oc->io_close2 = memoryIoClose;
  }
  AVStream *video = avformat_new_stream(oc, nullptr);
  AVStream *audio = video ? avformat_new_stream(oc, nullptr) : nullptr;
  if (!audio) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_WRITE, "failed to allocate output streams.");
  }
  AVCodecParameters *ap = audio->codecpar;
  ap->codec_type = AVMEDIA_TYPE_AUDIO;
  ap->codec_id = AV_CODEC_ID_AAC;
  ap->sample_rate = 16000;
  av_channel_layout_uninit(&ap->ch_layout);
  av_channel_layout_default(&ap->ch_layout, 1);  // mono: front centre
  ap->frame_size = 1024;
  // AAC-LC, 16 kHz, one channel: the card's sound and the silent filler alike.
  static const uint8_t asc[2] = {0x14, 0x08};
  ap->extradata = static_cast<uint8_t *>(av_mallocz(sizeof asc + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!ap->extradata) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_WRITE, "out of memory");
  }
  memcpy(ap->extradata, asc, sizeof asc);
  ap->extradata_size = sizeof asc;
  audio->time_base = AVRational{1, 16000};

  AVCodecParameters *vp = video->codecpar;
  vp->codec_type = AVMEDIA_TYPE_VIDEO;
  vp->codec_id = static_cast<AVCodecID>(codec);
  // hvc1 plays in browsers and on phones that refuse hev1.
  vp->codec_tag = codec == QMX_CODEC_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
  vp->format = AV_PIX_FMT_YUV420P;
  video->time_base = AVRational{1, 90000};

  ch->codec = codec;
  ch->videoCount = 0;
  ch->audioCount = 0;
  ch->lastDts[0] = ch->lastDts[1] = -1;
  ch->headerWritten = false;
  ch->failed = false;
  ch->width = ch->height = 0;
  ch->started = 1;
  return 0;
}

int qmx_muxer_startWith(int channel, uint64_t start, const char *dir, int codec, int flags) {
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return -1;
  }
  MuxerChannel *ch = &muxerChannel[channel];
  if (ch->started == 1) {
    QMX_LOGE(MUXER_TAG, "muxer already start.\n");
    return 0;
  }
  ch->lastFile.clear();
  ch->lastSha.clear();
  ch->error = QMX_MUXER_OK;
  ch->detail.clear();
  if (flags & QMX_MUXER_IN_MEMORY) dir = "";
  // A longer path would be cut into another directory: refuse it.
  if (!dir || strlen(dir) >= MUXER_DIR_SIZE)
    return fail(ch, QMX_MUXER_ERR_DIR, "output directory missing or too long.");
  if (codec != QMX_CODEC_H264 && codec != QMX_CODEC_HEVC)
    return fail(ch, QMX_MUXER_ERR_USAGE, "unsupported video codec.");
  memset(ch->dir, 0, sizeof ch->dir);
  memcpy(ch->dir, dir, strlen(dir));
  ch->flags = flags;
  if (muxer_open(channel, codec) != 0) {
    QMX_LOGE(MUXER_TAG, "muxer open fail.\n");
    return -1;
  }
  ch->startTime = static_cast<int64_t>(start) * 1000;
  ch->lastVideoTime = ch->startTime;
  return 0;
}

int qmx_muxer_start(int channel, uint64_t start, const char *dir, int codec) {
  return qmx_muxer_startWith(channel, start, dir, codec, 0);
}

int qmx_muxer_writePacket(int channel, const qmx_muxer_packet *p) {
  // Whatever happens, a packet handed over with a release is released.
  auto refuse = [p](int rc) {
    if (p && p->release) p->release(p->opaque, const_cast<uint8_t *>(p->data));
    return rc;
  };
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return refuse(-1);
  }
  MuxerChannel *ch = &muxerChannel[channel];
  if (ch->started != 1) {
    QMX_LOGE(MUXER_TAG, "muxer not start.\n");
    return refuse(-1);
  }
  if (!p || p->type > 1 || (!p->data && p->size) || p->size > INT32_MAX / 2) {
    QMX_LOGE(MUXER_TAG, "not supported frame type.\n");
    return refuse(-1);
  }
  if (ch->failed) return refuse(-1);
  bool video = p->type == 1;
  if (!ch->headerWritten) {
    if (!video) return refuse(0);
    if (writeHeader(ch, p->data, p->size) != 0) return refuse(-1);
  }
  AVStream *st = ch->oc->streams[video ? 0 : 1];
  AVPacket *pkt = av_packet_alloc();
  if (!pkt) return refuse(fail(ch, QMX_MUXER_ERR_WRITE, "out of memory"));
  if (p->release) {
    // The frame's own buffer, reference-counted: the writer keeps it for
    // as long as it needs and the storage library gets it back then.
    Release *r = new Release{p->release, p->opaque};
    pkt->buf = av_buffer_create(const_cast<uint8_t *>(p->data), static_cast<int>(p->size),
                                releaseBuffer, r, AV_BUFFER_FLAG_READONLY);
    if (!pkt->buf) {
      delete r;
      av_packet_free(&pkt);
      return refuse(fail(ch, QMX_MUXER_ERR_WRITE, "out of memory"));
    }
  }
  pkt->data = const_cast<uint8_t *>(p->data);
  pkt->size = static_cast<int>(p->size);
  if (!video) {
    // The file holds raw AAC frames: the ADTS header (7 bytes, 9 with its
    // check word) stays behind; the decoder configuration is the track's.
    uint32_t header = adtsHeaderSize(p->data, p->size);
    pkt->data += header;
    pkt->size -= static_cast<int>(header);
  }
  pkt->stream_index = st->index;
  int64_t scale = static_cast<int64_t>(st->time_base.num) * 1000000;
  int64_t pts = av_rescale_rnd(p->ptsUs < 0 ? 0 : p->ptsUs, st->time_base.den, scale, AV_ROUND_DOWN);
  // The writer wants strictly rising times; two frames in one tick are
  // set one tick apart.
  int k = video ? 1 : 0;
  if (pts <= ch->lastDts[k]) pts = ch->lastDts[k] + 1;
  ch->lastDts[k] = pts;
  pkt->pts = pkt->dts = pts;
  pkt->duration = av_rescale_rnd(p->durationUs < 0 ? 0 : p->durationUs, st->time_base.den, scale,
                                 AV_ROUND_DOWN);
  pkt->pos = -1;
  if (video && isKeyFrame(ch->codec, p->data, p->size)) pkt->flags |= AV_PKT_FLAG_KEY;
  if (video) {
    ch->videoCount++;
    ch->lastVideoTime = p->cardMs;
  } else {
    ch->audioCount++;
  }
  int err = av_interleaved_write_frame(ch->oc, pkt);
  av_packet_free(&pkt);
  if (err < 0 || ch->oc->pb->error < 0) {
    ch->failed = true;
    return fail(ch, QMX_MUXER_ERR_WRITE,
                std::string(video ? "video" : "audio") + " muxing packet error:" +
                    avError(err < 0 ? err : ch->oc->pb->error) + ".");
  }
  return 0;
}

int qmx_muxer_writeFrame(int channel, uint8_t frameType, uint64_t timestamp, const uint8_t *data,
                         uint32_t size) {
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return -1;
  }
  MuxerChannel *ch = &muxerChannel[channel];
  qmx_muxer_packet p = {};
  p.type = frameType;
  uint64_t n = frameType == 1 ? ch->videoCount : ch->audioCount;
  int64_t step = frameType == 1 ? VIDEO_FRAME_US : AUDIO_FRAME_US;
  p.ptsUs = static_cast<int64_t>(n) * step;
  p.durationUs = step;
  p.cardMs = static_cast<int64_t>(timestamp);
  p.data = data;
  p.size = size;
  return qmx_muxer_writePacket(channel, &p);
}

int getFileName(int channel, char *out, int size) {
  if (!out) {
    QMX_LOGE(MUXER_TAG, "output string is NULL pointer.\n");
    return -1;
  }
  if (size <= 0) return -1;
  MuxerChannel *ch = &muxerChannel[channel];
  time_t startSec = static_cast<time_t>(ch->startTime / 1000);
  time_t endSec = static_cast<time_t>(ch->lastVideoTime / 1000);
  struct tm s, e;
  memset(&s, 0, sizeof s);
  memset(&e, 0, sizeof e);
  localtime_r(&startSec, &s);
  localtime_r(&endSec, &e);

  char base[MUXER_PATH_SIZE];
  int baseSize = size < MUXER_PATH_SIZE ? size : MUXER_PATH_SIZE;
  int n = snprintf(base, baseSize, "%s/%02d%02d%02d_%02d%02d%02d-%02d%02d%02d_%02d%02d%02d-channel%d",
                   ch->dir, s.tm_year + 1900, s.tm_mon + 1, s.tm_mday, s.tm_hour, s.tm_min,
                   s.tm_sec, e.tm_year + 1900, e.tm_mon + 1, e.tm_mday, e.tm_hour, e.tm_min,
                   e.tm_sec, channel);
  // A name cut short would lose its extension and land elsewhere: refuse it.
  if (n < 0 || n + static_cast<int>(sizeof "(19).mp4.sha256") > size) return -1;
  snprintf(out, size, "%s.mp4", base);
  for (int i = 1; i <= 19; i++) {
    if (!fileExists(out)) break;
    memset(out, 0, size);
    snprintf(out, size, "%s(%d).mp4", base, i);
  }
  return 0;
}

int qmx_muxer_end(int channel) {
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return -1;
  }
  MuxerChannel *ch = &muxerChannel[channel];
  if (ch->started != 1) return 0;
  if (ch->failed) {
    dropFile(ch);
    return -1;
  }
  if (ch->videoCount == 0) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_EMPTY, "no video frame in the span.");
  }
  const bool memory = ch->flags & QMX_MUXER_IN_MEMORY;
  int err = av_write_trailer(ch->oc);
  if (err >= 0 && ch->oc->pb->error < 0) err = ch->oc->pb->error;
  int closeErr = closeOutput(ch, true);
  if (err >= 0) err = closeErr;
  if (err < 0) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_WRITE, "cannot finish the file: " + avError(err));
  }
  avformat_free_context(ch->oc);
  ch->oc = nullptr;
  if (memory) {
    ch->lastSha = hashBytes(ch->memory.data(), ch->memory.size());
    ch->started = 0;
    return 0;
  }

  std::string why;
  std::string sha = hashFile(ch->tempPath, &why);
  if (sha.empty()) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_WRITE, why);
  }
  char name[MUXER_PATH_SIZE];
  memset(name, 0, sizeof name);
  if (getFileName(channel, name, sizeof name - 1) != 0) {
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_NAME, "the file name would be too long.");
  }
  if (renameNoReplace(ch->tempPath.c_str(), name) != 0) {
    std::string detail = std::string("cannot name the file ") + name + ": " + strerror(errno);
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_NAME, detail);
  }
  ch->tempPath.clear();
  // NAME.mp4.sha256 in the form sha256sum -c reads, naming the file
  // relative to its own directory.
  const char *slash = strrchr(name, '/');
  std::string line = sha + "  " + (slash ? slash + 1 : name) + "\n";
  std::string sidecar = std::string(name) + ".sha256";
  if (writeSideFile(sidecar, line) != 0) {
    std::string detail = "cannot write " + sidecar + ": " + strerror(errno);
    unlink(name);
    dropFile(ch);
    return fail(ch, QMX_MUXER_ERR_WRITE, detail);
  }
  ch->lastFile = name;
  ch->lastSha = sha;
  ch->started = 0;
  return 0;
}

void qmx_muxer_abort(int channel) {
  if (!validChannel(channel)) return;
  MuxerChannel *ch = &muxerChannel[channel];
  if (ch->started != 1) return;
  dropFile(ch);
  ch->error = QMX_MUXER_ERR_CANCELLED;
  ch->detail = "cancelled";
}

const char *qmx_muxer_lastFile(int channel) {
  return validChannel(channel) ? muxerChannel[channel].lastFile.c_str() : "";
}

const uint8_t *qmx_muxer_memoryFile(int channel, size_t *size) {
  const bool ok = validChannel(channel) && !muxerChannel[channel].memory.empty() &&
                  !muxerChannel[channel].started;
  if (size) *size = ok ? muxerChannel[channel].memory.size() : 0;
  return ok ? muxerChannel[channel].memory.data() : nullptr;
}

const char *qmx_muxer_lastSha256(int channel) {
  return validChannel(channel) ? muxerChannel[channel].lastSha.c_str() : "";
}

int qmx_muxer_lastError(int channel, const char **detail) {
  if (!validChannel(channel)) {
    if (detail) *detail = "unsupported channel";
    return QMX_MUXER_ERR_USAGE;
  }
  if (detail) *detail = muxerChannel[channel].detail.c_str();
  return muxerChannel[channel].error;
}

void qmx_muxer_pictureSize(int channel, int *width, int *height) {
  bool ok = validChannel(channel);
  if (width) *width = ok ? muxerChannel[channel].width : 0;
  if (height) *height = ok ? muxerChannel[channel].height : 0;
}
