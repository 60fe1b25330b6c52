// Reads the frame manifest that cardsim writes next to a raw-disk image.
#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <string>
#include <vector>

namespace rawimg {

struct ManifestFrame {
  int64_t time;
  bool video, key;
  uint64_t addr;
  uint32_t size, crc;
};
struct ManifestFragment {
  int64_t start, end;
  uint64_t startAddr, endAddr;
  int type;
  bool open;
};
struct ManifestChannel {
  uint64_t framePart = 0, frameRetrace = 0;
  std::vector<ManifestFrame> frames;
  std::vector<ManifestFragment> fragments;
};

inline std::vector<ManifestChannel> readManifest(const std::string &path) {
  std::vector<ManifestChannel> out;
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return out;
  const QJsonArray channels = QJsonDocument::fromJson(f.readAll()).object()["channels"].toArray();
  for (const QJsonValue &cv : channels) {
    const QJsonObject c = cv.toObject();
    ManifestChannel ch;
    ch.framePart = static_cast<uint64_t>(c["framePartAddr"].toDouble());
    ch.frameRetrace = static_cast<uint64_t>(c["frameRetraceAddr"].toDouble());
    for (const QJsonValue &v : c["frames"].toArray()) {
      const QJsonObject o = v.toObject();
      ch.frames.push_back({static_cast<int64_t>(o["time"].toDouble()), o["video"].toInt() != 0,
                           o["key"].toInt() != 0, static_cast<uint64_t>(o["addr"].toDouble()),
                           static_cast<uint32_t>(o["size"].toDouble()),
                           static_cast<uint32_t>(o["crc"].toDouble())});
    }
    for (const QJsonValue &v : c["fragments"].toArray()) {
      const QJsonObject o = v.toObject();
      ch.fragments.push_back({static_cast<int64_t>(o["start"].toDouble()),
                              static_cast<int64_t>(o["end"].toDouble()),
                              static_cast<uint64_t>(o["startAddr"].toDouble()),
                              static_cast<uint64_t>(o["endAddr"].toDouble()), o["type"].toInt(),
                              o["open"].toBool()});
    }
    out.push_back(ch);
  }
  return out;
}

}  // namespace rawimg
