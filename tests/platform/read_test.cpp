// Block reads of whole disks: exact bytes, the end of the disk, the read
// counter, a slow reader, that a card is only ever opened for reading and
// left unchanged, and a user without the right to the device. (The window's
// tests read a real loop device.)
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>

#include "platform_test_util.h"
#include "qmx_common.h"

namespace {

using Reads = PlatformTest;

// Attaches a path and returns the disk number of its volume.
uint32_t attachedDisk(const std::string &path) {
  EXPECT_EQ(0, plat_attachPath(path.c_str()));
  char *real = realpath(path.c_str(), nullptr);
  std::string canonical = real ? real : path;
  free(real);
  for (const auto &v : listAll())
    if (canonical == v.name) return v.diskNumber;
  ADD_FAILURE() << "not listed: " << path;
  return UINT32_MAX;
}

// Content, size and times of a file: what must not change on a card.
std::vector<long long> fileState(const std::string &path) {
  struct stat st;
  EXPECT_EQ(0, stat(path.c_str(), &st));
  std::ifstream in(path, std::ios::binary);
  std::vector<char> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(all.data()), static_cast<uInt>(all.size()));
  return {static_cast<long long>(crc), st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_nsec};
}

TEST_F(Reads, WholeBlocksPartialLastBlockAndTheEnd) {
  const size_t size = 3 * PLAT_BLOCK_SIZE + 100;
  std::vector<uint8_t> bytes = pattern(size, 1);
  std::string img = fs.path("disk.img");
  fakesys::writeFile(img, bytes);
  plat_disk *d = plat_openDisk(attachedDisk(img));
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(size, plat_diskSize(d));

  plat_resetBlockReadCount();
  bytes.resize(4 * PLAT_BLOCK_SIZE, 0);  // the last block is filled up with zeros
  uint8_t block[PLAT_BLOCK_SIZE];
  for (uint64_t b = 0; b < 4; b++) {
    memset(block, 0xEE, sizeof block);
    ASSERT_EQ(0, plat_readBlock(d, b, block));
    EXPECT_EQ(0, memcmp(block, bytes.data() + b * PLAT_BLOCK_SIZE, PLAT_BLOCK_SIZE)) << "block " << b;
  }
  EXPECT_EQ(4u, plat_blockReadCount());
  for (uint64_t past : {uint64_t(4), UINT64_MAX, UINT64_MAX / PLAT_BLOCK_SIZE + 1})
    EXPECT_EQ(-1, plat_readBlock(d, past, block)) << past;
  EXPECT_EQ(4u, plat_blockReadCount());  // refused reads do not count

  // A slow reader: every block waits its turn.
  plat_setReadDelay(20000);
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t b = 0; b < 5; b++) plat_readBlock(d, b % 4, block);
  plat_setReadDelay(0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
  plat_closeDisk(d);

  // A disk that ends on a block boundary has no extra block.
  std::string even = fs.path("even.img");
  fakesys::writeFile(even, pattern(2 * PLAT_BLOCK_SIZE, 2));
  d = plat_openDisk(attachedDisk(even));
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(0, plat_readBlock(d, 1, block));
  EXPECT_EQ(-1, plat_readBlock(d, 2, block));
  plat_closeDisk(d);
  EXPECT_EQ(nullptr, plat_openDisk(UINT32_MAX));
}

