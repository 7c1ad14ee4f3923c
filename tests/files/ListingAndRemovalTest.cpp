// Listing a trash as erase records, measuring folders, and removing items, on real files.
#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "RingSwitch.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

using namespace quillo::files;
using namespace quillo::test;

namespace {

class FilesListing : public ::testing::Test {
protected:
    void SetUp() override {
        files = env.homeTrash() + "/files";
        makeDirs(files, 0700);
        makeDirs(env.homeTrash() + "/info", 0700);
    }
    const RNItemToErase* find(const TrashListing& l, const std::string& name) {
        auto it = std::find_if(l.itemsToErase.begin(), l.itemsToErase.end(),
                               [&](const RNItemToErase& i) { return lastPathComponent(i.url) == name; });
        return it == l.itemsToErase.end() ? nullptr : &*it;
    }
    TempHome env;
    std::string files;
    RNQuilloFileUtilities& q = RNQuilloFileUtilities::sharedControl();
    RNFilesUtilities& f = RNFilesUtilities::sharedControl();
};

TEST_F(FilesListing, FileAndFolderGiveRecordsAndTotals) {
    writeFile(files + "/file", std::string(100, 'x'));
    makeDirs(files + "/folder");
    writeFile(files + "/folder/a", std::string(10, 'a'));
    writeFile(files + "/folder/b", std::string(10, 'b'));
    auto listing = q.binItemsAndInfoWithURL(files);
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->itemsToErase.size(), 2u);
    const RNItemToErase* file = find(*listing, "file");
    const RNItemToErase* folder = find(*listing, "folder");
    ASSERT_TRUE(file && folder);
    EXPECT_EQ(file->size, 100u);
    EXPECT_EQ(file->count, 1u);
    EXPECT_FALSE(file->isDirectory());
    EXPECT_EQ(folder->size, 20u);
    EXPECT_EQ(folder->count, 3u);
    EXPECT_TRUE(folder->isDirectory());
    EXPECT_EQ(folder->path(), files + "/folder");
    EXPECT_EQ(listing->size, 120u);
    EXPECT_EQ(listing->count, 4u);
}

TEST_F(FilesListing, EmptyMissingAndHiddenEntries) {
    auto empty = q.binItemsAndInfoWithURL(files);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->itemsToErase.empty());
    EXPECT_EQ(empty->size, 0u);
    EXPECT_EQ(empty->count, 0u);
    EXPECT_FALSE(q.binItemsAndInfoWithURL(""));
    EXPECT_TRUE(q.binItemsAndInfoWithURL(files + "/nothing-here")->itemsToErase.empty());

    writeFile(files + "/.DS_Store", "xyz");
    EXPECT_TRUE(f.trashAtURLIsEmpty(files)) << "only dot entries: empty";
    auto hidden = q.binItemsAndInfoWithURL(files);
    ASSERT_EQ(hidden->itemsToErase.size(), 1u) << "hidden entries are listed like any other";
    EXPECT_EQ(hidden->size, 3u);

    // More hidden entries than one small read of the folder holds: still empty, and one visible
    // entry after them is found.
    for (int i = 0; i < 200; ++i) writeFile(files + "/.hidden-entry-with-a-long-name-" + std::to_string(i), "");
    EXPECT_TRUE(f.trashAtURLIsEmpty(files));
    writeFile(files + "/visible", "");
    EXPECT_FALSE(f.trashAtURLIsEmpty(files));
    EXPECT_TRUE(f.trashAtURLIsEmpty(files + "/missing"));
}

TEST_F(FilesListing, ManyFoldersMeasuredInParallelAgreeWithOneThread) {
    for (int i = 0; i < 40; ++i) {
        std::string d = files + "/d" + std::to_string(i);
        makeDirs(d + "/sub");
        for (int j = 0; j <= i; ++j) writeFile(d + "/sub/f" + std::to_string(j), std::string(size_t(j), 'z'));
    }
    unsigned saved = q.measureThreads();
    q.setMeasureThreads(4);
    auto parallel = q.binItemsAndInfoWithURL(files);
    q.setMeasureThreads(1);
    auto serial = q.binItemsAndInfoWithURL(files);
    q.setMeasureThreads(saved);
    ASSERT_TRUE(parallel && serial);
    EXPECT_EQ(parallel->size, serial->size);
    EXPECT_EQ(parallel->count, serial->count);
    uint64_t expectedCount = 0, expectedSize = 0;
    for (int i = 0; i < 40; ++i) {
        expectedCount += 2 + uint64_t(i + 1);
        expectedSize += uint64_t(i) * uint64_t(i + 1) / 2;
    }
    EXPECT_EQ(parallel->count, expectedCount);
    EXPECT_EQ(parallel->size, expectedSize);
}

