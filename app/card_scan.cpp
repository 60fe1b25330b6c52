#include "card_scan.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QMutexLocker>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "device.h"
#include "demuxer_base.h"
#include "globals.h"
#include "qmx_common.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

Q_LOGGING_CATEGORY(lcCard, "cardplayer.card", QtInfoMsg)

// The texts of this file, translated in the context "CardScan".
class CardScan {
  Q_DECLARE_TR_FUNCTIONS(CardScan)
};

namespace {


QString fromName(const char *name, size_t size) {
  return QString::fromLocal8Bit(name, static_cast<int>(strnlen(name, size)));
}

// Fills an entry's facts from the volume it was found through.
CardEntry entryFor(int layout, uint32_t id, int channels, const plat_volume &v) {
  CardEntry e;
  e.layout = layout;
  e.id = id;
  e.diskNumber = v.diskNumber;
  e.channels = channels;
  e.size = v.size;
  e.source = fromName(v.source, sizeof v.source);
  e.root = fromName(v.root, sizeof v.root);
  e.libraryName = fromName(v.name, sizeof v.name);
  e.title = fromName(v.label, sizeof v.label);
  if (e.title.isEmpty()) e.title = fromName(v.product, sizeof v.product);
  if (e.title.isEmpty()) e.title = e.libraryName;
  return e;
}

// Size of a whole disk: a raw-disk card is the disk, not one of its volumes.
uint64_t diskSize(uint32_t diskNumber) {
  plat_disk *disk = plat_openDisk(diskNumber);
  const uint64_t size = plat_diskSize(disk);
  plat_closeDisk(disk);
  return size;
}

// Called with playbackMutex held: every pane's handle is stopped with the
// library that made it and every pane asked to open again.
void stopPanes() {
  qmx_player_stopPanes(storageV);
  playState = 0;
}

// Called with playbackMutex held.
void forgetCard() {
  openCardPath.clear();
  openCardName.clear();
  openCardSize = 0;
}

// The libraries' day list for [from, to), without the trailing fragment that
// starts after the day (the lists may end with the next day's first), with
// a channel mask per entry. Appends; false when the library gave no list.
bool appendDay(int layout, uint32_t channel, int64_t from, int64_t to, QVector<FragmentEntry> *out) {
  QVector<FragmentEntry> got;
  if (layout == CardRaw) {
    qmx_storage_dayFragment *list = qmx_storage_queryByDay(channel, from, to);
    if (!list) return false;
    for (uint32_t i = 0; i < list->count && got.size() <= kMaxDayEntries; i++) {
      const qmx_storage_fragment &f = list->fragment[i];
      got.append({f.type, f.startTime, f.endTime, static_cast<uint8_t>(1u << channel)});
    }
    free(list);
  } else {
    qmx_storage_v2_dayFragment *list = qmx_storage_v2_queryByDay(from, to);
    if (!list) return false;
    // The file layout's type byte carries other flags in its upper half.
    for (uint32_t i = 0; i < list->count && got.size() <= kMaxDayEntries; i++) {
      const qmx_storage_v2_fragment &f = list->fragment[i];
      got.append({static_cast<uint8_t>(f.type & 0x0F), f.startTime, f.endTime, 1});
    }
    free(list);
  }
  if (!got.isEmpty() && got.back().start > to) got.removeLast();
  if (layout == CardFile) {
    // One fragment ring for all channels: the I-frames say which recorded.
    for (FragmentEntry &e : got) {
      const uint32_t mask = qmx_storage_v2_channelsInSpan(e.start, e.end);
      if (mask & 0x0F) e.channels = static_cast<uint8_t>(mask & 0x0F);
    }
  }
  *out += got;
  return true;
}

}  // namespace

