// What the root helper may touch: paths inside the caller's trashes, reached without symlinks,
// never on another mount; and work on an accepted path stays where it was verified.
#include "files/FileRemoval.h"
#include "helper/PathGuard.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

using namespace quillo;
using quillo::helper::GuardResult;
using quillo::helper::PathGuard;

namespace {

class HelperPathGuard : public ::testing::Test {
protected:
    void SetUp() override {
        uid_ = ::getuid();
        uidText_ = std::to_string(uid_);
        volume_ = home_.root() + "/vol";
        test::makeDirs(homeFiles(), 0700);
        test::makeDirs(volume_ + "/.Trash-" + uidText_ + "/files", 0700);
        test::makeDirs(volume_ + "/.Trash", 0755);
        ::chmod((volume_ + "/.Trash").c_str(), 01777);
        test::makeDirs(volume_ + "/.Trash/" + uidText_ + "/files", 0700);
        outside_ = home_.root() + "/outside";
        test::makeDirs(outside_);
        test::writeFile(outside_ + "/victim", "keep");
    }

    PathGuard guard(const std::string& home = "") const {
        files::MountEntry vol;
        vol.mountPoint = volume_;
        vol.fsType = "ext4";
        return PathGuard(uid_, home.empty() ? home_.home() : home, {vol});
    }
    std::string homeFiles() const { return home_.homeTrash() + "/files"; }
    std::string userTrashFiles() const { return volume_ + "/.Trash-" + uidText_ + "/files"; }
    std::string sharedTrashFiles() const { return volume_ + "/.Trash/" + uidText_ + "/files"; }

