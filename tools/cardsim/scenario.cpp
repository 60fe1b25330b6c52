// Reading and checking scenario files.
#include "scenario.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <map>

#include "time_text.h"

namespace {

bool fail(std::string *error, const std::string &message) {
  if (error) *error = message;
  return false;
}

// An integer field: absent keeps the default; present must be a whole number
// within [lo, hi].
bool readInt(const QJsonObject &o, const char *key, int lo, int hi, int *out, std::string *error,
             const std::string &where = "") {
  if (!o.contains(key)) return true;
  QJsonValue v = o.value(key);
  double d = v.toDouble(NAN);
  if (!v.isDouble() || std::isnan(d) || d != std::floor(d) || d < lo || d > hi)
    return fail(error, where + "\"" + key + "\" must be a whole number from " + std::to_string(lo) +
                           " to " + std::to_string(hi));
  *out = static_cast<int>(d);
  return true;
}

bool readBool(const QJsonObject &o, const char *key, bool *out, std::string *error,
              const std::string &where = "") {
  if (!o.contains(key)) return true;
  if (!o.value(key).isBool()) return fail(error, where + "\"" + key + "\" must be true or false");
  *out = o.value(key).toBool();
  return true;
}

bool readChoice(const QJsonObject &o, const char *key, std::initializer_list<const char *> choices,
                std::string *out, std::string *error) {
  if (!o.contains(key)) return true;
  std::string list;
  for (const char *c : choices) {
    if (o.value(key).toString() == QLatin1String(c) && o.value(key).isString()) {
      *out = c;
      return true;
    }
    list += std::string(list.empty() ? "" : " or ") + "\"" + c + "\"";
  }
  return fail(error, std::string("\"") + key + "\" must be " + list);
}

}  // namespace

// A time is Unix seconds, as a number or as text, or local time (TZ) as
// "YYYY-MM-DD HH:MM:SS": the same reading as cardtool's options.
static bool parseTimeValue(const QJsonValue &v, int64_t *out, std::string *error) {
  if (v.isDouble()) {
    double d = v.toDouble();
    if (d != std::floor(d) || d < kTimeMin || d > kTimeMax) {
      *error = timeRangeMessage(QString::number(d, 'g', 17).toStdString());
      return false;
    }
    *out = static_cast<int64_t>(d);
    return true;
  }
  if (!v.isString()) {
    *error = "wants Unix seconds or \"YYYY-MM-DD HH:MM:SS\"";
    return false;
  }
  return parseTimeText(v.toString().toStdString(), out, error);
}

bool parseScenario(const QByteArray &json, Scenario *scenario, std::string *error) {
  QJsonParseError perr;
  QJsonDocument doc = QJsonDocument::fromJson(json, &perr);
  if (perr.error != QJsonParseError::NoError)
    return fail(error, "not valid JSON at byte " + std::to_string(perr.offset) + ": " +
                           perr.errorString().toStdString());
  if (!doc.isObject()) return fail(error, "a scenario is a JSON object");
  const QJsonObject o = doc.object();

  static const char *const known[] = {"layout", "codec",  "channels",   "width", "height",
                                      "fps",    "gop",    "audio",      "media", "recordings",
                                      "raw",    "file",   "description"};
  for (auto it = o.begin(); it != o.end(); ++it) {
    if (std::none_of(std::begin(known), std::end(known),
                     [&](const char *k) { return it.key() == QLatin1String(k); }))
      return fail(error, "unknown field \"" + it.key().toStdString() + "\"");
  }

  Scenario s;
  if (!o.contains("layout")) return fail(error, "\"layout\" is missing (\"raw\" or \"file\")");
  if (!readChoice(o, "layout", {"raw", "file"}, &s.layout, error)) return false;
  std::string codec = "h265";
  if (!readChoice(o, "codec", {"h265", "h264"}, &codec, error)) return false;
  s.codec = codec == "h264" ? 1 : 0;
  if (!readInt(o, "channels", 1, 4, &s.channels, error)) return false;
  if (!readInt(o, "width", 16, 2560, &s.width, error)) return false;
  if (!readInt(o, "height", 16, 1440, &s.height, error)) return false;
  if (s.width % 2 || s.height % 2) return fail(error, "\"width\" and \"height\" must be even");
  if (!readInt(o, "fps", 1, 60, &s.fps, error)) return false;
  if (!readInt(o, "gop", 1, 600, &s.gop, error)) return false;
  if (!readBool(o, "audio", &s.audio, error)) return false;
  if (!readChoice(o, "media", {"encoded", "synthetic"}, &s.media, error)) return false;
  for (const char *k : {"raw", "file"}) {
    if (o.contains(k) && !o.value(k).isObject())
      return fail(error, std::string("\"") + k + "\" must be an object");
  }
  s.raw = o.value("raw").toObject();
  s.file = o.value("file").toObject();

  if (o.contains("recordings") && !o.value("recordings").isArray())
    return fail(error, "\"recordings\" must be an array");
  const QJsonArray recs = o.value("recordings").toArray();
  for (int i = 0; i < recs.size(); ++i) {
    const std::string where = "recording " + std::to_string(i) + ": ";
    if (!recs[i].isObject()) return fail(error, where + "must be an object");
    const QJsonObject r = recs[i].toObject();
    for (auto it = r.begin(); it != r.end(); ++it) {
      static const char *const rk[] = {"channel", "start", "end", "type", "open"};
      if (std::none_of(std::begin(rk), std::end(rk),
                       [&](const char *k) { return it.key() == QLatin1String(k); }))
        return fail(error, where + "unknown field \"" + it.key().toStdString() + "\"");
    }
    Recording rec;
    if (!readInt(r, "channel", 0, s.channels - 1, &rec.channel, error, where)) return false;
    if (!r.contains("start") || !r.contains("end"))
      return fail(error, where + "\"start\" and \"end\" are required");
    std::string why;
    if (!parseTimeValue(r.value("start"), &rec.start, &why))
      return fail(error, where + "\"start\": " + why);
    if (!parseTimeValue(r.value("end"), &rec.end, &why)) return fail(error, where + "\"end\": " + why);
    if (rec.end <= rec.start) return fail(error, where + "\"end\" must be after \"start\"");
    int type = 1;
    if (!readInt(r, "type", 0, 255, &type, error, where)) return false;
    rec.type = static_cast<uint8_t>(type);
    if (!readBool(r, "open", &rec.open, error, where)) return false;
    s.recordings.push_back(rec);
  }
  std::stable_sort(s.recordings.begin(), s.recordings.end(),
                   [](const Recording &a, const Recording &b) {
                     return a.start != b.start ? a.start < b.start : a.channel < b.channel;
                   });
  // Per channel: no overlap, and only the newest recording may be open.
  std::map<int, const Recording *> last;
  for (const Recording &r : s.recordings) {
    auto it = last.find(r.channel);
    if (it != last.end()) {
      const Recording *p = it->second;
      if (r.start < p->end)
        return fail(error, "recordings of channel " + std::to_string(r.channel) +
                               " overlap: one starting at " + std::to_string(r.start) +
                               " begins before the previous one ends at " +
                               std::to_string(p->end));
      if (p->open)
        return fail(error, "channel " + std::to_string(r.channel) +
                               ": only the newest recording may be open");
    }
    last[r.channel] = &r;
  }
  *scenario = s;
  return true;
}

bool loadScenario(const std::string &path, Scenario *scenario, std::string *error) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return fail(error, "cannot read " + path);
  QByteArray data = f.readAll();
  std::string inner;
  if (!parseScenario(data, scenario, &inner)) return fail(error, path + ": " + inner);
  return true;
}
