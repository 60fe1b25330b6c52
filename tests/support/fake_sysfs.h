// A throw-away /sys, /proc and /dev tree for tests of the device layer and of
// everything that discovers cards through it. Each FakeSysfs lives in its own
// directory under /tmp and removes it when destroyed.
//
//   fakesys::FakeSysfs fs;
//   fs.addUsbDisk("sdb", {"sdb1", "sdb2"}, fakesys::Image::sparse(200 << 20));
//   fs.addLoop("loop0", "/path/card.img");   // bound to an image
//   fs.mount("sdb1", fs.path("mnt/card one"));
//   fs.install();                            // plat_setRoots at this tree
//
// <sys>/block/<disk> links into <sys>/devices/..., whose path runs through
// "usbN" for USB disks, "ataN" for SATA disks, "mmc_host" for SD slots and
// "virtual" for loop and RAM disks, with "dev", "size", "diskseq" (a new
// number for every disk added, as the kernel gives every medium) and (for
// partitions) "partition" files. Device nodes are regular files, or
// symlinks to an image, holding the disk's bytes.
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

inline void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("fake_sysfs: cannot write " + path);
}

inline void writeText(const std::string &path, const std::string &text) {
  writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// What a fake device node holds: a link to an image file, or a sparse file
// (default 1 MiB of zeros). Image::empty() is a card reader with
// no card in it.
struct Image {
  std::string file;  // a link to this image, else a sparse file of size bytes
  uint64_t size = 1 << 20;

  Image() = default;
  Image(std::string imagePath) : file(std::move(imagePath)) {}  // NOLINT: implicit on purpose
  static Image empty() { return sparse(0); }
  static Image sparse(uint64_t bytes) {
    Image i;
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
    fs::create_directories(devRoot());
    fs::create_directories(root_ + "/files");
    // File systems that have nothing to do with the disks a test adds.
    mountLines_ = {"22 1 0:21 / / rw,relatime shared:1 - overlay overlay rw",
                   "23 22 0:22 / /proc rw,nosuid,nodev,noexec,relatime shared:2 - proc proc rw",
                   "25 22 0:24 / /dev/shm rw,nosuid,nodev shared:4 - tmpfs shm rw,size=65536k"};
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
  // A path for the test's own files inside the tree (removed with it).
  std::string path(const std::string &rel) const { return root_ + "/files/" + rel; }
  std::string devNode(const std::string &name) const { return devRoot() + "/" + name; }

  // Points the device layer at this tree; it keeps these roots after the
  // tree is gone (and then finds no block devices).
  void install() const { plat_setRoots(sysRoot().c_str(), procRoot().c_str(), devRoot().c_str()); }

  // A USB disk with the given partitions (none: the disk is its own volume).
  void addUsbDisk(const std::string &name, const std::vector<std::string> &partitions = {},
                  const Image &image = Image()) {
    std::string h = std::to_string(nextHost_++);
    addDisk(name, "devices/pci0000:00/0000:00:14.0/usb2/2-" + h + "/2-" + h + ":1.0/host" + h + "/target" + h +
                      ":0:0/" + h + ":0:0:0",
            8, partitions, image);
  }

  // A card in a built-in SD slot; its device type is "SD" and its name the card's.
  void addSdCard(const std::string &name, const std::vector<std::string> &partitions = {},
                 const Image &image = Image()) {
    addDisk(name, "devices/platform/soc/mmc_host/mmc0/mmc0:aaaa", 179, partitions, image);
    writeText(disks_[name].sysDir + "/device/type", "SD\n");
    writeText(disks_[name].sysDir + "/device/name", "SC32G\n");
  }

  // The reader's vendor and model, padded as SCSI reports them.
  void setProduct(const std::string &name, const std::string &vendor, const std::string &model) {
    writeText(disks_.at(name).sysDir + "/device/vendor", vendor + "  \n");
    writeText(disks_.at(name).sysDir + "/device/model", model + "    \n");
  }

  // A file system label, as udev links it under /dev/disk/by-label.
  void setLabel(const std::string &name, const std::string &label) {
    fs::create_directories(devRoot() + "/disk/by-label");
    std::string escaped;
    for (char c : label) escaped += c == ' ' ? std::string("\\x20") : std::string(1, c);
    fs::create_symlink("../../" + name, devRoot() + "/disk/by-label/" + escaped);
  }

  void addSataDisk(const std::string &name, const std::vector<std::string> &partitions = {},
                   const Image &image = Image()) {
    std::string h = std::to_string(nextHost_++);
    addDisk(name, "devices/pci0000:00/0000:00:17.0/ata" + h + "/host" + h + "/target" + h + ":0:0/" + h + ":0:0:0",
            8, partitions, image);
  }

  // A loop device, bound to a backing file (node links to it and
  // loop/backing_file names it) or, without one, unbound.
  void addLoop(const std::string &name, const std::string &backingFile = "") {
    addDisk(name, "devices/virtual", 7, {}, backingFile.empty() ? Image() : Image(backingFile));
    if (!backingFile.empty())
      writeText(sysRoot() + "/block/" + name + "/loop/backing_file", fs::absolute(backingFile).string() + "\n");
  }

  // A RAM or zram style disk under devices/virtual.
  void addVirtualDisk(const std::string &name) { addDisk(name, "devices/virtual", 251, {}, Image()); }

  // Takes a disk away with its partitions, nodes and mounts (card pulled).
  void removeDisk(const std::string &name) {
    auto it = disks_.find(name);
    if (it == disks_.end()) throw std::runtime_error("fake_sysfs: no disk " + name);
    std::vector<std::string> all = it->second.partitions;
    all.push_back(name);
    for (const auto &p : all) {
      unmount(p);
      fs::remove(devNode(p));
      devNumbers_.erase(p);
    }
    fs::remove(sysRoot() + "/block/" + name);
    fs::remove_all(it->second.sysDir);
    disks_.erase(it);
  }

  // Mounts a disk or partition at a directory (created if missing), escaped
  // in mountinfo as the kernel does (\040 for space).
  void mount(const std::string &name, const std::string &dir, const std::string &fsType = "exfat") {
    std::string dev = devNumber(name);
    fs::create_directories(dir);
    mountLines_.push_back(std::to_string(nextMountId_++) + " 22 " + dev + " / " + escape(dir) +
                          " rw,nosuid,nodev,relatime shared:9 - " + fsType + " /dev/" + name + " rw");
    writeMountinfo();
  }

  void unmount(const std::string &name) {
    auto it = devNumbers_.find(name);
    if (it == devNumbers_.end()) return;
    std::string key = " " + it->second + " ";
    std::vector<std::string> kept;
    for (const auto &l : mountLines_) {
      size_t a = l.find(' ');  // the third field is the device number
      size_t b = a == std::string::npos ? a : l.find(' ', a + 1);
      if (b == std::string::npos || l.compare(b, key.size(), key) != 0) kept.push_back(l);
    }
    mountLines_ = kept;
    writeMountinfo();
  }

  // Adds a mountinfo line as it stands (bind mounts, garbage, ...).
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

 private:
  struct Disk {
    std::string sysDir;
    std::vector<std::string> partitions;
  };

  std::string sysRoot() const { return root_ + "/sys"; }
  std::string procRoot() const { return root_ + "/proc"; }
  std::string devRoot() const { return root_ + "/dev"; }

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

  void addDisk(const std::string &name, const std::string &parent, int major,
               const std::vector<std::string> &partitions, const Image &image) {
    if (disks_.count(name)) throw std::runtime_error("fake_sysfs: disk exists " + name);
    std::string rel = parent + "/block/" + name;
    std::string dir = sysRoot() + "/" + rel;
    fs::create_directories(dir);
    fs::create_directory_symlink("../" + rel, sysRoot() + "/block/" + name);

    int minor = nextMinor_;
    nextMinor_ += 16;
    devNumbers_[name] = std::to_string(major) + ":" + std::to_string(minor);
    writeText(dir + "/dev", devNumbers_[name] + "\n");
    static int diskseq = 1000;
    writeText(dir + "/diskseq", std::to_string(++diskseq) + "\n");

    std::string node = devNode(name);
    uint64_t size = 0;
    if (image.file.empty()) {  // holes cost no blocks
      { std::ofstream touch(node, std::ios::binary); }
      if (truncate(node.c_str(), static_cast<off_t>(image.size)) != 0)
        throw std::runtime_error("fake_sysfs: cannot size " + node);
      size = image.size;
    } else {
      fs::create_symlink(fs::absolute(image.file), node);
      size = fs::file_size(image.file);
    }
    writeText(dir + "/size", std::to_string(size / 512) + "\n");

    int number = 1;
    for (const auto &p : partitions) {
      std::string pdir = dir + "/" + p;
      devNumbers_[p] = std::to_string(major) + ":" + std::to_string(minor + number);
      writeText(pdir + "/dev", devNumbers_[p] + "\n");
      writeText(pdir + "/partition", std::to_string(number) + "\n");
      writeText(pdir + "/size", std::to_string(size / 512 / partitions.size()) + "\n");
      writeFile(devNode(p), {});
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
