// The system-independent part of the device layer: the registry that gives
// disks and volumes their numbers for the whole run, attached paths,
// in-memory disks, the listing, block reads and the watch.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "device_os.h"
#include "qmx_common.h"

namespace {

constexpr int kMaxDrives = 256;  // drive indexes are one byte
constexpr size_t kMaxName = PLAT_NAME_SIZE - 1;

enum SourceKind { SourceBlock, SourceFile, SourceDirectory, SourceMemory };

// How to reach a disk: the node or file to open, or the borrowed bytes.
struct DiskSource {
  SourceKind kind = SourceBlock;
  std::string path;
  const uint8_t *data = nullptr;
  uint64_t size = 0;
  uint64_t base = 0;
};

// A volume's lasting identity within the run.
struct VolumeId {
  uint8_t driveIndex;
  std::string name;
};

// How to reach a volume for plat_probeVolume, as of the latest listing.
struct ProbeTarget {
  std::string name;
  SourceKind kind;
  std::string path;  // mount point, device node, file or directory
  uint32_t disk;     // the disk it lies on
};

struct Attached {
  std::string canonical;
  bool directory;
};

struct MemoryDisk {
  std::string name;
  DiskSource source;
};

struct Registry {
  // Guards every member below: the roots, the numbering, the attached
  // sources, the latest listing and the set of permission messages given.
  // Taken by every public function except the block reads, which use
  // positioned reads on their own descriptor and need no lock.
  std::mutex lock;

  std::string sysRoot = "/sys";
  std::string procRoot = "/proc";
  std::string devRoot = "/dev";

  // Identity key -> number; numbers are handed out once and never reused.
  std::map<std::string, uint32_t> diskNumbers;
  uint32_t nextDisk = 0;
  std::map<uint32_t, DiskSource> disks;  // latest way to reach each disk

  std::map<std::string, VolumeId> volumes;
  std::set<std::string> names;  // names of volumes that may still be listed
  int nextDrive = 0;
  bool overflowReported = false;

  // Key base -> the key of the medium now under it. A key it replaces
  // belongs to a card taken out of its reader: that card can never be
  // listed again, so its name is free and its disk number reaches nothing.
  std::map<std::string, std::string> currentKey;

  // Read-only descriptors the disk service granted, by disk number; owned.
  std::map<uint32_t, int> granted;

  std::vector<Attached> attached;     // in attach order
  std::vector<MemoryDisk> memories;   // in attach order

  bool listed = false;
  std::vector<plat_volume> latest;
  std::map<uint8_t, ProbeTarget> probes;

