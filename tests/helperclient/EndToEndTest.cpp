// The whole chain with real parts: quillo-install-helper puts the helper's files in the real
// system folders, a private system bus (its own dbus-daemon) reads the installed activation file
// and bus policy, polkitd is started by activation and reads the installed action, and the real
// helper is started by activation when an unprivileged client (nobody) calls it. The trash is
// nobody's trash on a tmpfs mounted for the test ($topdir/.Trash-65534), since nobody's home
// in the password database does not exist.
//
// The real system folders are shared by every test that installs the helper, so the cases take
// a lock file in turn; whatever a case installs or starts, it removes and stops.
#include "erase/RNErrorDelegate.h"
#include "erase/RNPrivilegedEraser.h"
#include "erase/RNRestoreItems.h"
#include "erase/ScriptedPromptBackend.h"
#include "common/HelperProgressSignals.h"
#include "common/RNHelperToolProtocol.h"
#include "helperclient/HelperBusConnection.h"
#include "helperclient/PrivateBus.h"
#include "helperclient/RNHelperToolProxy.h"
#include "helperclient/RNSecureAccess.h"
#include "helperclient/RecordingDelegate.h"
#include "installer/InstallerFiles.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include "common/HelperBus.h"
#include "common/HelperRequest.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

using namespace quillo::test;
using quillo::common::HelperRequest;
using quillo::erase::RNArray;
using quillo::erase::RNDictionary;
using quillo::helperclient::HelperBusConnection;
using quillo::helperclient::HelperClientError;
using quillo::helperclient::RNHelperToolProxy;
using quillo::helperclient::RNSecureAccess;
using quillo::util::RNLocalizedString;
namespace installer = quillo::installer;

namespace {

constexpr char kLockFile[] = "/run/lock/quillo-helper-system-files.lock";

// A polkit authentication agent for one process that never answers: polkitd hands it the
// process's authentication and waits, as it waits for a user who leaves the dialog open. It
// records what polkitd asks (begin, cancel) and serves on a thread of its own.
class SilentAgent {
public:
    ~SilentAgent() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (sd_bus_message* m : unanswered_) sd_bus_message_unref(m);
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    // Registers for process `pid`; empty on success, else why not.
    std::string registerFor(pid_t pid) {
        int r = sd_bus_open_system(&bus_);
        if (r < 0) return std::string("no bus: ") + std::strerror(-r);
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            // polkitd calls as its own user.
            SD_BUS_METHOD("BeginAuthentication", "sssa{ss}sa(sa{sv})", "", onBegin, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("CancelAuthentication", "s", "", onCancel, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END,
        };
        r = sd_bus_add_object_vtable(bus_, &slot_, kPath, "org.freedesktop.PolicyKit1.AuthenticationAgent", vtable, this);
        if (r < 0) return std::string("cannot export the agent: ") + std::strerror(-r);
        // polkit tells processes apart by pid and start time (field 22 of /proc/PID/stat).
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 22 && fields >> field; ++i) {
        }
        const uint64_t startTime = std::stoull(field);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        r = sd_bus_call_method(bus_, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                               "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent", &error, nullptr,
                               "(sa{sv})ss", "unix-process", 2, "pid", "u", uint32_t(pid), "start-time", "t",
                               startTime, "C", kPath);
        std::string why = r < 0 ? std::string(error.name ? error.name : "") + " " +
                                      (error.message ? error.message : std::strerror(-r))
                                : std::string();
        sd_bus_error_free(&error);
        if (r >= 0) thread_ = std::thread([this] { serve(); });
        return why;
    }
    // Waits (bounded) until polkitd has asked `count` times to begin, or cancelled `count` times.
    bool waitForBegin(int count, int ms) { return waitFor([&] { return begun_ >= count; }, ms); }
    bool waitForCancel(int count, int ms) { return waitFor([&] { return cancelled_ >= count; }, ms); }
    int begun() { std::lock_guard lock(mutex_); return begun_; }
    int cancelled() { std::lock_guard lock(mutex_); return cancelled_; }

private:
    static constexpr char kPath[] = "/org/quillo/test/SilentAgent";

    void serve() {
        while (!stop_) {
            std::unique_lock lock(mutex_);
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            lock.unlock();
            sd_bus_wait(bus_, 100000);
        }
    }
    static int onBegin(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<SilentAgent*>(userdata);
        self->unanswered_.push_back(sd_bus_message_ref(m));  // never answered
        ++self->begun_;
        self->changed_.notify_all();
        return 1;
    }
    static int onCancel(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<SilentAgent*>(userdata);
        ++self->cancelled_;
        self->changed_.notify_all();
        return sd_bus_reply_method_return(m, "");
    }
    bool waitFor(const std::function<bool()>& done, int ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), done);
    }

    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // held while the thread dispatches
    std::condition_variable changed_;
    std::vector<sd_bus_message*> unanswered_;
    int begun_ = 0;
    int cancelled_ = 0;
};


// The client's end of the progress protocol as a test sees it: every message, in order.
class RecordingProgress : public quillo::common::RNHelperToolProtocolProgress {
public:
    void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) override {
        note("item " + std::to_string(count) + " " + std::to_string(totSize) + " " + std::to_string(itemSize) + " " +
             path);
    }
    void finishedWithNonErasedCount(uint64_t count) override { note("finished " + std::to_string(count)); }
    // Waits (bounded) for `count` finished messages; then gives every message so far.
    std::vector<std::string> waitForFinished(size_t count, int ms = 30000) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return finished_ >= count; });
        return messages_;
    }