QVector<CardEntry> scanCards(bool verbose) {
  qmx_storage_init();
  qmx_storage_v2_init();
  const int wasQuiet = qmx_common_setQuiet(!verbose);
  plat_volume *volumes = nullptr;
  const int n = plat_listVolumes(&volumes);
  std::map<uint32_t, const plat_volume *> byDrive, firstOfDisk;
  for (int i = 0; i < n; i++) {
    byDrive[volumes[i].driveIndex] = &volumes[i];
    firstOfDisk.emplace(volumes[i].diskNumber, &volumes[i]);
  }

  QVector<CardEntry> cards;
  QStringList names;
  auto take = [&](int layout, int (*find)(qmx_storage_deviceList *),
                  int (*release)(qmx_storage_deviceList *)) {
    qmx_storage_deviceList list{nullptr, 0};
    find(&list);
    for (int32_t i = 0; list.device && i < list.count; i++) {
      const qmx_storage_device &d = list.device[i];
      const QString name = fromName(d.path, sizeof d.path);
      qCDebug(lcCard) << "Name: " << name << ", ID: " << d.id << ", isValid: " << int(d.valid);
      const auto &where = layout == CardFile ? byDrive : firstOfDisk;
      auto v = where.find(d.id);
      if (d.valid != 1 || v == where.end() || names.contains(name)) continue;
      names.append(name);
      cards.append(entryFor(layout, d.id, d.channels, *v->second));
      if (layout == CardRaw) cards.back().size = diskSize(d.id);
    }
    release(&list);
  };
  take(CardFile, qmx_storage_v2_findDevice, qmx_storage_v2_freeDevice);
  take(CardRaw, qmx_storage_findDevice, qmx_storage_freeDevice);

  // A card reader's disk this user may not read may hold a raw-disk card;
  // one with a mounted volume is an ordinary disk whose files were looked at.
  for (const auto &d : firstOfDisk) {
    const plat_volume &v = *d.second;
    bool mounted = false, listed = false;
    for (int i = 0; i < n; i++) mounted = mounted || (volumes[i].diskNumber == d.first && volumes[i].root[0]);
    for (const CardEntry &c : cards) listed = listed || c.diskNumber == d.first;
    if (v.onUsb && v.rawDenied && !mounted && !listed) cards.append(entryFor(CardNoRight, d.first, 0, v));
  }
  plat_freeVolumes(volumes);
  qmx_common_setQuiet(wasQuiet);
  return cards;
}

QString cardText(const CardEntry &e) {
  QStringList parts{e.title};
  if (e.size > 0) parts << QLocale().formattedDataSize(static_cast<qint64>(e.size), 1, QLocale::DataSizeSIFormat);
  if (e.layout == CardNoRight) {
    parts << CardScan::tr("无读取权限");
  } else {
    parts << (e.layout == CardRaw ? CardScan::tr("裸盘格式") : CardScan::tr("文件格式"));
    parts << CardScan::tr("%1 路").arg(e.channels);
  }
  return parts.join(QStringLiteral(" · "));
}

QString cardToolTip(const CardEntry &e) {
  if (e.layout == CardFile && e.root != e.source) return CardScan::tr("%1\n挂载于 %2").arg(e.source, e.root);
  return e.source;
}

int64_t dayStart(const QDate &date) { return date.startOfDay(Qt::LocalTime).toSecsSinceEpoch(); }

OpenResult openCard(CardEntry entry, bool verbose) {
  OpenResult result;
  result.entry = entry;
  if (entry.layout == CardNoRight) {
    // Asking may take as long as the user needs for the password: no lock
    // is held meanwhile.
    const int access = plat_requestAccess(entry.diskNumber);
    if (access != PLAT_ACCESS_GRANTED) {
      char hint[512];
      plat_accessHint(entry.diskNumber, hint, sizeof hint);
      const QString group = QString::fromLocal8Bit(hint).section('\'', 1, 1);
      result.message = access == PLAT_ACCESS_REFUSED ? CardScan::tr("读取 %1 的请求被拒绝。").arg(entry.source)
                                                     : CardScan::tr("没有读取 %1 的权限。").arg(entry.source);
      if (!group.isEmpty())
        result.message += CardScan::tr("请将当前用户加入 %1 组（sudo usermod -aG %1 $USER），然后重新登录。").arg(group);
      else
        result.message += CardScan::tr("请以 root 身份运行。");
      QMutexLocker lock(&playbackMutex);
      cardGeneration++;
      return result;
    }
    // Now readable: is it a card?
    for (const CardEntry &c : scanCards(verbose))
      if (c.diskNumber == entry.diskNumber && c.layout == CardRaw) entry = c;
    result.entry = entry;
    if (entry.layout != CardRaw) {
      result.message = CardScan::tr("%1 不是录像卡。").arg(entry.source);
      QMutexLocker lock(&playbackMutex);
      cardGeneration++;
      return result;
    }
  }

  // No worker is inside a storage call while the card changes.
  QMutexLocker lock(&playbackMutex);
  stopPanes();
  cardGeneration++;
  forgetCard();
  storageV = entry.layout;
  qCDebug(lcCard) << "storageV:" << storageV;
  int loaded;
  if (entry.layout == CardRaw) {
    qmx_storage_close();
    loaded = qmx_storage_load(entry.id);
    result.videoType = qmx_storage_getVideoType();
    result.channels = qmx_storage_getChannelNum();
  } else {
    qmx_storage_v2_close();
    loaded = qmx_storage_v2_open(static_cast<uint8_t>(entry.id));
    result.videoType = qmx_storage_v2_getVideoType();
    result.channels = qmx_storage_v2_getChannelNum();
  }
  if (loaded != 0 || result.channels < 1 || result.channels > 4) {
    if (entry.layout == CardRaw)
      qmx_storage_close();
    else
      qmx_storage_v2_close();
    result.message = CardScan::tr("无法打开 %1：卡上的数据无法读取。").arg(cardText(entry));
    return result;
  }
  videoType = result.videoType;
  channelNum = result.channels;
  qCDebug(lcCard) << "videoType:" << videoType << "  channelNum:" << channelNum;
  result.haveSpan = (entry.layout == CardRaw ? qmx_storage_getValidTime(0, &result.start, &result.end)
                                             : qmx_storage_v2_getValidTime(&result.start, &result.end)) == 0;
  if (result.haveSpan) {
    qCDebug(lcCard) << "start: " << result.start << ", end: " << result.end;
    playStartTime = result.start;
    playEndTime = result.end;
  } else {
    qCDebug(lcCard) << (entry.layout == CardRaw ? "qmx_storage_getValidTime failed."
                                                : "qmx_storage_v2_getValidTime failed.");
  }
  openCardPath = entry.layout == CardFile ? entry.root : entry.source;
  openCardName = cardText(entry);
  openCardSize = entry.size;
  result.ok = true;
  return result;
}

