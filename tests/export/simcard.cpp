#include "simcard.h"

#include <stdio.h>
#include <stdlib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "device.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

namespace {
std::string quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
}  // namespace

bool makeSimCard(const std::vector<std::string> &args, const std::string &path) {
  // The H.265 encoder library keeps a few allocations to the end of the
  // process; under the leak checker that would fail the simulator's run.
  std::string cmd = "ASAN_OPTIONS=detect_leaks=0 " + quote(CARDSIM_PATH);
  for (const std::string &a : args) cmd += " " + quote(a);
  cmd += " --out " + quote(path) + " >/dev/null";
  return system(cmd.c_str()) == 0;
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
  int count = plat_listVolumes(&volumes);
  bool ok = false;
  if (count > 0) {
    if (layout == 1) {
      ok = qmx_storage_load(volumes[0].diskNumber) == 0;
    } else {
      ok = qmx_storage_v2_open(volumes[0].driveIndex) == 0;
    }
  }
  plat_freeVolumes(volumes);
  fflush(stdout);
  return ok;
}

std::vector<ManifestFrame> readManifest(const std::string &path, int channel) {
  std::vector<ManifestFrame> frames;
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return frames;
  QJsonArray channels = QJsonDocument::fromJson(f.readAll()).object().value("channels").toArray();
  for (const QJsonValue &c : channels) {
    if (c.toObject().value("channel").toInt() != channel) continue;
    for (const QJsonValue &v : c.toObject().value("frames").toArray()) {
      QJsonObject o = v.toObject();
      ManifestFrame m;
      m.time = static_cast<int64_t>(o.value("time").toDouble());
      m.video = o.value("video").toInt() == 1;
      m.key = o.value("key").toInt() == 1;
      m.size = static_cast<uint32_t>(o.value("size").toDouble());
      frames.push_back(m);
    }
  }
  return frames;
}

ExpectedExport expectExport(const std::vector<ManifestFrame> &frames, int64_t startMs,
                            int64_t limitMs) {
  ExpectedExport e;
  size_t i = 0;
  while (i < frames.size() && !(frames[i].video && frames[i].key && frames[i].time >= startMs)) i++;
  int64_t videoClock = 0, audioClock = 0;
  for (; i < frames.size(); i++) {
    const ManifestFrame &f = frames[i];
    if (f.time > limitMs) break;
    if (f.video) {
      if (videoClock > audioClock) {
        e.silent++;
        audioClock += 64;
      }
      if (e.firstVideo < 0) e.firstVideo = f.time;
      e.lastVideo = f.time;
      e.video++;
      videoClock += 83;
    } else {
      e.audio++;
      audioClock += 64;
    }
  }
  return e;
}