private:
    void note(std::string message) {
        {
            std::lock_guard lock(mutex_);
            if (message.rfind("finished", 0) == 0) ++finished_;
            messages_.push_back(std::move(message));
        }
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> messages_;
    size_t finished_ = 0;
};

// Sets the immutable flag of the leaf at the bottom of a deep chain (its path is too long for
// chattr).
bool lockDeepLeaf(const std::string& top, size_t depth) {
    const int dir = openDeepChainFolder(top, depth);
    if (dir < 0) return false;
    const int fd = ::openat(dir, "leaf", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dir);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags |= FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

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

        // The installer takes a helper only from where nobody but root can change it; the build
        // tree may be anywhere.
        ASSERT_FALSE(helperSource.path().empty()) << "cannot make a folder under /run";
        const std::string from = helperSource.path() + "/quillo3-helper";
        std::string out;
        ASSERT_EQ(run("cp " + shellQuote(QUILLO_HELPER_PATH) + " " + shellQuote(from)), 0);
        ASSERT_EQ(run(std::string(QUILLO_INSTALLER_PATH) + " install --from " + shellQuote(from) + " 2>&1", &out), 0)
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
    // `granted`: a second user the rule grants besides nobody; `limits`: the daemon's.
    void startBus(bool grantNobody, const std::string& granted = "nobody",
                  const std::map<std::string, std::string>& limits = {}) {
        if (grantNobody) {
            rulesFile = "/etc/polkit-1/rules.d/10-quillo-test-" + std::to_string(::getpid()) + ".rules";
            writeFile(rulesFile,
                      "polkit.addRule(function(action, subject) {\n"
                      "  if (action.id == \"" + installer::eraseActionId() +
                          "\" && (subject.user == \"nobody\" || subject.user == \"" + granted +
                          "\")) return polkit.Result.YES;\n"
                      "});\n",
                      0644);
        }
        PrivateBus::Options options;
        options.services["org.quillo.Quillo3Helper.service"] = readFile(installer::kServiceFilePath);
        options.services["org.freedesktop.PolicyKit1.service"] = PrivateBus::polkitServiceFile();
        options.includes = {installer::kBusPolicyPath, "/usr/share/dbus-1/system.d/org.freedesktop.PolicyKit1.conf"};
        options.environment["QUILLO_HELPER_IDLE_SECONDS"] = "20";
        options.limits = limits;
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

    // A raw erase call with `request` as the request bytes, on a connection of the calling
    // process; gives "ok" or the error reply's name and message.
    static std::string rawErase(const std::string& request, uint64_t timeoutUsec = 60 * 1000000ull) {
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) < 0) return "no bus";
        sd_bus_message* m = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const std::string token(quillo::common::kAuthorizationDataLength, '\0');
        int r = sd_bus_message_new_method_call(bus, &m, quillo::common::kHelperBusName,
                                               quillo::common::kHelperObjectPath, quillo::common::kHelperInterface,
                                               quillo::common::kEraseMethod);
        if (r >= 0) r = sd_bus_message_append_array(m, 'y', token.data(), token.size());
        if (r >= 0) r = sd_bus_message_append_array(m, 'y', request.data(), request.size());
        if (r >= 0) r = sd_bus_call(bus, m, timeoutUsec, &error, &reply);
        std::string result = r >= 0 ? "ok"
                                    : std::string(error.name ? error.name : "?") + " " +
                                          (error.message ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(m);
        sd_bus_flush_close_unref(bus);
        return result;
    }
    // rawErase as `uid`, in a child process.
    static std::string eraseAs(uid_t uid, const std::string& request, uint64_t timeoutUsec = 60 * 1000000ull) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return "no pipe";
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(out[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
                ::_exit(126);
            ::alarm(90);
            const std::string result = rawErase(request, timeoutUsec);
            const bool written = ::write(out[1], result.data(), result.size()) == ssize_t(result.size());
            ::_exit(written ? 0 : 1);
        }
        ::close(out[1]);
        std::string result;
        char buf[512];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) result.append(buf, size_t(n));
        ::close(out[0]);
        int status = 0;
        if (pid > 0) ::waitpid(pid, &status, 0);
        return result;
    }
    // The process id of the helper on the bus, or 0.
    static uint32_t helperPid() {
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) < 0) return 0;
        sd_bus_message* reply = nullptr;
        uint32_t pid = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetConnectionUnixProcessID", nullptr, &reply, "s", quillo::common::kHelperBusName) >= 0)
            sd_bus_message_read(reply, "u", &pid);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
        return pid;
    }

    std::string logText() {
        std::string all;
        run("find " + shellQuote(env.stateHome() + "/Quillo 3") + " -type f -exec cat {} + 2>/dev/null", &all);
        return all;
    }

    TempHome env;
    RootOnlyFolder helperSource;
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
    EXPECT_EQ(o.get("version"), std::vector<std::string>{"2.1.0"});
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

