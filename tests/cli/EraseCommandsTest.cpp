// quillo-cli's erase commands end to end: the real binary on trashes under a temporary home.
// Only the home trash is ever erased: one-volume erases name the volume that holds it, and
// "--all" runs in a private mount namespace where no other volume is left (root only).
#include "files/RNFilesUtilities.h"
#include "files/TrashLocator.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace quillo::test;
using quillo::util::RNLocalizedString;

namespace {


class CliErase : public ::testing::Test {
protected:
    void SetUp() override {
        trash = env.homeTrash();
        files = trash + "/files";
        makeDirs(files, 0700);
        makeDirs(trash + "/info", 0700);
        volume = quillo::files::volumeOfPath(trash);
    }
    void plant(const std::string& name, const std::string& bytes = "x") {
        writeFile(files + "/" + name, bytes);
        TempHome::plantTrashInfo(trash, name);
    }
    // Runs quillo-cli with no terminal on standard input.
    int cli(const std::string& args, std::string* out = nullptr) {
        std::string o;
        int rc = run(std::string(QUILLO_CLI_PATH) + " " + args + " </dev/null 2>&1", &o);
        if (out) *out = o;
        return rc;
    }
    // The same with no volume of the machine in sight, so "--all" meets only our trash.
    int isolated(const std::string& args, std::string* out = nullptr) {
        return run(isolatedCommand() + QUILLO_CLI_PATH + " " + args + " </dev/null 2>&1",
                   out);
    }
    bool canIsolate() { return isRoot() && haveTool("unshare") && volume == "/"; }

