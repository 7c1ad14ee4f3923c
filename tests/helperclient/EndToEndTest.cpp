// The whole chain with real parts: quillo-install-helper puts the helper's files in the real
// system folders, a private system bus (its own dbus-daemon) reads the installed activation file
// and bus policy, polkitd is started by activation and reads the installed action, and the real
// helper is started by activation when an unprivileged client (nobody) calls it. The trash is
// nobody's trash on a tmpfs mounted for the test ($topdir/.Trash-65534), since nobody's home
// in the password database does not exist.
//
// The real system folders are shared by every test that installs the helper, so the cases take
// a lock file in turn; whatever a case installs or starts, it removes and stops.
#include "erase/RNPrivilegedEraser.h"
#include "helperclient/PrivateBus.h"
#include "helperclient/RNSecureAccess.h"
#include "helperclient/RecordingDelegate.h"
#include "installer/InstallerFiles.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

using namespace quillo::test;
using quillo::erase::RNArray;
using quillo::erase::RNDictionary;
using quillo::helperclient::RNSecureAccess;
using quillo::util::RNLocalizedString;
namespace installer = quillo::installer;

namespace {

constexpr char kLockFile[] = "/run/lock/quillo-helper-system-files.lock";


class HelperEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root: installs system files and runs a system bus";
        for (const char* tool : {"dbus-daemon", "setpriv", "chattr", "mount"})
            if (!haveTool(tool)) GTEST_SKIP() << tool << " missing";
        if (!exists("/usr/lib/polkit-1/polkitd")) GTEST_SKIP() << "polkitd missing (Debian package polkitd)";
        if (!exists("/etc/polkit-1/rules.d")) GTEST_SKIP() << "/etc/polkit-1/rules.d missing";

        lockFd = ::open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(lockFd, 0) << kLockFile;
        bool locked = false;
        for (int i = 0; i < 2400 && !locked; ++i) {
            locked = ::flock(lockFd, LOCK_EX | LOCK_NB) == 0;
            if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!locked) GTEST_SKIP() << "another test kept the helper's system files for four minutes";
        for (const char* path : {installer::kInstalledHelperPath, installer::kServiceFilePath, installer::kBusPolicyPath,
                                 installer::kPolkitActionPath})
            if (exists(path)) GTEST_SKIP() << "a real installation exists (" << path << "); not touching it";

        std::string out;
        ASSERT_EQ(run(std::string(QUILLO_INSTALLER_PATH) + " install --from " + shellQuote(QUILLO_HELPER_PATH) + " 2>&1", &out),
                  0)
            << out;
        installedHere = true;

