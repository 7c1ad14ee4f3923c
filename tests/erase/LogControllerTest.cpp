#include "erase/RNLogController.h"

#include "util/Localization.h"
#include "util/RNDateUtilities.h"
#include "util/RNNumberUtilities.h"

#include "support/TestSupport.h"
#include "util/ScopedEnvironment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace quillo::erase;
using quillo::util::RNDateUtilities;
using quillo::util::RNFormat;
using quillo::util::RNLocalizedString;
using quillo::util::RNNumberUtilities;
namespace qt = quillo::test;

namespace {

// 2024-05-01 10:20:30 UTC.
constexpr double kT0 = 1714558830.0;
constexpr double kDay = 24.0 * 60 * 60;

RNDictionary logInfo(const std::string& name, RNValue gap) {
    return {{"startStr", "Erase of the selected items started"},
            {"endStr", "Erase of the selected items ended"},
            {"partialLogName", name},
            {"gapTime", gap}};
}

std::string dateText(double unixSeconds, unsigned style) {
    return RNDateUtilities::sharedControl().stringWithSeconds(
        unixSeconds - RNDateUtilities::kReferenceDateUnixSeconds, style, true, true);
}

std::string slashFree(std::string s) {
    std::replace(s.begin(), s.end(), '/', '-');
    return s;
}

std::string expectedFileName(const std::string& name, double unixSeconds) {
    return name + RNFormat(RNLocalizedString("log_name"), {slashFree(dateText(unixSeconds, 3))});
}

std::vector<std::string> listDir(const std::string& dir) { return quillo::test::listFolder(dir); }

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

double realNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::unique_ptr<RNLogController> makeLog(const std::string& name, RNValue gap, double now) {
    auto log = std::make_unique<RNLogController>(logInfo(name, gap));
    log->setClock([now] { return now; });
    return log;
}

class EraseLogController : public ::testing::Test {
protected:
    void SetUp() override {
        env.set("LC_ALL", "en_US.UTF-8");
        env.setTimeZone("UTC");
        RNDateUtilities::sharedControl().localeChanged();
        logsBase = home.stateHome() + "/Quillo 3";
    }

    std::string folderOf(const std::string& name) const { return logsBase + "/" + name; }

    // One complete session: start line, the items, end line.
    void runSession(RNLogController& log, const std::vector<std::pair<std::string, uint64_t>>& items) {
        log.writeStartSession();
        for (const auto& [path, size] : items) log.writeEntryWithPath(path, size);
        log.writeEndSessionAndCloseFile();
    }

    std::string expectedSession(double now, const std::vector<std::pair<std::string, uint64_t>>& items) {
        auto& numbers = RNNumberUtilities::sharedControl();
        std::string text = dateText(now, 4) + " Erase of the selected items started\n";
        uint64_t total = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            text += numbers.numberToFormatString(double(i + 1)) + " " + items[i].first + "\n";
            total += items[i].second;
        }
        text += RNFormat(RNLocalizedString("items_erased"),
                         {numbers.sizeToFormatString(total, 4, true), dateText(now, 4),
                          "Erase of the selected items ended"});
        return text;
    }

    qt::ScopedEnvironment env;
    qt::TempHome home;
    std::string logsBase;
};

TEST_F(EraseLogController, FolderLayoutAndDatedFileName) {
    auto log = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(log->openLogFile());
    std::string expected = folderOf("Selected Items") + "/" + expectedFileName("Selected Items", kT0);
    EXPECT_EQ(log->currLogURL(), expected);
    EXPECT_TRUE(log->hasLogHandle());
    EXPECT_TRUE(qt::exists(expected));
    EXPECT_EQ(qt::readFile(expected), "");
    EXPECT_EQ(log->totSize(), 0u);
    EXPECT_EQ(log->itemsCount(), 0u);
    // The folders we make hold the names of the user's files: private.
    EXPECT_EQ(modeOf(logsBase), 0700u);
    EXPECT_EQ(modeOf(folderOf("Selected Items")), 0700u);

    // A "/" in the kind's name stays inside one path component.
    auto slashed = makeLog("A/B", 7, kT0);
    ASSERT_TRUE(slashed->openLogFile());
    EXPECT_EQ(slashed->currLogURL(), folderOf("A-B") + "/" + expectedFileName("A-B", kT0));

    // A relative XDG_STATE_HOME is ignored: the logs go below the home folder.
    ::setenv("XDG_STATE_HOME", "relative/state", 1);  // TempHome puts it back
    EXPECT_EQ(RNLogController::logsBaseFolder(), home.home() + "/.local/state/Quillo 3");
}

