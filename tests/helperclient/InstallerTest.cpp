// quillo-install-helper into a staging root: what it writes, with which owner and mode, that it
// can run twice, that it takes everything away again, and that it refuses to run unprivileged;
// that it takes a helper only from where nobody but root can change it, and that a staging tree
// others can change (symbolic links, folders swapped while it runs) never makes it write, re-own
// or remove anything outside.
#include "common/RNCommonHelper.h"
#include "installer/InstallerFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace quillo::test;
namespace installer = quillo::installer;

namespace {


class HelperClientInstaller : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "the installer runs as root only";
        root = home.root() + "/stage";
        makeDirs(root);
        ASSERT_FALSE(trusted.path().empty()) << "cannot make a folder under /run";
        writeFile(trusted.path() + "/helper-v1", "helper one");
    }
    int install(const std::string& from, std::string* out = nullptr) {
        return run(std::string(QUILLO_INSTALLER_PATH) + " install --from " + shellQuote(from) + " --root " + shellQuote(root) +
                       " 2>&1",
                   out);
    }
    int remove(std::string* out = nullptr) {
        return run(std::string(QUILLO_INSTALLER_PATH) + " remove --root " + shellQuote(root) + " 2>&1", out);
    }
    std::string at(const char* path) { return root + path; }

    TempHome home;
    RootOnlyFolder trusted;  // where the helper binaries to install are
    std::string root;
};

const char* const kAllFiles[] = {installer::kInstalledHelperPath, installer::kServiceFilePath,
                                 installer::kBusPolicyPath, installer::kPolkitActionPath};

}  // namespace

TEST(HelperClientInstallerFiles, TheActionIsTheOneTheHelperChecks) {
    const auto right = quillo::common::RNCommonHelper::authorizationRightForCommand(quillo::common::kEraseCommand);
    ASSERT_TRUE(right.has_value());
    EXPECT_EQ(installer::eraseActionId(), quillo::common::RNCommonHelper::polkitActionIdForRight(*right));
    EXPECT_EQ(installer::eraseActionId(), "org.quillo.quillo-3.eraseauthorized");
    const std::string action = installer::polkitActionText();
    EXPECT_EQ(action.find("<allow_active>auth_admin</allow_active>") != std::string::npos &&
                  action.find("<allow_inactive>auth_admin</allow_inactive>") != std::string::npos &&
                  action.find("<allow_any>auth_admin</allow_any>") != std::string::npos,
              true)
        << action;
    const std::string service = installer::serviceFileText();
    EXPECT_NE(service.find("Name=org.quillo.Quillo3Helper\n"), std::string::npos);
    EXPECT_NE(service.find("Exec=/usr/local/libexec/quillo/quillo3-helper\n"), std::string::npos);
    // The policy opens exactly one door: root owns the name, anyone calls its own interface.
    const std::string policy = installer::busPolicyText();
    EXPECT_EQ(policy.find("context=\"mandatory\""), std::string::npos);
    EXPECT_EQ(policy.find("send_destination=\"*\""), std::string::npos);
    EXPECT_EQ(policy.find("own=\"*\""), std::string::npos);
}

