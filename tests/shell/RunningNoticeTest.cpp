// "Quillo is running" at a later start: a desktop notification where there is a tray (against a
// stand-in org.freedesktop.Notifications on a private session bus), a window only where there is
// none, or where no notification service answers.
#include "GuiTest.h"
#include "NotificationService.h"
#include "PrivateSessionBus.h"
#include "shell/RNRunningNotice.h"
#include "support/TestSupport.h"
#include "ui/RNInfoWindows.h"
#include "util/Localization.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QLabel>
#include <QSignalSpy>

using namespace quillo;
using namespace quillo::test;

namespace {

class RunningNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveTool("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed (scripts/setup installs it)";
        ASSERT_TRUE(bus_.start());
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("notice-app"));
        QDBusConnection::disconnectFromBus(QStringLiteral("notice-service"));
        bus_.stop();
    }
    QDBusConnection appBus() { return QDBusConnection::connectToBus(bus_.address(), QStringLiteral("notice-app")); }
    // The stand-in notification service on the private bus.
    bool startService(Notifications& n) {
        return startNotificationService(QDBusConnection::connectToBus(bus_.address(), QStringLiteral("notice-service")), n);
    }

    TempHome home;
    PrivateSessionBus bus_;
};

const QString kEmptyAll = QStringLiteral("Ctrl+Super+Backspace");
const QString kLumo = QStringLiteral("Shift+Super+S");

}  // namespace

TEST_F(RunningNoticeTest, WithATrayTheDesktopIsNotifiedAndNoWindowOpens) {
    Notifications service;
    ASSERT_TRUE(startService(service));
    shell::RNRunningNotice notice(appBus());
    QSignalSpy shown(&notice, &shell::RNRunningNotice::shown);
    notice.show(true, kEmptyAll, kLumo);
    ASSERT_TRUE(waitUntil([&] { return shown.count() > 0; }, 10000));
    EXPECT_TRUE(shown.at(0).at(0).toBool()) << "told as a notification";
    ASSERT_EQ(service.received.size(), 1);
    const Notification& n = service.received.first();
    EXPECT_EQ(n.app, "Quillo");
    EXPECT_EQ(n.summary.toStdString(), util::RNLocalizedString("running_notification_title"));
    // It says where Quillo is, and how to reach it without the tray.
    EXPECT_EQ(n.body, shell::RNRunningNotice::notificationText(kEmptyAll, kLumo));
    EXPECT_TRUE(n.body.contains("tray"));
    EXPECT_TRUE(n.body.contains(kEmptyAll) && n.body.contains(kLumo));
    EXPECT_EQ(n.hints.value("desktop-entry").toString(), "org.quillo.quillo-3");
    EXPECT_EQ(notice.window(), nullptr);
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<ui::RNWebPromo*>(w) && w->isVisible()) << "a window opened beside the notification";
}

TEST_F(RunningNoticeTest, WithoutATrayAWindowSaysHowToReachQuillo) {
    Notifications service;
    ASSERT_TRUE(startService(service));
    shell::RNRunningNotice notice(appBus());
    QSignalSpy shown(&notice, &shell::RNRunningNotice::shown);
    notice.show(false, kEmptyAll, kLumo);
    ASSERT_EQ(shown.count(), 1);
    EXPECT_FALSE(shown.at(0).at(0).toBool());
    ASSERT_NE(notice.window(), nullptr);
    EXPECT_TRUE(notice.window()->isVisible());
    const QString body = notice.window()->findChild<QLabel*>("text")->text();
    EXPECT_TRUE(body.contains(kEmptyAll) && body.contains(kLumo)) << body.toStdString();
    // No hot keys on this desktop: starting Quillo again is the way.
    shell::RNRunningNotice bare(appBus());
    bare.show(false, {}, {});
    ASSERT_NE(bare.window(), nullptr);
    EXPECT_EQ(bare.window()->findChild<QLabel*>("text")->text().toStdString(),
              util::RNLocalizedString("info_window_text_no_keys"));
    EXPECT_TRUE(service.received.isEmpty()) << "no notification where there is no tray";
    notice.window()->reject();
}

TEST_F(RunningNoticeTest, ATrayWithoutANotificationServiceGetsTheWindow) {
    shell::RNRunningNotice notice(appBus());
    QSignalSpy shown(&notice, &shell::RNRunningNotice::shown);
    notice.show(true, kEmptyAll, kLumo);
    ASSERT_TRUE(waitUntil([&] { return shown.count() > 0; }, 10000));
    EXPECT_FALSE(shown.at(0).at(0).toBool());
    ASSERT_NE(notice.window(), nullptr);
    EXPECT_TRUE(notice.window()->isVisible());
    // The icon is in the tray: the window points there, and never says there is no tray.
    EXPECT_EQ(notice.window()->findChild<QLabel*>("text")->text().toStdString(),
              shell::RNRunningNotice::notificationText(kEmptyAll, kLumo).toStdString());
}

