// Finding volumes and the user's trash on each: the freedesktop.org rules on planted folders,
// and real mounts when running as root.
#include "files/RNFilesUtilities.h"
#include "files/SystemLog.h"
#include "files/TrashLocator.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

using namespace quillo::files;
using namespace quillo::test;

namespace {

class FilesTrashLocator : public ::testing::Test {
protected:
    void SetUp() override {
        topdir = env.root() + "/volume";
        makeDirs(topdir);
    }
    TrashLocator locator() { return TrashLocator(getuid(), env.homeTrash(), "/home-volume"); }
    std::string uid = std::to_string(getuid());
    TempHome env;
    std::string topdir;
};

TEST_F(FilesTrashLocator, HomeVolumeGetsTheHomeTrashCreatedPrivate) {
    auto found = locator().lookup("/home-volume", true);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ(found.filesDir, env.homeTrash() + "/files");
    struct stat st;
    ASSERT_EQ(::stat(found.filesDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(exists(env.homeTrash() + "/info"));

    TrashLocator fromEnv;
    EXPECT_EQ(fromEnv.homeTrashDir(), env.homeTrash()) << "XDG_DATA_HOME decides the home trash";
}

TEST_F(FilesTrashLocator, OtherVolumesAreAnsweredButNeverLittered) {
    auto found = locator().lookup(topdir, true);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ(found.filesDir, topdir + "/.Trash-" + uid + "/files");
    EXPECT_FALSE(exists(topdir + "/.Trash-" + uid)) << "nothing is created outside the home trash";
}

TEST_F(FilesTrashLocator, StickySharedTrashIsUsedPerUser) {
    makeDirs(topdir + "/.Trash");
    ::chmod((topdir + "/.Trash").c_str(), 01777);
    auto found = locator().lookup(topdir, false);
    ASSERT_TRUE(found.ok) << found.error;
    EXPECT_EQ(found.filesDir, topdir + "/.Trash/" + uid + "/files");
}

TEST_F(FilesTrashLocator, NonStickyOrSymlinkedSharedTrashIsRefused) {
    makeDirs(topdir + "/.Trash");
    ::chmod((topdir + "/.Trash").c_str(), 0777);
    EXPECT_EQ(locator().lookup(topdir, false).filesDir, topdir + "/.Trash-" + uid + "/files");

    std::string other = env.root() + "/volume2";
    std::string elsewhere = env.root() + "/elsewhere";
    makeDirs(other);
    makeDirs(elsewhere);
    ::chmod(elsewhere.c_str(), 01777);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (other + "/.Trash").c_str()), 0);
    EXPECT_EQ(locator().lookup(other, false).filesDir, other + "/.Trash-" + uid + "/files");
}

TEST_F(FilesTrashLocator, UnusableUserTrashIsAnError) {
    ASSERT_EQ(::symlink("/tmp", (topdir + "/.Trash-" + uid).c_str()), 0);
    auto found = locator().lookup(topdir, true);
    EXPECT_FALSE(found.ok);
    EXPECT_NE(found.error.find("symbolic link"), std::string::npos) << found.error;

    std::string file = env.root() + "/volume3";
    makeDirs(file);
    writeFile(file + "/.Trash-" + uid, "not a folder");
    EXPECT_FALSE(locator().lookup(file, true).ok);
}

TEST(FilesVolumes, IndexOfMountedDiskMatchesExactly) {
    std::vector<TrashLocation> list(2);
    list[0].volumePath = "/media/a";
    list[1].volumePath = "/media/b";
    EXPECT_EQ(RNFilesUtilities::indexOfNewMountedDiskInArray(list, "/media/b"), 1u);
    EXPECT_EQ(RNFilesUtilities::indexOfNewMountedDiskInArray(list, "/media/b/"), RNFilesUtilities::kNotFound);
    EXPECT_EQ(RNFilesUtilities::indexOfNewMountedDiskInArray({}, "/"), RNFilesUtilities::kNotFound);
}

TEST(FilesVolumes, DirectoryInfoOfFoldersLinksAndNothing) {
    TempHome env;
    auto& f = RNFilesUtilities::sharedControl();
    EXPECT_FALSE(f.directoryInfoForURL(""));
    EXPECT_FALSE(f.directoryInfoForURL("relative"));
    EXPECT_FALSE(f.directoryInfoForURL(env.root() + "/missing"));

    std::string folder = env.root() + "/folder";
    makeDirs(folder);
    auto info = f.directoryInfoForURL(folder);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->isDisk);
    EXPECT_EQ(info->name, "folder");

    std::string link = env.root() + "/link";
    ASSERT_EQ(::symlink(folder.c_str(), link.c_str()), 0);
    auto viaLink = f.directoryInfoForURL(link);
    ASSERT_TRUE(viaLink);
    EXPECT_EQ(viaLink->url, folder) << "url is the link's target";
    EXPECT_EQ(viaLink->path, link) << "path is the link itself";

    EXPECT_TRUE(RNFilesUtilities::isASupportedPackage("/x/Photos Library.photoslibrary"));
    EXPECT_FALSE(RNFilesUtilities::isASupportedPackage("/x/Library.PhotosLibrary")) << "case-sensitive";
    EXPECT_FALSE(RNFilesUtilities::isASupportedPackage("/x/.photoslibrary/y"));

    auto root = f.directoryInfoForURL("/");
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->isDisk);
    EXPECT_GT(root->totSize, 0u);
    EXPECT_FALSE(root->name.empty());
}