TEST_F(HelperEndToEnd, DeeplyNestedRequestIsRefusedAndTheHelperLivesOn) {
    writeFile(files + "/mine", "mine");
    run("chown 65534:65534 " + shellQuote(files + "/mine"));
    plantInfo("mine");
    startBus(true);
    std::string deep = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>x</key>";
    for (int i = 0; i < 1000000; ++i) deep += "<array>";
    for (int i = 0; i < 1000000; ++i) deep += "</array>";
    deep += "</dict></plist>";
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) {
        RNSecureAccess access(nullptr);
        access.getHelperToolVersion();
        out << "version " << RNSecureAccess::helperVersion() << "\n";
        out << "pidBefore " << helperPid() << "\n";
        out << "deep " << rawErase(deep) << "\n";
        out << "pidAfter " << helperPid() << "\n";
        // The same helper still erases a sound request.
        eraseAndWait(s, request({}, {files + "/mine"}, 0, 0), out);
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.get("version"), std::vector<std::string>{"2.1.0"});
    ASSERT_EQ(o.get("deep").size(), 1u);
    EXPECT_EQ(o.get("deep")[0].rfind(std::string(quillo::common::kPropertyListErrorName) + " ", 0), 0u) << o.get("deep")[0];
    EXPECT_NE(o.get("deep")[0].find("nested too deeply"), std::string::npos) << o.get("deep")[0];
    ASSERT_EQ(o.get("pidBefore").size(), 1u);
    EXPECT_NE(o.get("pidBefore")[0], "0");
    EXPECT_EQ(o.get("pidAfter"), o.get("pidBefore")) << bus->daemonLog();
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"});
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"0"});
    EXPECT_FALSE(exists(files + "/mine"));
}

// Nesting hidden behind a quoted "/>" in an attribute, which a scan for empty elements took for
// one: at 50 levels such a request was read nested, at a million (22 MB) it ended the helper with
// a stack overflow. Both are refused now by the same helper, which then erases a sound request.
TEST_F(HelperEndToEnd, NestingBehindQuotedAttributesIsRefusedAndTheHelperLivesOn) {
    writeFile(files + "/mine", "mine");
    run("chown 65534:65534 " + shellQuote(files + "/mine"));
    plantInfo("mine");
    startBus(true);
    auto spelled = [](size_t levels) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>x</key>";
        xml.reserve(xml.size() + levels * 22 + 32);
        for (size_t i = 0; i < levels; ++i) xml += "<array a=\"/>\">";
        for (size_t i = 0; i < levels; ++i) xml += "</array>";
        return xml + "</dict></plist>";
    };
    const std::string fifty = spelled(50), million = spelled(1000000);
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) {
        RNSecureAccess(nullptr).getHelperToolVersion();  // starts the helper
        out << "pidBefore " << helperPid() << "\n";
        out << "fifty " << rawErase(fifty) << "\n";
        out << "million " << rawErase(million) << "\n";
        out << "pidAfter " << helperPid() << "\n";
        eraseAndWait(s, request({}, {files + "/mine"}, 0, 0), out);
    });
    EXPECT_EQ(o.status, 0);
    for (const char* key : {"fifty", "million"}) {
        ASSERT_EQ(o.get(key).size(), 1u) << key;
        EXPECT_EQ(o.get(key)[0].rfind(std::string(quillo::common::kPropertyListErrorName) + " ", 0), 0u)
            << key << ": " << o.get(key)[0];
    }
    ASSERT_EQ(o.get("pidBefore").size(), 1u);
    EXPECT_NE(o.get("pidBefore")[0], "0");
    EXPECT_EQ(o.get("pidAfter"), o.get("pidBefore")) << bus->daemonLog();
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"});
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"0"});
    EXPECT_FALSE(exists(files + "/mine"));
}

