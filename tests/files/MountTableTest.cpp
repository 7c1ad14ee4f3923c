#include "files/MountTable.h"

#include <gtest/gtest.h>

using namespace quillo::files;

TEST(FilesMountTable, ParsesEscapedMountPointsAndOptions) {
    MountEntry e;
    ASSERT_TRUE(parseMountInfoLine(
        "36 35 98:0 /mnt1 /media/My\\040Stick\\134x rw,noatime master:1 - ext4 /dev/sdb1 ro,errors=continue", e));
    EXPECT_EQ(e.mountPoint, "/media/My Stick\\x");
    EXPECT_EQ(e.major, 98u);
    EXPECT_EQ(e.minor, 0u);
    EXPECT_EQ(e.fsType, "ext4");
    EXPECT_EQ(e.source, "/dev/sdb1");
    EXPECT_TRUE(e.hasOption("ro")) << "super options count";
    EXPECT_TRUE(e.hasOption("noatime"));
    EXPECT_FALSE(e.hasOption("no"));

    EXPECT_FALSE(parseMountInfoLine("garbage", e));
    EXPECT_FALSE(parseMountInfoLine("1 2 3:4 / /x rw no-separator-here", e));
}

TEST(FilesMountTable, SystemMountsAreLeftOut) {
    auto entry = [](std::string point, std::string type) {
        MountEntry e;
        e.mountPoint = std::move(point);
        e.fsType = std::move(type);
        return e;
    };
    EXPECT_FALSE(isSystemMount(entry("/", "ext4")));
    EXPECT_FALSE(isSystemMount(entry("/", "squashfs"))) << "the root is always a volume";
    EXPECT_TRUE(isSystemMount(entry("/proc", "proc")));
    EXPECT_TRUE(isSystemMount(entry("/mnt/x", "cgroup2")));
    EXPECT_TRUE(isSystemMount(entry("/dev/shm", "tmpfs")));
    EXPECT_TRUE(isSystemMount(entry("/run/user/1000", "tmpfs")));
    EXPECT_FALSE(isSystemMount(entry("/run/media/me/STICK", "vfat")));
    EXPECT_TRUE(isSystemMount(entry("/boot/efi", "vfat")));
    EXPECT_FALSE(isSystemMount(entry("/devices", "ext4"))) << "only whole components match";
    EXPECT_FALSE(isSystemMount(entry("/media/data", "ext4")));
}

TEST(FilesMountTable, ContainingMountIsTheLongestPrefix) {
    std::vector<MountEntry> table(3);
    table[0].mountPoint = "/";
    table[1].mountPoint = "/media/a";
    table[2].mountPoint = "/media/ab";
    EXPECT_EQ(mountContaining(table, "/media/ab/x")->mountPoint, "/media/ab");
    EXPECT_EQ(mountContaining(table, "/media/a")->mountPoint, "/media/a");
    EXPECT_EQ(mountContaining(table, "/media/abc")->mountPoint, "/");
    EXPECT_FALSE(readMountTable("/proc/self/mountinfo").empty());
    EXPECT_TRUE(readMountTable("/nonexistent").empty());
}