  std::set<std::string> warned;  // devices already reported as not readable
};

Registry &registry() {
  static Registry r;
  return r;
}

std::atomic<uint64_t> g_blockReads{0};

// Shortens a name to at most max bytes by dropping its start, keeping the end
// (the part that tells paths apart) behind "...", and never starting inside a
// UTF-8 sequence.
std::string shortenLeft(const std::string &s, size_t max) {
  if (s.size() <= max) return s;
  size_t start = s.size() - (max - 3);
  while (start < s.size() && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) start++;
  return "..." + s.substr(start);
}

// A name of at most 47 characters that no other volume of the run has had.
std::string uniqueName(Registry &r, const std::string &wanted) {
  std::string name = shortenLeft(wanted.empty() ? std::string("volume") : wanted, kMaxName);
  for (unsigned k = 2; r.names.count(name); k++) {
    std::string suffix = "~" + std::to_string(k);
    name = shortenLeft(wanted, kMaxName - suffix.size()) + suffix;
  }
  r.names.insert(name);
  return name;
}

uint32_t diskNumber(Registry &r, const std::string &key) {
  auto it = r.diskNumbers.find(key);
  if (it != r.diskNumbers.end()) return it->second;
  uint32_t n = r.nextDisk++;
  r.diskNumbers.emplace(key, n);
  return n;
}

// The volume's lasting drive index and name; null when the run has used up
// every drive index (then the volume is left out, with one message for the
// whole run).
const VolumeId *volumeId(Registry &r, const std::string &key, const std::string &wantedName) {
  auto it = r.volumes.find(key);
  if (it != r.volumes.end()) return &it->second;
  if (r.nextDrive >= kMaxDrives) {
    if (!r.overflowReported) {
      fprintf(stderr, "more than %d volumes seen in this run; %s and any newer ones are not listed\n", kMaxDrives,
              wantedName.c_str());
      r.overflowReported = true;
    }
    return nullptr;
  }
  VolumeId id{static_cast<uint8_t>(r.nextDrive++), uniqueName(r, wantedName)};
  return &r.volumes.emplace(key, id).first->second;
}

// Notes that key is the medium now under its base; forgets the one before.
void replaceMedium(Registry &r, const std::string &key, bool isDisk) {
  // A disk without partitions is its own volume under the same key.
  std::string &current = r.currentKey[plat_os::keyBase(key) + (isDisk ? " disk" : " volume")];
  if (current == key) return;
  if (!current.empty()) {
    if (isDisk) {
      auto n = r.diskNumbers.find(current);
      if (n != r.diskNumbers.end()) r.disks.erase(n->second);
    } else {
      auto v = r.volumes.find(current);
      if (v != r.volumes.end()) r.names.erase(v->second.name);
    }
  }
  current = key;
}

// Where the volume's facts come from besides its identity.
struct VolumeFacts {
  int onUsb = 0;
  uint32_t disk = 0;
  std::string root, product, label, source;
  uint64_t size = 0;
  int rawDenied = 0;
};

void addVolume(Registry &r, std::vector<plat_volume> &out, const std::string &key, const std::string &wantedName,
               const VolumeFacts &f, SourceKind kind) {
  const VolumeId *id = volumeId(r, key, wantedName);
  if (!id) return;
  plat_volume v;
  memset(&v, 0, sizeof v);
  v.driveIndex = id->driveIndex;
  snprintf(v.name, sizeof v.name, "%s", id->name.c_str());
  v.onUsb = f.onUsb;
  v.diskNumber = f.disk;
  if (f.root.size() < sizeof v.root) snprintf(v.root, sizeof v.root, "%s", f.root.c_str());
  snprintf(v.product, sizeof v.product, "%s", f.product.c_str());
  snprintf(v.label, sizeof v.label, "%s", f.label.c_str());
  v.size = f.size;
  if (f.source.size() < sizeof v.source) snprintf(v.source, sizeof v.source, "%s", f.source.c_str());
  v.rawDenied = f.rawDenied;
  out.push_back(v);
  // A mounted volume is reached through its files, which a user without
  // the right to the device may read.
  if (!f.root.empty()) kind = SourceDirectory;
  r.probes[id->driveIndex] = ProbeTarget{id->name, kind, f.root.empty() ? f.source : f.root, f.disk};
}

std::string baseName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// Makes a fresh listing into r.latest. Called with r.lock held.
void relist(Registry &r) {
  std::vector<plat_volume> out;
  r.probes.clear();

  for (const plat_os::Disk &d : plat_os::listBlockDisks(r.sysRoot, r.procRoot, r.devRoot)) {
    replaceMedium(r, d.key, true);
    uint32_t n = diskNumber(r, d.key);
    DiskSource src;
    src.kind = SourceBlock;
    src.path = d.node;
    r.disks[n] = src;
    VolumeFacts f;
    f.onUsb = d.onUsb;
    f.disk = n;
    f.product = d.product;
    f.rawDenied = !r.granted.count(n) && !plat_os::mayRead(d.node);
    for (const plat_os::Volume &v : d.volumes) {
      replaceMedium(r, v.key, false);
      f.root = v.root;
      f.label = v.label;
      f.size = v.size;
      f.source = v.node;
      addVolume(r, out, v.key, v.name, f, SourceBlock);
    }
  }

  for (const Attached &a : r.attached) {
    std::string canonical, error;
    plat_os::PathKind kind = plat_os::classifyPath(a.canonical.c_str(), &canonical, &error);
    // A path that has gone, or changed from file to directory, is left out
    // until it is back as it was.
    if (kind != (a.directory ? plat_os::PathDirectory : plat_os::PathDisk)) continue;
    std::string key = "path:" + a.canonical;
    VolumeFacts f;
    f.onUsb = 1;
    f.disk = diskNumber(r, key);
    f.product = baseName(a.canonical);
    f.source = a.canonical;
    if (a.directory) {
      f.root = a.canonical;
    } else {
      f.rawDenied = !plat_os::mayRead(a.canonical);
      plat_os::Handle h;
      int error = 0;
      if (plat_os::openRead(a.canonical, &h, &error) == 0) {
        f.size = h.size;
        plat_os::close(&h);
      }
    }
    addVolume(r, out, key, a.canonical, f, a.directory ? SourceDirectory : SourceFile);
  }

  for (const MemoryDisk &m : r.memories) {
    std::string key = "memory:" + m.name;
    VolumeFacts f;
    f.onUsb = 1;
    f.disk = diskNumber(r, key);
    f.product = f.source = m.name;
    f.size = m.source.base + m.source.size;
    addVolume(r, out, key, m.name, f, SourceMemory);
  }

  std::sort(out.begin(), out.end(),
            [](const plat_volume &a, const plat_volume &b) { return a.driveIndex < b.driveIndex; });
  r.latest = std::move(out);
  r.listed = true;
}

// Tells the user once per device that it cannot be read and what to do,
// unless the thread is quiet.
void reportOpenError(Registry &r, const std::string &path, int error) {
  if (!plat_os::isPermissionError(error) || qmx_common_isQuiet()) return;
  if (!r.warned.insert(path).second) return;
  fprintf(stderr, "%s\n", plat_os::permissionMessage(path).c_str());
}

std::atomic<uint32_t> g_readDelayUs{0};

// The one watch: its thread, callback and stop request. watchLock guards
// every member; the thread reads them under it, calls the callback without
// it, and ends when stop is set.
struct Watch {
  std::mutex watchLock;
  std::thread thread;
  void (*changed)(void *) = nullptr;
  void *context = nullptr;
  bool stop = false;
  plat_os::Events *events = nullptr;
};

Watch &watch() {
  static Watch w;
  return w;
}

// What the listing depends on: the system's devices and mounts, and whether
// each attached path is there as it was attached.
std::string listingStamp() {
  Registry &r = registry();
  std::string sys, proc, attached;
  {
    std::lock_guard<std::mutex> lock(r.lock);
    sys = r.sysRoot;
    proc = r.procRoot;
    for (const Attached &a : r.attached) {
      std::string canonical, error;
      attached += std::to_string(plat_os::classifyPath(a.canonical.c_str(), &canonical, &error)) + a.canonical;
    }
  }
  return plat_os::deviceStamp(sys, proc) + attached;
}

void watchLoop(plat_os::Events *events, std::string last) {
  Watch &w = watch();
  for (;;) {
    // Device events come in bursts (a reader, its card, its partitions, the
    // mount that follows): look once the burst is over. Without events the
    // stamp is compared every second.
    if (events->wait(1000))
      while (events->wait(200)) {
      }
    void (*changed)(void *);
    void *context;
    {
      std::lock_guard<std::mutex> lock(w.watchLock);
      if (w.stop) return;
      changed = w.changed;
      context = w.context;
    }
    std::string now = listingStamp();
    if (now != last && changed) changed(context);
    last = now;
  }
}

}  // namespace