// A caller that stops reading (its socket's receive buffer full) after asking for an erase of
// 100,000 paths, each refused: the helper once sent one signal per path, the daemon stopped
// reading from the helper when its messages for that caller passed the daemon's limit (2 MB here
// so that the test stays small; 127 MB by default), and every other call went unanswered. Now
// another user is answered within a second throughout, and is let in once that run is over.
TEST_F(HelperEndToEnd, AClientThatStopsReadingDoesNotKeepOtherUsersOut) {
    constexpr uid_t kOtherUid = 1;  // daemon, granted too
    startBus(true, "daemon", {{"max_incoming_bytes", "2000000"}});
    HelperRequest flood;
    for (int i = 0; i < 100000; ++i)
        flood.permissionsItems.push_back("/nowhere/refused-" + std::to_string(i) + std::string(60, 'x'));
    const std::string floodBytes = *quillo::common::encodeHelperRequest(flood);

    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t silent = ::fork();
    ASSERT_GE(silent, 0);
    if (silent == 0) {
        ::close(ready[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(126);
        ::alarm(120);
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) < 0) ::_exit(2);
        sd_bus_message* m = nullptr;
        const std::string token(quillo::common::kAuthorizationDataLength, '\0');
        int r = sd_bus_message_new_method_call(bus, &m, quillo::common::kHelperBusName,
                                               quillo::common::kHelperObjectPath, quillo::common::kHelperInterface,
                                               quillo::common::kEraseMethod);
        if (r >= 0) r = sd_bus_message_append_array(m, 'y', token.data(), token.size());
        if (r >= 0) r = sd_bus_message_append_array(m, 'y', floodBytes.data(), floodBytes.size());
        // The request is accepted (its run has started) before the signals come.
        sd_bus_message* reply = nullptr;
        if (r >= 0) r = sd_bus_call(bus, m, 60 * 1000000ull, nullptr, &reply);
        if (r < 0) ::_exit(3);
        // From now on nothing is read: the socket's receive buffer fills and stays full.
        const int small = 4096;
        ::setsockopt(sd_bus_get_fd(bus), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        if (::write(ready[1], "s", 1) != 1) ::_exit(4);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    const bool sent = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    auto reapSilent = [&] {
        ::kill(silent, SIGKILL);
        int status = 0;
        ::waitpid(silent, &status, 0);
    };
    if (!sent) {
        reapSilent();
        FAIL() << "the silent caller could not send its request" << bus->daemonLog();
    }

    // The other user asks until that run is over: each answer (busy, or accepted) within 1 s.
    const std::string empty = *quillo::common::encodeHelperRequest(HelperRequest{});
    std::vector<std::string> answers;
    for (int i = 0; i < 600; ++i) {
        answers.push_back(eraseAs(kOtherUid, empty, 1000000));
        if (answers.back().rfind(std::string(quillo::common::kOSStatusErrorName) + " -50: busy", 0) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(answers.back(), "ok") << answers.size() << " answers\n" << bus->daemonLog();
    // A busy answer tells the other user how long the run may still take new items.
    for (const std::string& a : answers)
        EXPECT_TRUE(a == "ok" || a.rfind(std::string(quillo::common::kOSStatusErrorName) +
                                             " -50: busy: another user's erase is in progress; it takes no new "
                                             "item after ",
                                         0) == 0)
            << a;
    // Still answering, the same helper, while the silent caller stays connected.
    const uint32_t pid = helperPid();
    const std::string again = eraseAs(kOtherUid, empty, 1000000);
    EXPECT_TRUE(again == "ok" || again.rfind(std::string(quillo::common::kOSStatusErrorName) + " -50: busy", 0) == 0)
        << again;
    EXPECT_EQ(helperPid(), pid);
    reapSilent();
}

// The largest request the bus carries: 3.7 million empty paths (33.3 MB). The helper once grew
// to twenty times the request decoding it and logged a line per refused entry; now its peak stays
// under four times the request and the run logs a few lines.
TEST_F(HelperEndToEnd, TheLargestRequestCostsUnderFourTimesItsSizeAndAFewLogLines) {
    startBus(true);
    std::string huge = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>permissionsItems</key><array>";
    huge.reserve(34u << 20);
    for (int i = 0; i < 3700000; ++i) huge += "<string/>";
    huge += "</array></dict></plist>";
    const std::string empty = *quillo::common::encodeHelperRequest(HelperRequest{});
    Outcome o = asNobody([&](RecordingDelegate&, std::ostream& out) {
        out << "huge " << rawErase(huge) << "\n";
        // Its run is over when another request is let in.
        std::string next;
        for (int i = 0; i < 1200; ++i) {
            next = rawErase(empty);
            if (next.rfind(std::string(quillo::common::kOSStatusErrorName) + " -50: busy", 0) != 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        out << "next " << next << "\n";
    });
    EXPECT_EQ(o.get("huge"), std::vector<std::string>{"ok"}) << bus->daemonLog();
    EXPECT_EQ(o.get("next"), std::vector<std::string>{"ok"});
    const uint32_t pid = helperPid();
    ASSERT_NE(pid, 0u);
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    ASSERT_NE(at, std::string::npos) << status;
    const uint64_t peak = std::stoull(status.substr(at + 6)) * 1024;
    EXPECT_LT(peak, 4 * huge.size()) << "peak " << peak << " bytes for a request of " << huge.size();
    size_t lines = 0;
    std::istringstream log(bus->daemonLog());
    for (std::string line; std::getline(log, line);) lines += line.find("quillo3-helper") != std::string::npos;
    EXPECT_LT(lines, 20u) << bus->daemonLog().substr(0, 4000);
}

// A user without the grant whose password dialog nobody answers holds no slot: another user's
// granted erase runs meanwhile; and when the waiting caller goes, the helper cancels its check.
TEST_F(HelperEndToEnd, UnansweredAuthenticationDoesNotBlockOtherUsers) {
    constexpr uid_t kWaitingUid = 1;  // daemon: a second unprivileged user, without the grant
    writeFile(files + "/mine", "mine");
    run("chown 65534:65534 " + shellQuote(files + "/mine"));
    plantInfo("mine");
    startBus(true);

    // The waiting caller: its own process, started when its agent is in place.
    int go[2];
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t waiting = ::fork();
    ASSERT_GE(waiting, 0);
    if (waiting == 0) {
        ::close(go[1]);
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1) ::_exit(3);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kWaitingUid, kWaitingUid, kWaitingUid) != 0 ||
            ::setresuid(kWaitingUid, kWaitingUid, kWaitingUid) != 0)
            ::_exit(126);
        ::alarm(120);
        HelperRequest none;
        rawErase(*quillo::common::encodeHelperRequest(none));
        ::_exit(0);
    }
    ::close(go[0]);
    SilentAgent agent;
    const std::string why = agent.registerFor(waiting);
    EXPECT_TRUE(why.empty()) << why << bus->daemonLog();
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    auto reapWaiting = [&] {
        ::kill(waiting, SIGKILL);
        int status = 0;
        ::waitpid(waiting, &status, 0);
    };
    if (!why.empty() || !agent.waitForBegin(1, 30000)) {
        reapWaiting();
        std::string ps; run("ps -o user,pid,args -C polkitd", &ps);
        FAIL() << "polkitd never asked the agent: " << ps << bus->daemonLog();
    }

    // Meanwhile nobody, with the grant, erases.
    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) {
        eraseAndWait(s, request({}, {files + "/mine"}, 0, 0), out);
    });
    EXPECT_EQ(o.get("waited"), std::vector<std::string>{"1"}) << bus->daemonLog();
    EXPECT_TRUE(o.get("error").empty()) << o.get("error")[0];
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"0"});
    EXPECT_FALSE(exists(files + "/mine"));
    EXPECT_EQ(agent.cancelled(), 0);

    // One waiting request per user: the same user's second request is refused at once.
    const std::string empty = *quillo::common::encodeHelperRequest(HelperRequest{});
    const std::string second = eraseAs(kWaitingUid, empty);
    EXPECT_EQ(second.rfind(std::string(quillo::common::kOSStatusErrorName) + " -50: busy", 0), 0u) << second;

    // The waiting caller goes: its check is cancelled, which closes its dialog, and the user
    // may ask again (no agent for the new process: polkit refuses at once).
    reapWaiting();
    EXPECT_TRUE(agent.waitForCancel(1, 20000)) << bus->daemonLog();
    const std::string third = eraseAs(kWaitingUid, empty);
    EXPECT_EQ(third.rfind(std::string(quillo::common::kOSStatusErrorName) + " -60005", 0), 0u) << third;
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

