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

// A damaged preferences file is kept, not lost, and the user is told once: the settings were
// reset, and where the damaged file is. Who had a preferences file has run Quillo before: no
// first-run windows.
TEST_F(RobustnessTest, ACorruptPreferencesFileIsKeptAndTheUserToldOnce) {
    const std::string prefs = RNUserDefaults::standardPlistPath();
    makeDirs(home.configHome() + "/quillo");
    const std::string damaged = "<?xml version=\"1.0\"?><plist><dict><key>empty_trash</key><dic";
    writeFile(prefs, damaged);
    std::vector<std::string> asked;
    auto answer = [&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        asked.push_back((box->text() + "\n" + box->informativeText()).toStdString());
        box->buttons().first()->click();
    };
    // Read now (the damage is told at start-up, however early the file was read).
    RNUserDefaults::standardUserDefaults().setBool(kPrefShowInstallHelperTool, true);
    onNextModal(answer);
    ASSERT_TRUE(start());
    std::string keptAs;
    for (const auto& name : listFolder(home.configHome() + "/quillo"))
        if (name.find(".corrupt-") != std::string::npos) keptAs = home.configHome() + "/quillo/" + name;
    ASSERT_FALSE(keptAs.empty());
    EXPECT_EQ(readFile(keptAs), damaged) << "the damaged file is kept as it was";
    ASSERT_EQ(asked.size(), 1u) << "one message, and no disclaimer";
    EXPECT_NE(asked[0].find(util::RNLocalizedString("preferences_reset", "Errors")), std::string::npos) << asked[0];
    EXPECT_NE(asked[0].find(keptAs), std::string::npos) << "it says where the damaged file is: " << asked[0];
    EXPECT_FALSE(RNUserDefaults::standardUserDefaults().boolForKey(kPrefIsFirstRun));
    EXPECT_NE(delegate->quilloMenu(), nullptr);

    // Said once: nothing is left to say at the next start.
    EXPECT_FALSE(RNUserDefaults::standardUserDefaults().takeDamage());
}

TEST_F(RobustnessTest, DecliningTheHelperLeavesItUnauthorizedAndTheAppRunning) {
    helperclient::HelperInstallation missing;
    missing.installedHelperPath = home.root() + "/no-helper";
    missing.serviceFilePath = home.root() + "/no-activation-file.service";  // not the machine's
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
