// The helper's authorization check and erase run, without a bus: polkit is replaced by a
// stand-in, progress is recorded, and every trash lives in a temporary home.
#include "common/HelperBus.h"
#include "common/HelperRequest.h"
#include "common/RNCommonHelper.h"
#include "files/SystemLog.h"
#include "helper/PolkitAuthority.h"
#include "helper/RNHelperTool.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace quillo;
using namespace quillo::common;
using quillo::helper::PathGuard;
using quillo::helper::RNHelperTool;

namespace {

struct Report {
    uint64_t count, totSize, itemSize;
    std::string path;
    bool operator==(const Report&) const = default;
};

class RecordingProgress : public helper::RNHelperToolProgress {
public:
    void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) override {
        EXPECT_EQ(finishedCalls, 0) << "progress after the end of the run";
        items.push_back({count, totSize, itemSize, path});
    }
    void finishedWithNonErasedCount(uint64_t count) override {
        ++finishedCalls;
        notErased = count;
    }
    std::vector<Report> items;
    int finishedCalls = 0;
    uint64_t notErased = 0;
};

bool setLocked(const std::string& path, bool locked) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = locked ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

class HelperErase : public ::testing::Test {
protected:
    void SetUp() override {
        files_ = home_.homeTrash() + "/files";
        test::makeDirs(files_, 0700);
        test::makeDirs(home_.homeTrash() + "/info", 0700);
        outside_ = home_.root() + "/outside";
        test::makeDirs(outside_);
        test::writeFile(outside_ + "/victim", "keep");
    }
    // Trashes a file of `size` bytes as NAME, with its info file.
    std::string trash(const std::string& name, size_t size) {
        test::writeFile(files_ + "/" + name, std::string(size, 'x'));
        test::TempHome::plantTrashInfo(home_.homeTrash(), name);
        return files_ + "/" + name;
    }
    PathGuard guard() const { return PathGuard(::getuid(), home_.home(), {}); }
    std::string info(const std::string& name) const { return home_.homeTrash() + "/info/" + name + ".trashinfo"; }

    test::TempHome home_;
    std::string files_, outside_;
    RNHelperTool tool_;
    RecordingProgress progress_;
};

}  // namespace

TEST(HelperAuthorization, WrongLengthIsParamErrBeforePolkitIsAsked) {
    RNHelperTool tool;
    int polkitCalls = 0;
    tool.setPolkitCheck([&](const std::string&, const std::string&, std::function<void(int)> done) {
        ++polkitCalls;
        done(0);
    });
    for (size_t length : {size_t(0), size_t(31), size_t(33)}) {
        std::optional<HelperError> result;
        tool.checkAuthorization(std::string(length, 'a'), kEraseCommand, ":1.5", [&](HelperError e) { result = e; });
        ASSERT_TRUE(result) << length;
        EXPECT_EQ(result->domain, HelperError::Domain::OSStatus);
        EXPECT_EQ(result->code, kOSStatusParamErr);
    }
    EXPECT_EQ(polkitCalls, 0);
}

TEST(HelperAuthorization, PolkitDecidesForTheCallingBusName) {
    RNHelperTool tool;
    std::string askedSender, askedAction;
    int answer = 0;
    tool.setPolkitCheck([&](const std::string& sender, const std::string& action, std::function<void(int)> done) {
        askedSender = sender;
        askedAction = action;
        done(answer);
    });
    const std::string token(kAuthorizationDataLength, '\0');
    for (int status : {0, kErrAuthorizationCanceled, kErrAuthorizationDenied}) {
        answer = status;
        std::optional<HelperError> result;
        tool.checkAuthorization(token, kEraseCommand, ":1.42", [&](HelperError e) { result = e; });
        ASSERT_TRUE(result);
        EXPECT_EQ(result->code, status);
        EXPECT_EQ(bool(*result), status != 0);
    }
    EXPECT_EQ(askedSender, ":1.42");
    EXPECT_EQ(askedAction, "org.quillo.quillo-3.eraseauthorized");
}

