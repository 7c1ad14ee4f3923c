// The automatic clean-up: what the rules choose, and passes over real trashes (real files, tmpfs
// mounts, chattr +i, a full log volume) through the erase engine.
#include "erase/RNAutoCleanup.h"
#include "erase/RNCleanupLock.h"
#include "erase/RNCleanupPlanner.h"
#include "erase/RNCleanupRules.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "erase/ScriptedPromptBackend.h"
#include "files/TrashInfo.h"
#include "files/TrashLocator.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

using namespace quillo::erase;
using namespace quillo::test;

namespace {

constexpr double kDay = 86400;

// DeletionDate text (local time, as trash writers store it) for `secondsAgo` before now.
std::string dateAgo(double secondsAgo) {
    std::time_t t = std::time(nullptr) - std::time_t(secondsAgo);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

RNCleanupItem item(const std::string& name, uint64_t size, double date, double changeTime = 0) {
    RNCleanupItem i;
    i.path = "/t/files/" + name;
    i.size = size;
    i.count = 1;
    i.deletionDate = date;
    i.changeTime = changeTime;
    return i;
}

std::vector<std::string> names(const RNCleanupVolumePlan& plan) {
    std::vector<std::string> out;
    for (const auto& i : plan.items) out.push_back(i.path.substr(9));
    return out;
}

}  // namespace

TEST(CleanupRules, TerminalValuesAreReadExactlyAndNonsenseIsRefused) {
    EXPECT_EQ(parseCleanupDays("30d"), 30u);
    EXPECT_EQ(parseCleanupDays("30"), 30u);
    EXPECT_EQ(parseCleanupDays("2w"), 14u);
    EXPECT_EQ(parseCleanupDays("25h"), 2u);  // hours round up: never erases earlier than asked
    EXPECT_EQ(parseCleanupDays("0d"), 0u);
    for (const char* bad : {"", "d", "-1d", "1.5d", "30x", "1e9d", "nan"}) EXPECT_FALSE(parseCleanupDays(bad)) << bad;

    EXPECT_EQ(parseCleanupBytes("0"), 0u);
    EXPECT_EQ(parseCleanupBytes("10G"), 10'000'000'000ULL);
    EXPECT_EQ(parseCleanupBytes("1.5T"), 1'500'000'000'000ULL);
    EXPECT_EQ(parseCleanupBytes("2GiB"), 2147483648ULL);
    EXPECT_EQ(parseCleanupBytes("500mb"), 500'000'000ULL);
    for (const char* bad : {"", "G", "-5G", "10X", "10 G", "99999999999T", "inf"}) EXPECT_FALSE(parseCleanupBytes(bad)) << bad;

    auto pct = parseFreeTarget("10%");
    ASSERT_TRUE(pct);
    EXPECT_TRUE(pct->byPercent);
    EXPECT_DOUBLE_EQ(pct->percent, 10);
    auto bytes = parseFreeTarget("5G");
    ASSERT_TRUE(bytes);
    EXPECT_FALSE(bytes->byPercent);
    EXPECT_EQ(bytes->bytes, 5'000'000'000ULL);
    for (const char* bad : {"101%", "%", "-1%", "10%%", "x%"}) EXPECT_FALSE(parseFreeTarget(bad)) << bad;
}

TEST(CleanupRules, DefaultsAreOffAndAHandEditedFileCannotRemoveTheMinimumAge) {
    TempHome env;
    RNUserDefaults::resetStandardUserDefaults();
    setupDefaultsPreferences();
    auto& d = RNUserDefaults::standardUserDefaults();
    RNCleanupRules r = RNCleanupRules::fromPreferences(d);
    EXPECT_FALSE(r.anyRuleOn());
    EXPECT_EQ(r.minimumAgeDays, 1);
    EXPECT_FALSE(r.allowHelper);
    d.setInteger(kPrefAutoCleanupMinimumAgeDays, -5);
    d.setInteger(kPrefAutoCleanupMaxTrashBytes, -1);
    d.setBool(kPrefAutoCleanupMaxTrash, true);
    r = RNCleanupRules::fromPreferences(d);
    EXPECT_EQ(r.minimumAgeDays, 1);
    EXPECT_EQ(r.maxTrashBytes, 0u);
    EXPECT_TRUE(r.anyRuleOn());
    RNUserDefaults::resetStandardUserDefaults();
}

// --- The decision ------------------------------------------------------------------------------

TEST(CleanupDecide, AgeRuleLeavesFutureUndatedAndRecentItems) {
    const double now = 800'000'000;
    RNCleanupRules rules;
    rules.olderThanOn = true;
    rules.olderThanDays = 30;
    std::vector<RNCleanupItem> items{
        item("old", 10, now - 40 * kDay),          item("recent", 10, now - 29 * kDay),
        item("future", 10, now + 400 * kDay),      item("undated-old", 10, 0, now - 400 * kDay),
        item("ancient", 10, now - 400 * kDay),     item("just-over", 10, now - 30 * kDay - 1),
    };
    RNCleanupVolumePlan plan;
    RNCleanupPlanner::decide(rules, items, {}, now, plan);
    EXPECT_EQ(names(plan), (std::vector<std::string>{"ancient", "old", "just-over"}));
    EXPECT_EQ(plan.undated, 1u);
    EXPECT_EQ(plan.bytes, 30u);
    for (const auto& i : plan.items) EXPECT_EQ(i.rule, RNCleanupRule::OlderThan);
}

TEST(CleanupDecide, SizeLimitOfZeroGoesOldestFirstUndatedLastAndSparesTheYoung) {
    const double now = 800'000'000;
    RNCleanupRules rules;
    rules.maxTrashOn = true;
    rules.maxTrashBytes = 0;
    std::vector<RNCleanupItem> items{
        item("undated-old", 5, 0, now - 10 * kDay),    // known old by the file system
        item("undated-young", 5, 0, now - 3600),       // just moved in: protected
        item("undated-unknown", 5, 0, 0),              // no idea how old: protected
        item("young", 5, now - 3600),                  // trashed an hour ago
        item("future", 5, now + kDay),                 // "now": protected
        item("b", 5, now - 2 * kDay), item("a", 5, now - 3 * kDay),
    };
    RNCleanupVolumePlan plan;
    RNCleanupPlanner::decide(rules, items, {}, now, plan);
    EXPECT_EQ(names(plan), (std::vector<std::string>{"a", "b", "undated-old"}));
    EXPECT_TRUE(plan.sizeLimitUnreachable);
    EXPECT_EQ(plan.protectedByAge, 4u);

    // A limit the trash already keeps takes nothing; a limit that the oldest item alone meets
    // takes only it.
    rules.maxTrashBytes = 35;
    RNCleanupPlanner::decide(rules, items, {}, now, plan);
    EXPECT_TRUE(plan.items.empty());
    rules.maxTrashBytes = 30;
    RNCleanupPlanner::decide(rules, items, {}, now, plan);
    EXPECT_EQ(names(plan), (std::vector<std::string>{"a"}));
    EXPECT_FALSE(plan.sizeLimitUnreachable);
}

TEST(CleanupDecide, FreeSpaceTakesJustEnoughOrEverythingOldEnoughAndSaysSo) {
    const double now = 800'000'000;
    RNCleanupRules rules;
    rules.minFreeOn = true;
    rules.minFreeByPercent = true;
    rules.minFreePercent = 10;  // 100 of 1000
    std::vector<RNCleanupItem> items{item("c", 30, now - 2 * kDay), item("a", 30, now - 4 * kDay),
                                     item("b", 30, now - 3 * kDay), item("young", 500, now - 60)};
    RNVolumeSpace space{true, 50, 1000};  // 50 short
    RNCleanupVolumePlan plan;
    RNCleanupPlanner::decide(rules, items, space, now, plan);
    EXPECT_EQ(names(plan), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(plan.freeTargetUnreachable);

    space.freeBytes = 0;  // 100 short: the old items give 90, the young one is kept
    RNCleanupPlanner::decide(rules, items, space, now, plan);
    EXPECT_EQ(names(plan), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(plan.freeTargetUnreachable);

    // Unknown free space (network, statvfs failure): the rule does nothing.
    RNCleanupPlanner::decide(rules, items, RNVolumeSpace{}, now, plan);
    EXPECT_TRUE(plan.items.empty());
}

// --- Passes over real trashes --------------------------------------------------------------------

class CleanupPass : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        setupDefaultsPreferences();
        backend = std::make_shared<ScriptedPromptBackend>();
        backend->setDefaultResult(RNPromptResult{kAlertSecondButtonReturn, false});
        RNErrorDelegate::sharedControl().setBackend(backend);
        RNMainThread::setActive(nullptr);
        SetIsHelperAuthorized(false);
        trash = env.homeTrash();
        makeDirs(trash + "/files", 0700);
        makeDirs(trash + "/info", 0700);
        options.volume = quillo::files::volumeOfPath(trash);
        options.lockFolder = env.root() + "/locks";
        rules.olderThanOn = true;
        rules.olderThanDays = 30;
    }
    void TearDown() override {
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
    }
    // files/NAME with `size` bytes and, unless nullopt, an info file with `date`.
    void plant(const std::string& dir, const std::string& name, size_t size, std::optional<std::string> date) {
        writeFile(dir + "/files/" + name, std::string(size, 'x'));
        if (date) TempHome::plantTrashInfo(dir, name, *date);
    }
    std::string logText() {
        std::string out;
        run("cat " + shellQuote(env.stateHome()) + "/Quillo\\ 3/*/*.log 2>/dev/null", &out);
        return out;
    }

    TempHome env;
    std::shared_ptr<ScriptedPromptBackend> backend;
    std::string trash;
    RNCleanupRules rules;
    RNAutoCleanup::Options options;
};

TEST_F(CleanupPass, ErasesWhatWasChosenLogsItAsAutomaticAndAsksNothing) {
    plant(trash, "old1", 100, dateAgo(40 * kDay));
    plant(trash, "old2", 200, dateAgo(41 * kDay));
    makeDirs(trash + "/files/oldfolder/sub");
    writeFile(trash + "/files/oldfolder/sub/f", "abc");
    TempHome::plantTrashInfo(trash, "oldfolder", dateAgo(50 * kDay));
    plant(trash, "recent", 10, dateAgo(2 * kDay));
    plant(trash, "future", 10, "2999-01-01T00:00:00");
    plant(trash, "malformed", 10, "yesterday");
    plant(trash, "noinfo", 10, std::nullopt);
    TempHome::plantTrashInfo(trash, "infoWithoutData", dateAgo(90 * kDay));

    RNAutoCleanup pass(rules, options);
    const RNCleanupPassResult r = pass.run();
    ASSERT_FALSE(r.busy);
    ASSERT_EQ(r.volumes.size(), 1u);
    EXPECT_EQ(r.volumes[0].erasedItems, 3u);
    EXPECT_EQ(r.volumes[0].erasedBytes, 303u);
    EXPECT_EQ(r.volumes[0].rule, RNCleanupRule::OlderThan);
    EXPECT_EQ(listFolder(trash + "/files"), (std::vector<std::string>{"future", "malformed", "noinfo", "recent"}));
    EXPECT_FALSE(exists(trash + "/info/old1.trashinfo"));
    EXPECT_TRUE(exists(trash + "/info/recent.trashinfo"));
    EXPECT_EQ(backend->calls(), 0);

    const std::string log = logText();
    EXPECT_NE(log.find("Automatic clean-up of the Trash of"), std::string::npos) << log;
    EXPECT_NE(log.find(trash + "/files/old1"), std::string::npos) << log;
    EXPECT_EQ(log.find("recent"), std::string::npos) << log;

    const std::string text = RNAutoCleanup::summaryText(r, rules);
    EXPECT_NE(text.find("Removed 3 items"), std::string::npos) << text;
    EXPECT_NE(text.find("older than 30 days"), std::string::npos) << text;

    // Nothing left to do: no text (no notification), nothing erased.
    RNAutoCleanup again(rules, options);
    const RNCleanupPassResult r2 = again.run();
    EXPECT_EQ(r2.erasedItems(), 0u);
    EXPECT_TRUE(RNAutoCleanup::summaryText(r2, rules).empty());
}

TEST_F(CleanupPass, ItemsPutBackReplacedOrTrashedDuringThePassStay) {
    for (const char* n : {"keep-going", "put-back", "replaced", "retrashed"}) plant(trash, n, 10, dateAgo(60 * kDay));
    options.beforeVolume = [&](const RNCleanupVolumePlan& plan) {
        ASSERT_EQ(plan.items.size(), 4u);
        // Put back: gone from the trash.
        ::unlink((trash + "/files/put-back").c_str());
        ::unlink((trash + "/info/put-back.trashinfo").c_str());
        // Replaced by another file of the same name (same old date: the identity tells). The
        // old file is kept elsewhere, so the new one cannot be given its inode number.
        ASSERT_EQ(::rename((trash + "/files/replaced").c_str(), (env.root() + "/replaced-elsewhere").c_str()), 0);
        plant(trash, "replaced", 10, std::nullopt);
        // Put back and trashed again under the same name: a new date.
        ::unlink((trash + "/files/retrashed").c_str());
        plant(trash, "retrashed", 10, dateAgo(0));
        // Trashed now under a new name: not in the plan at all.
        plant(trash, "new", 10, dateAgo(0));
    };
    RNAutoCleanup pass(rules, options);
    const RNCleanupPassResult r = pass.run();
    ASSERT_EQ(r.volumes.size(), 1u);
    EXPECT_EQ(r.volumes[0].erasedItems, 1u);
    EXPECT_EQ(r.volumes[0].skippedChanged, 3u);
    EXPECT_EQ(listFolder(trash + "/files"), (std::vector<std::string>{"new", "replaced", "retrashed"}));
}

TEST_F(CleanupPass, LockedItemsAreSkippedAndCountedWithoutAQuestion) {
    if (!isRoot() || !haveTool("chattr")) GTEST_SKIP() << "needs root and chattr";
    plant(trash, "free", 10, dateAgo(60 * kDay));
    makeDirs(trash + "/files/folder");
    writeFile(trash + "/files/folder/locked", "x");
    TempHome::plantTrashInfo(trash, "folder", dateAgo(60 * kDay));
    if (run("chattr +i " + shellQuote(trash + "/files/folder/locked") + " 2>/dev/null") != 0)
        GTEST_SKIP() << "the file system takes no immutable flag";
    RNAutoCleanup pass(rules, options);
    const RNCleanupPassResult r = pass.run();
    ASSERT_EQ(r.volumes.size(), 1u);
    EXPECT_EQ(r.volumes[0].erasedItems, 1u);
    EXPECT_GE(r.volumes[0].skippedLocked, 1u);
    EXPECT_EQ(r.volumes[0].notErased, 1u);
    EXPECT_TRUE(exists(trash + "/files/folder/locked"));
    EXPECT_FALSE(exists(trash + "/files/free"));
    EXPECT_EQ(backend->calls(), 0);
    EXPECT_NE(RNAutoCleanup::summaryText(r, rules).find("locked item"), std::string::npos);
    run("chattr -i " + shellQuote(trash + "/files/folder/locked"));
}

TEST_F(CleanupPass, AFullLogVolumeDoesNotStopTheCleanUp) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
    ScopedMount state(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(state.ok()) << state.error();
    ::setenv("XDG_STATE_HOME", state.mountPoint().c_str(), 1);
    makeDirs(state.mountPoint() + "/Quillo 3/Cleaned Up Automatically", 0700);
    run("cat /dev/zero > " + shellQuote(state.mountPoint() + "/filler") + " 2>/dev/null");
    for (int i = 0; i < 20; ++i) plant(trash, "old" + std::to_string(i), 10, dateAgo(60 * kDay));
    options.lockFolder.clear();  // the default place: on the full volume
    RNAutoCleanup pass(rules, options);
    const RNCleanupPassResult r = pass.run();
    ASSERT_FALSE(r.busy);
    EXPECT_EQ(r.erasedItems(), 20u);
    EXPECT_TRUE(r.logFailed);
    EXPECT_EQ(backend->calls(), 0);
    EXPECT_TRUE(listFolder(trash + "/files").empty());
    ::setenv("XDG_STATE_HOME", env.stateHome().c_str(), 1);
}

TEST_F(CleanupPass, AnotherPassOrAUserEraseInAnotherProcessKeepsItFromRunningOrStopsIt) {
    for (int i = 0; i < 5; ++i) plant(trash, "old" + std::to_string(i), 10, dateAgo(60 * kDay));
    const std::string folder = options.lockFolder;
    makeDirs(folder, 0700);
    // Another process holds a lock until told to let go.
    auto holdInOtherProcess = [&](const char* file, const char* mode) {
        const std::string ready = env.root() + "/ready", release = env.root() + "/release";
        ::unlink(ready.c_str());
        ::unlink(release.c_str());
        run("flock " + std::string(mode) + " " + shellQuote(folder + "/" + file) + " sh -c 'touch " +
            shellQuote(ready) + "; while [ ! -e " + shellQuote(release) + " ]; do sleep 0.02; done' >/dev/null 2>&1 &");
        for (int i = 0; i < 3000 && !exists(ready); ++i) ::usleep(10000);
        EXPECT_TRUE(exists(ready));
        return release;
    };
    auto letGo = [&](const std::string& release, const char* file) {
        writeFile(release, "");
        // Gone once a try-lock succeeds again.
        for (int i = 0; i < 3000; ++i) {
            if (std::string(file) == "cleanup.lock" ? RNCleanupLock::tryAcquire(folder) != nullptr
                                                    : !RNCleanupLock::userEraseRunning(folder))
                return;
            ::usleep(10000);
        }
        ADD_FAILURE() << "the other process kept its lock";
    };

    std::string release = holdInOtherProcess("cleanup.lock", "-x");
    {
        RNAutoCleanup pass(rules, options);
        const RNCleanupPassResult r = pass.run();
        EXPECT_TRUE(r.busy);
        EXPECT_EQ(listFolder(trash + "/files").size(), 5u);
    }
    letGo(release, "cleanup.lock");

    release = holdInOtherProcess("erase.lock", "-s");
    {
        RNAutoCleanup pass(rules, options);
        EXPECT_TRUE(pass.run().busy);
    }
    letGo(release, "erase.lock");

    // A user's erase that starts once the pass has planned: nothing more goes.
    options.beforeVolume = [&](const RNCleanupVolumePlan&) { release = holdInOtherProcess("erase.lock", "-s"); };
    {
        RNAutoCleanup pass(rules, options);
        const RNCleanupPassResult r = pass.run();
        EXPECT_TRUE(r.stopped);
        EXPECT_EQ(r.erasedItems(), 0u);
        EXPECT_EQ(listFolder(trash + "/files").size(), 5u);
    }
    letGo(release, "erase.lock");
}

TEST_F(CleanupPass, StopAllThenRunsOnceThePassLetGoOfTheEngine) {
    for (int i = 0; i < 3; ++i) plant(trash, "old" + std::to_string(i), 10, dateAgo(60 * kDay));
    std::atomic<bool> continued{false};
    options.beforeVolume = [&](const RNCleanupVolumePlan&) {
        // The user's erase arrives right as the pass starts erasing.
        RNAutoCleanup::stopAllThen([&] { continued.store(true); });
    };
    RNAutoCleanup pass(rules, options);
    std::atomic<bool> finished{false};
    RNCleanupPassResult result;
    ASSERT_TRUE(pass.start([&](const RNCleanupPassResult& r) {
        result = r;
        finished.store(true);
    }));
    pass.wait();
    EXPECT_TRUE(finished.load());
    EXPECT_TRUE(continued.load());
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.erasedItems(), 0u);
    // No pass: the continuation runs at once.
    bool direct = false;
    RNAutoCleanup::stopAllThen([&] { direct = true; });
    EXPECT_TRUE(direct);
}

// --- Volumes -------------------------------------------------------------------------------------

TEST_F(CleanupPass, NetworkAndReadOnlyVolumesAreNotTrustedForFreeSpace) {
    plant(trash, "old", 10, dateAgo(60 * kDay));
    const std::string volume = quillo::files::volumeOfPath(trash);
    auto mountInfo = [&](const std::string& type, const std::string& opts) {
        const std::string path = env.root() + "/mountinfo-" + type;
        writeFile(path, "36 1 8:1 / " + volume + " " + opts + " shared:1 - " + type + " server:/x " + opts + "\n");
        return path;
    };
    RNCleanupRules free;
    free.minFreeOn = true;
    free.minFreeByPercent = true;
    free.minFreePercent = 100;  // would take everything old enough
    free.minimumAgeDays = 0;
    const double now = RNCleanupPlanner::currentTime();
    auto nfs = RNCleanupPlanner::planVolume(free, trash + "/files", volume, "v", now, mountInfo("nfs4", "rw"));
    EXPECT_EQ(nfs.skip, RNCleanupVolumeSkip::NetworkFreeSpace);
    EXPECT_TRUE(nfs.items.empty());
    auto ro = RNCleanupPlanner::planVolume(rules, trash + "/files", volume, "v", now, mountInfo("ext4", "ro"));
    EXPECT_EQ(ro.skip, RNCleanupVolumeSkip::ReadOnly);
    EXPECT_TRUE(ro.items.empty());
    // The age rule still works on a network volume.
    auto nfsAge = RNCleanupPlanner::planVolume(rules, trash + "/files", volume, "v", now, mountInfo("nfs", "rw"));
    EXPECT_EQ(nfsAge.items.size(), 1u);
}

TEST_F(CleanupPass, FreeSpaceOnARealVolumeAndAVolumeUnmountedMidPass) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
    ScopedMount disk(env.root(), ScopedMount::Kind::Tmpfs);  // 64 MiB
    ASSERT_TRUE(disk.ok()) << disk.error();
    const std::string vtrash = disk.mountPoint() + "/.Trash-" + std::to_string(::getuid());
    makeDirs(vtrash + "/files", 0700);
    // 40 MiB in three old items, one young item of 8 MiB, 10 MiB outside the trash.
    plant(vtrash, "a", 16u << 20, dateAgo(9 * kDay));
    plant(vtrash, "b", 12u << 20, dateAgo(8 * kDay));
    plant(vtrash, "c", 12u << 20, dateAgo(7 * kDay));
    plant(vtrash, "young", 8u << 20, dateAgo(60));
    writeFile(disk.mountPoint() + "/data", std::string(10u << 20, 'd'));
    options.volume = disk.mountPoint();

    RNCleanupRules free;
    free.minFreeOn = true;
    free.minFreeByPercent = false;
    free.minFreeBytes = 20u << 20;  // ~6 MiB free now: "a" alone frees enough
    {
        RNAutoCleanup pass(free, options);
        const RNCleanupPassResult r = pass.run();
        ASSERT_EQ(r.volumes.size(), 1u);
        EXPECT_EQ(r.volumes[0].erasedItems, 1u);
        EXPECT_EQ(r.volumes[0].rule, RNCleanupRule::MinFreeSpace);
        EXPECT_FALSE(r.volumes[0].freeTargetUnreachable);
        EXPECT_EQ(listFolder(vtrash + "/files"), (std::vector<std::string>{"b", "c", "young"}));
    }
    free.minFreePercent = 95;  // unreachable: everything old enough goes, the young item stays
    free.minFreeByPercent = true;
    {
        // Unmounted (lazily, as a desktop does on a yanked stick) once the pass has planned.
        options.beforeVolume = [&](const RNCleanupVolumePlan& plan) {
            EXPECT_EQ(plan.items.size(), 2u);
            EXPECT_TRUE(plan.freeTargetUnreachable);
            EXPECT_EQ(run("umount -l " + shellQuote(disk.mountPoint())), 0);
        };
        RNAutoCleanup pass(free, options);
        const RNCleanupPassResult r = pass.run();
        ASSERT_EQ(r.volumes.size(), 1u);
        EXPECT_TRUE(r.volumes[0].volumeGone);
        EXPECT_EQ(r.volumes[0].erasedItems, 0u);
        EXPECT_EQ(backend->calls(), 0);
    }
}

TEST_F(CleanupPass, AnotherVolumeMountedWhereThePlannedOneWasKeepsItsItems) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
    ScopedMount disk(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(disk.ok()) << disk.error();
    const std::string mp = disk.mountPoint();
    const std::string vtrash = mp + "/.Trash-" + std::to_string(::getuid());
    const std::string date = dateAgo(60 * kDay);
    makeDirs(vtrash + "/files", 0700);
    plant(vtrash, "photos", 10, date);
    options.volume = mp;
    // The stick is pulled after the plan and another one of the same name and layout (the same
    // item name and date) is mounted at the same place.
    bool swapped = false;
    options.beforeVolume = [&](const RNCleanupVolumePlan& plan) {
        ASSERT_EQ(plan.items.size(), 1u);
        ASSERT_EQ(run("umount -l " + shellQuote(mp)), 0);
        ASSERT_EQ(run("mount -t tmpfs -o size=8m quillo-test-2 " + shellQuote(mp)), 0);
        swapped = true;
        makeDirs(vtrash + "/files", 0700);
        plant(vtrash, "photos", 10, date);
    };
    RNAutoCleanup pass(rules, options);
    const RNCleanupPassResult r = pass.run();
    if (swapped) {
        EXPECT_TRUE(exists(vtrash + "/files/photos")) << "an item of the other volume was erased";
        EXPECT_EQ(r.erasedItems(), 0u);
        run("umount " + shellQuote(mp));
    }
}
