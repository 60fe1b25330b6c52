// Listing of block devices, attached paths and in-memory disks over a fake
// sysfs tree: which disks count, their volumes and mount points, and the
// numbering and names that must hold for the whole run.
//
// The layer's registry lives for the whole process, so tests compare numbers
// relative to each other and use disk names no other test uses when the
// first-seen order matters.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>

#include "platform_test_util.h"

namespace {

using Discovery = PlatformTest;

// Which disks may hold a card, what a person recognises each by, and the
// order of a first listing: block devices in natural name order, then
// attached paths.
TEST_F(Discovery, WhichDisksCountAndWhatTheyAreCalled) {
  std::string img = fs.path("card.img");
  fakesys::writeFile(img, std::vector<uint8_t>(8192, 7));
  std::string snap = fs.path("core.snap");
  fakesys::writeFile(snap, std::vector<uint8_t>(8192, 1));
  ASSERT_EQ(0, plat_attachPath(img.c_str()));
  fs.addUsbDisk("sdb", {"sdb1", "sdb2"}, fakesys::Image::sparse(64 << 20));
  fs.setProduct("sdb", "Generic", "STORAGE DEVICE");
  fs.setLabel("sdb2", "REC CARD");
  fs.addUsbDisk("sdc");
  fs.addSataDisk("sda", {"sda1"});
  fs.addSdCard("mmcblk0", {"mmcblk0p1"});
  fs.addLoop("loop31", img);
  fs.addLoop("loop4", img);
  fs.addLoop("loop1");        // not bound
  fs.addLoop("loop2", snap);  // a packaged software image
  fs.addVirtualDisk("zram0");
  fs.addUsbDisk("sdd", {}, fakesys::Image::empty());  // reader without a card
  std::vector<std::string> order, seen;
  for (const plat_volume &v : listAll()) {
    order.push_back(v.name);
    seen.push_back(std::to_string(v.onUsb) + " " + v.product + " [" + v.label + "] " + std::to_string(v.size));
    EXPECT_STREQ("", v.root) << v.name;
    EXPECT_EQ(0, v.rawDenied) << v.name;
    EXPECT_EQ(v.name == img ? img : fs.devNode(order.back().substr(5)), v.source) << v.name;
    EXPECT_EQ(0, plat_probeVolume(&v)) << v.name;
  }
  EXPECT_EQ((std::vector<std::string>{"/dev/loop4", "/dev/loop31", "/dev/mmcblk0p1", "/dev/sda1", "/dev/sdb1",
                                      "/dev/sdb2", "/dev/sdc", img}),
            order);
  EXPECT_EQ((std::vector<std::string>{"1 card.img [] 8192", "1 card.img [] 8192", "1 SD SC32G [] 1048576",
                                      "0  [] 1048576", "1 Generic STORAGE DEVICE [] 33554432",
                                      "1 Generic STORAGE DEVICE [REC CARD] 33554432", "1  [] 1048576",
                                      "1 card.img [] 8192"}),
            seen);
  auto m = byName(listAll());
  EXPECT_EQ(m["/dev/sdb1"].diskNumber, m["/dev/sdb2"].diskNumber);
  EXPECT_NE(m["/dev/sdb1"].diskNumber, m["/dev/sdc"].diskNumber);
}

TEST_F(Discovery, MountPointsComeFromMountinfo) {
  fs.addUsbDisk("sdb", {"sdb1", "sdb2", "sdb3"});
  std::string spaced = fs.path("media/card one\tx");
  fs.mount("sdb1", spaced);
  // Only a bind mount of a subdirectory: the volume's top is not reachable.
  fs.addMountinfoLine("300 22 " + fs.devNumber("sdb3") + " /sub " + fs.path("media/bind") +
                      " rw - exfat /dev/sdb3 rw");
  for (const std::string &junk : {std::string("garbage"), "1 2 " + fs.devNumber("sdb2"), std::string()})
    fs.addMountinfoLine(junk);

  auto m = byName(listAll());
  EXPECT_EQ(spaced, m["/dev/sdb1"].root);
  EXPECT_STREQ("", m["/dev/sdb2"].root);
  EXPECT_STREQ("", m["/dev/sdb3"].root);

  char buf[PLAT_PATH_SIZE];
  ASSERT_EQ(0, plat_volumeRoot(m["/dev/sdb1"].driveIndex, buf, sizeof buf));
  EXPECT_EQ(spaced, buf);
  EXPECT_EQ(-1, plat_volumeRoot(m["/dev/sdb2"].driveIndex, buf, sizeof buf));
  EXPECT_EQ(-1, plat_volumeRoot(m["/dev/sdb1"].driveIndex, buf, 4));  // too small

  fs.unmount("sdb1");
  EXPECT_STREQ("", byName(listAll())["/dev/sdb1"].root);

  // The player lists disks on every press of its chooser: a listing keeps
  // no descriptor open.
  auto openFds = [] {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
      while (readdir(d)) n++;
      closedir(d);
    }
    return n;
  };
  int before = openFds();
  for (int i = 0; i < 20; i++) listAll();
  EXPECT_EQ(before, openFds());
}

