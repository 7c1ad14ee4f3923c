// RNSecureAccess against a stand-in helper on a private bus: the install/update decision, the
// installer's outcome, the erase request's progress, and every way a request can fail, each
// finishing the session exactly once.
#include "common/HelperBus.h"
#include "common/HelperRequest.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNRunLoopMainThread.h"
#include "erase/RNUserDefaults.h"
#include "erase/ScriptedPromptBackend.h"
#include "helperclient/FakeHelper.h"
#include "helperclient/HelperInstallation.h"
#include "helperclient/PrivateBus.h"
#include "helperclient/RNSecureAccess.h"
#include "helperclient/RecordingDelegate.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

using namespace quillo::test;
using namespace quillo::erase;
using quillo::helperclient::HelperInstallation;
using quillo::helperclient::RNSecureAccess;
using quillo::util::RNLocalizedString;

namespace {

class HelperClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        setupDefaultsPreferences();
        backend = std::make_shared<ScriptedPromptBackend>();
        RNErrorDelegate::sharedControl().setBackend(backend);
        loop = std::make_shared<RNRunLoopMainThread>();
        RNMainThread::setActive(loop);

        installed = home.root() + "/libexec/quillo3-helper";
        makeDirs(home.root() + "/libexec");
        writeFile(home.root() + "/quillo-install-helper", "#!/bin/sh\nexit 0\n", 0755);
        writeFile(home.root() + "/status", "0\n");
        writeFile(home.root() + "/fake-pkexec",
                  "#!/bin/sh\necho \"$@\" >> '" + home.root() + "/pkexec.log'\nexit $(cat '" + home.root() + "/status')\n",
                  0755);
        HelperInstallation installation;
        installation.installedHelperPath = installed;
        installation.installerPath = home.root() + "/quillo-install-helper";
        installation.serviceFilePath = home.root() + "/org.quillo.Quillo3Helper.service";
        installation.elevate = std::vector<std::string>{home.root() + "/fake-pkexec"};
        HelperInstallation::setCurrent(installation);
    }
    void TearDown() override {
        RNMainThread::setActive(nullptr);
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        HelperInstallation::setCurrent(HelperInstallation{});
        RNUserDefaults::resetStandardUserDefaults();
    }

    bool startBus() {
        if (!haveTool("dbus-daemon")) return false;
        PrivateBus::Options options;
        options.openPolicy = true;
        bus = std::make_unique<PrivateBus>(options);
        return bus->ok();
    }
    void installHelperFile() { writeFile(installed, "#!/bin/sh\n", 0755); }
    std::string pkexecLog() { return exists(home.root() + "/pkexec.log") ? readFile(home.root() + "/pkexec.log") : ""; }
    // Runs the main loop until the session has its end.
    bool runUntilEnded(RecordingDelegate& d) {
        return loop->runUntil([&] { return d.ended(); }, std::chrono::seconds(20));
    }

    TempHome home;
    std::shared_ptr<ScriptedPromptBackend> backend;
    std::shared_ptr<RNRunLoopMainThread> loop;
    std::unique_ptr<PrivateBus> bus;
    std::string installed;
};

RNDictionary request(std::vector<std::string> unlock, std::vector<std::string> permissions,
                     std::vector<std::string> folders, uint64_t count, uint64_t size) {
    auto array = [](const std::vector<std::string>& v) {
        RNArray a;
        for (const auto& s : v) a.push_back(s);
        return a;
    };
    RNDictionary d{{"erasedCount", count}, {"erasedSize", size}};
    if (!unlock.empty()) d["unlockItems"] = array(unlock);
    if (!permissions.empty()) d["permissionsItems"] = array(permissions);
    if (!folders.empty()) d["notTrashedBecauseFolderNotEmpty"] = array(folders);
    return d;
}

}  // namespace

// ---- Installation check ----------------------------------------------------------------------

TEST_F(HelperClientTest, CurrentHelperIsUsedWithoutAQuestion) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    FakeHelper helper({});
    ASSERT_TRUE(helper.ok());
    installHelperFile();
    RNSecureAccess access(nullptr);
    EXPECT_TRUE(access.installHelperAppIfNeeded());
    EXPECT_EQ(RNSecureAccess::helperVersion(), "2.1.0");
    EXPECT_EQ(backend->calls(), 0);
    EXPECT_EQ(pkexecLog(), "");
}

