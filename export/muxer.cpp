// MP4 muxer: copies one channel's stored frames (start-code H.264/H.265 and
// ADTS AAC) into an MP4 file without re-encoding, on a synthetic time line of
// 83 333 us per video frame and 64 000 us per audio frame.
//
// Each channel's file is written under a unique temporary name inside its
// own target directory, so that two exports never share a file and the final
// rename stays on one volume. The final name carries the local start time,
// the time of the last video frame and the channel number.
#include "qmx_muxer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "qmx_common.h"

#define MUXER_TAG "MUXER"
#define MUXER_CHANNELS 4
#define MUXER_DIR_SIZE 256
#define MUXER_PATH_SIZE 512

#define VIDEO_FRAME_US 83333.0
#define AUDIO_FRAME_US 64000.0

namespace {

struct MuxerChannel {
  int32_t started;
  AVFormatContext *oc;
  int32_t videoIndex;
  int32_t audioIndex;
  uint64_t videoCount;
  uint64_t audioCount;
  int64_t startTime;      // Unix ms: the start argument x 1000
  int64_t lastVideoTime;  // Unix ms of the last video frame; an open keeps it
  // Directory given at the successful start; the temporary file lies in it
  // and the final name is made in it.
  char dir[MUXER_DIR_SIZE];
  char tempPath[MUXER_PATH_SIZE];
  char lastFile[MUXER_PATH_SIZE];  // final path of the last finished file, "" if none
};

// The channel table. It has no lock: every call comes from the one thread
// that exports (the download worker, or cardtool's main thread), one
// channel at a time.
MuxerChannel muxerChannel[MUXER_CHANNELS];

bool validChannel(int channel) { return channel >= 0 && channel < MUXER_CHANNELS; }

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
// cannot refuse atomically, a check right before the rename has to do.
int renameNoReplace(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno == EEXIST) return -1;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  if (link(from, to) == 0) {
    unlink(from);
    return 0;
  }
  if (errno == EEXIST) return -1;
  if (fileExists(to)) return -1;
  return rename(from, to);
}

// Microseconds per tick of a stream's time base, as the writer set it.
double usPerTick(const AVStream *st) {
  return 1000000.0 * st->time_base.num / st->time_base.den;
}

void writePacket(MuxerChannel *ch, int streamIndex, uint64_t n, double frameUs,
                 const uint8_t *data, uint32_t size, const char *fn, const char *what) {
  AVStream *st = ch->oc->streams[streamIndex];
  double tick = usPerTick(st);
  AVPacket *pkt = av_packet_alloc();
  if (!pkt) {
    QMX_LOGE_AS(MUXER_TAG, fn, "%s muxing packet error:%s.\n", what, "out of memory");
    return;
  }
  // The writer copies what it keeps (the packet carries no reference), so
  // the caller's buffer is only borrowed for this call.
  pkt->data = const_cast<uint8_t *>(data);
  pkt->size = static_cast<int>(size);
  pkt->stream_index = streamIndex;
  pkt->pts = static_cast<int64_t>(static_cast<double>(n) * frameUs / tick);
  pkt->dts = pkt->pts;
  pkt->duration = static_cast<int64_t>(frameUs / tick);
  pkt->pos = -1;
  pkt->flags = 0;
  if (av_interleaved_write_frame(ch->oc, pkt) < 0) {
    char text[64];
    av_strerror(AVERROR(errno), text, sizeof text);
    QMX_LOGE_AS(MUXER_TAG, fn, "%s muxing packet error:%s.\n", what, text);
  }
  av_packet_free(&pkt);
}

}  // namespace

// Internal steps; not static so that their names stay what the log says.
int muxer_open(int channel, int codec);
void muxer_writeVideoFrame(int channel, uint64_t timestamp, const uint8_t *data, uint32_t size);
void muxer_writeAudioFrame(int channel, const uint8_t *data, uint32_t size);
void muxer_close(int channel);
int getFileName(int channel, char *out, int size);

