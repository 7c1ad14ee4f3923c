// The count an erase makes of a trash: the same records as the trash listing while sizes are
// wanted, the same counts (and no per-entry reading) once they are not.
#include "files/EraseCount.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>

using namespace quillo::files;
using namespace quillo::test;

namespace {

class EraseCount : public ::testing::Test {
protected:
    void SetUp() override {
        files = env.homeTrash() + "/files";
        makeDirs(files, 0700);
    }
    static std::map<std::string, std::pair<uint64_t, uint64_t>> byName(const TrashListing& l) {
        std::map<std::string, std::pair<uint64_t, uint64_t>> m;
        for (const auto& i : l.itemsToErase) m[lastPathComponent(i.url)] = {i.size, i.count};
        return m;
    }
    TempHome env;
    std::string files;
};

TEST_F(EraseCount, WithSizesItIsTheListingWithoutThemTheSameCounts) {
    std::string outside = env.root() + "/outside";
    makeDirs(outside + "/inner");
    writeFile(outside + "/inner/big", std::string(5000, 'o'));
    writeFile(files + "/file", std::string(100, 'x'));
    writeFile(files + "/.hidden", "abc");
    makeDirs(files + "/tree/a/b");
    makeDirs(files + "/tree/empty");
    writeFile(files + "/tree/a/b/deep", std::string(7, 'd'));
    writeFile(files + "/tree/top", std::string(11, 't'));
    ASSERT_EQ(::symlink(outside.c_str(), (files + "/tree/a/link").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), (files + "/toplink").c_str()), 0);
    for (int i = 0; i < 12; ++i) {
        makeDirs(files + "/d" + std::to_string(i));
        for (int j = 0; j < i; ++j) writeFile(files + "/d" + std::to_string(i) + "/f" + std::to_string(j), "zz");
    }

    auto listing = RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(files);
    ASSERT_TRUE(listing);
    for (unsigned threads : {1u, 3u}) {
        std::atomic<bool> sizes{true};
        auto counted = binItemsForEraseWithURL(files, sizes, threads);
        ASSERT_TRUE(counted);
        EXPECT_EQ(byName(*counted), byName(*listing)) << threads << " threads";
        EXPECT_EQ(counted->size, listing->size);
        EXPECT_EQ(counted->count, listing->count);

        sizes = false;
        auto bare = binItemsForEraseWithURL(files, sizes, threads);
        ASSERT_TRUE(bare);
        EXPECT_EQ(bare->count, listing->count) << "every entry is still counted";
        auto m = byName(*bare), full = byName(*listing);
        ASSERT_EQ(m.size(), full.size());
        for (const auto& [name, sc] : full) EXPECT_EQ(m[name].second, sc.second) << name;
        // A trashed file's own size is always there: its log line and the erase's totals use it.
        EXPECT_EQ(m["file"].first, 100u);
        EXPECT_EQ(m[".hidden"].first, 3u);
        EXPECT_EQ(m["toplink"].first, outside.size()) << "a link is itself, not its target";
        EXPECT_EQ(m["tree"].first, 0u) << "no size is read below a folder";
    }
    std::atomic<bool> sizes{true};
    EXPECT_FALSE(binItemsForEraseWithURL("", sizes, 1));
    EXPECT_TRUE(binItemsForEraseWithURL(files + "/missing", sizes, 1)->itemsToErase.empty());
}

TEST_F(EraseCount, AnotherFileSystemInsideIsOneEntryAndNotEntered) {
    if (!isRoot()) GTEST_SKIP() << "mounting needs root";
    makeDirs(files + "/has-mount");
    writeFile(files + "/has-mount/before", "b");
    ScopedMount m(files + "/has-mount", ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    writeFile(m.mountPoint() + "/on-other-fs", std::string(300, 'k'));
    for (bool wanted : {true, false}) {
        std::atomic<bool> sizes{wanted};
        auto counted = binItemsForEraseWithURL(files, sizes, 2);
        ASSERT_TRUE(counted);
        ASSERT_EQ(counted->itemsToErase.size(), 1u);
        EXPECT_EQ(counted->count, 3u) << "the folder, its file and the mount point";
        EXPECT_EQ(counted->size, wanted ? 1u : 0u);
    }
}

TEST_F(EraseCount, DeepChainIsCountedWithFewDescriptors) {
    ScopedFileLimit limit(128);
    ASSERT_TRUE(limit.ok());
    ASSERT_TRUE(makeDeepChain(files + "/deep", 2500, "folder", "last"));
    std::atomic<bool> sizes{false};
    int fd = openDirectoryNoFollow(AT_FDCWD, (files + "/deep").c_str());
    ASSERT_GE(fd, 0);
    EraseCountTotals totals;
    countFolderForEraseAt(fd, sizes, totals);
    ::close(fd);
    EXPECT_EQ(totals.entries, 2501u);
    EXPECT_EQ(totals.size, 0u);
}

}  // namespace
