#include "media.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

// FFmpeg's encoders and writers chat on stderr; the tests want errors only.
const int quietLog = (av_log_set_level(AV_LOG_ERROR), 0);

void drain(AVCodecContext *ctx, AVPacket *pkt, std::vector<Bytes> *out) {
  while (avcodec_receive_packet(ctx, pkt) == 0) {
    out->emplace_back(pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt);
  }
}

}  // namespace

std::vector<Bytes> encodeVideo(int codecId, int count) {
  std::vector<Bytes> out;
  const AVCodec *codec = avcodec_find_encoder_by_name(codecId == 173 ? "libx265" : "libx264");
  if (!codec) return out;
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->width = 64;
  ctx->height = 64;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = AVRational{1, 12};
  ctx->framerate = AVRational{12, 1};
  ctx->gop_size = 12;
  ctx->max_b_frames = 0;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  if (codecId == 173) av_opt_set(ctx->priv_data, "x265-params", "log-level=none", 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame *frame = av_frame_alloc();
  frame->format = ctx->pix_fmt;
  frame->width = ctx->width;
  frame->height = ctx->height;
  av_frame_get_buffer(frame, 0);
  AVPacket *pkt = av_packet_alloc();
  for (int i = 0; i < count; i++) {
    av_frame_make_writable(frame);
    for (int y = 0; y < frame->height; y++)
      for (int x = 0; x < frame->width; x++) frame->data[0][y * frame->linesize[0] + x] = (x + y + i * 9) & 0xFF;
    for (int p = 1; p < 3; p++)
      for (int y = 0; y < frame->height / 2; y++)
        for (int x = 0; x < frame->width / 2; x++) frame->data[p][y * frame->linesize[p] + x] = 128;
    frame->pts = i;
    avcodec_send_frame(ctx, frame);
    drain(ctx, pkt, &out);
  }
  avcodec_send_frame(ctx, nullptr);
  drain(ctx, pkt, &out);
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}

std::vector<Bytes> encodeAdts(int count) {
  std::vector<Bytes> out;
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!codec) return out;
  AVCodecContext *ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = 16000;
  av_channel_layout_default(&ctx->ch_layout, 1);
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx->bit_rate = 32000;
  ctx->time_base = AVRational{1, 16000};
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return out;
  }
  AVFrame *frame = av_frame_alloc();
  frame->format = ctx->sample_fmt;
  frame->nb_samples = ctx->frame_size;
  av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
  av_frame_get_buffer(frame, 0);
  AVPacket *pkt = av_packet_alloc();
  std::vector<Bytes> raw;
  // The encoder delays its output; feed until enough frames came out.
  for (int i = 0; static_cast<int>(raw.size()) < count && i < count + 8; i++) {
    av_frame_make_writable(frame);
    float *s = reinterpret_cast<float *>(frame->data[0]);
    for (int k = 0; k < frame->nb_samples; k++) s[k] = (k % 32 < 16) ? 0.2f : -0.2f;
    frame->pts = static_cast<int64_t>(i) * frame->nb_samples;
    avcodec_send_frame(ctx, frame);
    drain(ctx, pkt, &raw);
  }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  for (size_t i = 0; i < raw.size() && static_cast<int>(i) < count; i++) {
    const Bytes &r = raw[i];
    unsigned len = static_cast<unsigned>(r.size()) + 7;
    // ADTS: MPEG-4, no CRC, AAC LC, 16 kHz (index 8), one channel.
    Bytes f = {0xFF, 0xF1, static_cast<uint8_t>((1 << 6) | (8 << 2) | 0),
               static_cast<uint8_t>((1 << 6) | ((len >> 11) & 3)),
               static_cast<uint8_t>((len >> 3) & 0xFF),
               static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC};
    f.insert(f.end(), r.begin(), r.end());
    out.push_back(f);
  }
  return out;
}

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
    s.tbNum = st->time_base.num;
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
    info.streams[i].durations.push_back(pkt->duration);
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

#include <ftw.h>
#include <stdio.h>

namespace {
int removeEntry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }
}  // namespace

void removeTree(const std::string &dir) {
  if (!dir.empty()) nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}