// A trash of many entries is read in chunks by several threads: every record must still get its
// own size and its own info file, whichever thread read it, with and without io_uring.
TEST_F(FilesListing, ManyEntriesWithInfoKeepEachItemsOwnSizeAndInfo) {
    const std::string info = env.homeTrash() + "/info/";
    constexpr int kItems = 1300;  // several chunks and a partial one
    for (int i = 0; i < kItems; ++i) {
        const std::string name = "f" + std::to_string(i);
        if (i % 97 == 0) {
            makeDirs(files + "/" + name);
            writeFile(files + "/" + name + "/inner", std::string(size_t(i % 13), 'd'));
        } else {
            writeFile(files + "/" + name, std::string(size_t(i % 11), 'x'));
        }
        if (i % 10 == 3) continue;  // no info file
        if (i % 10 == 7) writeFile(info + name + ".trashinfo", "not an info file");
        else writeFile(info + name + ".trashinfo", "[Trash Info]\nPath=/x/" + name + "\nDeletionDate=2024-02-03T04:05:06\n");
    }
    const unsigned saved = q.measureThreads();
    for (const bool ringOff : {false, true}) {
        for (const unsigned threads : {1u, 3u}) {
            RingSwitch ring(ringOff);
            q.setMeasureThreads(threads);
            auto listing = q.binItemsAndInfoWithURL(files, true);
            ASSERT_TRUE(listing);
            ASSERT_EQ(listing->itemsToErase.size(), size_t(kItems));
            ASSERT_EQ(listing->info.size(), size_t(kItems));
            uint64_t total = 0;
            for (size_t k = 0; k < listing->itemsToErase.size(); ++k) {
                const RNItemToErase& item = listing->itemsToErase[k];
                const std::string name = lastPathComponent(item.url);
                const int i = std::stoi(name.substr(1));
                SCOPED_TRACE(name + (ringOff ? " plain" : " ring") + " threads " + std::to_string(threads));
                if (i % 97 == 0) {
                    EXPECT_EQ(item.size, uint64_t(i % 13));
                    EXPECT_EQ(item.count, 2u);
                } else {
                    EXPECT_EQ(item.size, uint64_t(i % 11));
                    EXPECT_EQ(item.count, 1u);
                }
                total += item.size;
                const TrashInfoFields& fields = listing->info[k];
                if (i % 10 == 3 || i % 10 == 7) {
                    EXPECT_FALSE(fields.path);
                    EXPECT_EQ(fields.deletionDate, 0);
                } else {
                    EXPECT_EQ(fields.path.value_or(""), "/x/" + name);
                    EXPECT_GT(fields.deletionDate, 0);
                }
            }
            EXPECT_EQ(listing->size, total);
            EXPECT_TRUE(q.binItemsAndInfoWithURL(files)->info.empty()) << "read only when asked for";
        }
    }
    q.setMeasureThreads(saved);
}

TEST_F(FilesListing, WalkCountsEntriesAndNeverFollowsLinks) {
    std::string outside = env.root() + "/outside";
    makeDirs(outside);
    writeFile(outside + "/big", std::string(5000, 'o'));
    std::string d = files + "/walked";
    makeDirs(d + "/empty");
    writeFile(d + "/file", std::string(100, 'x'));
    ASSERT_EQ(::symlink(outside.c_str(), (d + "/link").c_str()), 0);
    uint64_t found = 7;
    ItemSizeInfo info = f.iterateFolderForSize(d, &found);
    EXPECT_EQ(found, 7u + 3u) << "the counter is only increased";
    EXPECT_EQ(info.totalSize, 100u + outside.size()) << "a link counts as itself, its target is not walked";
    EXPECT_EQ(info.fileSize, info.totalSize);

    uint64_t none = 0;
    EXPECT_EQ(f.iterateFolderForSize("", &none).totalSize, 0u);
    EXPECT_EQ(none, 0u);
}