TEST_F(EraseLogController, CreatesMissingParentsOfTheLogsFolder) {
    // A fresh account often has no ~/.local/state yet.
    qt::removeTree(home.home() + "/.local");
    ::unsetenv("XDG_STATE_HOME");  // TempHome puts it back
    auto log = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(log->openLogFile());
    EXPECT_EQ(log->currLogURL().rfind(home.home() + "/.local/state/Quillo 3/Selected Items/", 0), 0u);
    for (const char* dir : {"/.local", "/.local/state", "/.local/state/Quillo 3"})
        EXPECT_EQ(modeOf(home.home() + dir), 0700u) << dir;
}

TEST_F(EraseLogController, ExactStartItemAndEndLines) {
    auto log = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(log->openLogFile());
    std::string path = log->currLogURL();
    std::vector<std::pair<std::string, uint64_t>> items = {
        {"/home/u/.local/share/Trash/files/folder", 0}, {"/home/u/.local/share/Trash/files/a b.txt", 1234567}};
    runSession(*log, items);
    EXPECT_EQ(qt::readFile(path), expectedSession(kT0, items));
    // Closing drops the handle, the file and the texts.
    EXPECT_FALSE(log->hasLogHandle());
    EXPECT_EQ(log->currLogURL(), "");
    EXPECT_TRUE(log->infoDict().empty());
}

TEST_F(EraseLogController, SessionsWithinTheDayLimitShareOneFile) {
    auto first = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(first->openLogFile());
    std::string path = first->currLogURL();
    std::vector<std::pair<std::string, uint64_t>> a = {{"/t/one", 10}, {"/t/two", 20}};
    runSession(*first, a);

    // The file's birth time is the real clock's, so "now" for the second erase is measured
    // from it: six days later is within a week.
    auto created = RNLogController::creationDateOfFile(path);
    ASSERT_TRUE(created);
    double later = *created + 6 * kDay;
    auto second = makeLog("Selected Items", 7, later);
    ASSERT_TRUE(second->openLogFile());
    EXPECT_EQ(second->currLogURL(), path);
    std::vector<std::pair<std::string, uint64_t>> b = {{"/t/three", 5}};
    runSession(*second, b);
    EXPECT_EQ(qt::readFile(path), expectedSession(kT0, a) + expectedSession(later, b));

    // A limit above what 16 bits hold means "a very long time", not a negative number of days.
    auto third = makeLog("Selected Items", 100000, *created + 400 * kDay);
    ASSERT_TRUE(third->openLogFile());
    EXPECT_EQ(third->currLogURL(), path);
    EXPECT_EQ(listDir(folderOf("Selected Items")).size(), 1u);
}

TEST_F(EraseLogController, NewFileWhenTheNewestIsTooOld) {
    auto first = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(first->openLogFile());
    std::string oldPath = first->currLogURL();
    runSession(*first, {{"/t/one", 1}});
    std::string oldContent = qt::readFile(oldPath);

    // Things in the folder that are never taken as the newest log.
    std::string folder = folderOf("Selected Items");
    qt::writeFile(folder + "/.hidden", "x");
    qt::makeDirs(folder + "/sub");
    ASSERT_EQ(::symlink("/etc/hostname", (folder + "/link").c_str()), 0);

    auto created = RNLogController::creationDateOfFile(oldPath);
    ASSERT_TRUE(created);
    double later = *created + 8 * kDay;
    auto second = makeLog("Selected Items", 7, later);
    EXPECT_FALSE(second->searchLogFileWithURL(folder, 7));
    EXPECT_EQ(second->currLogURL(), oldPath);  // the newest plain file, even when too old
    EXPECT_TRUE(second->searchLogFileWithURL(folder, 9));

    // File times tick in jiffies: let the new file be born measurably later than the old one.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(second->openLogFile());
    std::string newPath = second->currLogURL();
    EXPECT_EQ(newPath, folder + "/" + expectedFileName("Selected Items", later));
    EXPECT_NE(newPath, oldPath);
    runSession(*second, {{"/t/two", 2}});
    EXPECT_EQ(qt::readFile(oldPath), oldContent);  // older files stay as they were
    EXPECT_EQ(qt::readFile(newPath), expectedSession(later, {{"/t/two", 2}}));

    // The next erase finds the new file as the newest.
    auto createdNew = RNLogController::creationDateOfFile(newPath);
    ASSERT_TRUE(createdNew);
    auto third = makeLog("Selected Items", 7, *createdNew + 60);
    ASSERT_TRUE(third->openLogFile());
    EXPECT_EQ(third->currLogURL(), newPath);
}