TEST_F(HelperClientTest, AnyOtherVersionAsksToUpdateAndANoLeavesItAlone) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    installHelperFile();
    for (const char* version : {"2.0.1", "1.9.9", "2.0"}) {
        FakeHelper::Script script;
        script.version = version;
        FakeHelper helper(script);
        ASSERT_TRUE(helper.ok());
        backend->queueAnswer(kAlertSecondButtonReturn);
        RNSecureAccess access(nullptr);
        EXPECT_FALSE(access.installHelperAppIfNeeded()) << version;
        EXPECT_EQ(RNSecureAccess::helperVersion(), version);
        auto shown = backend->last();
        EXPECT_EQ(shown.title, RNLocalizedString("update_helper_tool"));
        EXPECT_EQ(shown.message, RNLocalizedString("update_helper_tool_mess"));
        ASSERT_GE(shown.buttons.size(), 2u);
        EXPECT_EQ(shown.buttons[0], RNLocalizedString("update_button"));
        EXPECT_EQ(shown.buttons[1], RNLocalizedString("dont_update_button"));
        EXPECT_TRUE(shown.checkBoxTitle.has_value());
    }
    EXPECT_EQ(backend->calls(), 3);  // a "no" shows nothing more
    EXPECT_EQ(pkexecLog(), "");
}

TEST_F(HelperClientTest, UnansweringHelperCountsAsOutdated) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    installHelperFile();  // the file is there, but nothing owns the name
    backend->queueAnswer(kAlertSecondButtonReturn);
    RNSecureAccess access(nullptr);
    bool isInstalled = false;
    EXPECT_FALSE(access.isHelperNeedBeInstalled(&isInstalled));
    EXPECT_TRUE(isInstalled);
    EXPECT_NE(RNSecureAccess::helperVersion().find(quillo::common::kHelperBusName), std::string::npos)
        << RNSecureAccess::helperVersion();
    EXPECT_FALSE(access.installHelperAppIfNeeded());
    EXPECT_EQ(backend->last().title, RNLocalizedString("update_helper_tool"));
}

TEST_F(HelperClientTest, MissingHelperIsInstalledThroughTheElevatedInstaller) {
    // No bus is needed: nothing is installed, so nothing is asked over it.
    struct Case {
        const char* status;
        bool result;
        bool errorShown;
    };
    for (const Case& c : {Case{"0", true, false}, Case{"126", false, false}, Case{"127", false, true},
                          Case{"3", false, true}}) {
        writeFile(home.root() + "/status", std::string(c.status) + "\n");
        const int before = backend->calls();
        backend->queueAnswer(kAlertFirstButtonReturn);
        RNSecureAccess access(nullptr);
        EXPECT_EQ(access.installHelperAppIfNeeded(), c.result) << c.status;
        auto prompts = backend->prompts();
        ASSERT_EQ(int(prompts.size()), before + (c.errorShown ? 2 : 1)) << c.status;
        const auto& question = prompts[size_t(before)];
        EXPECT_EQ(question.title, RNLocalizedString("install_helper_tool"));
        EXPECT_EQ(question.buttons[0], RNLocalizedString("install_button"));
        EXPECT_EQ(question.buttons[1], RNLocalizedString("dont_install_button"));
        if (std::string(c.status) == "127") {
            EXPECT_EQ(prompts.back().title, RNLocalizedString("user_not_authorized", "Errors"));
        }
    }
    const std::string log = pkexecLog();
    EXPECT_NE(log.find(home.root() + "/quillo-install-helper install"), std::string::npos) << log;
    EXPECT_EQ(log.find("remove"), std::string::npos) << log;
}

// ---- A helper installed by the system's package ----------------------------------------------