TEST_F(HelperClientInstaller, InstallsAllFilesRootOwnedAndRunsTwice) {
    std::string out;
    ASSERT_EQ(install(trusted.path() + "/helper-v1", &out), 0) << out;
    for (const char* path : kAllFiles) {
        struct stat st;
        ASSERT_EQ(::lstat(at(path).c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(st.st_uid, 0u) << path;
        EXPECT_EQ(st.st_mode & 07777, std::string(path) == installer::kInstalledHelperPath ? 0755u : 0644u) << path;
    }
    EXPECT_EQ(readFile(at(installer::kInstalledHelperPath)), "helper one");
    EXPECT_EQ(readFile(at(installer::kServiceFilePath)), installer::serviceFileText());
    EXPECT_EQ(readFile(at(installer::kBusPolicyPath)), installer::busPolicyText());
    EXPECT_EQ(readFile(at(installer::kPolkitActionPath)), installer::polkitActionText());
    // A staged tree is not the running bus's business.
    EXPECT_EQ(out.find("reload"), std::string::npos) << out;

    // Again: nothing changes; then a new helper binary replaces the old one, and only it.
    ASSERT_EQ(install(trusted.path() + "/helper-v1", &out), 0) << out;
    EXPECT_EQ(out.find("installed"), std::string::npos) << out;
    writeFile(trusted.path() + "/helper-v2", "helper two");
    ASSERT_EQ(install(trusted.path() + "/helper-v2", &out), 0) << out;
    EXPECT_EQ(readFile(at(installer::kInstalledHelperPath)), "helper two");
    EXPECT_NE(out.find(std::string("installed ") + at(installer::kInstalledHelperPath)), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("unchanged ") + at(installer::kBusPolicyPath)), std::string::npos) << out;

    // A tampered folder is made root's own again, a tampered file rewritten.
    ::chmod(at(installer::kHelperInstallDir).c_str(), 0777);
    writeFile(at(installer::kPolkitActionPath), "<policyconfig/>", 0666);
    ASSERT_EQ(install(trusted.path() + "/helper-v2", &out), 0) << out;
    struct stat st;
    ASSERT_EQ(::stat(at(installer::kHelperInstallDir).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(readFile(at(installer::kPolkitActionPath)), installer::polkitActionText());
    ASSERT_EQ(::stat(at(installer::kPolkitActionPath).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(HelperClientInstaller, RemoveTakesEverythingAwayAndRunsTwice) {
    std::string out;
    ASSERT_EQ(install(trusted.path() + "/helper-v1", &out), 0) << out;
    writeFile(root + "/usr/share/polkit-1/actions/other.policy", "not ours");
    ASSERT_EQ(remove(&out), 0) << out;
    for (const char* path : kAllFiles) EXPECT_FALSE(exists(at(path))) << path;
    EXPECT_FALSE(exists(at(installer::kHelperInstallDir)));
    EXPECT_TRUE(exists(root + "/usr/share/polkit-1/actions/other.policy"));
    EXPECT_EQ(remove(&out), 0) << out;
}

// A package's activation file starts its own helper: the installer neither writes a second copy
// over the package's files nor removes them; an activation file of its own it still replaces.
TEST_F(HelperClientInstaller, LeavesAPackagedHelperToItsPackage) {
    const std::string packaged = "[D-BUS Service]\nName=org.quillo.Quillo3Helper\nExec=/usr/libexec/quillo/quillo3-helper\nUser=root\n";
    makeDirs(root + "/usr/share/dbus-1/system-services");
    makeDirs(root + "/usr/share/polkit-1/actions");
    writeFile(at(installer::kServiceFilePath), packaged);
    writeFile(at(installer::kPolkitActionPath), "the package's action");
    std::string out;
    EXPECT_EQ(install(trusted.path() + "/helper-v1", &out), 1) << out;
    EXPECT_NE(out.find("/usr/libexec/quillo/quillo3-helper"), std::string::npos) << out;
    EXPECT_NE(out.find("package"), std::string::npos) << out;
    EXPECT_FALSE(exists(at(installer::kInstalledHelperPath)));
    EXPECT_FALSE(exists(at(installer::kBusPolicyPath)));
    EXPECT_EQ(remove(&out), 1) << out;
    EXPECT_EQ(readFile(at(installer::kServiceFilePath)), packaged);
    EXPECT_EQ(readFile(at(installer::kPolkitActionPath)), "the package's action");

    // The installer's own (older) activation file is no package's.
    writeFile(at(installer::kServiceFilePath), "[D-BUS Service]\nExec=" + std::string(installer::kInstalledHelperPath) + " --old\n");
    ASSERT_EQ(install(trusted.path() + "/helper-v1", &out), 0) << out;
    EXPECT_EQ(readFile(at(installer::kServiceFilePath)), installer::serviceFileText());
    EXPECT_EQ(remove(&out), 0) << out;
    EXPECT_FALSE(exists(at(installer::kServiceFilePath)));
}

TEST_F(HelperClientInstaller, NothingIsWrittenWithoutAHelperToInstall) {
    std::string out;
    EXPECT_EQ(install(trusted.path() + "/no-such-helper", &out), 1);
    EXPECT_NE(out.find("no-such-helper"), std::string::npos) << out;
    for (const char* path : kAllFiles) EXPECT_FALSE(exists(at(path))) << path;
    EXPECT_EQ(run(std::string(QUILLO_INSTALLER_PATH) + " frobnicate 2>/dev/null"), 2);
    EXPECT_EQ(run(std::string(QUILLO_INSTALLER_PATH) + " install --bogus 2>/dev/null"), 2);
}

TEST_F(HelperClientInstaller, RefusesToRunUnprivileged) {
    if (!haveTool("setpriv")) GTEST_SKIP() << "setpriv missing";
    ::chmod(home.root().c_str(), 0755);
    std::string out;
    int rc = run("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(QUILLO_INSTALLER_PATH) +
                     " install --from " + shellQuote(trusted.path() + "/helper-v1") + " --root " + shellQuote(root) + " 2>&1",
                 &out);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(out.find("must be run as root"), std::string::npos) << out;
    EXPECT_NE(out.find("pkexec"), std::string::npos) << out;
    EXPECT_FALSE(exists(at(installer::kInstalledHelperPath)));
}

TEST_F(HelperClientInstaller, TakesTheHelperOnlyFromWhereOnlyRootCanChangeIt) {
    const std::string src = trusted.path();
    makeDirs(src + "/theirs", 0755);
    makeDirs(src + "/shared", 0775);
    ::chmod((src + "/shared").c_str(), 0775);
    writeFile(src + "/user-owned", "theirs");
    writeFile(src + "/group-writable", "anyone in the group", 0664);
    ::chmod((src + "/group-writable").c_str(), 0664);
    writeFile(src + "/theirs/helper", "in their folder");
    writeFile(src + "/shared/helper", "in a shared folder");
    ASSERT_EQ(::chown((src + "/user-owned").c_str(), kNobodyUid, kNobodyGid), 0);
    ASSERT_EQ(::chown((src + "/theirs").c_str(), kNobodyUid, kNobodyGid), 0);
    ASSERT_EQ(::symlink((src + "/helper-v1").c_str(), (src + "/link").c_str()), 0);
    writeFile(home.root() + "/in-tmp", "below a folder everyone may write in");

    for (const std::string& from : {src + "/user-owned", src + "/group-writable", src + "/theirs/helper",
                                    src + "/shared/helper", src + "/link", home.root() + "/in-tmp"}) {
        std::string out;
        EXPECT_EQ(install(from, &out), 1) << from << "\n" << out;
        EXPECT_NE(out.find("will not install the helper binary " + from), std::string::npos) << out;
        EXPECT_NE(out.find("sudo cmake --install"), std::string::npos) << out;
        for (const char* path : kAllFiles) EXPECT_FALSE(exists(at(path))) << from << ": " << path;
    }
    // The same bytes from a place only root can change are installed.
    std::string out;
    ASSERT_EQ(install(src + "/helper-v1", &out), 0) << out;
    EXPECT_EQ(readFile(at(installer::kInstalledHelperPath)), "helper one");

    // Without --from, an installed layout (sudo cmake --install) offers PREFIX/libexec/quillo.
    makeDirs(src + "/prefix/bin");
    makeDirs(src + "/prefix/libexec/quillo");
    writeFile(src + "/prefix/libexec/quillo/quillo3-helper", "installed", 0755);
    EXPECT_EQ(installer::InstallerFiles::defaultHelperSource(src + "/prefix/bin/quillo-install-helper"),
              src + "/prefix/libexec/quillo/quillo3-helper");
}

// A victim folder of another user (uid 1), with one file; the tests check that it stays so.
namespace {
struct Victim {
    explicit Victim(const std::string& dir) : dir(dir) {
        makeDirs(dir, 0700);
        writeFile(dir + "/keep", "keep");
        ::chown((dir + "/keep").c_str(), 1, 1);
        ::chown(dir.c_str(), 1, 1);
        ::chmod(dir.c_str(), 0700);
    }
    void expectUntouched() const {
        struct stat st;
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1u);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(listFolder(dir), std::vector<std::string>{"keep"});
        EXPECT_EQ(readFile(dir + "/keep"), "keep");
    }
    std::string dir;
};
}  // namespace

TEST_F(HelperClientInstaller, NeverFollowsLinksInTheTree) {
    Victim victim(home.root() + "/victim");
    // A root others own is refused outright, whatever it holds.
    const std::string theirs = home.root() + "/theirs";
    makeDirs(theirs + "/usr/local/libexec", 0755);
    ASSERT_EQ(::symlink(victim.dir.c_str(), (theirs + "/usr/local/libexec/quillo").c_str()), 0);
    ASSERT_EQ(::symlink(victim.dir.c_str(), (theirs + "/etc").c_str()), 0);
    run("chown -R 65534:65534 " + shellQuote(theirs));
    std::string out;
    EXPECT_EQ(run(std::string(QUILLO_INSTALLER_PATH) + " install --from " + shellQuote(trusted.path() + "/helper-v1") +
                      " --root " + shellQuote(theirs) + " 2>&1",
                  &out),
              1);
    EXPECT_NE(out.find("refusing the root " + theirs), std::string::npos) << out;
    EXPECT_EQ(run(std::string(QUILLO_INSTALLER_PATH) + " remove --root " + shellQuote(theirs) + " 2>&1", &out), 1);
    EXPECT_NE(out.find("refusing the root"), std::string::npos) << out;
    victim.expectUntouched();

    // A root of root's own with links in it: nothing is written or removed through them.
    makeDirs(root + "/usr/local/libexec", 0755);
    ASSERT_EQ(::symlink(victim.dir.c_str(), at(installer::kHelperInstallDir).c_str()), 0);
    ASSERT_EQ(::symlink(victim.dir.c_str(), (root + "/etc").c_str()), 0);
    EXPECT_EQ(install(trusted.path() + "/helper-v1", &out), 1) << out;
    EXPECT_NE(out.find("not a folder"), std::string::npos) << out;
    victim.expectUntouched();
    // Files to remove that sit behind a link are not reached.
    makeDirs(victim.dir + "/dbus-1/system.d", 0755);
    writeFile(victim.dir + "/dbus-1/system.d/org.quillo.Quillo3Helper.conf", "theirs");
    writeFile(victim.dir + "/quillo3-helper", "theirs");
    EXPECT_EQ(remove(&out), 1) << out;
    EXPECT_EQ(readFile(victim.dir + "/dbus-1/system.d/org.quillo.Quillo3Helper.conf"), "theirs");
    EXPECT_EQ(readFile(victim.dir + "/quillo3-helper"), "theirs");
}

// The root itself given as a link (to a folder of root's own holding an installed tree): the
// installer does not follow it, fails, and nothing at the link's target changes.
TEST_F(HelperClientInstaller, ARootThatIsALinkIsRefusedAndItsTargetUntouched) {
    std::string out;
    ASSERT_EQ(install(trusted.path() + "/helper-v1", &out), 0) << out;
    const std::string link = home.root() + "/link";
    ASSERT_EQ(::symlink(root.c_str(), link.c_str()), 0);
    struct stat before[4];
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(::lstat(at(kAllFiles[i]).c_str(), &before[i]), 0) << kAllFiles[i];

    EXPECT_NE(run(std::string(QUILLO_INSTALLER_PATH) + " remove --root " + shellQuote(link) + " 2>&1", &out), 0) << out;
    EXPECT_NE(run(std::string(QUILLO_INSTALLER_PATH) + " install --from " + shellQuote(trusted.path() + "/helper-v1") +
                      " --root " + shellQuote(link) + " 2>&1",
                  &out),
              0)
        << out;
    for (size_t i = 0; i < 4; ++i) {
        struct stat after;
        ASSERT_EQ(::lstat(at(kAllFiles[i]).c_str(), &after), 0) << kAllFiles[i] << " was removed through the link";
        EXPECT_EQ(after.st_ino, before[i].st_ino) << kAllFiles[i];
        EXPECT_EQ(after.st_mtim.tv_nsec, before[i].st_mtim.tv_nsec) << kAllFiles[i];
    }
    EXPECT_EQ(readFile(at(installer::kInstalledHelperPath)), "helper one");
}

TEST_F(HelperClientInstaller, FoldersSwappedWithLinksWhileItRunsChangeNothingOutside) {
    if (!haveTool("setpriv")) GTEST_SKIP() << "setpriv missing";
    ::chmod(home.root().c_str(), 0755);  // nobody reaches the tree
    Victim victim(home.root() + "/victim");
    // nobody owns the folder that holds the helper's folder, makes the helper's folder as its
    // own whenever it is missing and swaps it with a link to the victim as fast as it can.
    const std::string libexec = root + "/usr/local/libexec";
    makeDirs(at(installer::kHelperInstallDir), 0755);
    ASSERT_EQ(::symlink(victim.dir.c_str(), (libexec + "/link").c_str()), 0);
    run("chown -R 65534:65534 " + shellQuote(libexec));
    const std::string a = at(installer::kHelperInstallDir), b = libexec + "/link";
    std::fflush(nullptr);
    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setgid(kNobodyGid) != 0 || ::setuid(kNobodyUid) != 0) ::_exit(126);
        ::alarm(120);
        for (;;) {
            ::mkdir(a.c_str(), 0755);  // its own folder again, after a remove took the last one
            ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        }
    }
    int failures = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    int rounds = 0;
    for (; std::chrono::steady_clock::now() < until || rounds < 20; ++rounds) {
        failures += install(trusted.path() + "/helper-v1") != 0;
        failures += remove() != 0;
    }
    ::kill(swapper, SIGKILL);
    int status = 0;
    ::waitpid(swapper, &status, 0);
    victim.expectUntouched();
    // The loop also let some runs through: the test exercised both outcomes.
    EXPECT_LT(failures, 4 * rounds) << rounds << " rounds";
}

// remove ends a helper that is still running: here a stand-in program at a temporary path,
// which keeps running after its file is deleted.
TEST(InstallerStop, EndsProcessesRunningTheProgramAlsoOnceItIsDeleted) {
    quillo::test::TempHome env;
    const std::string fake = env.root() + "/fake-helper";
    ASSERT_EQ(quillo::test::run("cp /bin/sleep " + quillo::test::shellQuote(fake)), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < 2; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl(fake.c_str(), fake.c_str(), "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        pids.push_back(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both are running the program now
    ASSERT_EQ(::unlink(fake.c_str()), 0);
    EXPECT_EQ(quillo::installer::InstallerFiles::stopProcessesRunning(fake), 2u);
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    }
    EXPECT_EQ(quillo::installer::InstallerFiles::stopProcessesRunning(fake), 0u);
}
