// Putting items in the trash and back, on real files: the original place as the info file
// gives it, byte-exact names, what a restore keeps (modes, times, xattrs, symlinks), every
// refusal with nothing changed, conflicts, symlinks on the way, and (as root) volume trashes and
// copies to another file system, also when that file system fills up.
#include "files/FileRemoval.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "files/TrashLocator.h"
#include "files/TrashPut.h"
#include "files/TrashRestore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>

using namespace quillo::files;
using namespace quillo::test;

namespace {

// Everything below `root`: type, mode, size, mtime and content digest per path, for comparing
// a tree before and after something that must not change it.
std::string snapshot(const std::string& root) {
    std::string listing;
    // Folders without their size (it depends on the file system).
    run("cd " + shellQuote(root) +
            " && { find . -type d -printf '%p %m %u %T@\\n'; find . ! -type d -printf '%p %y %m %u %s %T@ %l\\n';"
            " find . -type f -exec md5sum {} + 2>/dev/null; } | LC_ALL=C sort",
        &listing);
    // Long lines (deep chains) by their length and a digest, so that a difference stays readable.
    std::string out;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        const std::string line = listing.substr(start, end - start);
        start = end + 1;
        out += line.size() > 300 ? "long " + std::to_string(line.size()) + " " +
                                       std::to_string(std::hash<std::string>{}(line)) + "\n"
                                 : line + "\n";
    }
    return out;
}

void writeFileMakingFolders(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
    makeDirs(deletingLastPathComponent(path));
    writeFile(path, bytes, mode);
}

std::string infoText(const std::string& path, const std::string& date = "2024-05-01T10:20:30") {
    return "[Trash Info]\nPath=" + path + "\nDeletionDate=" + date + "\n";
}

class TrashRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        work = env.home() + "/work";
        makeDirs(work);
    }
    TrashLocator locator() { return TrashLocator(getuid(), env.homeTrash(), volumeOfPath(env.home())); }
    TrashedItem itemFor(const PutResult& put) {
        return describeTrashedItem(put.trashDir, put.name, volumeOfPath(put.trashDir), put.trashDir == env.homeTrash());
    }
    RestoreResult restore(const TrashedItem& item, RestoreOptions options = {}) {
        EXPECT_TRUE(item.originalPath) << item.infoError;
        if (!item.originalPath) return {};
        return restoreTrashedItem(item, *item.originalPath,
                                  restoreBoundary(item, *item.originalPath, readMountTable()), options);
    }
    TempHome env;
    std::string work;
};

TEST(TrashInfoPaths, OriginalPlaceFollowsTheTrashKind) {
    std::string why;
    EXPECT_EQ(originalPathFromTrashInfo("/home/u/a%20b", "/", true, why), "/home/u/a b");
    EXPECT_EQ(originalPathFromTrashInfo("dir/%FFname", "/media/usb", false, why), "/media/usb/dir/\xffname");
    EXPECT_EQ(originalPathFromTrashInfo("/media/usb/x", "/media/usb", false, why), "/media/usb/x")
        << "an absolute Path inside the volume is accepted";
    EXPECT_EQ(originalPathFromTrashInfo("a//./b", "/media/usb", false, why), "/media/usb/a/b");

    struct Refused {
        const char* path;
        bool home;
        const char* reason;
    } refused[] = {
        {"", true, "no original location"},
        {"relative/x", true, "relative"},
        {"/etc/passwd", false, "outside the volume"},
        {"/media/usbstick/x", false, "outside the volume"},
        {"../../etc/passwd", false, "\"..\""},
        {"a/%2E%2E/%2E%2E/etc", false, "\"..\""},
        {"/home/u/../../etc/shadow", true, "\"..\""},
        {"a%00b", false, "NUL"},
        {"/", true, "root folder"},
        {".", false, "top folder itself"},
    };
    for (const auto& r : refused) {
        why.clear();
        EXPECT_FALSE(originalPathFromTrashInfo(r.path, "/media/usb", r.home, why)) << r.path;
        EXPECT_NE(why.find(r.reason), std::string::npos) << r.path << ": " << why;
    }
}