TEST(HelperClientServiceFile, ExecIsTheProgramOfTheServiceGroup) {
    using quillo::common::serviceFileExec;
    EXPECT_EQ(serviceFileExec("[D-BUS Service]\nName=x\nExec=/usr/libexec/quillo/quillo3-helper\nUser=root\n"),
              "/usr/libexec/quillo/quillo3-helper");
    EXPECT_EQ(serviceFileExec("# c\n\n[D-BUS Service]\r\n  Exec = /a/b --idle-seconds 5\r\n"), "/a/b");
    EXPECT_EQ(serviceFileExec("[Other]\nExec=/not/this\n[D-BUS Service]\nExecutable=/nor/this\n"), "");
    EXPECT_EQ(serviceFileExec("Exec=/outside/any/group\n"), "");
    EXPECT_EQ(serviceFileExec(""), "");
}

class HelperClientPackagedTest : public HelperClientTest {
protected:
    void SetUp() override {
        HelperClientTest::SetUp();
        packaged = home.root() + "/usr/libexec/quillo/quillo3-helper";
        makeDirs(home.root() + "/usr/libexec/quillo");
        writeFile(packaged, "#!/bin/sh\n", 0755);
        auto installation = HelperInstallation::current();
        writeFile(installation.serviceFilePath, "[D-BUS Service]\nName=org.quillo.Quillo3Helper\nExec=" + packaged + "\n");
    }
    std::string packaged;
};

TEST_F(HelperClientPackagedTest, IsTheHelperInUseAndTheInstallersCopyIsNot) {
    const auto installation = HelperInstallation::current();
    EXPECT_EQ(installation.packagedHelperPath(), packaged);
    EXPECT_EQ(installation.helperPath(), packaged);
    // An activation file naming the installer's copy is no package's; none at all neither.
    writeFile(installation.serviceFilePath, "[D-BUS Service]\nExec=" + installed + "\n");
    EXPECT_EQ(installation.packagedHelperPath(), "");
    EXPECT_EQ(installation.helperPath(), installed);
    ::unlink(installation.serviceFilePath.c_str());
    EXPECT_EQ(installation.packagedHelperPath(), "");
}

TEST_F(HelperClientPackagedTest, CurrentPackagedHelperIsUsedWithoutInstallingACopy) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    FakeHelper helper({});
    ASSERT_TRUE(helper.ok());
    RNSecureAccess access(nullptr);
    bool isInstalled = false;
    EXPECT_TRUE(access.isHelperNeedBeInstalled(&isInstalled));
    EXPECT_TRUE(isInstalled);  // the packaged file, though the installer's copy is missing
    EXPECT_TRUE(access.installHelperAppIfNeeded());
    EXPECT_EQ(backend->calls(), 0);
    EXPECT_EQ(pkexecLog(), "");
    EXPECT_FALSE(exists(installed));
}

TEST_F(HelperClientPackagedTest, BrokenPackagedHelperIsReportedNeverReplaced) {
    // Nothing answers for it (no bus, or another version): no install question, no installer.
    if (startBus()) {
        FakeHelper::Script script;
        script.version = "1.0.0";
        FakeHelper helper(script);
        ASSERT_TRUE(helper.ok());
        RNSecureAccess access(nullptr);
        const auto error = access.authorizeTheAccess();
        EXPECT_TRUE(bool(error));
        EXPECT_NE(error.message.find(packaged), std::string::npos) << error.message;
        EXPECT_NE(error.message.find("1.0.0"), std::string::npos) << error.message;
        EXPECT_EQ(backend->calls(), 0);
    }
    RNSecureAccess access(nullptr);
    EXPECT_FALSE(access.installHelperAppIfNeeded());
    ASSERT_EQ(backend->prompts().size(), 1u);  // the error, not a question
    EXPECT_NE(backend->last().title, RNLocalizedString("install_helper_tool"));
    EXPECT_NE(backend->last().title, RNLocalizedString("update_helper_tool"));
    quillo::helperclient::HelperClientError error;
    EXPECT_FALSE(access.blessHelperWithLabel(quillo::common::kHelperLabel, &error));
    EXPECT_NE(error.message.find("package"), std::string::npos) << error.message;
    EXPECT_TRUE(bool(access.removeHelper()));
    EXPECT_EQ(pkexecLog(), "");
    EXPECT_TRUE(exists(packaged));
}

