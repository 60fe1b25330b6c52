// Reading and checking scenario files.
#include "scenario.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <functional>
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

// An array of objects with only the given fields; each one read by `one`.
template <typename Item>
static bool readList(const QJsonObject &o, const char *key,
                     std::initializer_list<const char *> fields, std::vector<Item> *out,
                     const std::function<bool(const QJsonObject &, const std::string &, Item *)> &one,
                     std::string *error) {
  if (!o.contains(key)) return true;
  if (!o.value(key).isArray()) return fail(error, std::string("\"") + key + "\" must be an array");
  const QJsonArray items = o.value(key).toArray();
  for (int i = 0; i < items.size(); ++i) {
    const std::string where = std::string(key) + " " + std::to_string(i) + ": ";
    if (!items[i].isObject()) return fail(error, where + "must be an object");
    const QJsonObject item = items[i].toObject();
    for (auto it = item.begin(); it != item.end(); ++it)
      if (std::none_of(fields.begin(), fields.end(),
                       [&](const char *k) { return it.key() == QLatin1String(k); }))
        return fail(error, where + "unknown field \"" + it.key().toStdString() + "\"");
    Item v;
    if (!one(item, where, &v)) return false;
    out->push_back(v);
  }
  return true;
}

static bool readTimeMs(const QJsonObject &o, const char *key, int64_t *ms, std::string *error,
                       const std::string &where) {
  int64_t sec = 0;
  std::string why;
  if (!o.contains(key)) return fail(error, where + "\"" + key + "\" is required");
  if (!parseTimeValue(o.value(key), &sec, &why))
    return fail(error, where + "\"" + key + "\": " + why);
  *ms = sec * 1000;
  return true;
}

static bool parseGapsAndJumps(const QJsonObject &o, Scenario *s, std::string *error) {
  const int channels = s->channels;
  std::function<bool(const QJsonObject &, const std::string &, SoundGap *)> gap =
      [&](const QJsonObject &g, const std::string &where, SoundGap *v) {
        if (!readInt(g, "channel", 0, channels - 1, &v->channel, error, where) ||
            !readTimeMs(g, "from", &v->fromMs, error, where) ||
            !readTimeMs(g, "to", &v->toMs, error, where))
          return false;
        return v->toMs > v->fromMs || fail(error, where + "\"to\" must be after \"from\"");
      };
  std::function<bool(const QJsonObject &, const std::string &, ClockJump *)> jump =
      [&](const QJsonObject &j, const std::string &where, ClockJump *v) {
        if (!readInt(j, "channel", 0, channels - 1, &v->channel, error, where) ||
            !readTimeMs(j, "at", &v->atMs, error, where))
          return false;
        // Within the second, so that a sound frame can be the first one after it.
        int after = 0;
        if (!readInt(j, "afterMs", 0, 999, &after, error, where)) return false;
        v->atMs += after;
        // Up to the whole span of card times, either way.
        const double by = j.value("byMs").toDouble(0), most = kTimeMax * 1000.0;
        if (!j.value("byMs").isDouble() || by != std::floor(by) || by == 0 || std::fabs(by) > most)
          return fail(error, where + "\"byMs\" must be a whole number of ms, not 0, within " +
                                 std::to_string(static_cast<int64_t>(most)) + " either way");
        v->byMs = static_cast<int64_t>(by);
        return true;
      };
  return readList(o, "soundGaps", {"channel", "from", "to"}, &s->soundGaps, gap, error) &&
         readList(o, "clockJumps", {"channel", "at", "afterMs", "byMs"}, &s->clockJumps, jump, error);
}

int64_t clockTimeMs(const Scenario &s, int channel, int64_t atMs) {
  int64_t t = atMs;
  for (const ClockJump &j : s.clockJumps)
    if ((j.channel < 0 || j.channel == channel) && atMs >= j.atMs) t += j.byMs;
  return t;
}

bool soundLeftOut(const Scenario &s, int channel, int64_t atMs) {
  return std::any_of(s.soundGaps.begin(), s.soundGaps.end(), [&](const SoundGap &g) {
    return (g.channel < 0 || g.channel == channel) && atMs >= g.fromMs && atMs < g.toMs;
  });
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
                                      "raw",    "file",   "description", "soundGaps",
                                      "clockJumps"};
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
  if (!parseGapsAndJumps(o, &s, error)) return false;
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
    // The recorder's clock, jumps and all, stays within the times a card holds.
    std::vector<int64_t> moments = {r.start * 1000, r.end * 1000};
    for (const ClockJump &j : s.clockJumps)
      if (j.atMs > r.start * 1000 && j.atMs < r.end * 1000) moments.insert(moments.end(), {j.atMs - 1, j.atMs});
    for (int64_t m : moments) {
      const int64_t t = clockTimeMs(s, r.channel, m);
      if (t < 0 || t > kTimeMax * 1000)
        return fail(error, "clock jumps take channel " + std::to_string(r.channel) +
                               "'s times out of 1970 to 2100");
    }
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