// A card taken out and put back (or another in its place) is a new medium:
// new numbers, so that nothing opened on the old one reaches the new one,
// under the same name. Others keep theirs.
TEST_F(Discovery, ACardPutBackIsANewDiskUnderItsOldName) {
  fs.addUsbDisk("sdm", {"sdm1", "sdm2"});
  fs.addUsbDisk("sdn");
  auto first = byName(listAll());
  ASSERT_EQ(3u, first.size());

  fs.removeDisk("sdm");
  ASSERT_EQ(1u, listAll().size());
  plat_volume gone;
  EXPECT_EQ(-1, plat_findVolume(first["/dev/sdm1"].driveIndex, &gone));
  fs.addUsbDisk("sdm", {"sdm1", "sdm2"});
  auto again = listAll();
  auto m = byName(again);
  ASSERT_EQ(3u, m.size());
  EXPECT_EQ(first["/dev/sdn"].driveIndex, m["/dev/sdn"].driveIndex);
  EXPECT_EQ(first["/dev/sdn"].diskNumber, m["/dev/sdn"].diskNumber);
  for (const char *name : {"/dev/sdm1", "/dev/sdm2"}) {
    EXPECT_NE(first[name].driveIndex, m[name].driveIndex) << name;
    EXPECT_NE(first[name].diskNumber, m[name].diskNumber) << name;
  }
  EXPECT_EQ(nullptr, plat_openDisk(first["/dev/sdm1"].diskNumber));
  for (size_t i = 1; i < again.size(); i++) EXPECT_LT(again[i - 1].driveIndex, again[i].driveIndex);
}

TEST_F(Discovery, AttachedFilesAndDirectories) {
  std::string img = fs.path("cards/a.img"), dir = fs.path("cards/volume"), link = fs.path("cards/link.img");
  fakesys::writeFile(img, std::vector<uint8_t>(5000, 3));
  mkdir(dir.c_str(), 0755);
  ASSERT_EQ(0, symlink(img.c_str(), link.c_str()));
  // The same file by other spellings is the same card.
  for (const std::string &p : {img, dir, link, fs.path("cards/volume/../a.img")})
    ASSERT_EQ(0, plat_attachPath(p.c_str())) << p;

  auto m = byName(listAll());
  ASSERT_EQ(2u, m.size());
  ASSERT_TRUE(m.count(img) && m.count(dir));
  EXPECT_EQ(1, m[img].onUsb);
  EXPECT_EQ(1, m[dir].onUsb);
  EXPECT_STREQ("", m[img].root);
  EXPECT_EQ(dir, m[dir].root);
  EXPECT_STREQ("a.img", m[img].product);
  EXPECT_EQ(5000u, m[img].size);
  EXPECT_NE(m[img].diskNumber, m[dir].diskNumber);
  EXPECT_EQ(0, plat_probeVolume(&m[dir]));
  EXPECT_EQ(nullptr, plat_openDisk(m[dir].diskNumber));  // files only, no raw bytes

  // A card that goes away is left out, and comes back under its numbers.
  std::string moved = fs.path("cards/moved.img");
  ASSERT_EQ(0, rename(img.c_str(), moved.c_str()));
  EXPECT_EQ(1u, listAll().size());
  EXPECT_EQ(-1, plat_probeVolume(&m[img]));
  ASSERT_EQ(0, rename(moved.c_str(), img.c_str()));
  EXPECT_EQ(m[img].driveIndex, byName(listAll())[img].driveIndex);

  plat_detachAll();
  EXPECT_EQ(0u, listAll().size());
  EXPECT_EQ(nullptr, plat_openDisk(m[img].diskNumber));
}

TEST_F(Discovery, AttachRefusesWhatIsNoCard) {
  std::string missing = fs.path("no/such.img"), fifo = fs.path("pipe");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string &p : {missing, fifo, std::string()}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, plat_attachPath(p.c_str())) << p;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_EQ(0u, err.find("cannot attach " + p)) << err;
  }
  EXPECT_EQ(0u, listAll().size());
}