TEST_F(HelperClientTest, SuppressedQuestionTrustsTheHelperWithoutLooking) {
    RNUserDefaults::standardUserDefaults().setBool(kPrefShowInstallHelperTool, true);
    RNSecureAccess access(nullptr);
    EXPECT_TRUE(access.installHelperAppIfNeeded());
    EXPECT_EQ(backend->calls(), 0);
    EXPECT_EQ(pkexecLog(), "");
}

TEST_F(HelperClientTest, TickedCheckBoxSuppressesTheQuestionForGood) {
    backend->queueAnswer(kAlertSecondButtonReturn, /*checkBox=*/true);
    {
        RNSecureAccess access(nullptr);
        EXPECT_FALSE(access.installHelperAppIfNeeded());
    }
    EXPECT_TRUE(RNUserDefaults::standardUserDefaults().boolForKey(kPrefShowInstallHelperTool));
    RNSecureAccess again(nullptr);
    EXPECT_TRUE(again.installHelperAppIfNeeded());
    EXPECT_EQ(backend->calls(), 1);
}

// ---- The erase request ------------------------------------------------------------------------

TEST_F(HelperClientTest, ProgressAndEndReachTheSessionFromTheHelperOnly) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    FakeHelper::Script script;
    script.items = {{6, 100, 10, "/t/files/a"}, {6, 100, 0, "/t/files/refused"}, {7, 150, 50, "/t/files/bad\xff"}};
    script.notErased = 1;
    script.spoofFromOtherConnection = true;
    FakeHelper helper(script);
    ASSERT_TRUE(helper.ok());

    RecordingDelegate session;
    RNSecureAccess access(&session);
    access.authorizedEraseWithDictionary(request({"/t/files/a"}, {"/t/files/refused", "/t/files/bad\xff"}, {}, 5, 90));
    ASSERT_TRUE(runUntilEnded(session));
    loop->runUntil([] { return false; }, std::chrono::milliseconds(200));  // nothing may follow the end

    std::lock_guard lock(session.mutex);
    EXPECT_EQ(session.totItems, (std::vector<uint64_t>{6, 6, 7}));
    EXPECT_EQ(session.totSizes, (std::vector<uint64_t>{100, 100, 150}));
    ASSERT_EQ(session.logged.size(), 3u);  // the spoofed item never arrives
    EXPECT_EQ(session.logged[0], (std::pair<std::string, uint64_t>{"/t/files/a", 10}));
    EXPECT_EQ(session.logged[1], (std::pair<std::string, uint64_t>{"/t/files/refused", 0}));
    EXPECT_EQ(session.logged[2], (std::pair<std::string, uint64_t>{"/t/files/bad\xff", 50}));
    EXPECT_EQ(session.notErased, (std::vector<uint64_t>{1}));
    EXPECT_EQ(session.ends, 1);
    EXPECT_TRUE(session.errors.empty());

    EXPECT_EQ(helper.authorization(), access.authorization());
    EXPECT_EQ(helper.authorization().size(), 32u);
    auto sent = quillo::common::decodeHelperRequest(helper.request());
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->unlockItems, (std::vector<std::string>{"/t/files/a"}));
    EXPECT_EQ(sent->permissionsItems, (std::vector<std::string>{"/t/files/refused", "/t/files/bad\xff"}));
    EXPECT_EQ(sent->erasedCount, 5u);
    EXPECT_EQ(sent->erasedSize, 90u);
}