int muxer_open(int channel, int codec) {
  MuxerChannel *ch = &muxerChannel[channel];
  if (!ensureDirectory(ch->dir)) {
    QMX_LOGE(MUXER_TAG, "cannot make directory %s:%s.\n", ch->dir, strerror(errno));
    return -1;
  }
  // A unique name in the target directory, created exclusively so that no
  // other export can take it before the writer opens it. The mode leaves
  // the final file's permissions to the umask, as for any new file.
  static unsigned serial = 0;
  char temp[MUXER_PATH_SIZE];
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    snprintf(temp, sizeof temp, "%s/.temp-%ld-%d-%u.mp4", ch->dir, static_cast<long>(getpid()),
             channel, serial++);
    fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    QMX_LOGE(MUXER_TAG, "cannot create temporary file in %s:%s.\n", ch->dir, strerror(errno));
    ch->tempPath[0] = '\0';
    return -1;
  }
  memcpy(ch->tempPath, temp, sizeof temp);
  close(fd);

  AVFormatContext *oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, "mp4", ch->tempPath) < 0 || !oc) {
    unlink(ch->tempPath);
    ch->tempPath[0] = '\0';
    return -1;
  }
  AVStream *video = avformat_new_stream(oc, nullptr);
  if (!video) {
    QMX_LOGE(MUXER_TAG, "failed to allocate output video stream.\n");
    avformat_free_context(oc);
    unlink(ch->tempPath);
    ch->tempPath[0] = '\0';
    return -1;
  }
  AVStream *audio = avformat_new_stream(oc, nullptr);
  if (!audio) {
    QMX_LOGE(MUXER_TAG, "failed to allocate output audio stream.\n");
    avformat_free_context(oc);
    unlink(ch->tempPath);
    ch->tempPath[0] = '\0';
    return -1;
  }
  ch->videoCount = 0;
  ch->audioCount = 0;
  ch->videoIndex = 0;
  ch->audioIndex = 1;

  // The picture size is nominal: the decoder configuration comes from the
  // parameter sets of the first video frame.
  AVCodecParameters *vp = video->codecpar;
  vp->codec_type = AVMEDIA_TYPE_VIDEO;
  vp->codec_id = static_cast<AVCodecID>(codec);
  vp->codec_tag = 0;
  vp->width = 2560;
  vp->height = 1440;
  vp->format = AV_PIX_FMT_YUV420P;
  video->time_base = AVRational{1, 90000};

  AVCodecParameters *ap = audio->codecpar;
  ap->codec_type = AVMEDIA_TYPE_AUDIO;
  ap->codec_id = AV_CODEC_ID_AAC;
  ap->codec_tag = 0;
  ap->sample_rate = 16000;
  av_channel_layout_uninit(&ap->ch_layout);
  av_channel_layout_default(&ap->ch_layout, 1);  // mono: front centre
  ap->format = AV_SAMPLE_FMT_S16;
  ap->frame_size = 1024;  // one AAC frame
  audio->time_base = AVRational{1, 1000};

  if (avio_open(&oc->pb, ch->tempPath, AVIO_FLAG_WRITE) < 0) {
    avformat_free_context(oc);
    unlink(ch->tempPath);
    ch->tempPath[0] = '\0';
    return -1;
  }
  if (avformat_write_header(oc, nullptr) < 0) {
    avio_closep(&oc->pb);
    avformat_free_context(oc);
    unlink(ch->tempPath);
    ch->tempPath[0] = '\0';
    return -1;
  }
  ch->oc = oc;
  ch->started = 1;
  return 0;
}

int qmx_muxer_start(int channel, uint64_t start, const char *dir, int codec) {
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return -1;
  }
  MuxerChannel *ch = &muxerChannel[channel];
  if (ch->started == 1) {
    QMX_LOGE(MUXER_TAG, "muxer already start.\n");
    return 0;
  }
  ch->lastFile[0] = '\0';
  // The directory buffer holds at most 255 bytes; a longer path would be
  // cut into another directory, so it is refused.
  if (!dir || strlen(dir) >= MUXER_DIR_SIZE) {
    QMX_LOGE(MUXER_TAG, "output directory too long.\n");
    return -1;
  }
  memset(ch->dir, 0, sizeof ch->dir);
  memcpy(ch->dir, dir, strlen(dir));
  if (muxer_open(channel, codec) != 0) {
    QMX_LOGE(MUXER_TAG, "muxer open fail.\n");
    return -1;
  }
  ch->startTime = static_cast<int64_t>(start * 1000);
  return 0;
}