TEST(TrashInfoPaths, EveryByteSurvivesEncoding) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += char(c);
    const std::string encoded = percentEncodeTrashPath(all);
    EXPECT_EQ(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.~/%"),
              std::string::npos);
    EXPECT_EQ(percentDecodeTrashPath(encoded), all);
    auto fields = parseTrashInfo("[Trash Info]\r\nPath=/a%20b\r\nPath=/second\r\nDeletionDate=2024-05-01T10:20:30\r\n");
    EXPECT_TRUE(fields.hasGroup);
    EXPECT_EQ(fields.path, "/a%20b") << "the first Path wins, without its carriage return";
    EXPECT_NE(fields.deletionDate, 0);
}

TEST_F(TrashRoundTrip, HomeTrashKeepsNamesModesTimesXattrsAndLinks) {
    const std::string odd = work + "/caf\xe9 \xff\x01 %20 name";  // not UTF-8, a control byte, a literal %20
    writeFile(odd, "contents", 0640);
    const struct timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, odd.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    const bool xattrs = ::setxattr(odd.c_str(), "user.quillo", "value", 5, 0) == 0;
    ASSERT_EQ(::symlink("../dangling target", (work + "/link").c_str()), 0);
    makeDirs(work + "/folder/sub");
    writeFile(work + "/folder/sub/f", std::string(5000, 'z'));
    const std::string before = snapshot(work);

    TrashPutter putter(locator());
    std::vector<PutResult> puts;
    for (const char* leaf : {"caf\xe9 \xff\x01 %20 name", "link", "folder"}) {
        puts.push_back(putter.put(work + "/" + leaf));
        ASSERT_TRUE(puts.back().ok) << puts.back().error;
        EXPECT_EQ(puts.back().trashDir, env.homeTrash());
    }
    EXPECT_TRUE(listFolder(work).empty());
    const std::string info = readFile(env.homeTrash() + "/info/" + puts[0].name + ".trashinfo");
    EXPECT_NE(info.find("Path=" + work + "/caf%E9%20%FF%01%20%2520%20name\n"), std::string::npos) << info;
    EXPECT_NE(readFile(env.homeTrash() + "/directorysizes").find(" folder\n"), std::string::npos);

    for (const auto& put : puts) {
        auto r = restore(itemFor(put));
        EXPECT_EQ(r.status, RestoreStatus::Restored) << r.error;
        EXPECT_FALSE(r.copied);
    }
    // The folder's own time changes as its entries go and come back; everything in it is as it was.
    auto inside = [](std::string s) { return s.substr(s.find('\n') + 1); };
    EXPECT_EQ(inside(snapshot(work)), inside(before));
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(::getxattr(odd.c_str(), "user.quillo", value, sizeof value), 5);
    }
    EXPECT_TRUE(listFolder(env.homeTrash() + "/files").empty());
    EXPECT_TRUE(listFolder(env.homeTrash() + "/info").empty()) << "info files go once the items are back";
    EXPECT_EQ(readFile(env.homeTrash() + "/directorysizes").find("folder"), std::string::npos);
}

TEST_F(TrashRoundTrip, SameNameTwiceGetsTwoNamesAndComesBackNewestFirst) {
    TrashPutter putter(locator());
    writeFile(work + "/a", "first");
    auto one = putter.put(work + "/a");
    writeFile(work + "/a", "second");
    auto two = putter.put(work + "/a");
    ASSERT_TRUE(one.ok && two.ok);
    EXPECT_EQ(one.name, "a");
    EXPECT_EQ(two.name, "a.2");
    EXPECT_EQ(itemFor(two).originalPath, work + "/a");
}