    static ino_t inodeOfFd(int fd) {
        struct stat st;
        return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
    }
    static ino_t inodeOf(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    test::TempHome home_;
    uid_t uid_ = 0;
    std::string uidText_, volume_, outside_;
};

}  // namespace

TEST_F(HelperPathGuard, AcceptsItemsInEachKindOfTheCallersTrash) {
    const PathGuard g = guard();
    for (const std::string& files : {homeFiles(), userTrashFiles(), sharedTrashFiles()}) {
        test::writeFile(files + "/item", "x");
        GuardResult r = g.verify(files + "/item");
        ASSERT_TRUE(r) << files << ": " << r.refusal;
        EXPECT_EQ(r.item->name, "item");
        EXPECT_TRUE(r.item->topLevel);
        EXPECT_EQ(inodeOfFd(r.item->parent.get()), inodeOf(files));
        EXPECT_EQ(inodeOfFd(r.item->trashDir.get()), inodeOf(files.substr(0, files.size() - 6)));
    }
    // Deeper items, doubled slashes, and items that no longer exist are still inside.
    test::makeDirs(homeFiles() + "/dir/sub");
    GuardResult nested = g.verify(homeFiles() + "//dir/sub/leaf");
    ASSERT_TRUE(nested) << nested.refusal;
    EXPECT_FALSE(nested.item->topLevel);
    EXPECT_EQ(nested.item->name, "leaf");
    EXPECT_EQ(inodeOfFd(nested.item->parent.get()), inodeOf(homeFiles() + "/dir/sub"));
}

TEST_F(HelperPathGuard, RefusesEverythingOutsideTheCallersTrashFiles) {
    const PathGuard g = guard();
    const std::vector<std::string> refused = {
        "/etc/passwd",
        outside_ + "/victim",
        homeFiles(),                                   // the files/ folder itself
        home_.homeTrash() + "/info/item.trashinfo",   // beside files/, not in it
        homeFiles() + "/../../../outside/victim",
        homeFiles() + "/./item",
        homeFiles() + "/dir/..",
        "relative/.local/share/Trash/files/x",
        "",
        homeFiles() + std::string("/nul\0/x", 7),
        volume_ + "/.Trash-" + std::to_string(uid_ + 1) + "/files/x",  // another user's trash
        volume_ + "/.Trash/" + std::to_string(uid_ + 1) + "/files/x",
        home_.root() + "/elsewhere/.Trash-" + uidText_ + "/files/x",  // not a mount point
        homeFiles() + "/" + std::string(300, 'n'),
    };
    for (const std::string& path : refused) {
        GuardResult r = g.verify(path);
        EXPECT_FALSE(r) << path;
        EXPECT_FALSE(r.refusal.empty()) << path;
    }
}

TEST_F(HelperPathGuard, RefusesASymlinkInAnyComponent) {
    const PathGuard g = guard();
    // A folder inside the trash that is a link to somewhere else.
    ASSERT_EQ(::symlink(outside_.c_str(), (homeFiles() + "/link").c_str()), 0);
    EXPECT_FALSE(g.verify(homeFiles() + "/link/victim"));
    // The item itself may be a link: it is the link that would be removed, never its target.
    GuardResult linkItem = g.verify(homeFiles() + "/link");
    ASSERT_TRUE(linkItem) << linkItem.refusal;

    // The trash folder itself replaced by a link to a folder laid out like a trash.
    test::makeDirs(outside_ + "/fake/files");
    const std::string userTrash = volume_ + "/.Trash-" + uidText_;
    test::removeTree(userTrash);
    ASSERT_EQ(::symlink((outside_ + "/fake").c_str(), userTrash.c_str()), 0);
    GuardResult r = g.verify(userTrash + "/files/victim");
    EXPECT_FALSE(r);
    EXPECT_NE(r.refusal.find("symbolic link"), std::string::npos) << r.refusal;
}

TEST_F(HelperPathGuard, SharedTrashNeedsTheStickyBitAndTheTrashMustBeTheCallers) {
    ::chmod((volume_ + "/.Trash").c_str(), 0777);
    EXPECT_FALSE(guard().verify(sharedTrashFiles() + "/x"));
    ::chmod((volume_ + "/.Trash").c_str(), 01777);
    EXPECT_TRUE(guard().verify(sharedTrashFiles() + "/x"));

    if (!test::isRoot()) GTEST_SKIP() << "changing a folder's owner needs root";
    const std::string trash = volume_ + "/.Trash-" + uidText_;
    ASSERT_EQ(::chown(trash.c_str(), test::kNobodyUid, test::kNobodyGid), 0);
    GuardResult r = guard().verify(userTrashFiles() + "/x");
    EXPECT_FALSE(r);
    EXPECT_NE(r.refusal.find("another user"), std::string::npos) << r.refusal;
}

TEST_F(HelperPathGuard, HomeNamedThroughASymlinkIsWalkedResolved) {
    const std::string alias = home_.root() + "/homealias";
    ASSERT_EQ(::symlink(home_.home().c_str(), alias.c_str()), 0);
    const PathGuard g = guard(alias);
    test::writeFile(homeFiles() + "/item", "x");
    EXPECT_TRUE(g.verify(alias + "/.local/share/Trash/files/item"));
    EXPECT_TRUE(g.verify(homeFiles() + "/item"));
}

TEST_F(HelperPathGuard, AFolderSwappedForASymlinkAfterTheCheckCannotRedirectTheRemoval) {
    test::makeDirs(homeFiles() + "/dir");
    test::writeFile(homeFiles() + "/dir/victim", "trashed");
    GuardResult r = guard().verify(homeFiles() + "/dir/victim");
    ASSERT_TRUE(r) << r.refusal;
    // The user swaps the verified folder for a link to the outside before root acts.
    ASSERT_EQ(::rename((homeFiles() + "/dir").c_str(), (homeFiles() + "/moved").c_str()), 0);
    ASSERT_EQ(::symlink(outside_.c_str(), (homeFiles() + "/dir").c_str()), 0);
    EXPECT_EQ(files::removeItemAt(r.item->parent.get(), r.item->name.c_str()), 0);
    EXPECT_TRUE(test::exists(outside_ + "/victim"));
    EXPECT_FALSE(test::exists(homeFiles() + "/moved/victim"));
}

TEST_F(HelperPathGuard, NeverCrossesIntoAnotherMount) {
    if (!test::isRoot()) GTEST_SKIP() << "mounting needs root";
    test::ScopedMount mount(homeFiles(), test::ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(mount.ok()) << mount.error();
    test::writeFile(mount.mountPoint() + "/inner", "x");
    GuardResult r = guard().verify(mount.mountPoint() + "/inner");
    EXPECT_FALSE(r);
    EXPECT_NE(r.refusal.find("another mounted"), std::string::npos) << r.refusal;
}

// A folder 3,000 levels down (a path of about 6 kB, beyond PATH_MAX) is reached with a few
// descriptors; a symlink anywhere on such a path is still refused, even one pointing back into
// the same trash.
TEST_F(HelperPathGuard, PathsBeyondPathMaxAreWalkedAndStillRefuseSymlinks) {
    constexpr size_t kDepth = 3000;
    const std::string top = homeFiles() + "/deep";
    ASSERT_TRUE(test::makeDeepChain(top, kDepth));
    const std::string leaf = test::deepChainPath(top, kDepth);
    ASSERT_GT(leaf.size(), size_t(PATH_MAX));
    const int bottom = test::openDeepChainFolder(top, kDepth);
    ASSERT_GE(bottom, 0);
    const ino_t bottomInode = inodeOfFd(bottom);
    ::close(bottom);

    const PathGuard g = guard();
    {
        test::ScopedFileLimit limit(32);
        ASSERT_TRUE(limit.ok());
        GuardResult r = g.verify(leaf);
        ASSERT_TRUE(r) << r.refusal;
        EXPECT_EQ(r.item->name, "leaf");
        EXPECT_FALSE(r.item->topLevel);
        EXPECT_EQ(inodeOfFd(r.item->parent.get()), bottomInode);
        EXPECT_EQ(inodeOfFd(r.item->trashDir.get()), inodeOf(home_.homeTrash()));
    }

    // Halfway down, the folder is renamed and a symlink to it takes its name: the same path now
    // leads through a link.
    const int middle = test::openDeepChainFolder(top, kDepth / 2);
    ASSERT_GE(middle, 0);
    ASSERT_EQ(::renameat(middle, "d", middle, "real"), 0);
    ASSERT_EQ(::symlinkat("real", middle, "d"), 0);
    ::close(middle);
    GuardResult r = g.verify(leaf);
    EXPECT_FALSE(r);
    EXPECT_NE(r.refusal.find("symbolic link"), std::string::npos) << r.refusal.substr(r.refusal.size() - 80);
    // The refusal names the path up to the link, not beyond it.
    std::string upToLink = "/deep";
    for (size_t i = 0; i <= kDepth / 2; ++i) upToLink += "/d";
    EXPECT_NE(r.refusal.find(upToLink + ": "), std::string::npos);
    EXPECT_EQ(r.refusal.find("/real"), std::string::npos);
    EXPECT_EQ(r.refusal.find("/leaf"), std::string::npos);
}

TEST(HelperPathSplit, NormalisesSlashesAndRefusesDotComponents) {
    std::vector<std::string> parts;
    std::string why;
    ASSERT_TRUE(helper::splitAbsolutePath("//a///b/", parts, why));
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(helper::splitAbsolutePath("/a/..b/.c", parts, why));
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "..b", ".c"}));
    EXPECT_FALSE(helper::splitAbsolutePath("/a/../b", parts, why));
    EXPECT_FALSE(helper::splitAbsolutePath("/a/.", parts, why));
    EXPECT_FALSE(helper::splitAbsolutePath("a/b", parts, why));
    // No limit on the whole length: a path beyond PATH_MAX is split like any other.
    std::string deep;
    for (int i = 0; i < 3000; ++i) deep += "/dd";
    ASSERT_TRUE(helper::splitAbsolutePath(deep + "//leaf", parts, why)) << why;
    EXPECT_EQ(parts.size(), 3001u);
    EXPECT_EQ(parts.back(), "leaf");
    EXPECT_FALSE(helper::splitAbsolutePath(deep + "/../leaf", parts, why));
}