TEST_F(FilesListing, InvalidUtf8NameListsMeasuresAndIsRemoved) {
    const std::string bad = "bad\xff\xfe name";
    makeDirs(files + "/" + bad);
    writeFile(files + "/" + bad + "/inner\xc3", std::string(42, 'q'));
    auto listing = q.binItemsAndInfoWithURL(files);
    ASSERT_EQ(listing->itemsToErase.size(), 1u);
    EXPECT_EQ(listing->itemsToErase[0].url, files + "/" + bad);
    EXPECT_EQ(listing->itemsToErase[0].size, 42u);
    EXPECT_EQ(listing->itemsToErase[0].count, 2u);
    EXPECT_FALSE(q.deleteItemWithURL(files + "/" + bad));
    EXPECT_FALSE(exists(files + "/" + bad));
}

TEST_F(FilesListing, RemovalTakesLinksNotTheirTargets) {
    std::string outside = env.root() + "/precious";
    makeDirs(outside + "/keep");
    writeFile(outside + "/keep/data", "important");
    std::string item = files + "/folder";
    makeDirs(item + "/deeper/deepest");
    writeFile(item + "/deeper/deepest/x", "x");
    ASSERT_EQ(::symlink(outside.c_str(), (item + "/link-to-folder").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/keep/data").c_str(), (item + "/deeper/link-to-file").c_str()), 0);
    EXPECT_FALSE(q.deleteItemWithURL(item));
    EXPECT_FALSE(exists(item));
    EXPECT_EQ(readFile(outside + "/keep/data"), "important");

    ASSERT_EQ(::symlink(outside.c_str(), (files + "/top-link").c_str()), 0);
    EXPECT_FALSE(q.deleteItemWithURL(files + "/top-link"));
    EXPECT_TRUE(exists(outside + "/keep/data"));
}

// A removal asked to stop ends inside the folder it is emptying: the folder and what it has not
// reached stay, and it says it was stopped. Without a stop it goes to the end.
TEST_F(FilesListing, RemovalStopsMidwayWhenAskedAndSaysSo) {
    const std::string item = files + "/many";
    makeDirs(item + "/sub");
    for (int i = 0; i < 500; ++i) writeFile(item + "/sub/f" + std::to_string(i), "x");
    const int dir = ::open(files.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    int asked = 0;
    EXPECT_EQ(removeItemAt(dir, "many", [&] { return ++asked == 2; }), ECANCELED);
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(exists(item + "/sub"));
    const auto left = listFolder(item + "/sub").size();
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 500u);

    EXPECT_EQ(removeItemAt(dir, "many", [] { return false; }), 0);
    EXPECT_FALSE(exists(item));
    ::close(dir);
}

TEST_F(FilesListing, RemovalReportsErrors) {
    auto missing = q.deleteItemWithURL(files + "/not-there");
    EXPECT_EQ(missing, std::errc::no_such_file_or_directory);
    EXPECT_EQ(q.deleteItemWithURL("relative/path"), std::errc::invalid_argument);
    EXPECT_EQ(q.deleteItemWithURL(files + "/.."), std::errc::invalid_argument);
}

TEST_F(FilesListing, MountInsideTrashedFolderStaysAndIsBusy) {
    if (!isRoot()) GTEST_SKIP() << "mounting needs root";
    std::string item = files + "/has-mount";
    makeDirs(item);
    writeFile(item + "/before", "b");
    ScopedMount m(item, ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    writeFile(m.mountPoint() + "/on-other-fs", "keep me");
    uint64_t found = 0;
    ItemSizeInfo info = f.iterateFolderForSize(item, &found);
    EXPECT_EQ(found, 2u) << "the mount point is an entry, its contents are not";
    EXPECT_EQ(info.totalSize, 1u);

    auto err = q.deleteItemWithURL(item);
    EXPECT_EQ(err, std::errc::device_or_resource_busy);
    EXPECT_FALSE(exists(item + "/before"));
    EXPECT_EQ(readFile(m.mountPoint() + "/on-other-fs"), "keep me");
}

// A trash listed with the batched reads and with one call per item gives the same records in
// the same order; folders are known by their entry's type, everything else by one statx.
TEST_F(FilesListing, ListingAndDatesAreTheSameWithAndWithoutTheRing) {
    const std::string trash = env.homeTrash();
    std::vector<std::string> names;
    for (int i = 0; i < 600; ++i) {
        const std::string name = "item" + std::to_string(i);
        if (i % 50 == 0) {
            makeDirs(files + "/" + name + "/sub");
            writeFile(files + "/" + name + "/sub/x", std::string(size_t(i), 'x'));
        } else {
            writeFile(files + "/" + name, std::string(size_t(i), 'i'));
        }
        names.push_back(name);
        // Info files of every shape: good, missing, malformed, a link, a folder, a FIFO.
        const std::string info = trash + "/info/" + name + ".trashinfo";
        switch (i % 7) {
        case 0: break;
        case 1: writeFile(info, "[Trash Info]\nDeletionDate=garbage\n"); break;
        case 2: ASSERT_EQ(::symlink((trash + "/info/item3.trashinfo").c_str(), info.c_str()), 0); break;
        case 3: TempHome::plantTrashInfo(trash, name, "2021-0" + std::to_string(1 + i % 9) + "-02T03:04:05"); break;
        case 4: makeDirs(info); break;
        case 5: ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0); break;
        default: TempHome::plantTrashInfo(trash, name); break;
        }
    }
    ASSERT_EQ(::symlink(files.c_str(), (files + "/link-to-folder").c_str()), 0);
    ASSERT_EQ(::mkfifo((files + "/fifo").c_str(), 0600), 0);
    names.push_back("link-to-folder");
    names.push_back("fifo");
    names.push_back("never-trashed");

    struct Seen {
        std::vector<std::tuple<std::string, uint64_t, uint64_t>> items;
        uint64_t size = 0, count = 0;
        std::vector<double> dates;
    };
    auto look = [&](bool ringOff) {
        RingSwitch ring(ringOff);
        Seen seen;
        auto listing = q.binItemsAndInfoWithURL(files);
        EXPECT_TRUE(listing);
        if (!listing) return seen;
        for (const auto& item : listing->itemsToErase) seen.items.emplace_back(item.url, item.size, item.count);
        seen.size = listing->size;
        seen.count = listing->count;
        seen.dates = TrashInfoReader(trash).deletionDates(names);
        return seen;
    };
    const Seen plain = look(true), batched = look(false);
    EXPECT_EQ(batched.items, plain.items);
    EXPECT_EQ(batched.size, plain.size);
    EXPECT_EQ(batched.count, plain.count);
    EXPECT_EQ(batched.dates, plain.dates);

    uint64_t expectedSize = 0;
    for (int i = 0; i < 600; ++i) expectedSize += uint64_t(i);
    EXPECT_EQ(plain.size, expectedSize + files.size());  // the link counts its own length
    EXPECT_EQ(plain.count, 600u + 12u * 2u + 2u);
    const TrashInfoReader reader(trash);
    ASSERT_EQ(plain.dates.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(plain.dates[i], reader.deletionDate(names[i])) << names[i];
    EXPECT_NE(plain.dates[3], 0.0);
    EXPECT_NE(plain.dates[6], 0.0);
    EXPECT_EQ(plain.dates[1], 0.0);
    EXPECT_EQ(plain.dates[2], 0.0) << "an info file that is a link is not followed";
    EXPECT_EQ(plain.dates[4], 0.0);
    EXPECT_EQ(plain.dates[5], 0.0) << "a FIFO gives nothing and never blocks";
    EXPECT_EQ(plain.dates.back(), 0.0);
}

TEST_F(FilesListing, UnreadableFolderCountsOneAndIsNotEntered) {
    if (!isRoot()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    ::chmod(env.root().c_str(), 0755);
    std::string shared = env.root() + "/shared";
    makeDirs(shared + "/closed", 0755);
    writeFile(shared + "/closed/secret", std::string(50, 's'));
    writeFile(shared + "/open", std::string(7, 'o'));
    ::chmod((shared + "/closed").c_str(), 0700);
    int rc = runAsNobody([&] {
        auto l = RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(shared);
        if (!l || l->itemsToErase.size() != 2) return 1;
        return (l->size == 7 && l->count == 2) ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
}

}  // namespace

// The walk reaches the bottom of a chain deeper than the descriptor limit, with paths far past
// PATH_MAX: nothing below the limit is dropped.
TEST_F(FilesListing, WalkReachesTheBottomOfAChainDeeperThanTheDescriptorLimit) {
    ScopedFileLimit limit(128);
    ASSERT_TRUE(limit.ok());
    ASSERT_TRUE(makeDeepChain(files + "/deep", 2500, "folder", "last"));
    uint64_t found = 0;
    ItemSizeInfo info = f.iterateFolderForSize(files + "/deep", &found);
    EXPECT_EQ(found, 2501u);
    EXPECT_EQ(info.totalSize, 1u);
    auto listing = q.binItemsAndInfoWithURL(files);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->count, 2502u);
    EXPECT_TRUE(f.isAnEmptyFolder(files + "/deep") == false);
}
