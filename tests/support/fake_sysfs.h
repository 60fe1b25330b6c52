// A throw-away /sys, /proc and /dev tree for tests of the device layer and of
// everything that discovers cards through it. Each FakeSysfs lives in its own
// directory under /tmp and removes it when destroyed.
//
//   fakesys::FakeSysfs fs;
//   fs.addUsbDisk("sdb", {"sdb1", "sdb2"}, fakesys::Image::sparse(200 << 20));
//   fs.addSataDisk("sda", {"sda1"});
//   fs.addLoop("loop0", "/path/card.img");   // bound to an image
//   fs.addLoop("loop1");                     // not bound
//   fs.mount("sdb1", fs.path("mnt/card one"));
//   fs.install();                            // plat_setRoots at this tree
//
// Disks are laid out as the kernel shows them: <sys>/block/<disk> is a
// symlink into <sys>/devices/..., whose path runs through "usbN" for USB
// disks, "ataN" for SATA disks and "virtual" for loop and RAM disks. Each disk
// and partition has a "dev" file ("major:minor") and a "size" file (512-byte
// sectors); partitions also have a "partition" file. Device nodes under the
// fake /dev are regular files (or symlinks to an image file) holding the
// disk's bytes. <proc>/self/mountinfo lists a few unrelated file systems plus
// whatever mount() adds.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "device.h"

namespace fakesys {

namespace fs = std::filesystem;

// Writes bytes to a file, replacing it.
inline void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("fake_sysfs: cannot write " + path);
}

inline void writeText(const std::string &path, const std::string &text) {
  writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// Makes (or resizes) a sparse file of the given size: no blocks are used for
// the holes, so a 200 MiB card image costs only what is written into it.
inline void makeSparseFile(const std::string &path, uint64_t size) {
  fs::create_directories(fs::path(path).parent_path());
  { std::ofstream touch(path, std::ios::binary | std::ios::app); }
  if (truncate(path.c_str(), static_cast<off_t>(size)) != 0)
    throw std::runtime_error("fake_sysfs: cannot size " + path);
}

// Writes bytes at an offset of an existing file without changing the rest.
inline void writeAt(const std::string &path, uint64_t offset, const std::vector<uint8_t> &bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f) throw std::runtime_error("fake_sysfs: cannot open " + path);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("fake_sysfs: cannot write " + path);
}

// What a fake device node holds: given bytes, a link to an existing image
// file, or a sparse file of a size. The default is a sparse 1 MiB of zeros;
// Image::empty() is a disk of size 0, as a card reader shows with no card in
// it (the device layer does not list those).
struct Image {
  enum Kind { Bytes, File, Sparse } kind = Sparse;
  std::vector<uint8_t> bytes;
  std::string file;
  uint64_t size = 1 << 20;

  Image() = default;
  Image(std::vector<uint8_t> b) : kind(Bytes), bytes(std::move(b)) {}  // NOLINT: implicit on purpose
  Image(std::string imagePath) : kind(File), file(std::move(imagePath)) {}  // NOLINT
  Image(const char *imagePath) : kind(File), file(imagePath) {}  // NOLINT
  static Image empty() { return Image(std::vector<uint8_t>()); }
  static Image sparse(uint64_t bytes) {
    Image i;
    i.kind = Sparse;
    i.size = bytes;
    return i;
  }
};

class FakeSysfs {
 public:
  FakeSysfs() {
    char tmpl[] = "/tmp/fake_sysfs.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("fake_sysfs: mkdtemp failed");
    root_ = tmpl;
    fs::create_directories(sysRoot() + "/block");
    fs::create_directories(sysRoot() + "/devices/virtual/block");
    fs::create_directories(procRoot() + "/self");
    fs::create_directories(devRoot());
    fs::create_directories(root_ + "/files");
    // File systems that have nothing to do with the disks a test adds.
    mountLines_.push_back("22 1 0:21 / / rw,relatime shared:1 - overlay overlay rw");
    mountLines_.push_back("23 22 0:22 / /proc rw,nosuid,nodev,noexec,relatime shared:2 - proc proc rw");
    mountLines_.push_back("24 22 0:23 / /sys rw,nosuid,nodev,noexec,relatime shared:3 - sysfs sysfs rw");
    mountLines_.push_back("25 22 0:24 / /dev/shm rw,nosuid,nodev shared:4 - tmpfs shm rw,size=65536k");
    writeMountinfo();
  }

