#include "media.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// FFmpeg's encoders and writers chat on stderr; the tests want errors only.
const int quietLog = (av_log_set_level(AV_LOG_ERROR), 0);

}  // namespace

FileInfo readMp4(const std::string &path) {
  FileInfo info;
  AVFormatContext *fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return info;
  if (avformat_find_stream_info(fc, nullptr) < 0) {
    avformat_close_input(&fc);
    return info;
  }
  std::vector<AVCodecContext *> decoders;
  for (unsigned i = 0; i < fc->nb_streams; i++) {
    AVStream *st = fc->streams[i];
    StreamInfo s;
    s.codecId = st->codecpar->codec_id;
    s.type = st->codecpar->codec_type;
    s.sampleRate = st->codecpar->sample_rate;
    s.channels = st->codecpar->ch_layout.nb_channels;
    s.tbDen = st->time_base.den;
    info.streams.push_back(s);
    AVCodecContext *dec = nullptr;
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (codec) {
      dec = avcodec_alloc_context3(codec);
      avcodec_parameters_to_context(dec, st->codecpar);
      if (avcodec_open2(dec, codec, nullptr) < 0) avcodec_free_context(&dec);
    }
    decoders.push_back(dec);
  }
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  auto receive = [&](size_t i) {
    while (avcodec_receive_frame(decoders[i], frame) == 0) {
      info.streams[i].decodedFrames++;
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fc, pkt) >= 0) {
    size_t i = static_cast<size_t>(pkt->stream_index);
    info.streams[i].pts.push_back(pkt->pts);
    if (decoders[i] && avcodec_send_packet(decoders[i], pkt) == 0) receive(i);
    av_packet_unref(pkt);
  }
  for (size_t i = 0; i < decoders.size(); i++) {
    if (!decoders[i]) continue;
    avcodec_send_packet(decoders[i], nullptr);
    receive(i);
    avcodec_free_context(&decoders[i]);
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avformat_close_input(&fc);
  info.ok = true;
  return info;
}

std::vector<std::string> listFiles(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    struct stat st;
    if (stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string makeTempDir(const std::string &tag) {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/export-" + tag + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return "";
  return std::string(buf.data());
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
}

std::string readFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

static int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

void removeTree(const std::string &dir) {
  if (!dir.empty()) nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}