        ::chmod(env.root().c_str(), 0755);
        mount = std::make_unique<ScopedMount>(env.root(), ScopedMount::Kind::Tmpfs);
        ASSERT_TRUE(mount->ok()) << mount->error();
        trash = mount->mountPoint() + "/.Trash-65534";
        files = trash + "/files";
        makeDirs(files, 0700);
        makeDirs(trash + "/info", 0700);
        out_ = env.root() + "/out";
        makeDirs(out_, 0755);
        makeDirs(env.home(), 0755);
        run("chown -R 65534:65534 " + shellQuote(trash) + " " + shellQuote(out_) + " " + shellQuote(env.home()));
    }

    void TearDown() override {
        bus.reset();
        if (!rulesFile.empty()) ::unlink(rulesFile.c_str());
        if (installedHere) run(std::string(QUILLO_INSTALLER_PATH) + " remove >/dev/null 2>&1");
        if (mount && mount->ok()) run("chattr -R -i " + shellQuote(mount->mountPoint()) + " 2>/dev/null");
        mount.reset();
        if (lockFd >= 0) ::close(lockFd);
    }

    // The bus, after the polkit rule (if any) is in place, so that polkitd reads it at start.
    void startBus(bool grantNobody) {
        if (grantNobody) {
            rulesFile = "/etc/polkit-1/rules.d/10-quillo-test-" + std::to_string(::getpid()) + ".rules";
            writeFile(rulesFile,
                      "polkit.addRule(function(action, subject) {\n"
                      "  if (action.id == \"" + installer::eraseActionId() +
                          "\" && subject.user == \"nobody\") return polkit.Result.YES;\n"
                      "});\n",
                      0644);
        }
        PrivateBus::Options options;
        options.services["org.quillo.Quillo3Helper.service"] = readFile(installer::kServiceFilePath);
        options.services["org.freedesktop.PolicyKit1.service"] = PrivateBus::polkitServiceFile();
        options.includes = {installer::kBusPolicyPath, "/usr/share/dbus-1/system.d/org.freedesktop.PolicyKit1.conf"};
        options.environment["QUILLO_HELPER_IDLE_SECONDS"] = "20";
        bus = std::make_unique<PrivateBus>(options);
        ASSERT_TRUE(bus->ok()) << bus->error();
    }

    // A trashed item of nobody's (file or folder) with its info file.
    void plantInfo(const std::string& name) {
        TempHome::plantTrashInfo(trash, name);
        run("chown 65534:65534 " + shellQuote(trash + "/info/" + name + ".trashinfo"));
    }
    void plantLockedAndRootOwned() {
        writeFile(files + "/locked", "locked\n");
        run("chown 65534:65534 " + shellQuote(files + "/locked"));
        ASSERT_EQ(run("chattr +i " + shellQuote(files + "/locked")), 0);
        plantInfo("locked");
        makeDirs(files + "/rootdir/sub", 0755);
        writeFile(files + "/rootdir/sub/f", "0123456789");
        plantInfo("rootdir");
    }

    struct Outcome {
        int status = -1;
        std::map<std::string, std::vector<std::string>> lines;  // key -> values in order
        std::vector<std::string> get(const std::string& k) { return lines[k]; }
    };
    // Runs `body` as nobody with a recording session; the child writes "key value" lines.
    Outcome asNobody(const std::function<void(RecordingDelegate&, std::ostream&)>& body) {
        const std::string file = out_ + "/result";
        ::unlink(file.c_str());
        Outcome o;
        o.status = runAsNobody([&] {
            ::alarm(90);  // a hang ends as a failure, never as a stuck test
            std::ofstream out(file);
            RecordingDelegate session;
            body(session, out);
            std::lock_guard lock(session.mutex);
            out << "ends " << session.ends << "\n";
            for (auto v : session.notErased) out << "notErased " << v << "\n";
            for (auto v : session.totItems) out << "totItems " << v << "\n";
            for (auto v : session.totSizes) out << "totSizes " << v << "\n";
            for (auto& e : session.errors) out << "error " << e << "\n";
            for (auto& l : session.logged) out << "logged " << l.first << "\t" << l.second << "\n";
            out.flush();
            return 0;
        });
        std::istringstream in(exists(file) ? readFile(file) : "");
        for (std::string line; std::getline(in, line);) {
            auto space = line.find(' ');
            o.lines[line.substr(0, space)].push_back(space == std::string::npos ? "" : line.substr(space + 1));
        }
        return o;
    }
    static void eraseAndWait(RecordingDelegate& session, const RNDictionary& request, std::ostream& out) {
        RNSecureAccess access(&session);
        access.authorizedEraseWithDictionary(request);
        out << "waited " << session.waitForEnd(60000) << "\n";
    }

    RNDictionary request(RNArray unlock, RNArray permissions, uint64_t count, uint64_t size) {
        RNDictionary d{{"erasedCount", count}, {"erasedSize", size}};
        if (!unlock.empty()) d["unlockItems"] = unlock;
        if (!permissions.empty()) d["permissionsItems"] = permissions;
        return d;
    }

    // quillo-cli as nobody on a terminal (tmux), with only / and the test's tmpfs mounted, answering
    // every item question "Erase" for all items. Gives the exit status; the screen in `screen`.
    int cliOnTerminal(const std::string& args, std::string& screen) {
        if (!haveTool("tmux") || !haveTool("unshare")) return -2;
        const std::string status = out_ + "/cli-status";
        const std::string script = env.root() + "/cli.sh";
        writeFile(script,
                  "#!/bin/sh\n"
                  "export DBUS_SYSTEM_BUS_ADDRESS=" + shellQuote(bus->address()) + "\n" +
                  isolatedCommand("setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=" + env.home() +
                                      " XDG_DATA_HOME=" + env.dataHome() + " XDG_CONFIG_HOME=" + env.configHome() +
                                      " XDG_STATE_HOME=" + env.stateHome(),
                                  {mount->mountPoint()}) +
                      QUILLO_CLI_PATH + " " + args +
                      "\necho $? > " + shellQuote(status) + "\nsleep 60\n",
                  0755);
        const std::string tmux = "tmux -L quillo-e2e-" + std::to_string(::getpid()) + " ";
        if (run(tmux + "new-session -d -x 160 -y 50 " + shellQuote(script)) != 0) return -3;
        std::string answered;
        for (int i = 0; i < 600 && !exists(status); ++i) {  // at most a minute
            std::string s;
            run(tmux + "capture-pane -p", &s);
            while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
            const std::string last = s.substr(s.find_last_of('\n') == std::string::npos ? 0 : s.find_last_of('\n') + 1);
            if (s != answered && last.rfind("Choose", 0) == 0) {
                run(tmux + "send-keys Erase Enter");
                answered = s;
            } else if (s != answered && last.find("[y/N]:") != std::string::npos) {
                run(tmux + "send-keys y Enter");
                answered = s;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        run(tmux + "capture-pane -p -S -300", &screen);
        run(tmux + "kill-server");
        return exists(status) ? std::stoi(readFile(status)) : -1;
    }

    std::string logText() {
        std::string all;
        run("find " + shellQuote(env.stateHome() + "/Quillo 3") + " -type f -exec cat {} + 2>/dev/null", &all);
        return all;
    }

    TempHome env;
    std::unique_ptr<ScopedMount> mount;
    std::unique_ptr<PrivateBus> bus;
    std::string trash, files, out_, rulesFile;
    int lockFd = -1;
    bool installedHere = false;
};

}  // namespace