struct plat_disk {
  plat_os::Handle handle;
  const uint8_t *data = nullptr;  // in-memory disk: the bytes from base on
  uint64_t base = 0;
  uint64_t size = 0;  // whole disk, base included
};

void plat_setRoots(const char *sysRoot, const char *procRoot, const char *devRoot) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  if (sysRoot) r.sysRoot = sysRoot;
  if (procRoot) r.procRoot = procRoot;
  if (devRoot) r.devRoot = devRoot;
  r.listed = false;
}

int plat_attachPath(const char *path) {
  std::string canonical, error;
  plat_os::PathKind kind = plat_os::classifyPath(path, &canonical, &error);
  if (kind == plat_os::PathMissing) {
    fprintf(stderr, "cannot attach %s: %s\n", path ? path : "(null)", error.c_str());
    return -1;
  }
  if (kind == plat_os::PathOther) {
    fprintf(stderr, "cannot attach %s: not a regular file, block device or directory\n", path);
    return -1;
  }
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  for (const Attached &a : r.attached)
    if (a.canonical == canonical) return 0;
  bool directory = kind == plat_os::PathDirectory;
  r.attached.push_back({canonical, directory});
  DiskSource src;
  src.kind = directory ? SourceDirectory : SourceFile;
  src.path = canonical;
  r.disks[diskNumber(r, "path:" + canonical)] = src;
  r.listed = false;
  return 0;
}