TEST_F(TrashRoundTrip, MissingFoldersAreMadeWithTheUmask) {
    makeDirs(work + "/gone/deeper");
    writeFile(work + "/gone/deeper/f", "x");
    auto put = TrashPutter(locator()).put(work + "/gone/deeper/f");
    ASSERT_TRUE(put.ok) << put.error;
    removeTree(work + "/gone");
    const mode_t old = ::umask(027);
    auto r = restore(itemFor(put));
    ::umask(old);
    ASSERT_EQ(r.status, RestoreStatus::Restored) << r.error;
    EXPECT_EQ(readFile(work + "/gone/deeper/f"), "x");
    struct stat st;
    ASSERT_EQ(::stat((work + "/gone").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST_F(TrashRoundTrip, DryRunDecidesButChangesNothing) {
    writeFileMakingFolders(work + "/gone/f", "x");
    auto put = TrashPutter(locator()).put(work + "/gone/f");
    ASSERT_TRUE(put.ok);
    removeTree(work + "/gone");
    const std::string before = snapshot(env.root());
    RestoreOptions options;
    options.dryRun = true;
    auto r = restore(itemFor(put), options);
    EXPECT_EQ(r.status, RestoreStatus::Restored);
    EXPECT_EQ(r.destination, work + "/gone/f");
    EXPECT_EQ(snapshot(env.root()), before);
}

TEST_F(TrashRoundTrip, AThreeThousandDeepFolderGoesAndComesBackWhole) {
    ASSERT_TRUE(makeDeepChain(work + "/deep", 3000));
    auto put = TrashPutter(locator()).put(work + "/deep");
    ASSERT_TRUE(put.ok) << put.error;
    auto r = restore(itemFor(put));
    ASSERT_EQ(r.status, RestoreStatus::Restored) << r.error;
    int fd = openDeepChainFolder(work + "/deep", 3000);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::faccessat(fd, "leaf", F_OK, AT_SYMLINK_NOFOLLOW), 0);
    ::close(fd);
}

// Put refuses, and nothing anywhere changes.
TEST_F(TrashRoundTrip, PutRefusalsTouchNothing) {
    writeFileMakingFolders(env.homeTrash() + "/files/old", "x");
    TempHome::plantTrashInfo(env.homeTrash(), "old");
    makeDirs(work + "/keep");
    TrashPutter putter(locator());
    const std::string before = snapshot(env.root());
    struct Case {
        std::string path;
        const char* reason;
    } cases[] = {
        {"/", "root folder"},
        {env.home(), "home folder"},
        {env.home() + "/", "home folder"},
        {work + "/..", "home folder"},
        {env.homeTrash(), "trash folder"},
        {env.homeTrash() + "/files", "trash folder"},
        {env.homeTrash() + "/files/old", "trash folder"},
        {env.dataHome(), "holds the trash"},
        {work + "/missing", "No such file"},
        {"relative", "absolute"},
    };
    for (const auto& c : cases) {
        auto r = putter.put(c.path);
        EXPECT_FALSE(r.ok) << c.path;
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << c.path << ": " << r.error;
    }
    EXPECT_EQ(snapshot(env.root()), before);
}

// Restore refuses what an info file must not make it do, and the item stays in the trash.
TEST_F(TrashRoundTrip, RestoreRefusalsLeaveTheItemInTheTrash) {
    const std::string trash = env.root() + "/vol/.Trash-1000";
    makeDirs(trash + "/files");
    makeDirs(trash + "/info");
    writeFile(env.root() + "/outside", "victim");
    struct Case {
        const char* name;
        std::string path;
    } cases[] = {
        {"dots", "../outside"},
        {"abs", env.root() + "/outside"},
        {"empty", ""},
        {"top", "."},
    };
    for (const auto& c : cases) {
        writeFile(trash + "/files/" + c.name, "trashed");
        writeFile(trash + "/info/" + std::string(c.name) + ".trashinfo", infoText(c.path));
    }
    writeFile(trash + "/files/noinfo", "trashed");
    const std::string before = snapshot(env.root());
    for (const auto& c : cases) {
        auto item = describeTrashedItem(trash, c.name, env.root() + "/vol", false);
        EXPECT_FALSE(item.originalPath) << c.name;
        EXPECT_FALSE(item.infoError.empty()) << c.name;
    }
    EXPECT_NE(describeTrashedItem(trash, "noinfo", env.root() + "/vol", false).infoError.find("no info file"),
              std::string::npos);
    EXPECT_EQ(snapshot(env.root()), before);
    // A destination below a boundary it does not lie in is refused by the primitive itself.
    auto item = describeTrashedItem(trash, "noinfo", env.root() + "/vol", false);
    auto r = restoreTrashedItem(item, env.root() + "/outside2", env.root() + "/vol", {});
    EXPECT_EQ(r.status, RestoreStatus::Refused);
    EXPECT_EQ(snapshot(env.root()), before);

    // A Path naming a place inside the trash itself.
    writeFile(trash + "/files/intotrash", "trashed");
    writeFile(trash + "/info/intotrash.trashinfo", infoText(".Trash-1000/files/x"));
    makeDirs(trash + "/files/x");
    auto inside = describeTrashedItem(trash, "intotrash", env.root() + "/vol", false);
    ASSERT_TRUE(inside.originalPath);
    const std::string beforeInside = snapshot(env.root());
    auto refusedInside = restoreTrashedItem(inside, *inside.originalPath, env.root() + "/vol", {});
    EXPECT_EQ(refusedInside.status, RestoreStatus::Refused);
    EXPECT_NE(refusedInside.error.find("inside the trash"), std::string::npos) << refusedInside.error;
    EXPECT_EQ(snapshot(env.root()), beforeInside);

}

TEST_F(TrashRoundTrip, ASymlinkOnTheWayIsNeverFollowed) {
    writeFileMakingFolders(work + "/dir/f", "x");
    auto put = TrashPutter(locator()).put(work + "/dir/f");
    ASSERT_TRUE(put.ok);
    const std::string elsewhere = env.root() + "/elsewhere";
    makeDirs(elsewhere);
    removeTree(work + "/dir");
    ASSERT_EQ(::symlink(elsewhere.c_str(), (work + "/dir").c_str()), 0);
    auto r = restore(itemFor(put));
    EXPECT_EQ(r.status, RestoreStatus::Refused);
    EXPECT_NE(r.error.find("symbolic link"), std::string::npos) << r.error;
    EXPECT_TRUE(listFolder(elsewhere).empty());
    EXPECT_TRUE(exists(env.homeTrash() + "/files/f"));
    EXPECT_TRUE(exists(env.homeTrash() + "/info/f.trashinfo"));
}

TEST_F(TrashRoundTrip, AFolderSwappedForASymlinkMidwayLeadsNowhereElse) {
    writeFileMakingFolders(work + "/dir/f", "x");
    auto put = TrashPutter(locator()).put(work + "/dir/f");
    ASSERT_TRUE(put.ok);
    writeFile(work + "/dir/f", "in the way");
    const std::string elsewhere = env.root() + "/elsewhere";
    makeDirs(elsewhere);
    RestoreOptions options;
    // The question comes once the folder is open: the folder is moved away and a symlink put
    // in its place before the answer.
    options.onConflict = [&](const std::string&) {
        EXPECT_EQ(::rename((work + "/dir").c_str(), (work + "/moved").c_str()), 0);
        EXPECT_EQ(::symlink(elsewhere.c_str(), (work + "/dir").c_str()), 0);
        return ConflictChoice::KeepBoth;
    };
    auto r = restore(itemFor(put), options);
    EXPECT_EQ(r.status, RestoreStatus::Restored) << r.error;
    EXPECT_TRUE(listFolder(elsewhere).empty()) << "nothing written through the symlink";
    EXPECT_EQ(readFile(work + "/moved/f (restored)"), "x") << "it went into the folder that was opened";
}

TEST_F(TrashRoundTrip, ConflictsAnsweredEachWay) {
    TrashPutter putter(locator());
    auto trash = [&](const std::string& leaf, const std::string& text) {
        writeFile(work + "/" + leaf, text);
        auto put = putter.put(work + "/" + leaf);
        EXPECT_TRUE(put.ok) << put.error;
        writeFile(work + "/" + leaf, "existing " + text);
        return itemFor(put);
    };
    auto answer = [](ConflictChoice c) {
        RestoreOptions o;
        o.onConflict = [c](const std::string&) { return c; };
        return o;
    };
    // Skip: both stay as they are.
    auto skipped = trash("s.txt", "s");
    const std::string before = snapshot(env.root());
    EXPECT_EQ(restore(skipped, answer(ConflictChoice::Skip)).status, RestoreStatus::Skipped);
    EXPECT_EQ(restore(skipped, {}).status, RestoreStatus::Skipped) << "no question asked: skipped";
    EXPECT_EQ(snapshot(env.root()), before);

    // Keep both, twice: "(restored)" then "(restored 2)", before the extension.
    auto first = trash("k.txt", "k1");
    auto r = restore(first, answer(ConflictChoice::KeepBoth));
    EXPECT_EQ(r.destination, work + "/k (restored).txt");
    auto second = trash("k.txt", "k2");
    r = restore(second, answer(ConflictChoice::KeepBoth));
    EXPECT_EQ(r.destination, work + "/k (restored 2).txt");
    EXPECT_EQ(readFile(work + "/k.txt"), "existing k2");
    EXPECT_EQ(readFile(work + "/k (restored).txt"), "k1");
    EXPECT_EQ(readFile(work + "/k (restored 2).txt"), "k2");

    // Replace: what was in the way goes to the trash (not erased), the item comes back.
    auto replaced = trash("r", "r");
    RestoreOptions o = answer(ConflictChoice::Replace);
    PutResult aside;
    o.putAside = [&](const std::string& existing, std::string& error) {
        aside = putter.put(existing);
        error = aside.error;
        return aside.ok;
    };
    r = restore(replaced, o);
    ASSERT_EQ(r.status, RestoreStatus::Restored) << r.error;
    EXPECT_EQ(readFile(work + "/r"), "r");
    ASSERT_TRUE(aside.ok);
    EXPECT_EQ(readFile(aside.trashDir + "/files/" + aside.name), "existing r");
    EXPECT_EQ(itemFor(aside).originalPath, work + "/r");

    // Replace without a way to put the existing item aside: nothing happens.
    auto noAside = trash("n", "n");
    const std::string beforeNoAside = snapshot(env.root());
    r = restore(noAside, answer(ConflictChoice::Replace));
    EXPECT_EQ(r.status, RestoreStatus::Failed);
    EXPECT_EQ(snapshot(env.root()), beforeNoAside);

    EXPECT_EQ(restoredName("photo.jpeg", 3, false), "photo (restored 3).jpeg");
    EXPECT_EQ(restoredName(".profile", 1, false), ".profile (restored)");
    EXPECT_EQ(restoredName("v1.2", 1, true), "v1.2 (restored)") << "folders have no extension";
}

TEST_F(TrashRoundTrip, AnItemWithoutInfoGoesOnlyWhereTheUserSays) {
    makeDirs(env.homeTrash() + "/files");
    makeDirs(env.homeTrash() + "/info");
    writeFile(env.homeTrash() + "/files/orphan", "o");
    auto item = describeTrashedItem(env.homeTrash(), "orphan", volumeOfPath(env.home()), true);
    EXPECT_FALSE(item.originalPath);
    const std::string to = env.root() + "/chosen";
    makeDirs(to);
    auto r = restoreTrashedItem(item, to + "/orphan", to, {});
    EXPECT_EQ(r.status, RestoreStatus::Restored) << r.error;
    EXPECT_EQ(readFile(to + "/orphan"), "o");
}

// As root: real volumes.
class TrashVolumes : public TrashRoundTrip {
protected:
    void SetUp() override {
        TrashRoundTrip::SetUp();
        if (!isRoot()) GTEST_SKIP() << "mounting needs root";
    }
};

TEST_F(TrashVolumes, VolumeTrashesTakeRelativePathsAndComeBack) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    writeFileMakingFolders(m.mountPoint() + "/dir/f", "on the volume");
    makeDirs(m.mountPoint() + "/dir/folder/inner");
    TrashPutter putter(locator());
    auto put = putter.put(m.mountPoint() + "/dir/f");
    ASSERT_TRUE(put.ok) << put.error;
    EXPECT_EQ(put.trashDir, m.mountPoint() + "/.Trash-0");
    struct stat st;
    ASSERT_EQ(::stat(put.trashDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(readFile(put.trashDir + "/info/f.trashinfo").find("\nPath=dir/f\n"), std::string::npos);
    auto folder = putter.put(m.mountPoint() + "/dir/folder");
    ASSERT_TRUE(folder.ok);
    EXPECT_NE(readFile(put.trashDir + "/directorysizes").find(" folder\n"), std::string::npos);

    for (const auto& p : {put, folder}) {
        auto item = itemFor(p);
        EXPECT_FALSE(item.homeTrash);
        auto r = restore(item);
        EXPECT_EQ(r.status, RestoreStatus::Restored) << r.error;
    }
    EXPECT_EQ(readFile(m.mountPoint() + "/dir/f"), "on the volume");
    EXPECT_TRUE(exists(m.mountPoint() + "/dir/folder/inner"));
    EXPECT_EQ(readFile(put.trashDir + "/directorysizes").find("folder"), std::string::npos);
}

TEST_F(TrashVolumes, AStickySharedTrashIsUsedAndAPlainOneIsNot) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    makeDirs(m.mountPoint() + "/.Trash");
    ::chmod((m.mountPoint() + "/.Trash").c_str(), 01777);
    writeFile(m.mountPoint() + "/a", "a");
    auto put = TrashPutter(locator()).put(m.mountPoint() + "/a");
    ASSERT_TRUE(put.ok) << put.error;
    EXPECT_EQ(put.trashDir, m.mountPoint() + "/.Trash/0");

    ScopedMount plain(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(plain.ok());
    makeDirs(plain.mountPoint() + "/.Trash");
    ::chmod((plain.mountPoint() + "/.Trash").c_str(), 0777);
    writeFile(plain.mountPoint() + "/b", "b");
    put = TrashPutter(locator()).put(plain.mountPoint() + "/b");
    ASSERT_TRUE(put.ok) << put.error;
    EXPECT_EQ(put.trashDir, plain.mountPoint() + "/.Trash-0");
}

TEST_F(TrashVolumes, MountPointsReadOnlyVolumesAndVolumeTrashesAreRefused) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ScopedMount ro(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok() && ro.ok());
    writeFile(ro.mountPoint() + "/file", "x");
    ASSERT_TRUE(ro.remount(true));
    makeDirs(m.mountPoint() + "/.Trash-0/files/x");
    makeDirs(m.mountPoint() + "/.Trash-1234");
    const std::string before = snapshot(env.root());
    TrashPutter putter(locator());
    EXPECT_NE(putter.put(m.mountPoint()).error.find("mount point"), std::string::npos);
    EXPECT_NE(putter.put(m.mountPoint() + "/.Trash-0/files/x").error.find("trash folder"), std::string::npos);
    EXPECT_NE(putter.put(m.mountPoint() + "/.Trash-1234").error.find("trash folder"), std::string::npos);
    auto r = putter.put(ro.mountPoint() + "/file");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("no trash can be made"), std::string::npos) << r.error;
    EXPECT_EQ(snapshot(env.root()), before);
    EXPECT_TRUE(exists(ro.mountPoint() + "/file")) << "never deleted instead";
}

TEST_F(TrashVolumes, AVolumeTheUserCannotWriteHasNoTrashForThem) {
    ScopedMount m(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok());
    writeFileMakingFolders(m.mountPoint() + "/dir/f", "x");
    ::chown((m.mountPoint() + "/dir").c_str(), kNobodyUid, kNobodyGid);
    ::chown((m.mountPoint() + "/dir/f").c_str(), kNobodyUid, kNobodyGid);
    const std::string before = snapshot(m.mountPoint());
    const std::string path = m.mountPoint() + "/dir/f";
    const std::string trash = env.homeTrash();
    const std::string home = env.home();
    ASSERT_EQ(::chmod(env.root().c_str(), 0711), 0);  // nobody may pass through to the volume
    int rc = runAsNobody([&] {
        TrashPutter putter(TrashLocator(kNobodyUid, trash, volumeOfPath(home)));
        auto r = putter.put(path);
        if (!r.ok && r.error.find("no trash can be made") != std::string::npos) return 0;
        std::fprintf(stderr, "%s\n", r.error.c_str());
        return 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(snapshot(m.mountPoint()), before);
}

// An item of the home trash whose place is on another file system is copied there.
TEST_F(TrashVolumes, AnotherFileSystemGetsAFullCopy) {
    ScopedMount ext(env.root(), ScopedMount::Kind::Ext4Loop);
    if (!ext.ok() && ext.error().find("missing") != std::string::npos) GTEST_SKIP() << ext.error();
    ASSERT_TRUE(ext.ok()) << ext.error();
    const std::string files = env.homeTrash() + "/files";
    makeDirs(files + "/item/sub", 0751);
    writeFile(files + "/item/sub/data", std::string(3 << 20, 'd'), 0604);
    writeFile(files + "/item/\xff", "odd");
    ASSERT_EQ(::symlink("sub/data", (files + "/item/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((files + "/item/fifo").c_str(), 0620), 0);
    ASSERT_EQ(::setxattr((files + "/item/sub/data").c_str(), "user.tag", "t", 1, 0), 0);
    ASSERT_EQ(::chown((files + "/item/sub/data").c_str(), kNobodyUid, kNobodyGid), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (files + "/item/sub").c_str(), times, 0), 0);
    ASSERT_TRUE(makeDeepChain(files + "/item/deep", 3000));
    TempHome::plantTrashInfo(env.homeTrash(), "item");
    writeFile(env.homeTrash() + "/info/item.trashinfo", infoText(ext.mountPoint() + "/back/item"));
    const std::string before = snapshot(files + "/item");

    auto item = describeTrashedItem(env.homeTrash(), "item", volumeOfPath(env.home()), true);
    std::atomic<uint64_t> lastBytes{0};
    RestoreOptions options;
    options.copy.progress = [&](uint64_t bytes, uint64_t) { lastBytes = bytes; };
    ScopedFileLimit limit(200);  // a 3,000-deep copy with few descriptors
    auto r = restore(item, options);
    ASSERT_EQ(r.status, RestoreStatus::Restored) << r.error;
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(snapshot(ext.mountPoint() + "/back/item"), before);
    EXPECT_GE(lastBytes.load(), uint64_t(3 << 20));
    struct stat st;
    ASSERT_EQ(::stat((ext.mountPoint() + "/back/item/sub/data").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobodyUid);
    char value[4] = {};
    EXPECT_EQ(::getxattr((ext.mountPoint() + "/back/item/sub/data").c_str(), "user.tag", value, sizeof value), 1);
    EXPECT_FALSE(exists(files + "/item"));
    EXPECT_FALSE(exists(env.homeTrash() + "/info/item.trashinfo"));
}

TEST_F(TrashVolumes, AFullFileSystemOrAStopLeavesTheTrashedItemWhole) {
    const std::string small = env.root() + "/small";
    makeDirs(small);
    ASSERT_EQ(run("mount -t tmpfs -o size=1m quillo-small " + shellQuote(small)), 0);
    struct Unmount {
        std::string path;
        ~Unmount() { run("umount -l " + shellQuote(path)); }
    } unmount{small};
    const std::string files = env.homeTrash() + "/files";
    makeDirs(files + "/big");
    for (int i = 0; i < 4; ++i) writeFile(files + "/big/part" + std::to_string(i), std::string(512 << 10, char('a' + i)));
    TempHome::plantTrashInfo(env.homeTrash(), "big");
    writeFile(env.homeTrash() + "/info/big.trashinfo", infoText(small + "/big"));
    const std::string before = snapshot(env.homeTrash());

    auto item = describeTrashedItem(env.homeTrash(), "big", volumeOfPath(env.home()), true);
    auto r = restoreTrashedItem(item, small + "/big", small, {});
    EXPECT_EQ(r.status, RestoreStatus::Failed);
    EXPECT_NE(r.error.find("No space left"), std::string::npos) << r.error;
    EXPECT_EQ(snapshot(env.homeTrash()), before);
    EXPECT_TRUE(listFolder(small).empty()) << "the partial copy is removed";

    std::atomic<bool> stop{false};
    RestoreOptions options;
    options.copy.stop = &stop;
    options.copy.progress = [&](uint64_t, uint64_t) { stop = true; };
    writeFile(env.homeTrash() + "/info/big.trashinfo", infoText(env.root() + "/elsewhere/big"));
    ScopedMount other(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(other.ok());
    r = restoreTrashedItem(item, other.mountPoint() + "/big", other.mountPoint(), options);
    EXPECT_EQ(r.status, RestoreStatus::Stopped);
    EXPECT_TRUE(listFolder(other.mountPoint()).empty());
    EXPECT_EQ(listFolder(files + "/big").size(), 4u);
}

}  // namespace