TEST_F(HelperEndToEnd, InstalledHelperAnswersItsVersionByActivation) {
    startBus(false);
    Outcome o = asNobody([](RecordingDelegate&, std::ostream& out) {
        RNSecureAccess access(nullptr);
        bool installed = false;
        out << "current " << access.isHelperNeedBeInstalled(&installed) << "\n";
        out << "installed " << installed << "\n";
        out << "version " << RNSecureAccess::helperVersion() << "\n";
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.get("version"), std::vector<std::string>{"2.0.0"});
    EXPECT_EQ(o.get("installed"), std::vector<std::string>{"1"});
    // Current also means polkitd found the installed action.
    EXPECT_EQ(o.get("current"), std::vector<std::string>{"1"}) << bus->daemonLog();
}

TEST_F(HelperEndToEnd, GrantedActionErasesLockedAndRootOwnedItems) {
    plantLockedAndRootOwned();
    startBus(true);
    auto req = request({files + "/locked"}, {files + "/rootdir"}, 5, 100);
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) { eraseAndWait(s, req, out); });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"}) << bus->daemonLog();
    EXPECT_EQ(o.get("ends"), std::vector<std::string>{"1"});
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"0"});
    EXPECT_TRUE(o.get("error").empty()) << o.get("error")[0];
    // The totals go on from the request's: five items, 100 bytes before the hand-over.
    EXPECT_EQ(o.get("totItems"), (std::vector<std::string>{"6", "7"}));
    ASSERT_FALSE(o.get("totSizes").empty());
    EXPECT_EQ(o.get("totSizes")[0], "107");
    EXPECT_EQ(o.get("logged"), (std::vector<std::string>{files + "/locked\t7", files + "/rootdir\t10"}));
    EXPECT_FALSE(exists(files + "/locked"));
    EXPECT_FALSE(exists(files + "/rootdir"));
    EXPECT_FALSE(exists(trash + "/info/locked.trashinfo"));
    EXPECT_FALSE(exists(trash + "/info/rootdir.trashinfo"));
}

TEST_F(HelperEndToEnd, WithoutTheGrantNothingIsErased) {
    plantLockedAndRootOwned();
    startBus(false);  // no rule, no authentication agent: polkit answers with a challenge at once
    auto req = request({files + "/locked"}, {files + "/rootdir"}, 0, 0);
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) { eraseAndWait(s, req, out); });
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"}) << bus->daemonLog();
    EXPECT_EQ(o.get("ends"), std::vector<std::string>{"1"});
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"2"});
    EXPECT_EQ(o.get("error"), std::vector<std::string>{RNLocalizedString("user_not_authorized", "Errors")});
    EXPECT_TRUE(o.get("logged").empty());
    EXPECT_TRUE(exists(files + "/locked"));
    EXPECT_TRUE(exists(files + "/rootdir/sub/f"));
    EXPECT_TRUE(exists(trash + "/info/locked.trashinfo"));
}

TEST_F(HelperEndToEnd, PathOutsideTheCallersTrashIsRefusedAndCounted) {
    const std::string outside = mount->mountPoint() + "/outside";
    writeFile(outside, "root's own");
    writeFile(files + "/mine", "mine");
    run("chown 65534:65534 " + shellQuote(files + "/mine"));
    plantInfo("mine");
    startBus(true);
    auto req = request({}, {outside, files + "/mine"}, 0, 0);
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) { eraseAndWait(s, req, out); });
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"}) << bus->daemonLog();
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"1"});
    EXPECT_EQ(o.get("logged"), (std::vector<std::string>{outside + "\t0", files + "/mine\t4"}));
    EXPECT_TRUE(exists(outside));
    EXPECT_FALSE(exists(files + "/mine"));
}