  ~FakeSysfs() {
    std::error_code ec;
    // Undo chmod()s so that the tree can be removed even by a non-root user.
    for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
  }

  FakeSysfs(const FakeSysfs &) = delete;
  FakeSysfs &operator=(const FakeSysfs &) = delete;

  const std::string &root() const { return root_; }
  std::string sysRoot() const { return root_ + "/sys"; }
  std::string procRoot() const { return root_ + "/proc"; }
  std::string devRoot() const { return root_ + "/dev"; }
  // A path for the test's own files inside the tree (removed with it).
  std::string path(const std::string &rel) const { return root_ + "/files/" + rel; }
  // The fake device node of a disk or partition.
  std::string devNode(const std::string &name) const { return devRoot() + "/" + name; }

  // Points the device layer at this tree. The layer keeps these roots after
  // the tree is gone (it then simply finds no block devices).
  void install() const { plat_setRoots(sysRoot().c_str(), procRoot().c_str(), devRoot().c_str()); }

  // A disk on a USB bus with the given partitions (none: the disk is its
  // own volume).
  void addUsbDisk(const std::string &name, const std::vector<std::string> &partitions = {},
                  const Image &image = Image()) {
    int host = nextHost_++;
    std::string h = std::to_string(host);
    std::string parent = "devices/pci0000:00/0000:00:14.0/usb2/2-" + h + "/2-" + h + ":1.0/host" + h +
                         "/target" + h + ":0:0/" + h + ":0:0:0";
    addDisk(name, parent, 8, partitions, image);
  }

  // An internal SATA disk.
  void addSataDisk(const std::string &name, const std::vector<std::string> &partitions = {},
                   const Image &image = Image()) {
    int host = nextHost_++;
    std::string h = std::to_string(host);
    std::string parent = "devices/pci0000:00/0000:00:17.0/ata" + h + "/host" + h + "/target" + h + ":0:0/" +
                         h + ":0:0:0";
    addDisk(name, parent, 8, partitions, image);
  }

  // A loop device. With a backing file it is bound to it (its node links to
  // the file and <disk>/loop/backing_file names it); without, it is an
  // unbound loop device as the kernel keeps a few of.
  void addLoop(const std::string &name, const std::string &backingFile = "",
               const std::vector<std::string> &partitions = {}) {
    Image image;
    if (!backingFile.empty()) image = Image(backingFile);
    addDisk(name, "devices/virtual", 7, partitions, image);
    if (!backingFile.empty())
      writeText(sysRoot() + "/block/" + name + "/loop/backing_file",
                fs::absolute(backingFile).string() + "\n");
  }

  // A RAM, zram or device-mapper style disk under devices/virtual.
  void addVirtualDisk(const std::string &name, const Image &image = Image()) {
    addDisk(name, "devices/virtual", 251, {}, image);
  }

  // Takes a disk away with its partitions, device nodes and mounts, as when
  // the card is pulled out.
  void removeDisk(const std::string &name) {
    auto it = disks_.find(name);
    if (it == disks_.end()) throw std::runtime_error("fake_sysfs: no disk " + name);
    for (const auto &p : it->second.partitions) {
      unmount(p);
      fs::remove(devNode(p));
      devNumbers_.erase(p);
    }
    unmount(name);
    fs::remove(devNode(name));
    devNumbers_.erase(name);
    fs::remove(sysRoot() + "/block/" + name);
    fs::remove_all(it->second.sysDir);
    disks_.erase(it);
  }

  // Mounts a disk or partition at a directory (created if missing); the
  // mount point is escaped in mountinfo as the kernel does (\040 for space).
  void mount(const std::string &name, const std::string &dir, const std::string &fsType = "exfat") {
    std::string dev = devNumber(name);
    fs::create_directories(dir);
    mountLines_.push_back(std::to_string(nextMountId_++) + " 22 " + dev + " / " + escape(dir) +
                          " rw,nosuid,nodev,relatime shared:9 - " + fsType + " /dev/" + name + " rw");
    writeMountinfo();
  }

