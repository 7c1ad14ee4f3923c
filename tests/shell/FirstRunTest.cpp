// The first start: the disclaimer, then the welcome window; closing the welcome window ends the
// first run. The small windows post their close notifications with their owner.
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "GuiTest.h"
#include "shell/RNQuillo.h"
#include "support/TestSupport.h"
#include "ui/RNInfoWindows.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;

TEST(FirstRun, DisclaimerAgreedThenWelcomeAndItsCloseEndsTheFirstRun) {
    TempHome home;
    RNUserDefaults::resetStandardUserDefaults();
    auto& defaults = RNUserDefaults::standardUserDefaults();
    defaults.setBool(kPrefShowInstallHelperTool, true);
    setupDefaultsPreferences();
    ASSERT_TRUE(defaults.boolForKey(kPrefIsFirstRun));  // the factory value
    auto dispatcher = ui::RNQtMainThread::install();
    RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());

    QString disclaimer;
    onNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        disclaimer = box->text();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QString::fromStdString(util::RNLocalizedString("agree_btn"))) b->click();
    });
    shell::RNQuillo delegate;
    bool started = false;
    QObject::connect(&delegate, &shell::RNQuillo::startupFinished, [&] { started = true; });
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(waitUntil([&] { return started; }, 10000));
    EXPECT_EQ(disclaimer.toStdString(), util::RNLocalizedString("disclaimer"));

    auto* welcome = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* c = qobject_cast<ui::RNWelcomeCntrl*>(w); c && c->isVisible()) return c;
        return static_cast<ui::RNWelcomeCntrl*>(nullptr);
    }();
    ASSERT_NE(welcome, nullptr) << "the welcome window follows the disclaimer";
    EXPECT_TRUE(defaults.boolForKey(kPrefIsFirstRun));
    // Through every page to the end.
    auto* next = welcome->findChildren<QPushButton*>().last();
    for (int i = 0; i < welcome->pageCount(); ++i) next->click();
    EXPECT_TRUE(waitUntil([&] { return !defaults.boolForKey(kPrefIsFirstRun); }));

    RNErrorDelegate::sharedControl().setBackend(nullptr);
    RNMainThread::setActive(nullptr);
    RNUserDefaults::resetStandardUserDefaults();
}

TEST(InfoWindows, EachPostsItsCloseNotificationOnceWithItsOwner) {
    TempHome home;
    int owner = 0;
    std::vector<std::string> posted;
    auto token = RNNotificationCenter::defaultCenter().addObserver(
        "", &owner, [&](const RNNotification& n) { posted.push_back(n.name); });
    {
        ui::RNSubscribe subscribe(&owner);
        subscribe.showWindow();
        subscribe.close();
        subscribe.reject();  // a second close posts nothing more
        ui::RNWebPromo promo(&owner);
        promo.showWindow();
        promo.reject();
        ui::RNWelcomeCntrl welcome(nullptr);  // another owner: not observed here
        welcome.showWindow();
        welcome.close();
    }
    EXPECT_EQ(posted, (std::vector<std::string>{"newsletterDidClose", "webPromoDidClose"}));
    RNNotificationCenter::defaultCenter().removeObserver(token);
}