TEST(HelperAuthorization, NeverSucceedsWithoutPolkitOrForAnUnprotectedCommand) {
    RNHelperTool tool;  // no bus, no stand-in: nobody to ask
    std::optional<HelperError> result;
    tool.checkAuthorization(std::string(32, 'a'), kEraseCommand, ":1.1", [&](HelperError e) { result = e; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, kErrAuthorizationDenied);

    bool asked = false;
    tool.setPolkitCheck([&](const std::string&, const std::string&, std::function<void(int)> done) {
        asked = true;
        done(0);
    });
    result.reset();
    tool.checkAuthorization(std::string(32, 'a'), "noSuchCommand:", ":1.1", [&](HelperError e) { result = e; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, kErrAuthorizationDenied);
    EXPECT_FALSE(asked);
}

// The protocol called in-process, with no bus call to name a caller: an erase request cannot be
// authorized for anyone, so it is refused without asking polkit and nothing runs; the unlock
// step outside a run has no guard to verify against, so it unlocks nothing.
TEST(HelperAuthorization, WithoutACallerOnTheBusNothingIsAuthorizedOrUnlocked) {
    RNHelperTool tool;
    bool asked = false;
    tool.setPolkitCheck([&](const std::string&, const std::string&, std::function<void(int)> done) {
        asked = true;
        done(0);
    });
    std::optional<HelperError> reply;
    tool.eraseWithAuthorization(std::string(kAuthorizationDataLength, 'a'), *encodeHelperRequest(HelperRequest{}),
                                [&](const HelperError& e) { reply = e; });
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, kErrAuthorizationDenied);
    EXPECT_FALSE(asked);
    EXPECT_TRUE(tool.unlockItemsWithArray(std::vector<std::string>{"/etc/passwd"}).empty());

    std::string version;
    tool.getVersionWithReply([&](const std::string& v) { version = v; });
    EXPECT_EQ(version, kHelperVersion);
}

TEST(HelperAuthorization, PolkitAnswersMapToStatusCodes) {
    using helper::authorizationStatusForAnswer;
    EXPECT_EQ(authorizationStatusForAnswer(true, false, {}), 0);
    EXPECT_EQ(authorizationStatusForAnswer(false, false, {{"polkit.dismissed", "true"}}), kErrAuthorizationCanceled);
    EXPECT_EQ(authorizationStatusForAnswer(false, false, {}), kErrAuthorizationDenied);
    // Only "true" means the user dismissed the dialog.
    for (const char* value : {"false", "TRUE", "1", ""})
        EXPECT_EQ(authorizationStatusForAnswer(false, false, {{"polkit.dismissed", value}}), kErrAuthorizationDenied)
            << value;
    // A challenge that no authentication agent answered is a refusal, not success.
    EXPECT_EQ(authorizationStatusForAnswer(false, true, {}), kErrAuthorizationDenied);
    EXPECT_EQ(helper::authorizationStatusForError("org.freedesktop.DBus.Error.ServiceUnknown"), kErrAuthorizationDenied);
    EXPECT_EQ(helper::authorizationStatusForError("org.freedesktop.PolicyKit1.Error.Failed"), kErrAuthorizationDenied);
    EXPECT_TRUE(helper::isPolkitMissingError("org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_FALSE(helper::isPolkitMissingError("org.freedesktop.PolicyKit1.Error.Failed"));
}

TEST_F(HelperErase, EmptyRequestOnlyFinishesWithZero) {
    HelperRequest request;
    request.erasedCount = 7;
    request.erasedSize = 700;
    tool_.doErase(request, guard(), progress_);
    EXPECT_TRUE(progress_.items.empty());
    EXPECT_EQ(progress_.finishedCalls, 1);
    EXPECT_EQ(progress_.notErased, 0u);
}

TEST_F(HelperErase, RemovesInOrderWithTotalsFromTheRequestAndForgetsTrashRecords) {
    const std::string a = trash("a", 10);
    const std::string b = trash("b", 20);
    test::makeDirs(files_ + "/folder/sub");
    test::writeFile(files_ + "/folder/one", std::string(100, 'y'));
    test::writeFile(files_ + "/folder/sub/two", std::string(1000, 'z'));
    test::TempHome::plantTrashInfo(home_.homeTrash(), "folder");
    test::writeFile(home_.homeTrash() + "/directorysizes", "1100 1700000000 folder\n5 1700000000 other%20one\n");

    HelperRequest request;
    request.unlockItems = {a};
    request.permissionsItems = {b};
    request.notTrashedBecauseFolderNotEmpty = {files_ + "/folder"};
    request.erasedCount = 5;
    request.erasedSize = 500;
    tool_.doErase(request, guard(), progress_);

    const std::vector<Report> expected = {{6, 510, 10, a}, {7, 530, 20, b}, {8, 1630, 1100, files_ + "/folder"}};
    EXPECT_EQ(progress_.items, expected);
    EXPECT_EQ(progress_.finishedCalls, 1);
    EXPECT_EQ(progress_.notErased, 0u);
    for (const char* name : {"a", "b", "folder"}) {
        EXPECT_FALSE(test::exists(files_ + "/" + name)) << name;
        EXPECT_FALSE(test::exists(info(name))) << name;
    }
    EXPECT_EQ(test::readFile(home_.homeTrash() + "/directorysizes"), "5 1700000000 other%20one\n");
}

TEST_F(HelperErase, RefusedAndFailedPathsAreCountedReportedAndLeftAlone) {
    const std::string kept = trash("kept", 3);
    test::makeDirs(files_ + "/dir");
    test::writeFile(files_ + "/dir/inner", "abc");
    ASSERT_EQ(::symlink(outside_.c_str(), (files_ + "/link").c_str()), 0);

    HelperRequest request;
    request.permissionsItems = {outside_ + "/victim", files_ + "/link/victim", files_ + "/../../outside/victim",
                                files_ + "/missing", files_ + "/dir/inner"};
    tool_.doErase(request, guard(), progress_);

    ASSERT_EQ(progress_.items.size(), 5u);
    EXPECT_EQ(progress_.items[0], (Report{0, 0, 0, outside_ + "/victim"}));
    EXPECT_EQ(progress_.items[3].path, files_ + "/missing");
    EXPECT_EQ(progress_.items[4], (Report{1, 3, 3, files_ + "/dir/inner"}));
    EXPECT_EQ(progress_.notErased, 4u);
    EXPECT_EQ(test::readFile(outside_ + "/victim"), "keep");
    EXPECT_TRUE(test::exists(kept));
    EXPECT_TRUE(test::exists(info("kept")));
    EXPECT_TRUE(test::exists(files_ + "/dir"));  // a nested item leaves its top-level folder's records alone
}

TEST_F(HelperErase, ALinkIsRemovedNeverItsTarget) {
    ASSERT_EQ(::symlink((outside_ + "/victim").c_str(), (files_ + "/link").c_str()), 0);
    HelperRequest request;
    request.permissionsItems = {files_ + "/link"};
    tool_.doErase(request, guard(), progress_);
    EXPECT_FALSE(test::exists(files_ + "/link"));
    EXPECT_EQ(test::readFile(outside_ + "/victim"), "keep");
    EXPECT_EQ(progress_.notErased, 0u);
}

TEST_F(HelperErase, StopDuringUnlockFinishesTheEntryInHandThenExactlyOneItem) {
    const std::string a = trash("a", 1), b = trash("b", 1), c = trash("c", 1);
    HelperRequest request;
    request.unlockItems = {a, b, c};
    request.permissionsItems = {trash("d", 1)};
    tool_.setStoppedByUser(true);
    tool_.doErase(request, guard(), progress_);
    // The walk visited c only, then stopped; the removal handled the first entry and ended.
    ASSERT_EQ(progress_.items.size(), 1u);
    EXPECT_EQ(progress_.items[0].path, a);
    EXPECT_EQ(progress_.finishedCalls, 1);
    EXPECT_FALSE(test::exists(a));
    EXPECT_TRUE(test::exists(b) && test::exists(c) && test::exists(files_ + "/d"));
}

TEST_F(HelperErase, LockedItemsAreUnlockedAndRemovedAndUnlockFailuresReported) {
    if (!test::isRoot()) GTEST_SKIP() << "setting the immutable flag needs root";
    const std::string locked = trash("locked", 4);
    if (!setLocked(locked, true)) GTEST_SKIP() << "this file system has no immutable flag";
    test::makeDirs(files_ + "/lockedDir");
    test::writeFile(files_ + "/lockedDir/f", "12");
    ASSERT_TRUE(setLocked(files_ + "/lockedDir", true));
    // A locked file with another name outside the trash is not unlocked: the flag is the inode's.
    const std::string linked = trash("linked", 5);
    ASSERT_EQ(::link(linked.c_str(), (outside_ + "/otherName").c_str()), 0);
    ASSERT_TRUE(setLocked(linked, true));

    HelperRequest request;
    request.unlockItems = {locked, files_ + "/lockedDir", linked, files_ + "/missing"};
    tool_.doErase(request, guard(), progress_);

    EXPECT_FALSE(test::exists(locked));
    EXPECT_FALSE(test::exists(files_ + "/lockedDir"));
    EXPECT_TRUE(test::exists(linked));
    EXPECT_EQ(progress_.notErased, 2u);  // "linked" and "missing" could not be unlocked
    ASSERT_EQ(progress_.items.size(), 4u);
    // Unlock failures are reported as the walk meets them (last to first), then the removals.
    EXPECT_EQ(progress_.items[0].path, files_ + "/missing");
    EXPECT_EQ(progress_.items[1].path, linked);
    EXPECT_EQ(progress_.items[2], (Report{1, 4, 4, locked}));
    EXPECT_EQ(progress_.items[3], (Report{2, 6, 2, files_ + "/lockedDir"}));
    setLocked(linked, false);
}

// The trash cache is rewritten only when it is the caller's own file: a hard link to another
// user's file, or a cache owned by someone else, stays as it is, and a rewritten cache belongs
// to the trash folder's owner.
TEST_F(HelperErase, DirectorySizesIsRewrittenOnlyWhenItIsTheCallersOwnFile) {
    if (!test::isRoot()) GTEST_SKIP() << "files of other users need root";
    const std::string trashDir = home_.homeTrash();
    const std::string cache = trashDir + "/directorysizes";
    const std::string line = "3 1700000000 folder\n";
    auto trashFolder = [&](const std::string& name) {
        test::makeDirs(files_ + "/" + name);
        test::writeFile(files_ + "/" + name + "/f", "abc");
        test::TempHome::plantTrashInfo(trashDir, name);
        return files_ + "/" + name;
    };
    auto ownersInTrash = [&] {
        std::vector<uid_t> owners;
        for (const std::string& name : test::listFolder(trashDir)) {
            if (name == "directorysizes") continue;
            struct stat st;
            if (::lstat((trashDir + "/" + name).c_str(), &st) == 0) owners.push_back(st.st_uid);
        }
        return owners;
    };

    // Another user's file, hard-linked into root's trash as its cache.
    const std::string theirs = outside_ + "/theirs";
    test::writeFile(theirs, line);
    ASSERT_EQ(::chown(theirs.c_str(), test::kNobodyUid, test::kNobodyGid), 0);
    ASSERT_EQ(::link(theirs.c_str(), cache.c_str()), 0);
    HelperRequest request;
    request.permissionsItems = {trashFolder("folder")};
    tool_.doErase(request, guard(), progress_);
    EXPECT_FALSE(test::exists(files_ + "/folder"));
    struct stat st;
    ASSERT_EQ(::stat(cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u) << "the linked cache was replaced";
    EXPECT_EQ(test::readFile(theirs), line);
    EXPECT_EQ(test::listFolder(trashDir), (std::vector<std::string>{"directorysizes", "files", "info"}));
    for (uid_t owner : ownersInTrash()) EXPECT_NE(owner, test::kNobodyUid) << "a file of another user in the trash";
    ASSERT_EQ(::unlink(cache.c_str()), 0);

    // A cache owned by another user, with one name only.
    test::writeFile(cache, line);
    ASSERT_EQ(::chown(cache.c_str(), test::kNobodyUid, test::kNobodyGid), 0);
    request.permissionsItems = {trashFolder("folder")};
    RecordingProgress second;
    tool_.doErase(request, guard(), second);
    EXPECT_FALSE(test::exists(files_ + "/folder"));
    EXPECT_EQ(test::readFile(cache), line);
    ASSERT_EQ(::unlink(cache.c_str()), 0);

    // The caller's own trash and cache: rewritten, and still the caller's.
    for (const std::string& path : {trashDir, files_, trashDir + "/info"})
        ASSERT_EQ(::chown(path.c_str(), test::kNobodyUid, test::kNobodyGid), 0);
    test::writeFile(cache, line + "5 1700000000 other\n", 0640);
    ASSERT_EQ(::chown(cache.c_str(), test::kNobodyUid, test::kNobodyGid), 0);
    request.permissionsItems = {trashFolder("folder")};
    RecordingProgress third;
    tool_.doErase(request, PathGuard(test::kNobodyUid, home_.home(), {}), third);
    EXPECT_FALSE(test::exists(files_ + "/folder"));
    EXPECT_EQ(test::readFile(cache), "5 1700000000 other\n");
    ASSERT_EQ(::stat(cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, test::kNobodyUid);
    EXPECT_EQ(st.st_gid, test::kNobodyGid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// An immutable file bind-mounted into a trash by an administrator: the flag is the source's,
// and the helper neither clears it nor removes anything there.
TEST_F(HelperErase, ABindMountedLockedFileKeepsItsFlagAtTheSource) {
    if (!test::isRoot()) GTEST_SKIP() << "bind mounts and the immutable flag need root";
    const std::string source = outside_ + "/locked";
    test::writeFile(source, "precious");
    if (!setLocked(source, true)) GTEST_SKIP() << "this file system has no immutable flag";
    const std::string target = trash("mounted", 0);
    ASSERT_EQ(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);

    HelperRequest request;
    request.unlockItems = {target};
    tool_.doErase(request, guard(), progress_);
    ::umount2(target.c_str(), MNT_DETACH);

    int flags = 0;
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, FS_IOC_GETFLAGS, &flags), 0);
    ::close(fd);
    EXPECT_TRUE(flags & FS_IMMUTABLE_FL) << "the flag was cleared at the mount's source";
    EXPECT_EQ(test::readFile(source), "precious");
    EXPECT_EQ(progress_.notErased, 1u);
    EXPECT_TRUE(test::exists(target));
    setLocked(source, false);
}

// A root-owned chain deeper than the descriptor limit, handed to the helper as one item:
// measured to its last entry and removed completely.
TEST_F(HelperErase, ARootOwnedChainDeeperThanTheDescriptorLimitIsRemoved) {
    test::ScopedFileLimit limit(128);
    ASSERT_TRUE(limit.ok());
    ASSERT_TRUE(test::makeDeepChain(files_ + "/deep", 3000));
    test::TempHome::plantTrashInfo(home_.homeTrash(), "deep");
    HelperRequest request;
    request.permissionsItems = {files_ + "/deep"};
    tool_.doErase(request, guard(), progress_);
    EXPECT_EQ(progress_.notErased, 0u);
    ASSERT_EQ(progress_.items.size(), 1u);
    EXPECT_EQ(progress_.items[0], (Report{1, 1, 1, files_ + "/deep"}));
    EXPECT_FALSE(test::exists(files_ + "/deep"));
    EXPECT_FALSE(test::exists(info("deep")));
}

// Repeated paths are reduced to distinct ones before any work: each is handled and reported
// once, at its first place, and a path both to unlock and to remove is unlocked and removed once.
TEST_F(HelperErase, RepeatedPathsAreHandledOnceAtTheirFirstPlace) {
    const std::string a = trash("a", 1), b = trash("b", 2), c = trash("c", 3);
    HelperRequest request;
    request.unlockItems = {b, b, a};
    request.permissionsItems = {c, a, b, c, files_ + "/missing", files_ + "/missing"};
    request.notTrashedBecauseFolderNotEmpty = {c};
    tool_.doErase(request, guard(), progress_);
    const std::vector<Report> expected = {
        {1, 2, 2, b}, {2, 3, 1, a}, {3, 6, 3, c}, {3, 6, 0, files_ + "/missing"}};
    EXPECT_EQ(progress_.items, expected);
    EXPECT_EQ(progress_.notErased, 1u);
}

// The run's cost grows linearly with the request, whatever the share of failures: entries that
// could not be unlocked are dropped in one pass, not one by one from the middle of the list. The
// work list's copies are counted at two sizes (not timed): twice the request, about twice the
// copies (a removal from the middle per failure would make it four times).
TEST_F(HelperErase, TheRunsWorkGrowsLinearlyWithUnlockFailures) {
    // Failures first and survivors after them, as in a request of many copies of one unlockable
    // entry followed by other paths: the walk goes last to first, so each failure sits before
    // every survivor. A symbolic link cannot be unlocked (it is neither a file nor a folder); a
    // path outside the trash is not looked at by the walk and refused by the removal.
    auto movesFor = [&](size_t failures) {
        HelperRequest request;
        for (size_t i = 0; i < failures; ++i) {
            const std::string link = files_ + "/l" + std::to_string(failures) + "-" + std::to_string(i);
            EXPECT_EQ(::symlink("nowhere", link.c_str()), 0);
            request.unlockItems.push_back(link);
        }
        for (size_t i = 0; i < failures; ++i) request.unlockItems.push_back(outside_ + "/s" + std::to_string(i));
        RecordingProgress progress;
        const uint64_t before = RNHelperTool::workItemMoves();
        tool_.doErase(request, guard(), progress);
        EXPECT_EQ(progress.notErased, 2 * failures);
        EXPECT_EQ(progress.items.size(), 2 * failures);
        return RNHelperTool::workItemMoves() - before;
    };
    const uint64_t small = movesFor(500), large = movesFor(1000);
    ASSERT_GT(small, 0u);
    EXPECT_LT(double(large) / double(small), 2.6) << small << " then " << large;
}

// Fair share: when another user asks for the slot, a run that has held it for its share takes
// no new item; what it did not reach is counted as not erased, and it still finishes.
TEST_F(HelperErase, ARunGivesWayToAWaitingUserAfterItsShare) {
    HelperRequest request;
    for (int i = 0; i < 5; ++i) request.permissionsItems.push_back(trash("f" + std::to_string(i), 1));

    class TurnOnFirstItem : public RecordingProgress {
    public:
        explicit TurnOnFirstItem(RNHelperTool& tool) : tool_(tool) {}
        void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) override {
            RecordingProgress::itemsErased(count, totSize, itemSize, path);
            if (items.size() == 1) tool_.requestTurn();
        }
        RNHelperTool& tool_;
    };

    // The share not used up: the run goes on to its end.
    tool_.setSlotShare(std::chrono::hours(1));
    TurnOnFirstItem patient(tool_);
    tool_.doErase(request, guard(), patient);
    EXPECT_EQ(patient.items.size(), 5u);
    EXPECT_EQ(patient.notErased, 0u);
    EXPECT_GT(tool_.turnWait(), std::chrono::minutes(59));

    // The share used up: the item in hand is finished, the next is not started.
    request.permissionsItems.clear();
    for (int i = 0; i < 5; ++i) request.permissionsItems.push_back(trash("g" + std::to_string(i), 1));
    tool_.setSlotShare(std::chrono::milliseconds(0));
    TurnOnFirstItem hurried(tool_);
    tool_.doErase(request, guard(), hurried);
    ASSERT_EQ(hurried.items.size(), 1u);
    EXPECT_EQ(hurried.finishedCalls, 1);
    EXPECT_EQ(hurried.notErased, 4u);
    EXPECT_EQ(tool_.turnWait(), std::chrono::milliseconds(0));
    EXPECT_FALSE(test::exists(files_ + "/g0"));
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(test::exists(files_ + "/g" + std::to_string(i)));
}

// A run with many failures logs the first few one by one and then one line with the count.
TEST_F(HelperErase, FailuresAreLoggedFirstFewThenCounted) {
    std::vector<std::string> lines;
    files::SystemLogSink previous = files::setSystemLogSink([&](const std::string& line) { lines.push_back(line); });
    HelperRequest request;
    for (int i = 0; i < 1000; ++i) request.permissionsItems.push_back(outside_ + "/refused" + std::to_string(i));
    tool_.doErase(request, guard(), progress_);
    files::setSystemLogSink(std::move(previous));
    EXPECT_EQ(progress_.notErased, 1000u);
    ASSERT_EQ(lines.size(), RNHelperTool::kLoggedFailuresPerRun + 1);
    EXPECT_NE(lines.front().find("refused0"), std::string::npos) << lines.front();
    EXPECT_NE(lines.back().find(std::to_string(1000 - RNHelperTool::kLoggedFailuresPerRun) + " more"), std::string::npos)
        << lines.back();
}

// The caller's own cache with a second hard link is not rewritten either: rewriting it would
// replace one name and leave the other, or (written in place) change a file that lies elsewhere.
// After the erase both names remain, one file, with the content it had.
TEST_F(HelperErase, DirectorySizesWithASecondLinkKeepsBothLinksAndItsContent) {
    const std::string cache = home_.homeTrash() + "/directorysizes";
    const std::string other = outside_ + "/sizes-elsewhere";
    const std::string content = "3 1700000000 folder\n5 1700000000 other\n";
    test::writeFile(cache, content);
    ASSERT_EQ(::link(cache.c_str(), other.c_str()), 0);
    test::makeDirs(files_ + "/folder");
    test::writeFile(files_ + "/folder/f", "abc");
    test::TempHome::plantTrashInfo(home_.homeTrash(), "folder");

    HelperRequest request;
    request.permissionsItems = {files_ + "/folder"};
    tool_.doErase(request, guard(), progress_);
    EXPECT_FALSE(test::exists(files_ + "/folder"));
    EXPECT_EQ(progress_.notErased, 0u);
    struct stat atCache, atOther;
    ASSERT_EQ(::stat(cache.c_str(), &atCache), 0);
    ASSERT_EQ(::stat(other.c_str(), &atOther), 0);
    EXPECT_EQ(atCache.st_nlink, 2u);
    EXPECT_EQ(atCache.st_ino, atOther.st_ino) << "the cache was replaced by a new file";
    EXPECT_EQ(test::readFile(cache), content);
    EXPECT_EQ(test::readFile(other), content);
}
