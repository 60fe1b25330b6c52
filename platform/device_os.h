// What the registry of the device layer (device.cpp) asks of the operating
// system. One file per system implements it (device_linux.cpp here); the build
// picks the file. Nothing here opens anything for writing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace plat_os {

// A volume of a block device: identity key (stable while the same medium
// stays under the same kernel name), display name, device node, mount point
// ("" if none), file system label ("" if unknown) and size in bytes.
struct Volume {
  std::string key;
  std::string name;
  std::string node;
  std::string root;
  std::string label;
  uint64_t size = 0;
};

// A block device that may hold a card, with its volumes in partition order.
// product: the reader's vendor and model, the SD card's name or the loop
// device's image file name; "" when unknown.
struct Disk {
  std::string key;
  std::string node;
  std::string product;
  int onUsb = 0;
  std::vector<Volume> volumes;
};

// The part of an identity key that names the device, without the medium's
// sequence number: a key with the same base and another sequence is a card
// that replaced this one in the same reader.
std::string keyBase(const std::string &key);

// The block devices under <sysRoot>/block, in natural name order (sda, sdb,
// ..., sdz, sdaa; loop2 before loop10). Unreadable entries are left out.
std::vector<Disk> listBlockDisks(const std::string &sysRoot, const std::string &procRoot,
                                 const std::string &devRoot);

enum PathKind { PathMissing, PathDisk, PathDirectory, PathOther };

// Classifies a path given by the user: a regular file or block device is a
// disk, a directory a volume. *canonical gets the absolute path without
// symlinks; on PathMissing, *error says why.
PathKind classifyPath(const char *path, std::string *canonical, std::string *error);

// An open read-only disk: a descriptor and the size in bytes.
struct Handle {
  int fd = -1;
  uint64_t size = 0;
};

// Opens a file or block device read-only and takes its size. 0, or -1 with
// *error set to the system's error number (EISDIR for a directory).
int openRead(const std::string &path, Handle *out, int *error);

// The same over a descriptor the caller already holds (duplicated, so the
// caller keeps its own).
int openDescriptor(int fd, Handle *out, int *error);

// Opens and closes a device node, file or directory read-only. 0, or -1 with
// *error set.
int probe(const std::string &path, int *error);

// True when this process may open the file or device for reading (checked
// with the effective ids, without opening it).
bool mayRead(const std::string &path);

// Everything a listing depends on, as one string: block devices with their
// sizes, media and backing files, and the mount table. Two equal stamps
// mean nothing a listing shows has changed.
std::string deviceStamp(const std::string &sysRoot, const std::string &procRoot);

// Device events of the system (kernel uevents, mount table changes), for the
// watch. open() returns false when the watch cannot run at all (events that
// cannot be watched are only left out); wait() returns true when an event
// came within timeoutMs.
class Events {
 public:
  Events();
  ~Events();
  bool open(const std::string &procRoot);
  bool wait(int timeoutMs);
  void wake();  // ends a wait at once, from any thread

 private:
  struct Impl;
  Impl *impl_;
};

// Asks the system's disk service for a read-only descriptor of a block
// device node (udisks' Block.OpenDevice, with the desktop's password
// prompt allowed). One of the PLAT_ACCESS_* results of device.h; on
// success *fd is the descriptor.
int serviceOpen(const std::string &node, int *fd);

// Reads up to len bytes at offset, retrying short reads until len bytes or
// the end of the data. Bytes read, or -1 when the read fails.
long long readAt(const Handle &h, uint64_t offset, uint8_t *buf, size_t len);

void close(Handle *h);

// True for the errors that mean "you may not read this".
bool isPermissionError(int error);

// The one line (without newline) telling the user that a device cannot be
// read for lack of rights and how to get them; names the group that owns
// the device when it is not root's.
std::string permissionMessage(const std::string &path);

}  // namespace plat_os