    TempHome env;
    std::string trash, files, volume;
};

TEST_F(CliErase, EmptyOneVolumeWithYesErasesAndLogs) {
    plant("one", "12345");
    makeDirs(files + "/dir/sub");
    writeFile(files + "/dir/sub/f", "ab");
    TempHome::plantTrashInfo(trash, "dir");
    std::string out;
    EXPECT_EQ(cli("empty --yes " + shellQuote(volume), &out), 0) << out;
    // With --yes nothing is measured beforehand: the totals are what the erase itself read.
    EXPECT_NE(out.find("erased 4 items, 7 bytes"), std::string::npos) << out;
    EXPECT_FALSE(exists(files + "/one"));
    EXPECT_FALSE(exists(files + "/dir"));
    EXPECT_FALSE(exists(trash + "/info/one.trashinfo"));
    EXPECT_TRUE(exists(env.stateHome() + "/Quillo 3/" + RNLocalizedString("all_vols_log_name")));
}

TEST_F(CliErase, WithoutATerminalNothingIsErasedUnlessConfirmed) {
    plant("keep");
    std::string out;
    EXPECT_EQ(cli("empty " + shellQuote(volume), &out), 1) << out;
    EXPECT_TRUE(exists(files + "/keep"));
    EXPECT_NE(out.find("no terminal to ask on"), std::string::npos) << out;
    EXPECT_FALSE(exists(env.stateHome() + "/Quillo 3"));
}

TEST_F(CliErase, NothingToEraseIsStatusOne) {
    std::string out;
    EXPECT_EQ(cli("empty --yes " + shellQuote(volume), &out), 1) << out;
}

TEST_F(CliErase, EraseChosenItemsOnly) {
    plant("chosen", "abc");
    plant("other");
    plant("bad\xff");
    std::string out;
    EXPECT_EQ(cli("erase --yes " + shellQuote(files + "/chosen") + " " + shellQuote(files + "/bad\xff"), &out), 0) << out;
    EXPECT_FALSE(exists(files + "/chosen"));
    EXPECT_FALSE(exists(files + "/bad\xff"));
    EXPECT_TRUE(exists(files + "/other"));
    EXPECT_TRUE(exists(trash + "/info/other.trashinfo"));
    EXPECT_TRUE(exists(env.stateHome() + "/Quillo 3/" + RNLocalizedString("selected_items_log_name")));
}

TEST_F(CliErase, EraseOfAnEmptyFolderEndsAtOnce) {
    makeDirs(files + "/empty");
    TempHome::plantTrashInfo(trash, "empty");
    std::string out;
    EXPECT_EQ(run("timeout 30 " + std::string(QUILLO_CLI_PATH) + " erase --yes " + shellQuote(files + "/empty") +
                      " </dev/null 2>&1",
                  &out),
              0)
        << out;
    EXPECT_FALSE(exists(files + "/empty"));
    EXPECT_FALSE(exists(trash + "/info/empty.trashinfo"));
}

TEST_F(CliErase, EraseRefusesAnythingThatIsNoTrashedItem) {
    plant("inside");
    makeDirs(files + "/folder");
    writeFile(files + "/folder/nested", "n");
    std::string outside = env.root() + "/precious";
    writeFile(outside, "keep");
    for (const std::string& bad : {outside, files + "/folder/nested", files + "/missing", files + "/..",
                                   trash + "/info/inside.trashinfo"}) {
        std::string out;
        EXPECT_EQ(cli("erase --yes " + shellQuote(files + "/inside") + " " + shellQuote(bad), &out), 2) << bad;
        EXPECT_NE(out.find("not an item in a trash"), std::string::npos) << out;
    }
    EXPECT_TRUE(exists(files + "/inside")) << "nothing is erased when one path is refused";
    EXPECT_TRUE(exists(outside));
    EXPECT_TRUE(exists(files + "/folder/nested"));
}

TEST_F(CliErase, ListShowsItemsWithTheirDates) {
    plant("doc", std::string(2000, 'd'));
    makeDirs(files + "/folder");
    writeFile(files + "/folder/a", "aa");
    std::string out;
    ASSERT_EQ(cli("list --json " + shellQuote(volume), &out), 0) << out;
    EXPECT_NE(out.find("\"name\":\"doc\",\"path\":\"" + files + "/doc\",\"size\":2000,\"count\":1,\"dateAdded\":"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"name\":\"folder\",\"path\":\"" + files + "/folder\",\"size\":2,\"count\":2,\"dateAdded\":0,"),
              std::string::npos)
        << out;
    ASSERT_EQ(cli("list " + shellQuote(volume), &out), 0);
    EXPECT_NE(out.find("doc\t2.00 KB\t"), std::string::npos) << out;
    EXPECT_NE(out.find("folder\t2 bytes\t--\t"), std::string::npos) << out;
    EXPECT_EQ(cli("list no-such-volume", &out), 2);
}

TEST_F(CliErase, PrefsReadWriteAndTypeChecks) {
    std::string out;
    ASSERT_EQ(cli("prefs", &out), 0);
    EXPECT_NE(out.find("write_log = yes"), std::string::npos) << out;
    EXPECT_EQ(cli("prefs write_log no", &out), 0) << out;
    EXPECT_EQ(cli("prefs write_log", &out), 0);
    EXPECT_EQ(out, "no\n");
    EXPECT_EQ(cli("prefs write_log maybe", &out), 2);
    EXPECT_EQ(cli("prefs how_many_days_for_new_log_file -3", &out), 2);
    EXPECT_EQ(cli("prefs how_many_days_for_new_log_file 3", &out), 0);
    EXPECT_EQ(cli("prefs no_such_key", &out), 2);
    EXPECT_EQ(cli("prefs empty_trash 0x01000007,0x14000000", &out), 0) << out;
    EXPECT_EQ(cli("prefs empty_trash", &out), 0);
    EXPECT_NE(out.find("keyCode: 16777223"), std::string::npos) << out;
    EXPECT_TRUE(exists(env.configHome() + "/quillo/org.quillo.quillo-3.plist"));
    plant("kept-by-prefs");
    EXPECT_EQ(cli("empty --yes " + shellQuote(volume), &out), 0);
    EXPECT_FALSE(exists(env.stateHome() + "/Quillo 3")) << "write_log off: no log";
}

TEST_F(CliErase, BadUsage) {
    std::string out;
    EXPECT_EQ(cli("empty", &out), 2);
    EXPECT_EQ(cli("empty --all " + shellQuote(volume), &out), 2);
    EXPECT_EQ(cli("empty --bogus", &out), 2);
    EXPECT_EQ(cli("erase", &out), 2);
    EXPECT_EQ(cli("empty --yes no-such-volume", &out), 2);
}

TEST_F(CliErase, EmptyAllInAPrivateNamespace) {
    if (!canIsolate()) GTEST_SKIP() << "needs root, unshare and the temporary home on /";
    plant("all-a");
    plant("all-b");
    std::string out;
    EXPECT_EQ(isolated("empty --all --yes", &out), 0) << out;
    EXPECT_FALSE(exists(files + "/all-a"));
    EXPECT_FALSE(exists(files + "/all-b"));
}

TEST_F(CliErase, UnprivilegedUserWithoutHelperIsToldWhatWasNotErased) {
    if (!canIsolate() || !haveTool("setpriv") || !haveTool("chattr")) GTEST_SKIP() << "needs root, setpriv, chattr";
    plant("locked");
    plant("free");
    run("chown -R 65534:65534 " + shellQuote(env.root()));
    ::chmod(env.root().c_str(), 0755);
    ASSERT_EQ(run("chattr +i " + shellQuote(files + "/locked")), 0);
    std::string out;
    int rc = run(isolatedCommand("setpriv --reuid=65534 --regid=65534 --clear-groups") + QUILLO_CLI_PATH +
                     " empty --all --yes </dev/null 2>&1",
                 &out);
    run("chattr -i " + shellQuote(files + "/locked"));
    EXPECT_EQ(rc, 1) << out;
    EXPECT_TRUE(exists(files + "/locked"));
    EXPECT_TRUE(exists(trash + "/info/locked.trashinfo"));
    EXPECT_FALSE(exists(files + "/free"));
    EXPECT_NE(out.find(RNLocalizedString("user_not_authorized", "Errors")), std::string::npos) << out;
    EXPECT_NE(out.find("1 not erased: locked\n"), std::string::npos) << out;
}

// An erase in which nothing could be removed and nothing went to the helper is abandoned (its
// log keeps its start line only), yet the last line still says what stayed, and the status is 1.
TEST_F(CliErase, AnAbandonedEraseStillSaysWhatStayed) {
    if (!canIsolate() || !haveTool("setpriv") || !haveTool("chattr")) GTEST_SKIP() << "needs root, setpriv, chattr";
    for (const char* name : {"l1", "l2", "l3", "l4", "l5"}) plant(name);
    run("chown -R 65534:65534 " + shellQuote(env.root()));
    ::chmod(env.root().c_str(), 0755);
    ASSERT_EQ(run("chattr +i " + shellQuote(files) + "/l*"), 0);
    std::string out;
    int rc = run(isolatedCommand("setpriv --reuid=65534 --regid=65534 --clear-groups") + QUILLO_CLI_PATH +
                     " empty --all --yes </dev/null 2>&1",
                 &out);
    run("chattr -i " + shellQuote(files) + "/l*");
    EXPECT_EQ(rc, 1) << out;
    EXPECT_EQ(listFolder(files).size(), 5u);
    const size_t last = out.rfind("quillo-cli: ");
    ASSERT_NE(last, std::string::npos) << out;
    const std::string line = out.substr(last);
    EXPECT_EQ(line.rfind("quillo-cli: nothing erased; 5 not erased: l", 0), 0u) << out;
    EXPECT_NE(line.find(", l"), std::string::npos) << out;
    EXPECT_EQ(line.substr(line.size() - std::string(" and 2 more\n").size()), " and 2 more\n") << out;
}

// A real terminal: tmux runs quillo-cli and the test types the answers.
TEST_F(CliErase, TerminalConfirmationAnsweredThroughTmux) {
    if (!haveTool("tmux")) GTEST_SKIP() << "tmux missing";
    plant("typed-away", "12");
    plant("stays");
    const std::string socket = "quillo-test-" + std::to_string(::getpid());
    const std::string status = env.root() + "/status";
    const std::string tmux = "tmux -L " + socket + " ";
    std::string command = "env HOME=" + shellQuote(env.home()) + " XDG_DATA_HOME=" + shellQuote(env.dataHome()) +
                          " XDG_CONFIG_HOME=" + shellQuote(env.configHome()) + " XDG_STATE_HOME=" +
                          shellQuote(env.stateHome()) + " " + QUILLO_CLI_PATH + " erase " +
                          shellQuote(files + "/typed-away") + "; echo $? > " + shellQuote(status) + "; sleep 30";
    ASSERT_EQ(run(tmux + "new-session -d -x 150 -y 40 " + shellQuote(command)), 0);
    auto screen = [&] {
        std::string s;
        run(tmux + "capture-pane -p", &s);
        return s;
    };
    // Other questions may come first (installing the helper): decline them; confirm the erase.
    auto lastLine = [](const std::string& text) {
        size_t end = text.find_last_not_of(" \n");
        if (end == std::string::npos) return std::string();
        size_t start = text.rfind('\n', end);
        return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
    };
    bool asked = false;
    std::string shown, answeredAt;
    for (int i = 0; i < 150 && !asked; ++i) {
        shown = screen();
        const std::string last = lastLine(shown);
        if (shown == answeredAt || (last.find("Choose 1 or 2:") == std::string::npos && last.find("[y/N]:") == std::string::npos)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        answeredAt = shown;
        const size_t title = shown.rfind(RNLocalizedString("lumo_erase_info"));
        const size_t install = shown.rfind("1) ");
        if (last.find("[y/N]:") != std::string::npos) {
            run(tmux + "send-keys n Enter");
        } else if (title != std::string::npos && shown.rfind("Choose 1 or 2:") > title && install > title) {
            asked = true;
            run(tmux + "send-keys 1 Enter");
        } else {
            run(tmux + "send-keys 2 Enter");
        }
    }
    for (int i = 0; i < 100 && !exists(status); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string finalScreen = screen();
    run(tmux + "kill-server");
    ASSERT_TRUE(asked) << shown;
    EXPECT_NE(shown.find(RNLocalizedString("lumo_erase_info")), std::string::npos) << shown;
    EXPECT_EQ(readFile(status), "0\n") << finalScreen;
    EXPECT_FALSE(exists(files + "/typed-away"));
    EXPECT_TRUE(exists(files + "/stays"));
}

}  // namespace

// A trashed folder 3,000 levels deep (its paths far past PATH_MAX) under a descriptor limit of
// 256: counted to its last entry and erased completely by the local pass, with one log line
// per item.
TEST_F(CliErase, AChainDeeperThanTheDescriptorLimitIsCountedAndErased) {
    constexpr size_t kDepth = 3000;
    ASSERT_TRUE(makeDeepChain(files + "/deep", kDepth));
    TempHome::plantTrashInfo(trash, "deep");
    std::string out;
    ASSERT_EQ(run("ulimit -n 256 && " + std::string(QUILLO_CLI_PATH) + " volumes --json </dev/null 2>&1", &out), 0);
    EXPECT_NE(out.find("\"count\":" + std::to_string(kDepth + 2) + ",\"size\":1,"), std::string::npos)
        << out.substr(0, 400);
    const int rc = run("ulimit -n 256 && " + std::string(QUILLO_CLI_PATH) + " empty --yes " + shellQuote(volume) +
                           " </dev/null 2>&1",
                       &out);
    EXPECT_EQ(rc, 0) << out.substr(0, 400);
    EXPECT_FALSE(exists(files + "/deep"));
    EXPECT_FALSE(exists(trash + "/info/deep.trashinfo"));
    std::string log;
    ASSERT_EQ(run("cat " + shellQuote(env.stateHome() + "/Quillo 3") + "/*/*", &log), 0);
    size_t leafLines = 0;
    for (size_t at = log.find("/leaf"); at != std::string::npos; at = log.find("/leaf", at + 1)) ++leafLines;
    EXPECT_EQ(leafLines, 1u);
}

// A folder swapped for a symlink to another place, again and again, while the erase is inside
// it: nothing outside the trash is touched.
TEST_F(CliErase, AFolderSwappedForASymlinkDuringTheEraseLeavesTheOutsideAlone) {
    const std::string outside = env.root() + "/outside";
    makeDirs(outside);
    makeDirs(files + "/box/a");
    for (int i = 0; i < 3000; ++i) {
        writeFile(files + "/box/a/f" + std::to_string(i), "t");
        writeFile(outside + "/f" + std::to_string(i), "keep");
    }
    ASSERT_EQ(::symlink(outside.c_str(), (files + "/box/link").c_str()), 0);
    TempHome::plantTrashInfo(trash, "box");
    std::atomic<bool> done{false};
    std::atomic<size_t> swaps{0};
    std::thread swapper([&] {
        const std::string box = files + "/box";
        while (!done) {
            if (::renameat2(AT_FDCWD, (box + "/a").c_str(), AT_FDCWD, (box + "/link").c_str(), RENAME_EXCHANGE) == 0)
                ++swaps;
        }
    });
    std::string out;
    cli("empty --yes " + shellQuote(volume), &out);
    done = true;
    swapper.join();
    EXPECT_GT(swaps.load(), 0u);
    EXPECT_EQ(listFolder(outside).size(), 3000u) << out.substr(0, 400);
    for (int i = 0; i < 3000; i += 97) EXPECT_EQ(readFile(outside + "/f" + std::to_string(i)), "keep");
}

// The log's volume fills up during the erase: the erase goes on to the end with the right
// totals, and the user is told once.
TEST_F(CliErase, AFullLogVolumeIsSaidOnceAndTheEraseGoesOn) {
    if (!isRoot()) GTEST_SKIP() << "mounting needs root";
    ScopedMount state(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(state.ok()) << state.error();
    // Leave a few kilobytes free for the log.
    struct statvfs vfs;
    ASSERT_EQ(::statvfs(state.mountPoint().c_str(), &vfs), 0);
    const std::string filler = state.mountPoint() + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, off_t(vfs.f_bavail * vfs.f_frsize) - 12 * 1024), 0);
    ::close(fd);
    constexpr int kItems = 2000;
    for (int i = 0; i < kItems; ++i) writeFile(files + "/a-rather-long-name-for-a-trashed-file-" + std::to_string(i), "ab");
    std::string out;
    const int rc = run("XDG_STATE_HOME=" + shellQuote(state.mountPoint()) + " " + QUILLO_CLI_PATH + " empty --yes " +
                           shellQuote(volume) + " </dev/null 2>&1",
                       &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(listFolder(files).empty());
    const std::string told = quillo::util::RNFormat(RNLocalizedString("log_write_error", "Errors"), {"No space left on device"});
    const size_t first = out.find(told);
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(told, first + 1), std::string::npos) << "told more than once: " << out;
    EXPECT_NE(out.find("quillo-cli: erased 2,000 items, 4.00 KB\n"), std::string::npos) << out;
}

// The volume is lazily unmounted while its trash is erased: the erase ends, says how it ended,
// and neither crashes nor hangs.
TEST_F(CliErase, ALazyUnmountDuringTheEraseEndsIt) {
    if (!isRoot() || !haveTool("umount")) GTEST_SKIP() << "mounting needs root";
    ScopedMount volumeMount(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(volumeMount.ok()) << volumeMount.error();
    const std::string vtrash = volumeMount.mountPoint() + "/.Trash-0";
    makeDirs(vtrash + "/files", 0700);
    makeDirs(vtrash + "/info", 0700);
    for (int d = 0; d < 30; ++d) {  // 12,000 files of a 4 KB page each: 48 of the 64 MB
        const std::string dir = vtrash + "/files/d" + std::to_string(d);
        makeDirs(dir);
        for (int i = 0; i < 400; ++i) writeFile(dir + "/f" + std::to_string(i), "x");
        TempHome::plantTrashInfo(vtrash, "d" + std::to_string(d));
    }
    std::atomic<bool> unmounted{false};
    std::thread unmounter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        unmounted = run("umount -l " + shellQuote(volumeMount.mountPoint())) == 0;
    });
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    const int rc = run("timeout -s KILL 120 " + std::string(QUILLO_CLI_PATH) + " empty --yes " +
                           shellQuote(volumeMount.mountPoint()) + " </dev/null 2>&1",
                       &out);
    unmounter.join();
    EXPECT_TRUE(unmounted);
    EXPECT_TRUE(rc == 0 || rc == 1) << "status " << rc << ": " << out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(100));
    EXPECT_NE(out.rfind("quillo-cli: "), std::string::npos) << out;
}