// Names are at most 47 bytes, unique, end with the part of the path that
// tells cards apart, and never start inside a UTF-8 character.
TEST_F(Discovery, LongPathsGetShortUniqueNames) {
  std::string tail = "/recorder-card-backup-2024/storage-volume-copy";  // 46 characters
  std::vector<std::string> dirs = {fs.path(std::string(60, 'a') + tail), fs.path(std::string(60, 'b') + tail),
                                   fs.path("x/\xE4\xB8\x8A\xE6\xB5\xB7\xE4\xB8\x8A\xE6\xB5\xB7" + tail.substr(3))};
  for (const auto &d : dirs) {
    fakesys::writeText(d + "/marker", "x");
    ASSERT_EQ(0, plat_attachPath(d.c_str()));
  }
  auto vs = listAll();
  std::set<std::string> names;
  for (const auto &v : vs) {
    std::string n = v.name;
    EXPECT_TRUE(n.size() <= 47 && n.find("...") == 0 && (n[3] & 0xC0) != 0x80) << n;
    names.insert(n);
  }
  EXPECT_EQ(dirs.size(), names.size());
  // The first keeps the path's last 44 characters; later clashes get a suffix.
  EXPECT_EQ("..." + dirs[0].substr(dirs[0].size() - 44), std::string(vs[0].name));

  // A name that another volume already has gets a suffix instead.
  fs.addUsbDisk("sdu");
  static const uint8_t byte = 0;
  ASSERT_GE(plat_attachMemory(&byte, 1, 0, "/dev/sdu"), 0);
  auto m = byName(listAll());
  EXPECT_TRUE(m.count("/dev/sdu") && m.count("/dev/sdu~2"));
}

TEST_F(Discovery, MemoryDisksReadZerosBeforeTheirData) {
  std::vector<uint8_t> data = pattern(6000, 3);
  const uint64_t base = 3 * PLAT_BLOCK_SIZE - 100;  // data starts inside block 2
  int n = plat_attachMemory(data.data(), data.size(), base, "fuzz-input");
  ASSERT_GE(n, 0);
  EXPECT_EQ(n, plat_attachMemory(data.data(), data.size(), base, "fuzz-input"));  // same name, same disk
  ASSERT_EQ(1u, listAll().size());
  EXPECT_EQ(static_cast<uint32_t>(n), listAll()[0].diskNumber);
  plat_disk *d = plat_openDisk(static_cast<uint32_t>(n));
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(base + data.size(), plat_diskSize(d));
  std::vector<uint8_t> whole(base, 0), block(PLAT_BLOCK_SIZE);
  whole.insert(whole.end(), data.begin(), data.end());
  whole.resize(5 * PLAT_BLOCK_SIZE, 0);
  for (uint64_t b = 0; b < 5; b++) {
    ASSERT_EQ(0, plat_readBlock(d, b, block.data()));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), whole.begin() + b * PLAT_BLOCK_SIZE)) << "block " << b;
  }
  EXPECT_EQ(-1, plat_readBlock(d, 5, block.data()));
  plat_closeDisk(d);

  // A base that would make the disk end past 2^64 is refused.
  EXPECT_EQ(-1, plat_attachMemory(data.data(), data.size(), UINT64_MAX - 10, "overflow"));
  plat_detachAll();
  EXPECT_EQ(nullptr, plat_openDisk(static_cast<uint32_t>(n)));
}

// The watch calls back when a disk comes or goes or a mount changes, never
// when nothing did, and never after it is stopped.
TEST_F(Discovery, TheWatchCallsBackOnChanges) {
  static std::atomic<int> calls{0};
  calls = 0;
  plat_watchStart([](void *) { calls++; }, nullptr);
  auto waitForCall = [](int before) {
    for (int i = 0; i < 100 && calls == before; i++) usleep(50 * 1000);
    return calls > before;
  };
  usleep(1500 * 1000);
  EXPECT_EQ(0, calls.load());  // nothing changed
  fs.addUsbDisk("sdq");
  EXPECT_TRUE(waitForCall(0));
  int now = calls;
  fs.mount("sdq", fs.path("q"));
  EXPECT_TRUE(waitForCall(now));
  now = calls;
  fs.removeDisk("sdq");
  EXPECT_TRUE(waitForCall(now));
  plat_watchStop();
  now = calls;
  fs.addUsbDisk("sdr");
  usleep(1500 * 1000);
  EXPECT_EQ(now, calls.load());
}

// Runs in a child process: it uses up the run's drive indexes.
TEST(DiscoveryDeathTest, MoreThan256VolumesAreSkippedWithOneMessage) {
  EXPECT_EXIT(
      {
        plat_setRoots("/nonexistent-sys", "/nonexistent-proc", "/nonexistent-dev");
        static uint8_t byte = 1;
        for (int i = 0; i < 300; i++) plat_attachMemory(&byte, 1, 0, ("m" + std::to_string(i)).c_str());
        auto first = listAll();
        bool ok = first.size() == 256 && first[0].driveIndex == 0 && first[255].driveIndex == 255;
        exit(ok && listAll().size() == 256 ? 0 : 1);  // the second listing says nothing
      },
      ::testing::ExitedWithCode(0), "^more than 256 volumes seen in this run; m256 and any newer ones are not listed\n$");
}

}  // namespace