TEST_F(EraseLogController, DayLimitZeroNeverOverwritesWithinOneSecond) {
    // The clock stands before the files' birth times, as after a clock set back: a file from
    // "the future" must not count as recent with a limit of 0 either.
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) {
        auto log = makeLog("Selected Items", 0, kT0);
        ASSERT_TRUE(log->openLogFile());
        paths.push_back(log->currLogURL());
        runSession(*log, {{"/t/item" + std::to_string(i), uint64_t(i)}});
    }
    EXPECT_EQ(listDir(folderOf("Selected Items")).size(), 3u);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(std::unique(paths.begin(), paths.end()), paths.end());
    for (int i = 0; i < 3; ++i) {
        int found = 0;
        for (const auto& p : paths)
            if (qt::readFile(p) == expectedSession(kT0, {{"/t/item" + std::to_string(i), uint64_t(i)}})) ++found;
        EXPECT_EQ(found, 1) << "session " << i;
    }
    // The later names count up and keep the extension, if the name has one.
    std::string base = expectedFileName("Selected Items", kT0);
    auto dot = base.rfind('.');
    std::string second = dot == std::string::npos || base.size() - dot > 11 ? base + " 2"
                                                                            : base.substr(0, dot) + " 2" + base.substr(dot);
    EXPECT_TRUE(qt::exists(folderOf("Selected Items") + "/" + second));
}

TEST_F(EraseLogController, ThousandthItemIsGroupedAndEndLineSumsSizes) {
    auto log = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(log->openLogFile());
    std::string path = log->currLogURL();
    log->writeStartSession();
    for (int i = 1; i <= 1000; ++i) log->writeEntryWithPath("/t/f" + std::to_string(i), i == 1 ? 0 : 1000);
    EXPECT_EQ(log->itemsCount(), 1000u);
    EXPECT_EQ(log->totSize(), 999000u);
    log->writeEndSessionAndCloseFile();
    std::string text = qt::readFile(path);
    EXPECT_NE(text.find("\n999 /t/f999\n1,000 /t/f1000\n"), std::string::npos);
    std::string size = RNNumberUtilities::sharedControl().sizeToFormatString(999000, 4, true);
    EXPECT_EQ(size, "999.00 KB");
    EXPECT_NE(text.find(RNFormat(RNLocalizedString("items_erased"),
                                 {size, dateText(kT0, 4), "Erase of the selected items ended"})),
              std::string::npos);
}

TEST_F(EraseLogController, PathsAreEscapedToStayOneUtf8Line) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"/t/bad\xff", "/t/bad\\xFF"},
        {"/t/a\nb\rc\td", "/t/a\\x0Ab\\x0Dc\\x09d"},
        {"/t/caf\xc3\xa9 \xf0\x9f\x97\x91", "/t/caf\xc3\xa9 \xf0\x9f\x97\x91"},  // valid UTF-8 kept
        {"/t/back\\slash", "/t/back\\slash"},
        {"/t/\xc0\xaf", "/t/\\xC0\\xAF"},                  // overlong "/"
        {"/t/\xed\xa0\x80", "/t/\\xED\\xA0\\x80"},         // surrogate
        {"/t/\xf4\x90\x80\x80", "/t/\\xF4\\x90\\x80\\x80"},  // above U+10FFFF
        {"/t/\xe2\x82z", "/t/\\xE2\\x82z"},                // cut short, then a valid byte
        {"/t/\xe2\x82", "/t/\\xE2\\x82"},                  // cut short at the end
        {"/t/\x7f", "/t/\\x7F"},
    };
    for (const auto& c : cases) EXPECT_EQ(RNLogController::escapedPathForLog(c.in), c.out) << c.out;

    auto log = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(log->openLogFile());
    std::string path = log->currLogURL();
    log->writeEntryWithPath("/t/bad\xff\nname", 1);
    log->closeLogFile();
    EXPECT_EQ(qt::readFile(path), "1 /t/bad\\xFF\\x0Aname\n");
}