// The two protocols end to end: a proxy sends each message to the real helper, and a plain
// RNHelperToolProtocolProgress receives the helper's signals on the same connection.
TEST_F(HelperEndToEnd, ProxyAndProgressReceiverSpeakTheProtocolWithTheRealHelper) {
    writeFile(files + "/mine", "mine");
    run("chown 65534:65534 " + shellQuote(files + "/mine"));
    plantInfo("mine");
    startBus(true);
    Outcome o = asNobody([&](RecordingDelegate&, std::ostream& out) {
        RecordingProgress progress;
        HelperBusConnection::Handlers handlers;
        handlers.helperSignal = [&](sd_bus_message* m) { quillo::common::deliverHelperProgressSignal(m, progress); };
        HelperBusConnection connection(std::move(handlers));
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<std::string> replies;
        auto note = [&](std::string line) {
            std::lock_guard lock(mutex);
            replies.push_back(std::move(line));
            cv.notify_all();
        };
        auto waitForReplies = [&](size_t count) {
            std::unique_lock lock(mutex);
            cv.wait_for(lock, std::chrono::seconds(30), [&] { return replies.size() >= count; });
        };
        RNHelperToolProxy proxy(connection, [&](const HelperClientError& e) { note("transport " + e.description()); });
        auto erase = [&](const std::string& token, const HelperRequest& request) {
            proxy.eraseWithAuthorization(token, *quillo::common::encodeHelperRequest(request),
                                         [&](const quillo::common::HelperError& e) {
                                             note(e ? "refused " + std::to_string(e.code) : std::string("accepted"));
                                         });
        };
        const std::string token(quillo::common::kAuthorizationDataLength, 't');

        proxy.getVersionWithReply([&](const std::string& version) { note("version " + version); });
        waitForReplies(1);
        // A token of the wrong length is the helper's answer, so it comes as the reply.
        erase(std::string(31, 't'), HelperRequest{});
        waitForReplies(2);
        // Nothing to erase: accepted, and the run's only message is its end with 0.
        HelperRequest none;
        none.erasedCount = 7;
        none.erasedSize = 700;
        erase(token, none);
        waitForReplies(3);
        for (const std::string& m : progress.waitForFinished(1)) out << "first " << m << "\n";
        // The totals go on from the request's.
        HelperRequest one;
        one.permissionsItems = {files + "/mine"};
        one.erasedCount = 5;
        one.erasedSize = 100;
        erase(token, one);
        waitForReplies(4);
        const std::vector<std::string> all = progress.waitForFinished(2);
        for (size_t i = 1; i < all.size(); ++i) out << "second " << all[i] << "\n";
        std::lock_guard lock(mutex);
        for (const std::string& r : replies) out << "reply " << r << "\n";
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.get("reply"), (std::vector<std::string>{"version 2.1.0", "refused -50", "accepted", "accepted"}))
        << bus->daemonLog();
    EXPECT_EQ(o.get("first"), std::vector<std::string>{"finished 0"});
    EXPECT_EQ(o.get("second"), (std::vector<std::string>{"item 6 104 4 " + files + "/mine", "finished 0"}));
    EXPECT_FALSE(exists(files + "/mine"));
}

// Progress comes in batches: at most one itemsErased signal every 0.1 s (the first at once),
// every erased item listed in order, each with the totals after it.
TEST_F(HelperEndToEnd, ProgressComesAtMostEveryTenthOfASecondWithEveryItemListed) {
    constexpr int kItems = 3000;
    for (int i = 0; i < kItems; ++i) writeFile(files + "/f" + std::to_string(i), "x");
    run("chown -R 65534:65534 " + shellQuote(files));
    startBus(true);
    Outcome o = asNobody([&](RecordingDelegate&, std::ostream& out) {
        RecordingProgress progress;
        std::atomic<int> signals{0};
        HelperBusConnection::Handlers handlers;
        handlers.helperSignal = [&](sd_bus_message* m) {
            if (sd_bus_message_is_signal(m, quillo::common::kHelperInterface, quillo::common::kItemsErasedSignal) > 0)
                ++signals;
            quillo::common::deliverHelperProgressSignal(m, progress);
        };
        HelperBusConnection connection(std::move(handlers));
        RNHelperToolProxy proxy(connection, [&](const HelperClientError&) {});
        HelperRequest request;
        for (int i = 0; i < kItems; ++i) request.permissionsItems.push_back(files + "/f" + std::to_string(i));
        const auto start = std::chrono::steady_clock::now();
        proxy.eraseWithAuthorization(std::string(quillo::common::kAuthorizationDataLength, 't'),
                                     *quillo::common::encodeHelperRequest(request), [](const quillo::common::HelperError&) {});
        const std::vector<std::string> all = progress.waitForFinished(1, 60000);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        out << "signals " << signals.load() << "\n";
        out << "tenths " << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100 << "\n";
        out << "messages " << all.size() << "\n";
        if (all.size() == kItems + 1) {
            out << "first " << all.front() << "\n";
            out << "last " << all[kItems - 1] << "\n";
            out << "end " << all.back() << "\n";
        }
    });
    EXPECT_EQ(o.status, 0);
    ASSERT_EQ(o.get("signals").size(), 1u) << bus->daemonLog();
    const long signals = std::stol(o.get("signals")[0]), tenths = std::stol(o.get("tenths")[0]);
    EXPECT_GE(signals, 1);
    EXPECT_LE(signals, tenths + 2) << "more than one signal per 0.1 s";
    EXPECT_EQ(o.get("messages"), std::vector<std::string>{std::to_string(kItems + 1)});
    EXPECT_EQ(o.get("first"), std::vector<std::string>{"item 1 1 1 " + files + "/f0"});
    EXPECT_EQ(o.get("last"), std::vector<std::string>{"item 3000 3000 1 " + files + "/f2999"});
    EXPECT_EQ(o.get("end"), std::vector<std::string>{"finished 0"});
    for (int i = 0; i < kItems; i += 500) EXPECT_FALSE(exists(files + "/f" + std::to_string(i)));
}

// A root-owned locked file at the bottom of a chain 3,000 folders deep (its path about 6 kB),
// queued on its own, is unlocked and erased by the helper; the same depth with a symlink halfway
// down is refused and counted, and nothing there is touched.
TEST_F(HelperEndToEnd, LockedFileFarBeyondPathMaxIsErasedAndALinkOnItsWayIsRefused) {
    constexpr size_t kDepth = 3000;
    const std::string chain = files + "/chain";
    ASSERT_TRUE(makeDeepChain(chain, kDepth));
    ASSERT_TRUE(lockDeepLeaf(chain, kDepth));
    plantInfo("chain");
    const std::string leaf = deepChainPath(chain, kDepth);
    ASSERT_GT(leaf.size(), size_t(PATH_MAX));

    const std::string linked = files + "/linked";
    ASSERT_TRUE(makeDeepChain(linked, kDepth));
    ASSERT_TRUE(lockDeepLeaf(linked, kDepth));
    const int middle = openDeepChainFolder(linked, kDepth / 2);
    ASSERT_GE(middle, 0);
    ASSERT_EQ(::renameat(middle, "d", middle, "real"), 0);
    ASSERT_EQ(::symlinkat("real", middle, "d"), 0);
    ::close(middle);
    plantInfo("linked");
    startBus(true);

    Outcome o = asNobody([&](RecordingDelegate& s, std::ostream& out) {
        eraseAndWait(s, request({leaf}, {}, 0, 0), out);
        RecordingDelegate second;
        eraseAndWait(second, request({deepChainPath(linked, kDepth)}, {}, 0, 0), out);
        std::lock_guard lock(second.mutex);
        for (auto v : second.notErased) out << "secondNotErased " << v << "\n";
        out << "secondLogged " << second.logged.size() << "\n";
    });
    EXPECT_EQ(o.get("waited"), (std::vector<std::string>{"1", "1"})) << bus->daemonLog();
    EXPECT_TRUE(o.get("error").empty()) << o.get("error")[0];
    EXPECT_EQ(o.get("notErased"), std::vector<std::string>{"0"});
    EXPECT_EQ(o.get("logged"), std::vector<std::string>{leaf + "\t1"});
    const int bottom = openDeepChainFolder(chain, kDepth);
    ASSERT_GE(bottom, 0);
    EXPECT_NE(::faccessat(bottom, "leaf", F_OK, AT_SYMLINK_NOFOLLOW), 0) << "the deep locked file is still there";
    ::close(bottom);

    EXPECT_EQ(o.get("secondNotErased"), std::vector<std::string>{"1"});
    EXPECT_EQ(o.get("secondLogged"), std::vector<std::string>{"1"});
    // The link is still there, and behind it the locked leaf.
    const int middleAgain = openDeepChainFolder(linked, kDepth / 2);
    ASSERT_GE(middleAgain, 0);
    struct stat st;
    EXPECT_EQ(::fstatat(middleAgain, "d", &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(::unlinkat(middleAgain, "d", 0), 0);
    EXPECT_EQ(::renameat(middleAgain, "real", middleAgain, "d"), 0);
    ::close(middleAgain);
    const int linkedBottom = openDeepChainFolder(linked, kDepth);
    ASSERT_GE(linkedBottom, 0);
    EXPECT_EQ(::faccessat(linkedBottom, "leaf", F_OK, AT_SYMLINK_NOFOLLOW), 0);
    ::close(linkedBottom);
}

// ---- A restore's hand-over ---------------------------------------------------------------------

namespace {

// A raw restore hand-over on a connection of the calling process: "ok" and one line per message
// (empty for an item done), or the error reply's name and message.
std::string rawRestore(const HelperRequest& request) {
    const std::optional<std::string> bytes = quillo::common::encodeHelperRequest(request);
    if (!bytes) return "not encoded";
    std::string result;
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const std::string token(quillo::common::kAuthorizationDataLength, '\0');
    sd_bus_message* m = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_message_new_method_call(bus, &m, quillo::common::kHelperBusName, quillo::common::kHelperObjectPath,
                                           quillo::common::kHelperInterface, quillo::common::kRestoreMethod);
    if (r >= 0) r = sd_bus_message_append_array(m, 'y', token.data(), token.size());
    if (r >= 0) r = sd_bus_message_append_array(m, 'y', bytes->data(), bytes->size());
    if (r >= 0) r = sd_bus_call(bus, m, 60 * 1000000ull, &error, &reply);
    if (r < 0) {
        result = std::string(error.name ? error.name : "?") + " " + (error.message ? error.message : std::strerror(-r));
    } else {
        result = "ok";
        const char* text = nullptr;
        sd_bus_message_enter_container(reply, 'a', "s");
        while (sd_bus_message_read(reply, "s", &text) > 0) result += "\n" + std::string(text);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(m);
    sd_bus_flush_close_unref(bus);
    return result;
}

// rawRestore as `uid`, in a child process.
std::string restoreAs(uid_t uid, const HelperRequest& request) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(126);
        ::alarm(90);
        const std::string result = rawRestore(request);
        const bool written = ::write(out[1], result.data(), result.size()) == ssize_t(result.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(out[1]);
    std::string result;
    char buf[512];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) result.append(buf, size_t(n));
    ::close(out[0]);
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    return result;
}

int lockFlagsOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int flags = -1;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) flags = -1;
    if (fd >= 0) ::close(fd);
    return flags < 0 ? -1 : flags & (FS_IMMUTABLE_FL | FS_APPEND_FL);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (!text.empty() && text.back() == '\n') lines.push_back("");
    return lines;
}

}  // namespace

// The engine's restore as nobody, through the real helper: a locked file comes back locked again
// (or unlocked, as answered), root's folder in nobody's trash comes back into nobody's folder,
// and one bound for a folder nobody may not write stays in the trash with its info file.
TEST_F(HelperEndToEnd, RestoreHandsLockedItemsAndOtherUsersFoldersToTheHelper) {
    const std::string top = mount->mountPoint();
    makeDirs(top + "/back", 0755);
    makeDirs(top + "/rootonly", 0755);
    run("chown 65534:65534 " + shellQuote(top + "/back"));
    auto plant = [&](const std::string& name, const std::string& origin) {
        writeFile(trash + "/info/" + name + ".trashinfo",
                  "[Trash Info]\nPath=" + origin + "\nDeletionDate=2026-01-02T03:04:05\n", 0600);
        run("chown 65534:65534 " + shellQuote(trash + "/info/" + name + ".trashinfo"));
    };
    for (const char* name : {"locked", "unlockme"}) {
        writeFile(files + "/" + name, "locked\n");
        run("chown 65534:65534 " + shellQuote(files + "/" + name));
        ASSERT_EQ(run("chattr +i " + shellQuote(files + "/" + name)), 0);
        plant(name, std::string("back/") + name);
    }
    makeDirs(files + "/theirs/sub", 0755);
    writeFile(files + "/theirs/sub/f", "root's\n");
    plant("theirs", "back/theirs");
    makeDirs(files + "/nowhere", 0755);
    plant("nowhere", "rootonly/nowhere");
    startBus(true);

    Outcome o = asNobody([&](RecordingDelegate&, std::ostream& out) {
        auto prompts = std::make_shared<ScriptedPromptBackend>();
        prompts->queueAnswer(quillo::erase::kAlertFirstButtonReturn);   // locked: put back locked
        prompts->queueAnswer(quillo::erase::kAlertSecondButtonReturn);  // unlockme: put back unlocked
        prompts->queueAnswer(quillo::erase::kAlertSecondButtonReturn);  // theirs: as administrator
        prompts->queueAnswer(quillo::erase::kAlertSecondButtonReturn);  // nowhere: as administrator
        quillo::erase::RNErrorDelegate::sharedControl().setBackend(prompts);
        quillo::erase::RNRestoreItems::setPrivilegedRestorerFactory(
            []() -> std::unique_ptr<quillo::erase::RNPrivilegedRestorer> { return RNSecureAccess::initWithDelegate(nullptr); });
        quillo::erase::RNRestoreItems restorer({});
        for (const char* name : {"locked", "unlockme", "theirs", "nowhere"}) {
            const auto outcomes = restorer.restore({quillo::files::describeTrashedItem(trash, name, top, false)});
            out << "status " << name << " " << int(outcomes[0].result.status) << " " << outcomes[0].result.error << "\n";
        }
        out << "prompts " << prompts->calls() << "\n";
    });
    ASSERT_EQ(o.status, 0);
    const auto statuses = o.get("status");
    ASSERT_EQ(statuses.size(), 4u) << bus->daemonLog();
    EXPECT_EQ(statuses[0], "locked 0 ") << bus->daemonLog();
    EXPECT_EQ(statuses[1], "unlockme 0 ");
    EXPECT_EQ(statuses[2], "theirs 0 ");
    EXPECT_EQ(statuses[3].rfind("nowhere 3 ", 0), 0u) << statuses[3];
    EXPECT_NE(statuses[3].find("you may not write in " + top + "/rootonly"), std::string::npos) << statuses[3];
    EXPECT_EQ(o.get("prompts"), std::vector<std::string>{"4"});

    EXPECT_EQ(lockFlagsOf(top + "/back/locked"), FS_IMMUTABLE_FL);
    EXPECT_EQ(lockFlagsOf(top + "/back/unlockme"), 0);
    EXPECT_EQ(readFile(top + "/back/theirs/sub/f"), "root's\n");
    EXPECT_FALSE(exists(files + "/locked") || exists(files + "/unlockme") || exists(files + "/theirs"));
    for (const char* gone : {"locked", "unlockme", "theirs"})
        EXPECT_FALSE(exists(trash + "/info/" + std::string(gone) + ".trashinfo")) << gone;
    EXPECT_TRUE(exists(files + "/nowhere"));
    EXPECT_TRUE(exists(trash + "/info/nowhere.trashinfo"));
    EXPECT_FALSE(exists(top + "/rootonly/nowhere"));
}

// What a caller asks for beyond its own restores is refused and nothing changes: an item outside
// its trash, a symlink in its trash to a locked file elsewhere, another user's item in its
// trash, a lock on what the helper did not unlock for it, a destination behind a symlink or in
// a folder it may not write. Without the grant, nothing is done at all.
TEST_F(HelperEndToEnd, RestoreHandOverRefusesWhatTheCallerMayNotDo) {
    const std::string top = mount->mountPoint();
    makeDirs(top + "/rootonly", 0755);
    makeDirs(top + "/back", 0755);
    run("chown 65534:65534 " + shellQuote(top + "/back"));
    writeFile(top + "/outside", "root's\n");
    ASSERT_EQ(run("chattr +i " + shellQuote(top + "/outside")), 0);
    ASSERT_EQ(::symlink((top + "/outside").c_str(), (files + "/link").c_str()), 0);
    run("chown -h 65534:65534 " + shellQuote(files + "/link"));
    writeFile(files + "/rootlocked", "root's\n");
    ASSERT_EQ(run("chattr +i " + shellQuote(files + "/rootlocked")), 0);
    writeFile(top + "/back/plain", "nobody's\n");
    writeFile(top + "/back/roots", "root's\n");
    run("chown 65534:65534 " + shellQuote(top + "/back/plain"));
    makeDirs(files + "/theirs", 0755);
    ASSERT_EQ(::symlink((top + "/rootonly").c_str(), (top + "/back/swapped").c_str()), 0);
    run("chown -h 65534:65534 " + shellQuote(top + "/back/swapped"));

    startBus(false);
    HelperRequest all;
    all.restoreUnlockItems = {top + "/outside", files + "/link"};
    const std::string refused = restoreAs(65534, all);
    EXPECT_EQ(refused.rfind("org.quillo.Quillo3Helper.Error.OSStatus -60005", 0), 0u) << refused;
    bus.reset();

    startBus(true);
    HelperRequest request;
    request.restoreUnlockItems = {top + "/outside", files + "/link", files + "/rootlocked"};
    request.restoreLockItems = {top + "/back/plain", top + "/back/roots"};
    request.restoreMoveItems = {files + "/theirs", files + "/theirs", top + "/rootonly"};
    request.restoreMoveDestinations = {top + "/back/swapped/theirs", top + "/rootonly/theirs", top + "/back/x"};
    const std::vector<std::string> lines = linesOf(restoreAs(65534, request));
    ASSERT_EQ(lines.size(), 9u) << (lines.empty() ? "" : lines[0]) << bus->daemonLog();
    EXPECT_EQ(lines[0], "ok");
    EXPECT_NE(lines[1].find("not inside a trash of user 65534"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(files + "/link: neither a file nor a folder"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("belongs to another user"), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find("not an item the helper unlocked for you"), std::string::npos) << lines[4];
    EXPECT_NE(lines[5].find("belongs to another user"), std::string::npos) << lines[5];
    EXPECT_NE(lines[6].find("symbolic link"), std::string::npos) << lines[6];
    EXPECT_NE(lines[7].find("you may not write in " + top + "/rootonly"), std::string::npos) << lines[7];
    EXPECT_NE(lines[8].find("not inside a trash of user 65534"), std::string::npos) << lines[8];

    EXPECT_EQ(lockFlagsOf(top + "/outside"), FS_IMMUTABLE_FL);
    EXPECT_EQ(lockFlagsOf(files + "/rootlocked"), FS_IMMUTABLE_FL);
    EXPECT_EQ(lockFlagsOf(top + "/back/plain"), 0);
    EXPECT_EQ(lockFlagsOf(top + "/back/roots"), 0);
    EXPECT_TRUE(exists(files + "/theirs"));
    EXPECT_FALSE(exists(top + "/rootonly/theirs"));
    EXPECT_FALSE(exists(top + "/back/x"));
}

// A restore request waiting for an authentication nobody answers: the same user's next one is
// refused as busy; once the caller goes, its check is cancelled and the user may ask again.
TEST_F(HelperEndToEnd, RestoreRequestOfACallerThatLeavesIsForgotten) {
    constexpr uid_t kWaitingUid = 1;  // daemon, without the grant
    startBus(true);
    HelperRequest request;
    request.restoreUnlockItems = {files + "/nothing"};
    int go[2];
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t waiting = ::fork();
    ASSERT_GE(waiting, 0);
    if (waiting == 0) {
        ::close(go[1]);
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1) ::_exit(3);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kWaitingUid, kWaitingUid, kWaitingUid) != 0 ||
            ::setresuid(kWaitingUid, kWaitingUid, kWaitingUid) != 0)
            ::_exit(126);
        ::alarm(120);
        rawRestore(request);
        ::_exit(0);
    }
    ::close(go[0]);
    SilentAgent agent;
    const std::string why = agent.registerFor(waiting);
    EXPECT_TRUE(why.empty()) << why << bus->daemonLog();
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    auto reapWaiting = [&] {
        ::kill(waiting, SIGKILL);
        int status = 0;
        ::waitpid(waiting, &status, 0);
    };
    if (!why.empty() || !agent.waitForBegin(1, 30000)) {
        reapWaiting();
        FAIL() << "polkitd never asked the agent: " << bus->daemonLog();
    }
    const std::string second = restoreAs(kWaitingUid, request);
    EXPECT_EQ(second.rfind(std::string(quillo::common::kOSStatusErrorName) + " -50: busy", 0), 0u) << second;
    reapWaiting();
    EXPECT_TRUE(agent.waitForCancel(1, 20000)) << bus->daemonLog();
    const std::string third = restoreAs(kWaitingUid, request);
    EXPECT_EQ(third.rfind(std::string(quillo::common::kOSStatusErrorName) + " -60005", 0), 0u) << third;
}