  // Removes every mount of a disk or partition.
  void unmount(const std::string &name) {
    auto it = devNumbers_.find(name);
    if (it == devNumbers_.end()) return;
    std::string key = " " + it->second + " ";
    std::vector<std::string> kept;
    for (const auto &l : mountLines_) {
      // The third field is the device number.
      size_t a = l.find(' ');
      size_t b = a == std::string::npos ? a : l.find(' ', a + 1);
      if (b != std::string::npos && l.compare(b, key.size(), key) == 0) continue;
      kept.push_back(l);
    }
    mountLines_ = kept;
    writeMountinfo();
  }

  // Adds a mountinfo line as it stands (for odd cases: bind mounts, ...).
  void addMountinfoLine(const std::string &line) {
    mountLines_.push_back(line);
    writeMountinfo();
  }

  // "major:minor" of a disk or partition of this tree.
  std::string devNumber(const std::string &name) const {
    auto it = devNumbers_.find(name);
    if (it == devNumbers_.end()) throw std::runtime_error("fake_sysfs: no device " + name);
    return it->second;
  }

  // The directory of a disk under <sys>/devices (where "dev", "size" and the
  // partitions' directories are).
  std::string sysDir(const std::string &disk) const {
    auto it = disks_.find(disk);
    if (it == disks_.end()) throw std::runtime_error("fake_sysfs: no disk " + disk);
    return it->second.sysDir;
  }

  // Escapes a path as mountinfo does: space, tab, newline and backslash as
  // three octal digits.
  static std::string escape(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
        char buf[5];
        snprintf(buf, sizeof buf, "\\%03o", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out;
  }

 private:
  struct Disk {
    std::string sysDir;
    std::vector<std::string> partitions;
  };

  void addDisk(const std::string &name, const std::string &parent, int major,
               const std::vector<std::string> &partitions, const Image &image) {
    if (disks_.count(name)) throw std::runtime_error("fake_sysfs: disk exists " + name);
    std::string rel = parent + "/block/" + name;
    std::string dir = sysRoot() + "/" + rel;
    fs::create_directories(dir);
    fs::create_directory_symlink("../" + rel, sysRoot() + "/block/" + name);

    int minor = nextMinor_;
    nextMinor_ += 16;
    std::string dev = std::to_string(major) + ":" + std::to_string(minor);
    writeText(dir + "/dev", dev + "\n");
    devNumbers_[name] = dev;

    std::string node = devNode(name);
    uint64_t size = 0;
    switch (image.kind) {
      case Image::Bytes:
        writeFile(node, image.bytes);
        size = image.bytes.size();
        break;
      case Image::Sparse:
        makeSparseFile(node, image.size);
        size = image.size;
        break;
      case Image::File:
        fs::create_symlink(fs::absolute(image.file), node);
        size = fs::file_size(image.file);
        break;
    }
    writeText(dir + "/size", std::to_string(size / 512) + "\n");
    writeText(dir + "/removable", "1\n");

    int number = 1;
    for (const auto &p : partitions) {
      std::string pdir = dir + "/" + p;
      fs::create_directories(pdir);
      std::string pdev = std::to_string(major) + ":" + std::to_string(minor + number);
      writeText(pdir + "/dev", pdev + "\n");
      writeText(pdir + "/partition", std::to_string(number) + "\n");
      writeText(pdir + "/size", std::to_string(size / 512 / partitions.size()) + "\n");
      writeFile(devNode(p), {});
      devNumbers_[p] = pdev;
      number++;
    }
    disks_[name] = Disk{dir, partitions};
  }

  void writeMountinfo() {
    std::string text;
    for (const auto &l : mountLines_) text += l + "\n";
    writeText(procRoot() + "/self/mountinfo", text);
  }

  std::string root_;
  std::map<std::string, Disk> disks_;
  std::map<std::string, std::string> devNumbers_;
  std::vector<std::string> mountLines_;
  int nextHost_ = 2;
  int nextMinor_ = 0;
  int nextMountId_ = 100;
};

}  // namespace fakesys