TEST_F(HelperEndToEnd, StopEndsTheRunAfterTheItemInHand) {
    RNArray items;
    for (int i = 0; i < 300; ++i) {
        const std::string dir = files + "/d" + std::to_string(i);
        makeDirs(dir);
        for (int j = 0; j < 40; ++j) writeFile(dir + "/f" + std::to_string(j), "x");
        items.push_back(dir);
    }
    run("chown -R 65534:65534 " + shellQuote(files));
    startBus(true);
    auto req = request({}, items, 0, 0);
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) {
        RNSecureAccess access(&s);
        access.authorizedEraseWithDictionary(req);
        {
            std::unique_lock lock(s.mutex);
            s.cv.wait_for(lock, std::chrono::seconds(60), [&] { return !s.logged.empty() || s.ends > 0; });
        }
        access.stoppedByUser(true);
        out << "waited " << s.waitForEnd(60000) << "\n";
    });
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"}) << bus->daemonLog();
    EXPECT_EQ(o.get("ends"), std::vector<std::string>{"1"});
    const size_t handled = o.get("logged").size();
    EXPECT_GE(handled, 1u);
    EXPECT_LT(handled, 300u);
    size_t left = 0;
    for (int i = 0; i < 300; ++i) left += exists(files + "/d" + std::to_string(i));
    EXPECT_EQ(left, 300u - handled);
}

TEST_F(HelperEndToEnd, CliEmptyAllErasesWhatPolkitGrants) {
    if (!haveTool("tmux") || !haveTool("unshare")) GTEST_SKIP() << "needs tmux and unshare";
    plantLockedAndRootOwned();
    writeFile(files + "/free", "free");
    run("chown 65534:65534 " + shellQuote(files + "/free"));
    plantInfo("free");
    startBus(true);

    std::string status;
    int rc = run("DBUS_SYSTEM_BUS_ADDRESS=" + shellQuote(bus->address()) + " setpriv --reuid=65534 --regid=65534 "
                 "--clear-groups " + std::string(QUILLO_CLI_PATH) + " helper status 2>&1",
                 &status);
    EXPECT_EQ(rc, 0) << status;
    EXPECT_NE(status.find("status: current"), std::string::npos) << status;

    std::string screen;
    rc = cliOnTerminal("empty --all --yes", screen);
    EXPECT_EQ(rc, 0) << screen << bus->daemonLog();
    EXPECT_FALSE(exists(files + "/locked"));
    EXPECT_FALSE(exists(files + "/rootdir"));
    EXPECT_FALSE(exists(files + "/free"));
    EXPECT_FALSE(exists(trash + "/info/locked.trashinfo"));
    EXPECT_FALSE(exists(trash + "/info/rootdir.trashinfo"));
    const std::string log = logText();
    for (const std::string& path : {files + "/free", files + "/locked", files + "/rootdir"})
        EXPECT_NE(log.find(path + "\n"), std::string::npos) << path << "\n" << log;
}

TEST_F(HelperEndToEnd, CliEmptyAllRefusedByPolkitReportsWhatStayed) {
    if (!haveTool("tmux") || !haveTool("unshare")) GTEST_SKIP() << "needs tmux and unshare";
    plantLockedAndRootOwned();
    startBus(false);
    std::string screen;
    int rc = cliOnTerminal("empty --all --yes", screen);
    EXPECT_EQ(rc, 1) << screen;
    EXPECT_TRUE(exists(files + "/locked"));
    EXPECT_TRUE(exists(files + "/rootdir/sub/f"));
    EXPECT_TRUE(exists(trash + "/info/locked.trashinfo"));
    EXPECT_TRUE(exists(trash + "/info/rootdir.trashinfo"));
    EXPECT_NE(screen.find(RNLocalizedString("user_not_authorized", "Errors")), std::string::npos) << screen;
    EXPECT_NE(screen.find(RNLocalizedString("not_erased", "Errors")), std::string::npos) << screen;
}

// A root-owned chain of folders far deeper than the helper's descriptor limit (1,024 here) in
// nobody's trash: the local pass hands it to the helper, which removes it to the bottom.
TEST_F(HelperEndToEnd, CliEmptyAllErasesARootOwnedChainThroughTheHelper) {
    if (!haveTool("tmux") || !haveTool("unshare")) GTEST_SKIP() << "needs tmux and unshare";
    ASSERT_TRUE(makeDeepChain(files + "/chain", 3000));
    plantInfo("chain");
    startBus(true);
    std::string screen;
    const int rc = cliOnTerminal("empty --all --yes", screen);
    EXPECT_EQ(rc, 0) << screen << bus->daemonLog();
    EXPECT_FALSE(exists(files + "/chain"));
    EXPECT_FALSE(exists(trash + "/info/chain.trashinfo"));
}