void closeCard() {
  QMutexLocker lock(&playbackMutex);
  stopPanes();
  cardGeneration++;
  forgetCard();
  if (storageV == 1) qmx_storage_close();
  if (storageV == 2) qmx_storage_v2_close();
}

bool dayFragments(int layout, int channels, const QDate &date, QVector<FragmentEntry> *out) {
  out->clear();
  const int64_t from = dayStart(date), to = dayStart(date.addDays(1));
  bool any = false;
  const int asked = layout == CardRaw ? channels : 1;
  for (int c = 0; c < asked; c++) any = appendDay(layout, static_cast<uint32_t>(c), from, to, out) || any;
  if (asked > 1) {
    // Channels that recorded the same span are one fragment.
    std::vector<FragmentEntry> all(out->begin(), out->end()), merged;
    std::stable_sort(all.begin(), all.end(), [](const FragmentEntry &a, const FragmentEntry &b) {
      return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    for (const FragmentEntry &e : all) {
      if (!merged.empty() && merged.back().start == e.start && merged.back().end == e.end)
        merged.back().channels |= e.channels;
      else
        merged.push_back(e);
    }
    *out = QVector<FragmentEntry>(merged.begin(), merged.end());
  }
  if (out->size() > kMaxDayEntries) out->resize(kMaxDayEntries);
  return any;
}

uint32_t recordedDays(int layout, int channels, int year, int month) {
  const QDate first(year, month, 1);
  if (!first.isValid()) return 0;
  const int days = first.daysInMonth();
  std::vector<int64_t> starts;  // starts[d] for day d + 1, and the next month's first
  for (int d = 0; d <= days; d++) starts.push_back(dayStart(first.addDays(d)));

  // The libraries count days as 86400 s from the start they are given, so
  // they are asked for runs of whole 86400 s days; a day of 23 or 25 hours
  // is looked at through its day list.
  uint32_t mask = 0;
  for (int d = 0; d < days;) {
    if (starts[d + 1] - starts[d] != 86400) {
      QVector<FragmentEntry> list;
      dayFragments(layout, channels, first.addDays(d), &list);
      if (!list.isEmpty()) mask |= 1u << d;
      d++;
      continue;
    }
    int e = d;
    while (e < days && starts[e + 1] - starts[e] == 86400) e++;
    uint32_t got = 0;
    if (layout == CardRaw) {
      for (int c = 0; c < channels; c++) got |= qmx_storage_queryByMonth(static_cast<uint32_t>(c), starts[d], starts[e]);
    } else {
      got = qmx_storage_v2_queryByMonth(starts[d], starts[e]);
    }
    // Bits past the run belong to the day after it.
    const uint64_t run = (uint64_t(1) << (e - d)) - 1;
    mask |= static_cast<uint32_t>((got & run) << d);
    d = e;
  }
  return mask;
}