void muxer_writeVideoFrame(int channel, uint64_t timestamp, const uint8_t *data, uint32_t size) {
  MuxerChannel *ch = &muxerChannel[channel];
  uint64_t n = ch->videoCount;
  ch->videoCount = n + 1;
  ch->lastVideoTime = static_cast<int64_t>(timestamp);
  writePacket(ch, ch->videoIndex, n, VIDEO_FRAME_US, data, size, "muxer_writeVideoFrame",
              "video");
}

void muxer_writeAudioFrame(int channel, const uint8_t *data, uint32_t size) {
  MuxerChannel *ch = &muxerChannel[channel];
  uint64_t n = ch->audioCount;
  ch->audioCount = n + 1;
  writePacket(ch, ch->audioIndex, n, AUDIO_FRAME_US, data, size, "muxer_writeAudioFrame",
              "audio");
}

int qmx_muxer_writeFrame(int channel, uint8_t frameType, uint64_t timestamp, const uint8_t *data,
                         uint32_t size) {
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return -1;
  }
  if (muxerChannel[channel].started != 1) {
    QMX_LOGE(MUXER_TAG, "muxer not start.\n");
    return -1;
  }
  if (frameType == 1) {
    muxer_writeVideoFrame(channel, timestamp, data, size);
    return 0;
  }
  if (frameType == 0) {
    muxer_writeAudioFrame(channel, data, size);
    return 0;
  }
  QMX_LOGE(MUXER_TAG, "not supported frame type.\n");
  return -1;
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
  ensureDirectory(ch->dir);

  char base[MUXER_PATH_SIZE];
  int baseSize = size < MUXER_PATH_SIZE ? size : MUXER_PATH_SIZE;
  int n = snprintf(base, baseSize, "%s/%02d%02d%02d_%02d%02d%02d-%02d%02d%02d_%02d%02d%02d-channel%d",
                   ch->dir, s.tm_year + 1900, s.tm_mon + 1, s.tm_mday, s.tm_hour, s.tm_min,
                   s.tm_sec, e.tm_year + 1900, e.tm_mon + 1, e.tm_mday, e.tm_hour, e.tm_min,
                   e.tm_sec, channel);
  // A name cut short would lose its extension and land elsewhere: refuse it.
  if (n < 0 || n + static_cast<int>(sizeof "(19).mp4") > size) return -1;
  snprintf(out, size, "%s.mp4", base);
  for (int i = 1; i <= 19; i++) {
    if (!fileExists(out)) break;
    memset(out, 0, size);
    snprintf(out, size, "%s(%d).mp4", base, i);
  }
  return 0;
}

void muxer_close(int channel) {
  MuxerChannel *ch = &muxerChannel[channel];
  av_write_trailer(ch->oc);
  avio_closep(&ch->oc->pb);
  avformat_free_context(ch->oc);
  ch->oc = nullptr;

  ch->lastFile[0] = '\0';
  char name[MUXER_PATH_SIZE];
  memset(name, 0, sizeof name);
  if (ch->videoCount == 0) {
    // A file without pictures is of no use to anyone; drop it.
    QMX_LOGE(MUXER_TAG, "no video frame, %s removed.\n", ch->tempPath);
    unlink(ch->tempPath);
  } else if (getFileName(channel, name, sizeof name - 1) != 0) {
    QMX_LOGE(MUXER_TAG, "no file name for %s, removed.\n", ch->tempPath);
    unlink(ch->tempPath);
  } else if (renameNoReplace(ch->tempPath, name) != 0) {
    QMX_LOGE(MUXER_TAG, "rename to %s failed:%s, %s removed.\n", name, strerror(errno),
             ch->tempPath);
    unlink(ch->tempPath);
  } else {
    snprintf(ch->lastFile, sizeof ch->lastFile, "%s", name);
  }
  ch->tempPath[0] = '\0';
  ch->started = 0;
}

int qmx_muxer_end(int channel) {
  if (!validChannel(channel)) {
    QMX_LOGE(MUXER_TAG, "unsupport channel.\n");
    return -1;
  }
  if (muxerChannel[channel].started != 1) return 0;
  muxer_close(channel);
  return 0;
}

const char *qmx_muxer_lastFile(int channel) {
  if (!validChannel(channel)) return "";
  return muxerChannel[channel].lastFile;
}