TEST_F(HelperClientTest, RefusedRequestEndsTheSessionOnceOnTheMainThread) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    struct Case {
        std::string name, message, shown;  // `shown`: the whole text, or a part of it
    };
    const std::vector<Case> cases = {
        {quillo::common::kOSStatusErrorName, "-60005: not authorized", RNLocalizedString("user_not_authorized", "Errors")},
        {quillo::common::kOSStatusErrorName, "-50: busy: another erase is in progress", "busy: another erase"},
        {quillo::common::kPropertyListErrorName, "not a property list", "not a property list"},
    };
    for (const Case& c : cases) {
        FakeHelper::Script script;
        script.eraseError = std::make_pair(c.name, c.message);
        FakeHelper helper(script);
        ASSERT_TRUE(helper.ok());
        RecordingDelegate session;
        RNSecureAccess access(&session);
        access.authorizedEraseWithDictionary(request({"/u1", "/u2"}, {"/p"}, {"/folder"}, 4, 40));
        ASSERT_TRUE(runUntilEnded(session)) << c.message;
        loop->runUntil([] { return false; }, std::chrono::milliseconds(100));
        std::lock_guard lock(session.mutex);
        EXPECT_EQ(session.notErased, (std::vector<uint64_t>{3})) << c.message;  // unlock + permissions
        EXPECT_EQ(session.ends, 1);
        EXPECT_EQ(session.endThread, std::this_thread::get_id());
        EXPECT_TRUE(session.logged.empty());
        ASSERT_EQ(session.errors.size(), 1u);
        EXPECT_NE(session.errors[0].find(c.shown), std::string::npos) << session.errors[0];
    }
}

TEST_F(HelperClientTest, UnreachableHelperEndsTheSessionWithTheQueuedCount) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    const std::string connectionText = RNLocalizedString("helper_connection_error", "Errors");
    const std::string prefix = connectionText.substr(0, connectionText.find("%@"));
    {
        // Only folders left non-empty: nothing of the user's is counted as not erased.
        RecordingDelegate session;
        RNSecureAccess access(&session);
        access.authorizedEraseWithDictionary(request({}, {}, {"/folder"}, 2, 20));
        ASSERT_TRUE(runUntilEnded(session));
        std::lock_guard lock(session.mutex);
        EXPECT_EQ(session.notErased, (std::vector<uint64_t>{0}));
        ASSERT_EQ(session.errors.size(), 1u);
        EXPECT_EQ(session.errors[0].rfind(prefix, 0), 0u) << session.errors[0];
    }
    bus.reset();  // no system bus at all
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + home.root() + "/no-bus").c_str(), 1);
    RecordingDelegate session;
    RNSecureAccess access(&session);
    access.authorizedEraseWithDictionary(request({"/u"}, {"/p1", "/p2"}, {}, 0, 0));
    ASSERT_TRUE(runUntilEnded(session));
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::lock_guard lock(session.mutex);
    EXPECT_EQ(session.notErased, (std::vector<uint64_t>{3}));
    EXPECT_EQ(session.ends, 1);
    ASSERT_EQ(session.errors.size(), 1u);
    EXPECT_EQ(session.errors[0].rfind(prefix, 0), 0u) << session.errors[0];
}

TEST_F(HelperClientTest, HelperLeavingMidRunEndsTheRunWithWhatIsLeft) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    FakeHelper::Script script;
    script.items = {{6, 60, 10, "/t/files/first"}, {7, 70, 10, "/t/files/second"}};
    script.vanishAfterFirstItem = true;
    auto helper = std::make_unique<FakeHelper>(script);
    ASSERT_TRUE(helper->ok());
    RecordingDelegate session;
    RNSecureAccess access(&session);
    access.authorizedEraseWithDictionary(request({"/t/files/first"}, {"/t/files/second", "/t/files/third"}, {}, 5, 50));
    ASSERT_TRUE(runUntilEnded(session));
    helper.reset();
    loop->runUntil([] { return false; }, std::chrono::milliseconds(200));
    std::lock_guard lock(session.mutex);
    ASSERT_EQ(session.logged.size(), 1u);
    EXPECT_EQ(session.notErased, (std::vector<uint64_t>{2}));  // three queued, one erased
    EXPECT_EQ(session.ends, 1);
    EXPECT_EQ(session.errors.size(), 1u);
}

TEST_F(HelperClientTest, StopWithoutAConnectionConnectsAndAlwaysSendsYes) {
    if (!startBus()) GTEST_SKIP() << "needs dbus-daemon";
    FakeHelper helper({});
    ASSERT_TRUE(helper.ok());
    RNSecureAccess access(nullptr);
    access.stoppedByUser(false);
    for (int i = 0; i < 200 && helper.stops().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(helper.stops(), (std::vector<bool>{true}));
}
