// quillo-install-helper into a staging root: what it writes, with which owner and mode, that it
// can run twice, that it takes everything away again, and that it refuses to run unprivileged.
#include "common/RNCommonHelper.h"
#include "installer/InstallerFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

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
        writeFile(home.root() + "/helper-v1", "helper one");
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
    ASSERT_EQ(install(home.root() + "/helper-v1", &out), 0) << out;
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
    ASSERT_EQ(install(home.root() + "/helper-v1", &out), 0) << out;
    EXPECT_EQ(out.find("installed"), std::string::npos) << out;
    writeFile(home.root() + "/helper-v2", "helper two");
    ASSERT_EQ(install(home.root() + "/helper-v2", &out), 0) << out;
    EXPECT_EQ(readFile(at(installer::kInstalledHelperPath)), "helper two");
    EXPECT_NE(out.find(std::string("installed ") + at(installer::kInstalledHelperPath)), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("unchanged ") + at(installer::kBusPolicyPath)), std::string::npos) << out;

    // A tampered folder is made root's own again, a tampered file rewritten.
    ::chmod(at(installer::kHelperInstallDir).c_str(), 0777);
    writeFile(at(installer::kPolkitActionPath), "<policyconfig/>", 0666);
    ASSERT_EQ(install(home.root() + "/helper-v2", &out), 0) << out;
    struct stat st;
    ASSERT_EQ(::stat(at(installer::kHelperInstallDir).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(readFile(at(installer::kPolkitActionPath)), installer::polkitActionText());
    ASSERT_EQ(::stat(at(installer::kPolkitActionPath).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(HelperClientInstaller, RemoveTakesEverythingAwayAndRunsTwice) {
    std::string out;
    ASSERT_EQ(install(home.root() + "/helper-v1", &out), 0) << out;
    writeFile(root + "/usr/share/polkit-1/actions/other.policy", "not ours");
    ASSERT_EQ(remove(&out), 0) << out;
    for (const char* path : kAllFiles) EXPECT_FALSE(exists(at(path))) << path;
    EXPECT_FALSE(exists(at(installer::kHelperInstallDir)));
    EXPECT_TRUE(exists(root + "/usr/share/polkit-1/actions/other.policy"));
    EXPECT_EQ(remove(&out), 0) << out;
}

TEST_F(HelperClientInstaller, NothingIsWrittenWithoutAHelperToInstall) {
    std::string out;
    EXPECT_EQ(install(home.root() + "/no-such-helper", &out), 1);
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
                     " install --from " + shellQuote(home.root() + "/helper-v1") + " --root " + shellQuote(root) + " 2>&1",
                 &out);
    EXPECT_EQ(rc, 1);
    EXPECT_NE(out.find("must be run as root"), std::string::npos) << out;
    EXPECT_NE(out.find("pkexec"), std::string::npos) << out;
    EXPECT_FALSE(exists(at(installer::kInstalledHelperPath)));
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
