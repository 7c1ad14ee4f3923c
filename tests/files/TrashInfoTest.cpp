// The bookkeeping beside trashed items: deletion dates, info files and the size cache.
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace quillo::files;
using namespace quillo::test;

namespace {

class ScopedTZ {
public:
    explicit ScopedTZ(const char* tz) {
        const char* old = std::getenv("TZ");
        if (old) saved_ = old;
        had_ = old != nullptr;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTZ() {
        if (had_) ::setenv("TZ", saved_.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

TEST(FilesTrashInfo, DeletionDateIsLocalTimeSinceTheReferenceDate) {
    ScopedTZ utc("UTC");
    EXPECT_DOUBLE_EQ(parseTrashInfoDeletionDate("[Trash Info]\nDeletionDate=2001-01-01T00:00:00\n"), 0.0);
    EXPECT_DOUBLE_EQ(parseTrashInfoDeletionDate("[Trash Info]\nDeletionDate=2001-01-02T00:00:01\n"), 86401.0);
    {
        ScopedTZ berlin("Europe/Berlin");
        EXPECT_DOUBLE_EQ(parseTrashInfoDeletionDate("DeletionDate=2001-01-01T01:00:00"), 0.0);
        EXPECT_DOUBLE_EQ(parseTrashInfoDeletionDate("DeletionDate=2001-07-01T02:00:00"),
                         parseTrashInfoDeletionDate("DeletionDate=2001-07-01T00:00:00Z"))
            << "summer time is applied, a trailing Z means UTC";
    }
}

TEST(FilesTrashInfo, LenientParsingFirstKeyWins) {
    ScopedTZ utc("UTC");
    const double first = parseTrashInfoDeletionDate("DeletionDate=2010-05-05T10:00:00");
    EXPECT_GT(first, 0);
    EXPECT_DOUBLE_EQ(parseTrashInfoDeletionDate("[Trash Info]\r\nPath=/x\r\nDeletionDate = 2010-05-05T10:00:00\r\n"
                                                "DeletionDate=2020-01-01T00:00:00\r\n"),
                     first);
    EXPECT_DOUBLE_EQ(parseTrashInfoDeletionDate("DeletionDate=2010-05-05T10:00:00.123456"), first);
    EXPECT_EQ(parseTrashInfoDeletionDate(""), 0);
    EXPECT_EQ(parseTrashInfoDeletionDate("[Trash Info]\nPath=/x\n"), 0);
    EXPECT_EQ(parseTrashInfoDeletionDate("DeletionDate=yesterday"), 0);
    EXPECT_EQ(parseTrashInfoDeletionDate("DeletionDate=2010-13-05T10:00:00"), 0);
    EXPECT_EQ(parseTrashInfoDeletionDate("DeletionDate=2010-05-05"), 0);
}

class FilesTrashBookkeeping : public ::testing::Test {
protected:
    void SetUp() override {
        trash = env.homeTrash();
        makeDirs(trash + "/files");
        makeDirs(trash + "/info");
    }
    TempHome env;
    std::string trash;
};

TEST_F(FilesTrashBookkeeping, DateOfAnItemComesFromItsInfoFile) {
    ScopedTZ utc("UTC");
    writeFile(trash + "/files/doc", "x");
    TempHome::plantTrashInfo(trash, "doc", "2001-01-01T00:01:00");
    EXPECT_DOUBLE_EQ(deletionDateForItem(trash + "/files/doc"), 60.0);
    writeFile(trash + "/files/no-info", "x");
    EXPECT_EQ(deletionDateForItem(trash + "/files/no-info"), 0);
    EXPECT_EQ(deletionDateForItem(env.root() + "/not-in-a-trash"), 0);
    auto ref = trashItemRefForPath(trash + "/files/doc");
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->trashDir, trash);
    EXPECT_EQ(ref->name, "doc");
    EXPECT_FALSE(trashItemRefForPath(trash + "/files/doc/inner"));
}

TEST_F(FilesTrashBookkeeping, InfoFileGoesOnlyAfterItsItem) {
    writeFile(trash + "/files/keep", "x");
    TempHome::plantTrashInfo(trash, "keep");
    EXPECT_FALSE(forgetErasedTrashItem(trash + "/files/keep")) << "the item is still there";
    EXPECT_TRUE(exists(trash + "/info/keep.trashinfo"));

    ASSERT_FALSE(RNQuilloFileUtilities::sharedControl().deleteItemWithURL(trash + "/files/keep"));
    EXPECT_TRUE(forgetErasedTrashItem(trash + "/files/keep"));
    EXPECT_FALSE(exists(trash + "/info/keep.trashinfo"));
}

TEST_F(FilesTrashBookkeeping, DirectorySizesLineIsDroppedAtomically) {
    writeFile(trash + "/directorysizes",
              "4096 1700000000 keep%20me\n123 1700000001 go%25ne\n77 1700000002 other\n");
    makeDirs(trash + "/files/go%ne");
    TempHome::plantTrashInfo(trash, "go%ne");
    ASSERT_FALSE(RNQuilloFileUtilities::sharedControl().deleteItemWithURL(trash + "/files/go%ne"));
    EXPECT_TRUE(forgetErasedTrashItem(trash + "/files/go%ne"));
    EXPECT_EQ(readFile(trash + "/directorysizes"), "4096 1700000000 keep%20me\n77 1700000002 other\n");
    std::string listing;
    run("ls -A '" + trash + "'", &listing);
    EXPECT_EQ(listing, "directorysizes\nfiles\ninfo\n") << "no temporary file is left behind";
    EXPECT_TRUE(removeDirectorySizesEntry(trash, "absent"));
}

TEST_F(FilesTrashBookkeeping, OrphanedInfoFilesAreRemovedOthersKept) {
    writeFile(trash + "/files/present", "x");
    TempHome::plantTrashInfo(trash, "present");
    TempHome::plantTrashInfo(trash, "gone");
    TempHome::plantTrashInfo(trash, "also gone\xff");
    writeFile(trash + "/info/README", "not an info file");
    EXPECT_EQ(removeOrphanedTrashInfo(trash), 2u);
    EXPECT_TRUE(exists(trash + "/info/present.trashinfo"));
    EXPECT_FALSE(exists(trash + "/info/gone.trashinfo"));
    EXPECT_TRUE(exists(trash + "/info/README"));
}

}  // namespace
