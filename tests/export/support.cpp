#include "support.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "device.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

const std::string CARDTOOL = CARDTOOL_PATH;

namespace {
const int quietLog = (av_log_set_level(AV_LOG_FATAL), 0);

int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }
}  // namespace

std::string makeTempDir(const std::string &tag) {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/export-" + tag + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void removeTree(const std::string &dir) {
  if (!dir.empty()) nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> listFiles(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    struct stat st;
    if (stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string readFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

ToolRun run(const std::string &commandLine) {
  ToolRun r;
  char errPath[] = "/tmp/export-stderr-XXXXXX";
  int fd = mkstemp(errPath);
  if (fd < 0) return r;
  close(fd);
  FILE *p = popen((commandLine + " 2>" + errPath).c_str(), "r");
  if (p) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  r.err = readFile(errPath);
  unlink(errPath);
  return r;
}

bool makeSimCard(const std::vector<std::string> &args, const std::string &path) {
  std::string cmd = CARDSIM_PATH;
  for (const std::string &a : args) cmd += " '" + a + "'";
  return run(cmd + " --out '" + path + "'").code == 0;
}

bool openSimCard(const std::string &path, int layout) {
  qmx_storage_init();
  qmx_storage_close();
  qmx_storage_v2_init();
  qmx_storage_v2_close();
  plat_setRoots("/nonexistent-sys", "/nonexistent-proc", "/nonexistent-dev");
  plat_detachAll();
  if (plat_attachPath(path.c_str()) != 0) return false;
  plat_volume *volumes = nullptr;
  bool ok = false;
  if (plat_listVolumes(&volumes) > 0)
    ok = layout == 1 ? qmx_storage_load(volumes[0].diskNumber) == 0
                     : qmx_storage_v2_open(volumes[0].driveIndex) == 0;
  plat_freeVolumes(volumes);
  fflush(stdout);
  return ok;
}

std::vector<CardFrame> cardFrames(const std::string &card, int channel, int64_t start) {
  std::vector<CardFrame> frames;
  ToolRun r = run(CARDTOOL + " frames '" + card + "' --channel " + std::to_string(channel) +
                  " --start " + std::to_string(start) + " --json");
  QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object();
  for (const QJsonValue &v : o.value("frames").toArray()) {
    CardFrame f;
    f.video = v.toObject().value("kind").toInt() == 1;
    f.ms = static_cast<int64_t>(v.toObject().value("ts").toDouble());
    frames.push_back(f);
  }
  return frames;
}

namespace {

// Offsets of the top-level boxes of the file.
void scanBoxes(const std::string &path, Mp4 *m) {
  std::string data = readFile(path);
  size_t pos = 0;
  while (pos + 8 <= data.size()) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data() + pos);
    uint64_t size = (uint64_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    std::string type = data.substr(pos + 4, 4);
    if (size == 1 && pos + 16 <= data.size()) {
      size = 0;
      for (int i = 0; i < 8; i++) size = (size << 8) | p[8 + i];
    }
    if (type == "moov" && m->moovAt < 0) m->moovAt = static_cast<int64_t>(pos);
    if (type == "mdat" && m->mdatAt < 0) m->mdatAt = static_cast<int64_t>(pos);
    if (type == "moof") m->fragmented = true;
    if (size < 8) break;
    pos += size;
  }
}

}  // namespace

Mp4 readMp4(const std::string &path) {
  Mp4 m;
  AVFormatContext *fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return m;
  if (avformat_find_stream_info(fc, nullptr) < 0) {
    avformat_close_input(&fc);
    return m;
  }
  std::vector<AVCodecContext *> decoders;
  std::vector<Track *> tracks;
  for (unsigned i = 0; i < fc->nb_streams; i++) {
    AVCodecParameters *par = fc->streams[i]->codecpar;
    Track *t = par->codec_type == AVMEDIA_TYPE_VIDEO ? &m.video : &m.audio;
    t->present = true;
    t->codecId = par->codec_id;
    for (int b = 0; b < 4; b++) t->tag += static_cast<char>((par->codec_tag >> (8 * b)) & 0xFF);
    t->width = par->width;
    t->height = par->height;
    t->tbNum = fc->streams[i]->time_base.num;
    t->tbDen = fc->streams[i]->time_base.den;
    tracks.push_back(t);
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext *dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (dec) {
      avcodec_parameters_to_context(dec, par);
      dec->thread_count = 1;
      if (avcodec_open2(dec, codec, nullptr) < 0) avcodec_free_context(&dec);
    }
    decoders.push_back(dec);
  }
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  auto receive = [&](size_t i) {
    while (avcodec_receive_frame(decoders[i], frame) == 0) {
      tracks[i]->decodedFrames++;
      tracks[i]->decodedSamples += frame->nb_samples;
      if (frame->key_frame) tracks[i]->decodedKeys.push_back(frame->best_effort_timestamp);
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fc, pkt) >= 0) {
    size_t i = static_cast<size_t>(pkt->stream_index);
    tracks[i]->packets.push_back(Packet{pkt->pts, pkt->duration, (pkt->flags & AV_PKT_FLAG_KEY) != 0});
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
  scanBoxes(path, &m);
  m.ok = true;
  return m;
}