int plat_attachMemory(const void *data, uint64_t size, uint64_t base, const char *name) {
  if ((!data && size) || base > UINT64_MAX - size) return -1;
  std::string n = name && *name ? name : "memory";
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  DiskSource src;
  src.kind = SourceMemory;
  src.data = static_cast<const uint8_t *>(data);
  src.size = size;
  src.base = base;
  uint32_t number = diskNumber(r, "memory:" + n);
  if (number > static_cast<uint32_t>(INT32_MAX)) return -1;
  r.disks[number] = src;
  bool found = false;
  for (MemoryDisk &m : r.memories) {
    if (m.name == n) {
      m.source = src;
      found = true;
    }
  }
  if (!found) r.memories.push_back({n, src});
  r.listed = false;
  return static_cast<int>(number);
}

void plat_detachAll(void) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  for (const Attached &a : r.attached) r.disks.erase(r.diskNumbers["path:" + a.canonical]);
  for (const MemoryDisk &m : r.memories) r.disks.erase(r.diskNumbers["memory:" + m.name]);
  r.attached.clear();
  r.memories.clear();
  r.listed = false;
}

int plat_listVolumes(plat_volume **list) {
  if (!list) return 0;
  *list = nullptr;
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  relist(r);
  if (r.latest.empty()) return 0;
  auto *out = static_cast<plat_volume *>(malloc(sizeof(plat_volume) * r.latest.size()));
  if (!out) return 0;
  memcpy(out, r.latest.data(), sizeof(plat_volume) * r.latest.size());
  *list = out;
  return static_cast<int>(r.latest.size());
}

void plat_freeVolumes(plat_volume *list) { free(list); }

int plat_probeVolume(const plat_volume *volume) {
  if (!volume) return -1;
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  auto it = r.probes.find(volume->driveIndex);
  if (it == r.probes.end() || it->second.name != volume->name) return -1;
  const ProbeTarget &t = it->second;
  if (t.kind == SourceMemory) {
    for (const MemoryDisk &m : r.memories)
      if (m.name == t.path) return 0;
    return -1;
  }
  // A disk the disk service opened for this user is read through that
  // descriptor: its node stays closed to the user.
  if (t.kind == SourceBlock && r.granted.count(t.disk)) return 0;
  int error = 0;
  return plat_os::probe(t.path, &error) == 0 ? 0 : -1;
}

int plat_findVolume(uint8_t driveIndex, plat_volume *out) {
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  if (!r.listed) relist(r);
  for (const plat_volume &v : r.latest) {
    if (v.driveIndex == driveIndex) {
      if (out) *out = v;
      return 0;
    }
  }
  return -1;
}

int plat_volumeRoot(uint8_t driveIndex, char *buf, size_t size) {
  plat_volume v;
  if (plat_findVolume(driveIndex, &v) != 0 || !v.root[0] || !buf) return -1;
  size_t len = strlen(v.root);
  if (len >= size) return -1;
  memcpy(buf, v.root, len + 1);
  return 0;
}

plat_disk *plat_openDisk(uint32_t diskNumber) {
  DiskSource src;
  {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto it = r.disks.find(diskNumber);
    if (it == r.disks.end()) return nullptr;
    src = it->second;
  }
  if (src.kind == SourceDirectory) return nullptr;  // a volume's files, no raw bytes
  plat_disk *disk = new plat_disk;
  if (src.kind == SourceMemory) {
    disk->data = src.data;
    disk->base = src.base;
    disk->size = src.base + src.size;
    return disk;
  }
  int error = 0, result;
  {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto g = r.granted.find(diskNumber);
    result = g != r.granted.end() ? plat_os::openDescriptor(g->second, &disk->handle, &error)
                                  : plat_os::openRead(src.path, &disk->handle, &error);
    if (result != 0) reportOpenError(r, src.path, error);
  }
  if (result != 0) {
    delete disk;
    return nullptr;
  }
  disk->size = disk->handle.size;
  return disk;
}

uint64_t plat_diskSize(const plat_disk *disk) { return disk ? disk->size : 0; }

int plat_readBlock(plat_disk *disk, uint64_t blockIndex, uint8_t *buf) {
  return plat_readBlocks(disk, blockIndex, 1, buf);
}

