// The tray application's automatic clean-up: a pass at start-up and on a mount, each told by one
// desktop notification (a stand-in notification service on a private session bus records it),
// none while another pass holds the per-user lock, and the user's own erase stopping a running
// pass. Offscreen, in a private mount namespace when run as root; planted trashes only.
#include "../erase/ScriptedPromptBackend.h"
#include "GuiTest.h"
#include "NotificationService.h"
#include "PrivateSessionBus.h"
#include "erase/RNCleanupLock.h"
#include "erase/RNDeleteItems.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "files/RNFilesUtilities.h"
#include "shell/RNCleanupScheduler.h"
#include "shell/RNQuillo.h"
#include "support/TestSupport.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"
#include "util/Localization.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QDateTime>
#include <QSignalSpy>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;
using shell::RNCleanupScheduler;
using shell::RNQuillo;

namespace {

class CleanupTrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveTool("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed (scripts/setup installs it)";
        ASSERT_TRUE(bus_.start());
        ASSERT_TRUE(startNotificationService(QDBusConnection::connectToBus(bus_.address(), "cleanup-service"), service));

        RNUserDefaults::resetStandardUserDefaults();
        auto& defaults = RNUserDefaults::standardUserDefaults();
        defaults.setBool(kPrefIsFirstRun, false);
        defaults.setBool(kPrefShowInstallHelperTool, true);
        // Erase what has been in a trash for more than 30 days.
        defaults.setBool(kPrefAutoCleanupOlderThan, true);
        defaults.setInteger(kPrefAutoCleanupOlderThanDays, 30);
        dispatcher = ui::RNQtMainThread::install();
        shell::initQuilloResources();
        backend = std::make_shared<ScriptedPromptBackend>();
        RNErrorDelegate::sharedControl().setBackend(backend);
    }
    void TearDown() override {
        delegate.reset();  // stops a pass and waits for its thread
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNDeleteItems::setProgressWindowFactory(nullptr);
        RNDeleteItems::waitForTickToEnd();
        RNMainThread::setActive(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
        QDBusConnection::disconnectFromBus("cleanup-app");
        QDBusConnection::disconnectFromBus("cleanup-service");
        bus_.stop();
    }

    // Starts the tray application with its notifications going to the private bus.
    void start(int intervalMs = RNCleanupScheduler::kIntervalMs) {
        delegate = std::make_unique<RNQuillo>();
        scheduler()->setBus(QDBusConnection::connectToBus(bus_.address(), "cleanup-app"));
        scheduler()->setInterval(intervalMs);
        finished = std::make_unique<QSignalSpy>(scheduler(), &RNCleanupScheduler::passFinished);
        delegate->applicationDidFinishLaunching();
    }
    RNCleanupScheduler* scheduler() { return delegate->cleanupScheduler(); }

    bool isolated() const { return std::getenv("QUILLO_TEST_ISOLATED") != nullptr; }

    // `count` items trashed in 2024 in the trash folder `trash` (4 KiB each), and one trashed now.
    static void plant(const std::string& trash, int count, const std::string& prefix = "old") {
        makeDirs(trash + "/files", 0700);
        makeDirs(trash + "/info", 0700);
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i);
            writeFile(trash + "/files/" + name, std::string(4096, 'x'));
            TempHome::plantTrashInfo(trash, name);
        }
        writeFile(trash + "/files/fresh", "just trashed");
        TempHome::plantTrashInfo(trash, "fresh",
                                 QDateTime::currentDateTime().toString("yyyy-MM-ddTHH:mm:ss").toStdString());
    }

    TempHome home;
    PrivateSessionBus bus_;
    Notifications service;
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::shared_ptr<ScriptedPromptBackend> backend;
    std::unique_ptr<RNQuillo> delegate;
    std::unique_ptr<QSignalSpy> finished;
};

}  // namespace

