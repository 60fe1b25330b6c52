// What the registry of the device layer (device.cpp) asks of the operating
// system. One file per system implements it (device_linux.cpp here); the build
// picks the file. Nothing here opens anything for writing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace plat_os {

// A volume of a block device: identity key (stable while the device keeps
// its kernel name), display name, device node and mount point ("" if none).
struct Volume {
  std::string key;
  std::string name;
  std::string node;
  std::string root;
};

// A block device that may hold a card, with its volumes in partition order.
struct Disk {
  std::string key;
  std::string node;
  int onUsb = 0;
  std::vector<Volume> volumes;
};

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

// Opens and closes a device node, file or directory read-only. 0, or -1 with
// *error set.
int probe(const std::string &path, int *error);

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