TEST_F(EraseLogController, PlainFilesWhereFoldersBelongMakeOpeningFail) {
    qt::makeDirs(logsBase, 0700);
    qt::writeFile(folderOf("Selected Items"), "not a folder");
    auto log = makeLog("Selected Items", 7, kT0);
    EXPECT_EQ(log->urlWithFolderName("Selected Items"), folderOf("Selected Items"));  // taken as present
    EXPECT_FALSE(log->openLogFile());
    EXPECT_FALSE(log->hasLogHandle());

    qt::removeTree(logsBase);
    qt::writeFile(logsBase, "not a folder either");
    auto other = makeLog("Selected Items", 7, kT0);
    EXPECT_FALSE(other->openLogFile());
    EXPECT_EQ(other->urlWithFolderName("Selected Items"), std::nullopt);
}

TEST_F(EraseLogController, UnwritableExistingFileIsReadyButWritesNothing) {
    auto first = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(first->openLogFile());
    std::string path = first->currLogURL();
    first->closeLogFile();
    // Root writes to a read-only file anyway; the immutable flag stops root too.
    if (qt::isRoot()) {
        if (!qt::haveTool("chattr") || qt::run("chattr +i '" + path + "' 2>/dev/null") != 0)
            GTEST_SKIP() << "running as root and the immutable flag cannot be set here";
    } else {
        ASSERT_EQ(::chmod(path.c_str(), 0400), 0);
    }
    auto second = makeLog("Selected Items", 7, realNow());
    EXPECT_TRUE(second->openLogFile());
    EXPECT_FALSE(second->hasLogHandle());
    runSession(*second, {{"/t/x", 1}});
    EXPECT_EQ(qt::readFile(path), "");
}

TEST_F(EraseLogController, DestroyingTheControllerClosesTheFile) {
    auto openDescriptorsOn = [](const std::string& path) {
        int n = 0;
        for (const auto& fd : listDir("/proc/self/fd")) {
            char target[4096];
            ssize_t len = ::readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target);
            if (len > 0 && std::string(target, size_t(len)) == path) ++n;
        }
        return n;
    };
    auto log = makeLog("Selected Items", 7, kT0);
    ASSERT_TRUE(log->openLogFile());
    std::string path = log->currLogURL();
    log->writeStartSession();  // an abandoned erase: no end line, no explicit close
    EXPECT_EQ(openDescriptorsOn(path), 1);
    log.reset();
    EXPECT_EQ(openDescriptorsOn(path), 0);
}

}  // namespace

// A kind whose folder had another name takes that folder over while its own name is free, and
// only a real folder: never one that is already there, never through a link.
TEST_F(EraseLogController, AKindsEarlierFolderIsTakenOverOnlyWhenThatIsSafe) {
    auto withPrevious = [](const std::string& name, const std::string& previous) {
        RNDictionary info = logInfo(name, 7);
        info["previousLogName"] = previous;
        auto log = std::make_unique<RNLogController>(info);
        log->setClock([] { return realNow(); });
        return log;
    };
    qt::makeDirs(folderOf("Old Kind"), 0700);
    qt::writeFile(folderOf("Old Kind") + "/Old Kind then.log", "kept\n");
    auto log = withPrevious("New Kind", "Old Kind");
    ASSERT_TRUE(log->openLogFile());
    EXPECT_EQ(log->currLogURL(), folderOf("New Kind") + "/Old Kind then.log") << "the earlier file goes on";
    runSession(*log, {{"/t/a", 1}});
    EXPECT_EQ(qt::readFile(folderOf("New Kind") + "/Old Kind then.log").rfind("kept\n", 0), 0u);
    EXPECT_FALSE(qt::exists(folderOf("Old Kind")));

    // Both exist: the earlier one is left alone.
    qt::makeDirs(folderOf("Old Kind"), 0700);
    qt::writeFile(folderOf("Old Kind") + "/other.log", "other\n");
    auto again = withPrevious("New Kind", "Old Kind");
    ASSERT_TRUE(again->openLogFile());
    EXPECT_TRUE(qt::exists(folderOf("Old Kind") + "/other.log"));

    // A link in the earlier name's place is no folder of ours.
    qt::makeDirs(home.root() + "/elsewhere", 0700);
    ASSERT_EQ(::symlink((home.root() + "/elsewhere").c_str(), folderOf("Linked").c_str()), 0);
    auto linked = withPrevious("Third Kind", "Linked");
    ASSERT_TRUE(linked->openLogFile());
    EXPECT_TRUE(qt::exists(folderOf("Linked")));
    EXPECT_EQ(log->currLogURL().find(home.root() + "/elsewhere"), std::string::npos);
    EXPECT_EQ(linked->currLogURL().rfind(folderOf("Third Kind") + "/", 0), 0u);
}
