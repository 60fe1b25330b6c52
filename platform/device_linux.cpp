// Linux side of the device layer: block devices from sysfs, mount points from
// mountinfo, read-only descriptors and positioned reads, device events
// (libudev) and read-only descriptors from udisks (sd-bus).
//
// Which block devices are listed:
//   - a disk whose sysfs device path runs through a USB bus (a component
//     "usbN") is on USB; a card reader is the usual case;
//   - a card in a built-in SD slot (an mmcblkN whose device type is "SD")
//     counts as on USB too; built-in eMMC storage (type "MMC") does not;
//   - a loop device bound to a backing file counts as on USB: attaching a
//     card image read-only with losetup or udisksctl is how a Linux user
//     offers one. Loop devices backed by "*.snap" files (packaged software
//     images some distributions mount at boot) are left out;
//   - any other disk outside devices/virtual (an internal SATA or NVMe disk)
//     is listed with onUsb 0, so that the storage libraries see and skip it;
//   - other virtual devices (unbound loop, ram, zram, dm-, md, nbd) are not
//     listed at all: they are never a card;
//   - a disk whose size is 0 (a card reader with no card in it) is not listed.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <libudev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "device.h"
#include "device_os.h"

namespace plat_os {

namespace {

// Longest sysfs attribute or mountinfo line we accept; longer is corrupt.
constexpr size_t kMaxLine = 64 * 1024;
// Upper bound on mountinfo lines read, against a runaway file.
constexpr int kMaxMountLines = 100000;
// Longest label or product name kept.
constexpr size_t kMaxLabel = 60;

// The first line of a small file, without its newline; "" when unreadable.
std::string readFirstLine(const std::string &path) {
  FILE *f = fopen(path.c_str(), "re");
  if (!f) return "";
  std::string line;
  int c;
  while ((c = fgetc(f)) != EOF && c != '\n' && line.size() < kMaxLine) line += static_cast<char>(c);
  fclose(f);
  return line;
}

bool isDirectory(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string realPath(const std::string &path) {
  char *r = realpath(path.c_str(), nullptr);
  if (!r) return "";
  std::string s(r);
  free(r);
  return s;
}

std::vector<std::string> listDir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

// Orders names as people count: runs of digits compare by value.
bool naturalLess(const std::string &a, const std::string &b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
      size_t i0 = i, j0 = j;
      while (i0 < a.size() && a[i0] == '0') i0++;
      while (j0 < b.size() && b[j0] == '0') j0++;
      size_t i1 = i0, j1 = j0;
      while (i1 < a.size() && isdigit(static_cast<unsigned char>(a[i1]))) i1++;
      while (j1 < b.size() && isdigit(static_cast<unsigned char>(b[j1]))) j1++;
      if (i1 - i0 != j1 - j0) return i1 - i0 < j1 - j0;
      int c = a.compare(i0, i1 - i0, b, j0, j1 - j0);
      if (c != 0) return c < 0;
      i = i1;
      j = j1;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      i++;
      j++;
    }
  }
  return a.size() - i < b.size() - j;
}

bool endsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Undoes mountinfo's escapes: a backslash and three octal digits stand for
// one byte (\040 space, \011 tab, \012 newline, \134 backslash).
std::string unescapeMount(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
        s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Device number ("major:minor") to mount point, from <proc>/self/mountinfo.
// Only mounts of a file system's own root count (a bind mount of a
// subdirectory does not show the volume's top level); the first one wins.
std::map<std::string, std::string> readMounts(const std::string &procRoot) {
  std::map<std::string, std::string> mounts;
  FILE *f = fopen((procRoot + "/self/mountinfo").c_str(), "re");
  if (!f) return mounts;
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  for (int lines = 0; lines < kMaxMountLines && (n = getline(&line, &cap, f)) > 0; lines++) {
    if (static_cast<size_t>(n) > kMaxLine) continue;
    std::vector<std::string> fields;
    std::string cur;
    for (ssize_t i = 0; i < n && fields.size() < 5; i++) {
      char c = line[i];
      if (c == ' ' || c == '\n') {
        if (!cur.empty()) fields.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!cur.empty() && fields.size() < 5) fields.push_back(cur);
    if (fields.size() < 5) continue;
    if (unescapeMount(fields[3]) != "/") continue;
    mounts.emplace(fields[2], unescapeMount(fields[4]));
  }
  free(line);
  fclose(f);
  return mounts;
}

std::string mountOf(const std::map<std::string, std::string> &mounts, const std::string &sysDir) {
  std::string dev = readFirstLine(sysDir + "/dev");
  auto it = mounts.find(dev);
  return it == mounts.end() ? std::string() : it->second;
}

std::string trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t") + 1 - a);
}

// Undoes udev's escapes in link names: "\x20" is a space.
std::string unescapeUdev(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(s[i + 2])) &&
        isxdigit(static_cast<unsigned char>(s[i + 3]))) {
      out += static_cast<char>(strtol(s.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Kernel name to file system label, from udev's <dev>/disk/by-label links.
std::map<std::string, std::string> readLabels(const std::string &devRoot) {
  std::map<std::string, std::string> labels;
  std::string dir = devRoot + "/disk/by-label";
  for (const std::string &link : listDir(dir)) {
    char target[PATH_MAX];
    ssize_t n = readlink((dir + "/" + link).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string t(target, static_cast<size_t>(n));
    labels.emplace(t.substr(t.rfind('/') + 1), unescapeUdev(link).substr(0, kMaxLabel));
  }
  return labels;
}

uint64_t sectorsToBytes(const std::string &sizeFile) {
  unsigned long long sectors = strtoull(readFirstLine(sizeFile).c_str(), nullptr, 10);
  return sectors > UINT64_MAX / 512 ? 0 : static_cast<uint64_t>(sectors) * 512;
}

// Partition directories of a disk in partition-number order.
std::vector<std::string> partitionsOf(const std::string &diskDir) {
  std::vector<std::pair<long, std::string>> parts;
  for (const std::string &name : listDir(diskDir)) {
    std::string file = diskDir + "/" + name + "/partition";
    if (!exists(file)) continue;
    long number = strtol(readFirstLine(file).c_str(), nullptr, 10);
    parts.emplace_back(number, name);
  }
  std::sort(parts.begin(), parts.end(), [](const auto &a, const auto &b) {
    if (a.first != b.first) return a.first < b.first;
    return naturalLess(a.second, b.second);
  });
  std::vector<std::string> names;
  for (auto &p : parts) names.push_back(p.second);
  return names;
}

}  // namespace

std::vector<Disk> listBlockDisks(const std::string &sysRoot, const std::string &procRoot,
                                 const std::string &devRoot) {
  std::vector<Disk> disks;
  std::string realSys = realPath(sysRoot);
  if (realSys.empty()) return disks;
  std::vector<std::string> names = listDir(sysRoot + "/block");
  std::sort(names.begin(), names.end(), naturalLess);
  std::map<std::string, std::string> mounts = readMounts(procRoot);
  std::map<std::string, std::string> labels = readLabels(devRoot);

  for (const std::string &name : names) {
    std::string link = sysRoot + "/block/" + name;
    std::string real = realPath(link);
    if (real.empty() || !isDirectory(real)) continue;
    // Only the part below the sysfs root tells the bus: the root itself may
    // lie anywhere (a test's temporary directory).
    std::string below = real.compare(0, realSys.size(), realSys) == 0 ? real.substr(realSys.size()) : real;
    bool usb = false, isVirtual = false;
    for (size_t i = 0; i < below.size();) {
      size_t j = below.find('/', i);
      if (j == std::string::npos) j = below.size();
      std::string comp = below.substr(i, j - i);
      if (comp.compare(0, 3, "usb") == 0) usb = true;
      if (comp == "virtual") isVirtual = true;
      i = j + 1;
    }

    Disk disk;
    if (isDirectory(link + "/loop")) {
      std::string backing = readFirstLine(link + "/loop/backing_file");
      if (backing.empty() || endsWith(backing, ".snap")) continue;
      usb = true;
      disk.product = backing.substr(backing.rfind('/') + 1);
    } else if (isVirtual) {
      continue;
    } else if (readFirstLine(link + "/device/type") == "SD") {
      usb = true;  // a built-in SD slot
      disk.product = trim("SD " + readFirstLine(link + "/device/name"));
    } else {
      disk.product = trim(trim(readFirstLine(link + "/device/vendor")) + " " +
                          trim(readFirstLine(link + "/device/model")));
    }
    disk.product = disk.product.substr(0, kMaxLabel);
    std::string size = readFirstLine(link + "/size");
    if (!size.empty() && strtoull(size.c_str(), nullptr, 10) == 0) continue;

    // The kernel numbers every medium a device has held (diskseq): a card
    // swapped in the same reader gets a key of its own.
    std::string seq = readFirstLine(link + "/diskseq");
    std::string suffix = seq.empty() ? "" : "@" + seq;
    disk.key = "block:" + name + suffix;
    disk.node = devRoot + "/" + name;
    disk.onUsb = usb ? 1 : 0;
    auto volume = [&](const std::string &kernelName, const std::string &dir) {
      auto label = labels.find(kernelName);
      return Volume{"block:" + kernelName + suffix, "/dev/" + kernelName, devRoot + "/" + kernelName,
                    mountOf(mounts, dir), label == labels.end() ? "" : label->second,
                    sectorsToBytes(dir + "/size")};
    };
    std::vector<std::string> parts = partitionsOf(link);
    if (parts.empty()) disk.volumes.push_back(volume(name, link));
    for (const std::string &p : parts) disk.volumes.push_back(volume(p, link + "/" + p));
    disks.push_back(std::move(disk));
  }
  return disks;
}

std::string keyBase(const std::string &key) { return key.substr(0, key.find('@')); }

PathKind classifyPath(const char *path, std::string *canonical, std::string *error) {
  struct stat st;
  if (!path || !*path) {
    *error = "no path given";
    return PathMissing;
  }
  if (stat(path, &st) != 0) {
    *error = strerror(errno);
    return PathMissing;
  }
  *canonical = realPath(path);
  if (canonical->empty()) {
    *error = strerror(errno);
    return PathMissing;
  }
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return PathDisk;
  if (S_ISDIR(st.st_mode)) return PathDirectory;
  return PathOther;
}

int openRead(const std::string &path, Handle *out, int *error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  int result = openDescriptor(fd, out, error);
  ::close(fd);
  return result;
}

int openDescriptor(int given, Handle *out, int *error) {
  int fd = fcntl(given, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  if ((fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) {  // never a descriptor that could write
    *error = EPERM;
    ::close(fd);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  uint64_t size = 0;
  if (S_ISBLK(st.st_mode)) {
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) {
      *error = errno;
      ::close(fd);
      return -1;
    }
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else {
    *error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    ::close(fd);
    return -1;
  }
  out->fd = fd;
  out->size = size;
  return 0;
}

int probe(const std::string &path, int *error) {
  // Non-blocking so that a FIFO or an odd device cannot stall discovery.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  ::close(fd);
  return 0;
}

long long readAt(const Handle &h, uint64_t offset, uint8_t *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(h.fd, buf + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long long>(done);
}

void close(Handle *h) {
  if (h->fd >= 0) ::close(h->fd);
  h->fd = -1;
}

bool isPermissionError(int error) { return error == EACCES || error == EPERM; }

bool mayRead(const std::string &path) { return faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0; }

std::string deviceStamp(const std::string &sysRoot, const std::string &procRoot) {
  std::string stamp;
  std::vector<std::string> names = listDir(sysRoot + "/block");
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string link = sysRoot + "/block/" + name;
    stamp += name + " " + readFirstLine(link + "/size") + " " + readFirstLine(link + "/diskseq") + " " +
             readFirstLine(link + "/loop/backing_file");
    for (const std::string &p : partitionsOf(link)) stamp += " " + p;
    stamp += "\n";
  }
  if (FILE *f = fopen((procRoot + "/self/mountinfo").c_str(), "re")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && stamp.size() < (16u << 20)) stamp.append(buf, n);
    fclose(f);
  }
  return stamp;
}

// Kernel uevents of block devices through libudev (from udevd where it
// runs, else straight from the kernel), the mount table's change
// notification, and a pipe that wakes the waiter when the watch stops.
struct Events::Impl {
  struct udev *udev = nullptr;
  struct udev_monitor *monitor = nullptr;
  int mounts = -1;
  int wake[2] = {-1, -1};
};

Events::Events() : impl_(new Impl) {}

Events::~Events() {
  if (impl_->monitor) udev_monitor_unref(impl_->monitor);
  if (impl_->udev) udev_unref(impl_->udev);
  for (int fd : {impl_->mounts, impl_->wake[0], impl_->wake[1]})
    if (fd >= 0) ::close(fd);
  delete impl_;
}

bool Events::open(const std::string &procRoot) {
  impl_->udev = udev_new();
  if (impl_->udev) {
    const char *source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    impl_->monitor = udev_monitor_new_from_netlink(impl_->udev, source);
    if (impl_->monitor && (udev_monitor_filter_add_match_subsystem_devtype(impl_->monitor, "block", nullptr) < 0 ||
                           udev_monitor_enable_receiving(impl_->monitor) < 0)) {
      udev_monitor_unref(impl_->monitor);
      impl_->monitor = nullptr;
    }
  }
  impl_->mounts = ::open((procRoot + "/self/mountinfo").c_str(), O_RDONLY | O_CLOEXEC);
  return pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) == 0;
}

bool Events::wait(int timeoutMs) {
  struct pollfd fds[3];
  nfds_t n = 0;
  fds[n++] = {impl_->wake[0], POLLIN, 0};
  if (impl_->mounts >= 0) fds[n++] = {impl_->mounts, POLLPRI, 0};
  if (impl_->monitor) fds[n++] = {udev_monitor_get_fd(impl_->monitor), POLLIN, 0};
  if (poll(fds, n, timeoutMs) <= 0) return false;
  bool event = false;
  for (nfds_t i = 1; i < n; i++) event = event || fds[i].revents != 0;
  if (impl_->monitor) {
    while (struct udev_device *d = udev_monitor_receive_device(impl_->monitor)) udev_device_unref(d);
  }
  return event;
}

void Events::wake() {
  char c = 1;
  if (impl_->wake[1] >= 0 && write(impl_->wake[1], &c, 1) < 0) {
    // Full pipe: the waiter has a wake-up pending already.
  }
}

int serviceOpen(const std::string &node, int *fd) {
  // udisks names a block device's object after its kernel name, with every
  // character but letters and digits written as _XX.
  std::string kernelName = node.substr(node.rfind('/') + 1), path = "/org/freedesktop/UDisks2/block_devices/";
  for (unsigned char c : kernelName) {
    char esc[4];
    snprintf(esc, sizeof esc, "_%02x", c);
    path += isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(esc);
  }
  sd_bus *bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return PLAT_ACCESS_NO_SERVICE;
  sd_bus_message *call = nullptr, *reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int result = PLAT_ACCESS_REFUSED;
  if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.UDisks2", path.c_str(),
                                     "org.freedesktop.UDisks2.Block", "OpenDevice") >= 0 &&
      sd_bus_message_set_allow_interactive_authorization(call, 1) >= 0 &&
      sd_bus_message_append(call, "sa{sv}", "r", 0) >= 0) {
    // The user may take a while to type a password.
    if (sd_bus_call(bus, call, 300ull * 1000 * 1000, &error, &reply) >= 0) {
      int given = -1;
      if (sd_bus_message_read(reply, "h", &given) >= 0 && given >= 0) {
        *fd = fcntl(given, F_DUPFD_CLOEXEC, 3);
        if (*fd >= 0) result = PLAT_ACCESS_GRANTED;
      }
    } else if (sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                                      SD_BUS_ERROR_NO_SERVER, SD_BUS_ERROR_DISCONNECTED)) {
      result = PLAT_ACCESS_NO_SERVICE;
    } else if (sd_bus_error_has_names(&error, SD_BUS_ERROR_UNKNOWN_OBJECT, SD_BUS_ERROR_UNKNOWN_METHOD)) {
      result = PLAT_ACCESS_NOT_A_DEVICE;
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_flush_close_unref(bus);
  return result;
}

std::string permissionMessage(const std::string &path) {
  std::string group;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && st.st_gid != 0) {
    struct group gr, *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrgid_r(st.st_gid, &gr, buf.data(), buf.size(), &found) == 0 && found) group = found->gr_name;
  }
  std::string msg = "cannot read " + path + ": permission denied; run as root";
  if (!group.empty())
    msg += ", or join the group '" + group + "' that owns it (sudo usermod -aG " + group +
           " $USER, then log in again)";
  return msg;
}

}  // namespace plat_os
