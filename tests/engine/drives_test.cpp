#include "platform/drives.h"

#include <gtest/gtest.h>

namespace findlark {
namespace {

TEST(Drives, PseudoFileSystemTypes) {
  for (const char* type : {"proc", "sysfs", "devtmpfs", "devpts", "cgroup2", "tracefs", "nsfs",
                           "binfmt_misc", "rpc_pipefs"}) {
    EXPECT_TRUE(IsPseudoFileSystem(type)) << type;
  }
  for (const char* type : {"ext4", "tmpfs", "btrfs", "overlay", "nfs", "fuse.sshfs", "proc2", ""}) {
    EXPECT_FALSE(IsPseudoFileSystem(type)) << type;
  }
}

TEST(Drives, MountinfoLinesGiveUnescapedMountPoints) {
  const std::string mountinfo =
      "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
      "23 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "24 22 0:22 / /proc/sys/fs/binfmt_misc rw master:3 - binfmt_misc binfmt_misc rw\n"
      "25 1 0:5 / /mnt/my\\040sys\\134x rw - sysfs sysfs rw\n"
      "26 1 0:6 / /run rw,nosuid - tmpfs tmpfs rw\n"
      "27 1 0:7 / /weird\\040-\\040name rw - ext4 /dev/sdb1 rw\n"
      "garbage line\n"
      "28 1 0:8 / /dev rw - devtmpfs udev rw";  // no final line feed
  const std::unordered_set<std::string> expected = {"/proc", "/proc/sys/fs/binfmt_misc",
                                                    "/mnt/my sys\\x", "/dev"};
  EXPECT_EQ(PseudoMountsFrom(mountinfo), expected);
  EXPECT_TRUE(PseudoMountsFrom("").empty());
}

}  // namespace
}  // namespace findlark
