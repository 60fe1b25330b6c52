// The device layer: the disks and volumes a card can be attached as, and
// read-only block access to a whole disk. Everything above this header sees
// the card only through it. Nothing here can open anything for writing.
//
// Volumes play the part of drive letters: each has a small drive index that
// stays the same for the same volume during a run, a unique name of at most
// 47 characters, the number of the disk it lies on (also stable during a run)
// and, when its files can be reached, the directory they are reached under.
//
// Sources of volumes, listed in this order:
//   1. Linux block devices under <sys>/block: a disk whose device path runs
//      through a USB bus, a card in a built-in SD slot, or a loop device with
//      a backing file. A disk's partitions are its volumes; a disk without
//      partitions is its own one volume. A volume's files are reached through
//      its mount point, read from <proc>/self/mountinfo. Raw reads go to
//      <dev>/<disk>. A card taken out and another put into the same reader is
//      a new disk (new numbers), as the kernel's media sequence number says.
//   2. Attached paths (the programs' --card option): a regular file or a block
//      device is a disk with one volume and no files; a directory is a mounted
//      volume, its own mount point, on a disk of its own.
//   3. In-memory disks (for fuzzing): a disk with one volume and no files.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define PLAT_BLOCK_SIZE 4096
#define PLAT_NAME_SIZE 48  // a volume name and its NUL
#define PLAT_PATH_SIZE 4096

#define PLAT_TEXT_SIZE 64

typedef struct plat_volume {
  uint8_t driveIndex;         // stable for the run, unique among volumes
  char name[PLAT_NAME_SIZE];  // at most 47 characters, unique among those present
  int onUsb;                  // 1 when the disk may hold a card: on a USB bus, in an
                              // SD slot, a bound loop device or an attached path
  uint32_t diskNumber;        // the disk the volume lies on, stable for the run
  char root[PLAT_PATH_SIZE];  // directory of the volume's files; "" when not mounted
  // What a person recognises the card by; each "" or 0 when unknown.
  char product[PLAT_TEXT_SIZE];  // reader's vendor and model, SD card name, image file name
  char label[PLAT_TEXT_SIZE];    // file system label
  uint64_t size;                 // bytes of the volume
  char source[PLAT_PATH_SIZE];   // device node, image file or directory it is reached through
  int rawDenied;  // 1 when this process may not read the disk's raw bytes
                  // (plat_requestAccess may get the right)
} plat_volume;

// Where the Linux source looks; null keeps a root as it is. The defaults are
// "/sys", "/proc" and "/dev". Tests point them at a fake tree.
void plat_setRoots(const char *sysRoot, const char *procRoot, const char *devRoot);

// Adds a path given with --card. 0, or -1 with one line on standard error
// when the path does not exist or is neither a file, a block device nor a
// directory. Adding the same path twice adds it once.
int plat_attachPath(const char *path);

// Adds an in-memory disk of base + size bytes whose bytes from base on are
// data and whose first base bytes read as zero (a fuzzer can so place a few
// KiB at a deep address without allocating what lies before). The bytes are
// borrowed (they must outlive every use) and never written. Returns the disk
// number, or -1.
int plat_attachMemory(const void *data, uint64_t size, uint64_t base, const char *name);

// Forgets every attached path and in-memory disk (tests).
void plat_detachAll(void);

// Lists every volume, in drive-index order. *list is allocated with malloc
// and released with plat_freeVolumes. Returns the count (0 or more); never
// fails as a whole: sources that cannot be read are skipped.
int plat_listVolumes(plat_volume **list);
void plat_freeVolumes(plat_volume *list);

// Checks that a volume can be reached (the first step of discovery): a
// mounted volume through its mount point, so that a user without the right
// to the device still reaches its files; any other through its device node
// or image. 0 when it can; -1 when it cannot. Prints nothing.
int plat_probeVolume(const plat_volume *volume);

// Looks up a volume by drive index, as of the latest listing (a listing is
// made first if none was). 0 and *out filled, or -1 when no such volume.
int plat_findVolume(uint8_t driveIndex, plat_volume *out);

// The directory under which a volume's files are opened ("<root>", no
// trailing slash). 0, or -1 when the volume is unknown or not mounted.
int plat_volumeRoot(uint8_t driveIndex, char *buf, size_t size);

// A disk opened for reading only.
typedef struct plat_disk plat_disk;

// Opens the disk with this number read-only. Null when there is no such disk
// or it cannot be opened. Permission denied prints plat_accessHint's line on
// standard error once per device, unless the thread is quiet
// (qmx_common_setQuiet).
plat_disk *plat_openDisk(uint32_t diskNumber);

// One line (no newline) saying that the disk's device may not be read and
// how to get the right: the group that owns it and the command that joins
// it. "" when the disk is unknown or readable.
void plat_accessHint(uint32_t diskNumber, char *buf, size_t size);

// Asks the desktop's disk service for a read-only descriptor of the disk's
// device; the service may ask the user for a password, so this can take as
// long as the user does. Once granted, plat_openDisk opens the disk through
// it for the rest of the run. Results:
#define PLAT_ACCESS_GRANTED 0
#define PLAT_ACCESS_NO_SERVICE (-1)  // no disk service on this system
#define PLAT_ACCESS_REFUSED (-2)     // the service or the user said no
#define PLAT_ACCESS_NOT_A_DEVICE (-3)  // no such disk, or not a block device
int plat_requestAccess(uint32_t diskNumber);

// Size of the disk in bytes.
uint64_t plat_diskSize(const plat_disk *disk);

// Reads the whole block at byte blockIndex * 4096 into buf (4096 bytes).
// 0 on success; -1 when the block starts at or beyond the end of the disk or
// the read fails. Of a last block that the disk ends inside, the bytes past
// the end read as zero.
int plat_readBlock(plat_disk *disk, uint64_t blockIndex, uint8_t *buf);

// Reads count whole blocks from block firstBlock on into buf (count * 4096
// bytes) in one request: the way to read long runs. 0 on success; -1 when
// a block lies at or beyond the end of the disk or not every byte could be
// read. Of a last block that the disk ends inside, the bytes past the end
// read as zero. Counts as count block reads.
int plat_readBlocks(plat_disk *disk, uint64_t firstBlock, uint32_t count, uint8_t *buf);

void plat_closeDisk(plat_disk *disk);

// Number of blocks read by plat_readBlock and plat_readBlocks since the start or the last reset,
// over all disks (tests and benchmarks count reads with it).
uint64_t plat_blockReadCount(void);
void plat_resetBlockReadCount(void);

// Makes every block read (each block of a run) wait this long first, as a slow card reader would
// (tests and benchmarks of the callers' responsiveness). 0 turns it off.
void plat_setReadDelay(uint32_t microseconds);

// Calls changed(context) from a thread of the layer's own, soon after disks,
// cards, mounts or attached paths may have changed: on the system's device
// events where they arrive, and otherwise on a look every second at what the
// listing depends on. The callback must be quick and thread-safe (post a
// message, set a flag). One watch at a time: a second start replaces the
// first. plat_watchStop returns once no callback runs any more.
void plat_watchStart(void (*changed)(void *context), void *context);
void plat_watchStop(void);