// Every descriptor the layer holds on a card is read-only, and a card's bytes,
// size and times are the same after discovery, probing and reading.
TEST_F(Reads, CardsAreOpenedReadOnlyAndLeftUnchanged) {
  std::string img = fs.path("evidence.img");
  fakesys::writeFile(img, pattern(5 * PLAT_BLOCK_SIZE + 17, 4));
  fs.addLoop("loop9", img);
  const auto before = fileState(img);

  uint32_t attached = attachedDisk(img);
  std::vector<plat_disk *> open;
  for (const auto &v : listAll()) {
    EXPECT_EQ(0, plat_probeVolume(&v)) << v.name;
    open.push_back(plat_openDisk(v.diskNumber));
  }
  open.push_back(plat_openDisk(attached));
  uint8_t block[PLAT_BLOCK_SIZE];
  for (plat_disk *d : open) {
    ASSERT_NE(nullptr, d);
    for (uint64_t b = 0; b < 6; b++) ASSERT_EQ(0, plat_readBlock(d, b, block));
  }

  // Look at the descriptors the layer holds on the image.
  char *real = realpath(img.c_str(), nullptr);
  std::string canonical = real;
  free(real);
  int seen = 0;
  DIR *dir = opendir("/proc/self/fd");
  ASSERT_NE(nullptr, dir);
  while (struct dirent *e = readdir(dir)) {
    std::string fd = e->d_name;
    char target[PATH_MAX];
    ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
    if (n <= 0 || canonical != std::string(target, static_cast<size_t>(n))) continue;
    std::ifstream info("/proc/self/fdinfo/" + fd);
    std::string key, flags;
    while (info >> key && key != "flags:") info.ignore(1 << 20, '\n');
    info >> flags;
    long value = strtol(flags.c_str(), nullptr, 8);
    EXPECT_EQ(O_RDONLY, value & O_ACCMODE) << "fd " << fd;
    EXPECT_NE(0, value & O_CLOEXEC) << "fd " << fd;
    seen++;
  }
  closedir(dir);
  EXPECT_EQ(static_cast<int>(open.size()), seen);
  for (plat_disk *d : open) plat_closeDisk(d);
  EXPECT_EQ(before, fileState(img));
}

// A user without the right to a card's device: a mounted volume of it is
// still reached through its files; the raw bytes are marked as refused, the
// hint names the device, the group that owns it and how to join; opening
// says so once on standard error (never on a quiet thread); asking for the
// right never prompts for a device the disk service does not know. As root
// the checks run in a child that has given up root.
TEST_F(Reads, AUserWithoutTheRightIsToldHowToGetIt) {
  struct group *disk = getgrnam("disk");
  gid_t gid = disk ? disk->gr_gid : getegid();
  struct group *owner = getgrgid(gid);
  if (!owner) GTEST_SKIP() << "no group to give the device to";
  std::string groupName = owner->gr_name;

  std::string img = fs.path("locked.img");
  fakesys::writeFile(img, pattern(PLAT_BLOCK_SIZE, 7));
  bool root = geteuid() == 0;
  if (root) {
    // Let an unprivileged user reach the tree but not read the device.
    chmod(fs.root().c_str(), 0755);
    chmod(fs.path("").c_str(), 0755);
    ASSERT_EQ(0, chown(img.c_str(), 0, gid));
  }
  ASSERT_EQ(0, chmod(img.c_str(), root ? 0600 : 0000));
  fs.addUsbDisk("sdw", {"sdw1", "sdw2"}, img);
  fs.addUsbDisk("sdx", {}, img);
  for (const char *p : {"sdw1", "sdw2"}) ASSERT_EQ(0, chmod(fs.devNode(p).c_str(), 0600));
  fs.mount("sdw2", fs.path("w2"));
  chmod(fs.path("w2").c_str(), 0755);

  std::string expect = "cannot read " + fs.devNode("sdw") + ": permission denied; run as root";
  if (gid != 0)
    expect += ", or join the group '" + groupName + "' that owns it (sudo usermod -aG " + groupName +
              " $USER, then log in again)";

  // In a child (which gives up root): each failing step has an exit code of
  // its own; standard error holds the one line.
  auto asUser = [&] {
    if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    auto m = byName(listAll());
    if (m.size() != 3 || !m["/dev/sdw1"].rawDenied) _exit(11);
    if (plat_probeVolume(&m["/dev/sdw1"]) != -1 || plat_probeVolume(&m["/dev/sdw2"]) != 0) _exit(12);
    char hint[512];
    plat_accessHint(m["/dev/sdw1"].diskNumber, hint, sizeof hint);
    if (expect != hint) _exit(13);
    qmx_common_setQuiet(1);
    if (plat_openDisk(m["/dev/sdx"].diskNumber) != nullptr) _exit(14);  // quiet: no line
    qmx_common_setQuiet(0);
    for (int i = 0; i < 2; i++)  // one line, not two
      if (plat_openDisk(m["/dev/sdw1"].diskNumber) != nullptr) _exit(15);
    int access = plat_requestAccess(m["/dev/sdw1"].diskNumber);
    _exit(access == PLAT_ACCESS_NO_SERVICE || access == PLAT_ACCESS_NOT_A_DEVICE ? 0 : 16);
  };
  EXPECT_EXIT(asUser(), testing::ExitedWithCode(0), testing::Eq(expect + "\n"));
  chmod(img.c_str(), 0600);
}

}  // namespace
