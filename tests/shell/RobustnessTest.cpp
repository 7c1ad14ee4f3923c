// Bad input and faults at the application level: a corrupt preferences file, the helper's
// install question declined, a volume unmounted while its row is measured.
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "GuiTest.h"
#include "helperclient/HelperInstallation.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNQuillo.h"
#include "support/TestSupport.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QSignalSpy>

#include <future>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;

namespace {

class RobustnessTest : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        dispatcher = ui::RNQtMainThread::install();
        RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
        saved = helperclient::HelperInstallation::current();
    }
    void TearDown() override {
        delegate.reset();
        helperclient::HelperInstallation::setCurrent(saved);
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNMainThread::setActive(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
    }
    bool start() {
        delegate = std::make_unique<shell::RNQuillo>();
        QSignalSpy started(delegate.get(), &shell::RNQuillo::startupFinished);
        delegate->applicationDidFinishLaunching();
        return waitUntil([&] { return started.count() > 0 && delegate->volumesLoaded(); }, 60000);
    }

    TempHome home;
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    helperclient::HelperInstallation saved;
    std::unique_ptr<shell::RNQuillo> delegate;
};

}  // namespace

TEST_F(RobustnessTest, ACorruptPreferencesFileIsSetAsideAndTheDefaultsApply) {
    const std::string prefs = RNUserDefaults::standardPlistPath();
    makeDirs(home.configHome() + "/quillo");
    writeFile(prefs, "<?xml version=\"1.0\"?><plist><dict><key>is_first_run</key><fal");
    // The defaults: a first run, so the disclaimer comes; it is agreed to.
    onNextModal([](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QString::fromStdString(util::RNLocalizedString("agree_btn"))) b->click();
    });
    RNUserDefaults::standardUserDefaults().setBool(kPrefShowInstallHelperTool, true);
    ASSERT_TRUE(start());
    bool setAside = false;
    for (const auto& name : listFolder(home.configHome() + "/quillo"))
        if (name.find(".corrupt-") != std::string::npos) setAside = true;
    EXPECT_TRUE(setAside);
    EXPECT_NE(delegate->quilloMenu(), nullptr);
}

TEST_F(RobustnessTest, DecliningTheHelperLeavesItUnauthorizedAndTheAppRunning) {
    helperclient::HelperInstallation missing;
    missing.installedHelperPath = home.root() + "/no-helper";
    helperclient::HelperInstallation::setCurrent(missing);
    auto& defaults = RNUserDefaults::standardUserDefaults();
    defaults.setBool(kPrefIsFirstRun, false);
    QString asked;
    onNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        asked = box->text();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QString::fromStdString(util::RNLocalizedString("dont_install_button"))) b->click();
    });
    SetIsHelperAuthorized(true);
    ASSERT_TRUE(start());
    EXPECT_EQ(asked.toStdString(), util::RNLocalizedString("install_helper_tool"));
    EXPECT_FALSE(IsHelperAuthorized());
    EXPECT_NE(delegate->quilloMenu(), nullptr);
}

TEST_F(RobustnessTest, AVolumeUnmountedWhileItsRowIsMeasuredLosesItsRowQuietly) {
    if (!std::getenv("QUILLO_TEST_ISOLATED")) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto& defaults = RNUserDefaults::standardUserDefaults();
    defaults.setBool(kPrefIsFirstRun, false);
    defaults.setBool(kPrefShowInstallHelperTool, true);
    auto volume = std::make_unique<ScopedMount>(home.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(volume->ok());
    makeDirs(volume->mountPoint() + "/.Trash-0/files", 0700);
    writeFile(volume->mountPoint() + "/.Trash-0/files/x", "12345");
    auto& queue = RNOperationQueue::named(shell::kMenuCreationOperationQueue);
    queue.setMaxConcurrentOperationCount(1);
    std::promise<void> release;
    queue.addOperation([f = release.get_future().share()] { f.wait(); });
    ASSERT_TRUE(start());
    delegate->subTrashMenu()->popup(QPoint(10, 10));
    ASSERT_TRUE(waitUntil([&] { return delegate->submenuViews().size() == 2; }));
    delegate->subTrashMenu()->close();
    QSignalSpy handled(delegate.get(), &shell::RNQuillo::mountHandled);
    volume.reset();  // unmounted before its row was measured
    ASSERT_TRUE(waitUntil([&] { return handled.count() > 0; }));
    release.set_value();
    queue.waitUntilAllOperationsAreFinished();
    drainPostedEvents();  // the late measurement's result reaches the main thread
    queue.setMaxConcurrentOperationCount(RNOperationQueue::kDefaultMaxConcurrentOperationCount);
    EXPECT_EQ(delegate->submenuViews().size(), 1u);
    EXPECT_EQ(delegate->submenuViews()[0]->view()->diskDict().volumePath, "/");
}