TEST_F(CleanupTrayTest, StartUpAndAMountEachRunAPassThatOneNotificationTells) {
    plant(home.homeTrash(), 3);
    start();
    ASSERT_TRUE(waitUntil([&] { return service.received.size() == 1; }, 60000));
    const Notification& n = service.received.first();
    EXPECT_EQ(n.app, "Quillo");
    EXPECT_EQ(n.summary.toStdString(), util::RNLocalizedString("cleanup_notification_title"));
    EXPECT_TRUE(n.body.contains("3")) << n.body.toStdString();
    // The old items went, the one trashed now stayed; the log says it was an automatic clean-up.
    EXPECT_EQ(listFolder(home.homeTrash() + "/files"), std::vector<std::string>{"fresh"});
    EXPECT_FALSE(listFolder(home.stateHome() + "/Quillo 3").empty());
    EXPECT_TRUE(scheduler()->timerActive()) << "the hourly passes follow the start-up one";

    // A pass that finds nothing says nothing.
    ASSERT_TRUE(scheduler()->runPass(RNCleanupScheduler::Trigger::Hourly));
    ASSERT_NE(delegate->statusItem(), nullptr);
    EXPECT_EQ(delegate->statusItem()->toolTip().toStdString(), util::RNLocalizedString("cleanup_tray_tooltip"))
        << "the icon says a pass runs";
    const qsizetype ends = finished->count();
    ASSERT_TRUE(waitUntil([&] { return finished->count() > ends && !scheduler()->passRunning(); }, 60000));
    EXPECT_EQ(service.received.size(), 1);
    EXPECT_EQ(delegate->statusItem()->toolTip(), QStringLiteral("Quillo"));

    if (!isolated()) GTEST_SKIP() << "the mount needs root (a private mount namespace and a tmpfs)";
    ScopedMount volume(home.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(volume.ok());
    plant(volume.mountPoint() + "/.Trash-0", 2, "card");
    // The watcher sees the mount (the trash was planted after it; the pass after the listing).
    ASSERT_TRUE(waitUntil([&] { return service.received.size() == 2; }, 60000));
    EXPECT_TRUE(service.received.at(1).body.contains(QString::fromStdString(files::lastPathComponent(volume.mountPoint()))))
        << service.received.at(1).body.toStdString();
    EXPECT_EQ(listFolder(volume.mountPoint() + "/.Trash-0/files"), std::vector<std::string>{"fresh"});
}

TEST_F(CleanupTrayTest, NoPassWhileAnotherHoldsTheLockAndTheNextTimedPassRuns) {
    plant(home.homeTrash(), 2);
    auto lock = RNCleanupLock::tryAcquire();  // the timer's pass, as far as the tray can tell
    ASSERT_NE(lock, nullptr);
    start(200);
    ASSERT_TRUE(waitUntil([&] { return finished->count() >= 2; }, 60000)) << "the start-up pass and a timed one";
    for (const auto& end : *finished) EXPECT_TRUE(end.at(0).toBool()) << "skipped, not run";
    EXPECT_EQ(listFolder(home.homeTrash() + "/files").size(), 3u);
    EXPECT_TRUE(service.received.isEmpty());

    lock.reset();
    ASSERT_TRUE(waitUntil([&] { return service.received.size() == 1; }, 60000));
    EXPECT_EQ(listFolder(home.homeTrash() + "/files"), std::vector<std::string>{"fresh"});
}

TEST_F(CleanupTrayTest, TheLumoWindowAndTheUsersEraseStopARunningPassAndNoPassStartsMeanwhile) {
    constexpr size_t kItems = 2500;
    plant(home.homeTrash(), int(kItems));
    backend->setDefaultResult(erase::RNPromptResult{kAlertFirstButtonReturn, false});  // "Empty Trash"
    RNDeleteItems::setProgressWindowFactory(ui::RNProgressWindowCntrl::factory());
    const std::string files = home.homeTrash() + "/files";
    start();
    // The pass is under way: some items went, most are still there.
    ASSERT_TRUE(waitUntil([&] { return listFolder(files).size() < kItems + 1; }, 60000));
    ASSERT_TRUE(scheduler()->passRunning());

    // Opening the Lumo Window stops it; the end of the pass's erase does not end the window's
    // work, and no pass starts while the window is open.
    delegate->mainMenuAction(shell::kTagLumo);
    ASSERT_TRUE(waitUntil([&] { return finished->count() > 0; }, 60000));
    EXPECT_TRUE(finished->at(0).at(1).toBool()) << "the pass was stopped, not run to its end";
    drainPostedEvents();
    EXPECT_TRUE(delegate->isWorking());
    EXPECT_FALSE(scheduler()->runPass(RNCleanupScheduler::Trigger::Hourly));
    delegate->lumoWindow()->close();
    ASSERT_TRUE(waitUntil([&] { return !delegate->isWorking(); }));

    // The next pass, stopped by emptying every trash (as the menu's entry and the hot key do).
    const size_t before = listFolder(files).size();
    ASSERT_TRUE(scheduler()->runPass(RNCleanupScheduler::Trigger::Hourly));
    ASSERT_TRUE(waitUntil([&] { return listFolder(files).size() < before; }, 60000));
    ASSERT_TRUE(scheduler()->passRunning());
    QSignalSpy erased(delegate.get(), &RNQuillo::eraseFinished);
    delegate->emptyAllTrashesAction();
    EXPECT_TRUE(delegate->isWorking()) << "the menu shows the erase at once";
    EXPECT_FALSE(scheduler()->runPass(RNCleanupScheduler::Trigger::Hourly)) << "no pass while the user erases";
    ASSERT_TRUE(waitUntil([&] { return finished->count() > 1; }, 60000));
    EXPECT_TRUE(finished->at(1).at(1).toBool());
    ASSERT_TRUE(waitUntil([&] { return erased.count() > 0; }, 60000));
    EXPECT_TRUE(listFolder(files).empty()) << "the user's erase emptied the trash";
    EXPECT_FALSE(delegate->isWorking());
}
