// Attributes the erase engine decides with: hidden, locked, labels, emptiness.
#include "files/RNFilesUtilities.h"
#include "files/RNLabels.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace quillo::files;
using namespace quillo::test;

namespace {

class FilesAttributes : public ::testing::Test {
protected:
    void SetUp() override {
        dir = env.root() + "/items";
        makeDirs(dir);
    }
    TempHome env;
    std::string dir;
    RNFilesUtilities& f = RNFilesUtilities::sharedControl();
};

TEST_F(FilesAttributes, DirectoryAndExistence) {
    writeFile(dir + "/file", "x");
    ASSERT_EQ(::symlink(dir.c_str(), (dir + "/link-to-dir").c_str()), 0);
    ASSERT_EQ(::symlink("/nowhere/at/all", (dir + "/dangling").c_str()), 0);
    EXPECT_TRUE(f.isDirectoryWithURL(dir));
    EXPECT_FALSE(f.isDirectoryWithURL(dir + "/file"));
    EXPECT_FALSE(f.isDirectoryWithURL(dir + "/link-to-dir")) << "a symlink to a folder is no folder";
    EXPECT_FALSE(f.isDirectoryWithURL("relative"));
    EXPECT_TRUE(f.itemAtPathExists(dir + "/file"));
    EXPECT_FALSE(f.itemAtPathExists(""));
    EXPECT_FALSE(f.itemAtPathExists(dir + "/dangling")) << "existence follows links";
}

TEST_F(FilesAttributes, HiddenByDotOrByTheFoldersHiddenList) {
    writeFile(dir + "/.DS_Store", "");
    writeFile(dir + "/listed", "");
    writeFile(dir + "/plain", "");
    writeFile(dir + "/.hidden", "other\nlisted\n");
    EXPECT_TRUE(f.isHiddenWithURL(dir + "/.DS_Store"));
    EXPECT_TRUE(f.isHiddenWithURL(dir + "/listed"));
    EXPECT_FALSE(f.isHiddenWithURL(dir + "/plain"));
    EXPECT_FALSE(f.isHiddenWithURL("no-scheme"));
}

TEST_F(FilesAttributes, EmptyFolderVerdicts) {
    auto folder = [&](const std::string& name) {
        makeDirs(dir + "/" + name);
        return dir + "/" + name;
    };
    EXPECT_TRUE(f.isAnEmptyFolder(folder("nothing")));

    std::string onlyEmptySub = folder("only-empty-sub");
    makeDirs(onlyEmptySub + "/sub");
    EXPECT_TRUE(f.isAnEmptyFolder(onlyEmptySub));

    std::string iconOnly = folder("icon-only");
    writeFile(iconOnly + "/My ICON file", "");
    writeFile(iconOnly + "/.hidden", "My ICON file\n");
    EXPECT_TRUE(f.isAnEmptyFolder(iconOnly)) << "a hidden custom-icon file does not count";

    std::string hiddenOther = folder("hidden-other");
    writeFile(hiddenOther + "/notes", "");
    writeFile(hiddenOther + "/.hidden", "notes\n");
    EXPECT_FALSE(f.isAnEmptyFolder(hiddenOther));

    std::string visible = folder("visible");
    writeFile(visible + "/file", "");
    EXPECT_FALSE(f.isAnEmptyFolder(visible));

    std::string deep = folder("deep");
    makeDirs(deep + "/a/b");
    writeFile(deep + "/a/b/file", "");
    EXPECT_FALSE(f.isAnEmptyFolder(deep));

    std::string dotsOnly = folder("dots-only");
    writeFile(dotsOnly + "/.DS_Store", "");
    EXPECT_FALSE(f.isAnEmptyFolder(dotsOnly)) << "something is still there";

    EXPECT_FALSE(f.isAnEmptyFolder(dir + "/missing"));
}

TEST_F(FilesAttributes, LabelsFromXdgTags) {
    EXPECT_EQ(labelNumberForTags("work, Red"), 6);
    EXPECT_EQ(labelNumberForTags("grey"), 1);
    EXPECT_EQ(labelNumberForTags("ORANGE,green"), 7);
    EXPECT_EQ(labelNumberForTags("none of these"), 0);
    EXPECT_EQ(labelNumberForTags(""), 0);

    std::string file = dir + "/tagged";
    writeFile(file, "");
    EXPECT_EQ(f.systemLabelNumberWithURL(file), 0);
    const char tags[] = "project,Blue";
    if (::setxattr(file.c_str(), "user.xdg.tags", tags, sizeof tags - 1, 0) != 0)
        GTEST_SKIP() << "user extended attributes unsupported here";
    EXPECT_EQ(f.systemLabelNumberWithURL(file), 4);
    EXPECT_EQ(f.systemLabelNumberWithURL(""), 0);
}

TEST_F(FilesAttributes, ImmutableItemsAreLockedAndOnlyRootUnlocks) {
    if (!isRoot()) GTEST_SKIP() << "setting the immutable flag needs root";
    if (!haveTool("chattr")) GTEST_SKIP() << "chattr missing";
    ::chmod(env.root().c_str(), 0755);
    ::chmod(dir.c_str(), 0777);
    std::string file = dir + "/locked";
    std::string appendOnly = dir + "/append-only";
    writeFile(file, "x", 0666);
    writeFile(appendOnly, "y", 0666);
    EXPECT_FALSE(f.isLockedWithURL(file));
    EXPECT_TRUE(f.unlockWithURL(file)) << "unlocking what is not locked succeeds";
    if (run("chattr +i '" + file + "' 2>/dev/null") != 0) GTEST_SKIP() << "file system has no immutable flag";
    ASSERT_EQ(run("chattr +a '" + appendOnly + "'"), 0);
    EXPECT_TRUE(f.isLockedWithURL(file));
    EXPECT_TRUE(f.isLockedWithURL(appendOnly));
    EXPECT_FALSE(f.isLockedWithURL(dir + "/missing"));

    int asNobody = runAsNobody([&] {
        auto& files = RNFilesUtilities::sharedControl();
        if (!files.isLockedWithURL(file)) return 1;
        return files.unlockWithURL(file) ? 2 : 0;
    });
    EXPECT_EQ(asNobody, 0) << "an unprivileged user cannot clear the flag";
    EXPECT_TRUE(f.isLockedWithURL(file));

    EXPECT_TRUE(f.unlockWithURL(file));
    EXPECT_TRUE(f.unlockWithURL(appendOnly));
    EXPECT_FALSE(f.isLockedWithURL(file));
    EXPECT_FALSE(f.isLockedWithURL(appendOnly));
    EXPECT_EQ(::unlink(file.c_str()), 0);
}

TEST_F(FilesAttributes, FifoIsNeverOpened) {
    std::string fifo = dir + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opening a FIFO for reading with no writer would block; these must answer at once.
    EXPECT_FALSE(f.isLockedWithURL(fifo));
    EXPECT_TRUE(f.unlockWithURL(fifo));
    EXPECT_FALSE(f.isDirectoryWithURL(fifo));
}

}  // namespace