int plat_readBlocks(plat_disk *disk, uint64_t firstBlock, uint32_t count, uint8_t *buf) {
  if (!disk || !buf || count == 0) return -1;
  uint64_t blocks = disk->size / PLAT_BLOCK_SIZE + (disk->size % PLAT_BLOCK_SIZE ? 1 : 0);
  if (firstBlock >= blocks || count > blocks - firstBlock) return -1;
  uint64_t offset = firstBlock * PLAT_BLOCK_SIZE;  // below size, so no overflow
  size_t bytes = static_cast<size_t>(count) * PLAT_BLOCK_SIZE;
  uint64_t want = std::min<uint64_t>(bytes, disk->size - offset);
  g_blockReads.fetch_add(count, std::memory_order_relaxed);
  if (uint32_t delay = g_readDelayUs.load(std::memory_order_relaxed))
    usleep(static_cast<useconds_t>(std::min<uint64_t>(uint64_t(delay) * count, 10000000)));

  if (disk->handle.fd < 0) {
    // In-memory disk: zeros before base, then the borrowed bytes.
    memset(buf, 0, bytes);
    uint64_t end = offset + want;
    if (end > disk->base) {
      uint64_t from = std::max(offset, disk->base);
      memcpy(buf + (from - offset), disk->data + (from - disk->base), end - from);
    }
    return 0;
  }
  long long got = plat_os::readAt(disk->handle, offset, buf, static_cast<size_t>(want));
  // Less than asked means the disk shrank or failed under us.
  if (got < 0 || static_cast<uint64_t>(got) != want) return -1;
  memset(buf + want, 0, bytes - static_cast<size_t>(want));
  return 0;
}

void plat_closeDisk(plat_disk *disk) {
  if (!disk) return;
  plat_os::close(&disk->handle);
  delete disk;
}

uint64_t plat_blockReadCount(void) { return g_blockReads.load(std::memory_order_relaxed); }

void plat_resetBlockReadCount(void) { g_blockReads.store(0, std::memory_order_relaxed); }

void plat_accessHint(uint32_t diskNumber, char *buf, size_t size) {
  if (!buf || !size) return;
  buf[0] = '\0';
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  auto it = r.disks.find(diskNumber);
  if (it == r.disks.end() || r.granted.count(diskNumber)) return;
  const DiskSource &src = it->second;
  if ((src.kind != SourceBlock && src.kind != SourceFile) || plat_os::mayRead(src.path)) return;
  snprintf(buf, size, "%s", plat_os::permissionMessage(src.path).c_str());
}

int plat_requestAccess(uint32_t diskNumber) {
  std::string node;
  {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto it = r.disks.find(diskNumber);
    if (it == r.disks.end() || it->second.kind != SourceBlock) return PLAT_ACCESS_NOT_A_DEVICE;
    if (r.granted.count(diskNumber)) return PLAT_ACCESS_GRANTED;
    node = it->second.path;
  }
  // No lock while the service (and maybe the user) answers.
  int fd = -1;
  int result = plat_os::serviceOpen(node, &fd);
  if (result != PLAT_ACCESS_GRANTED) return result;
  Registry &r = registry();
  std::lock_guard<std::mutex> lock(r.lock);
  if (!r.granted.emplace(diskNumber, fd).second) close(fd);
  r.listed = false;
  return PLAT_ACCESS_GRANTED;
}

void plat_setReadDelay(uint32_t microseconds) { g_readDelayUs.store(microseconds, std::memory_order_relaxed); }

void plat_watchStart(void (*changed)(void *context), void *context) {
  plat_watchStop();
  auto *events = new plat_os::Events;
  std::string proc;
  {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    proc = r.procRoot;
  }
  if (!events->open(proc)) {
    delete events;
    return;
  }
  Watch &w = watch();
  std::lock_guard<std::mutex> lock(w.watchLock);
  w.changed = changed;
  w.context = context;
  w.stop = false;
  w.events = events;
  // Changes count from the moment of the call, not from when the thread runs.
  w.thread = std::thread(watchLoop, events, listingStamp());
}

void plat_watchStop(void) {
  Watch &w = watch();
  std::thread thread;
  plat_os::Events *events;
  {
    std::lock_guard<std::mutex> lock(w.watchLock);
    if (!w.thread.joinable()) return;
    w.stop = true;
    events = w.events;
    events->wake();
    thread = std::move(w.thread);
  }
  thread.join();
  delete events;
  std::lock_guard<std::mutex> lock(w.watchLock);
  w.events = nullptr;
  w.changed = nullptr;
  w.context = nullptr;
}