TEST(FilesVolumes, HomeTrashVolumeIsListedWithItsTrash) {
    TempHome env;
    auto& f = RNFilesUtilities::sharedControl();
    auto trashes = f.trashesAndVolumesLocations();
    auto it = std::find_if(trashes.begin(), trashes.end(),
                           [&](const TrashLocation& t) { return t.trashURL == env.homeTrash() + "/files"; });
    ASSERT_NE(it, trashes.end()) << "the volume holding the home trash must be listed";
    EXPECT_EQ(it->volumeURL, volumeOfPath(env.homeTrash()));
    EXPECT_EQ(it->volumePath, it->volumeURL);
    EXPECT_TRUE(it->trashIsEmpty);
    EXPECT_TRUE(exists(env.homeTrash() + "/files")) << "the home trash is created when missing";
    for (const auto& t : trashes) EXPECT_EQ(t.volumePath.rfind("/proc", 0), std::string::npos);
}

// Real mounts: the volume list and the trash folder each kind of volume gets.
class FilesMountedVolumes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "mounting needs root";
    }
    const TrashLocation* trashOn(const std::vector<TrashLocation>& list, const std::string& mountPoint) {
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const TrashLocation& t) { return t.volumePath == mountPoint; });
        return it == list.end() ? nullptr : &*it;
    }
    TempHome env;
    RNFilesUtilities& f = RNFilesUtilities::sharedControl();
};

TEST_F(FilesMountedVolumes, TmpfsGetsPerUserTrashFolder) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    auto list = f.trashesAndVolumesLocations();
    const TrashLocation* t = trashOn(list, m.mountPoint());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->trashURL, m.mountPoint() + "/.Trash-0/files");
    EXPECT_EQ(t->volumeName, lastPathComponent(m.mountPoint()));
    EXPECT_TRUE(t->trashIsEmpty);
    EXPECT_FALSE(exists(m.mountPoint() + "/.Trash-0")) << "listing must not litter the volume";
    EXPECT_EQ(f.trashURLForItemURL(m.mountPoint()), m.mountPoint() + "/.Trash-0/files");

    makeDirs(m.mountPoint() + "/.Trash-0/files");
    writeFile(m.mountPoint() + "/.Trash-0/files/thing", "x");
    list = f.trashesAndVolumesLocations();
    ASSERT_TRUE(trashOn(list, m.mountPoint()));
    EXPECT_FALSE(trashOn(list, m.mountPoint())->trashIsEmpty);
}

TEST_F(FilesMountedVolumes, StickyDotTrashOnARealVolume) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    makeDirs(m.mountPoint() + "/.Trash");
    ::chmod((m.mountPoint() + "/.Trash").c_str(), 01777);
    const TrashLocation* t = nullptr;
    auto list = f.trashesAndVolumesLocations();
    t = trashOn(list, m.mountPoint());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->trashURL, m.mountPoint() + "/.Trash/0/files");
}

TEST_F(FilesMountedVolumes, SymlinkedDotTrashFallsBackOnARealVolume) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    makeDirs(env.root() + "/sticky");
    ::chmod((env.root() + "/sticky").c_str(), 01777);
    ASSERT_EQ(::symlink((env.root() + "/sticky").c_str(), (m.mountPoint() + "/.Trash").c_str()), 0);
    auto list = f.trashesAndVolumesLocations();
    const TrashLocation* t = trashOn(list, m.mountPoint());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->trashURL, m.mountPoint() + "/.Trash-0/files");
}

TEST_F(FilesMountedVolumes, ReadOnlyVolumeIsListedLockedButHasNoTrash) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs, /*readOnly=*/true);
    ASSERT_TRUE(m.ok()) << m.error();
    auto volumes = f.volumesLocationArray();
    auto v = std::find_if(volumes.begin(), volumes.end(), [&](const VolumeInfo& i) { return i.url == m.mountPoint(); });
    ASSERT_NE(v, volumes.end());
    EXPECT_TRUE(v->isDisk);
    EXPECT_TRUE(v->isLocked);
    EXPECT_FALSE(trashOn(f.trashesAndVolumesLocations(), m.mountPoint()));
    EXPECT_FALSE(f.trashURLForItemURL(m.mountPoint()));
}

TEST_F(FilesMountedVolumes, VolumeWithoutTrashIsRememberedAndLoggedOnce) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    writeFile(m.mountPoint() + "/.Trash-0", "a file where the trash should be");
    std::vector<std::string> lines;
    auto previous = setSystemLogSink([&](const std::string& l) { lines.push_back(l); });
    auto first = f.trashesAndVolumesLocations();
    auto second = f.trashesAndVolumesLocations();
    setSystemLogSink(previous);
    EXPECT_FALSE(trashOn(first, m.mountPoint()));
    EXPECT_FALSE(trashOn(second, m.mountPoint()));
    auto errors = f.trashErrors();
    EXPECT_NE(std::find(errors.begin(), errors.end(), m.mountPoint()), errors.end());
    ASSERT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(m.mountPoint()) != std::string::npos; }),
              1);
    EXPECT_EQ(lines[0].rfind("NSTrashDirectory error: ", 0), 0u);
}

TEST_F(FilesMountedVolumes, ExtVolumeCapacitiesAreRead) {
    ScopedMount m(env.root(), ScopedMount::Kind::Ext4Loop);
    if (!m.ok() && m.error().find("missing") != std::string::npos) GTEST_SKIP() << m.error();
    ASSERT_TRUE(m.ok()) << m.error();
    auto info = f.directoryInfoForURL(m.mountPoint());
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->isDisk);
    EXPECT_FALSE(info->isLocked);
    EXPECT_GT(info->totSize, 30u * 1000 * 1000);
    EXPECT_GT(info->freeSize, 0u);
    EXPECT_LE(info->freeSize, info->totSize);
}

}  // namespace
