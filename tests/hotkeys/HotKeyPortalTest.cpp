// The portal way: a stand-in org.freedesktop.portal.GlobalShortcuts on a private session bus
// (fake_portal.py), offscreen. The portal answers through Request objects as the real one does.
#include "GuiTestSupport.h"

#include "hotkeys/RNHotKeyCenter.h"
#include "ui/preferences/RNPreferencesWindow.h"
#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "erase/RNPreferences.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSignalSpy>

#include <gtest/gtest.h>

using quillo::hotkeys::RNHotKeyCenter;
using Status = RNHotKeyCenter::Status;
namespace qt = quillo::test;

namespace {

const QString kEmptyTrash = QStringLiteral("values.empty_trash");
const QString kLumoDelete = QStringLiteral("values.lumo_delete");
constexpr unsigned kCtrlMeta = Qt::ControlModifier | Qt::MetaModifier;
constexpr unsigned kShiftMeta = Qt::ShiftModifier | Qt::MetaModifier;

class PortalHotKeys : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qt::guiSkipReason().empty()) GTEST_SKIP() << qt::guiSkipReason();
        control("SetRefused", QVariant::fromValue(QStringList()));
        control("SetDenyAll", false);
        ASSERT_EQ(center().backend(), RNHotKeyCenter::Backend::Portal);
    }
    void TearDown() override {
        center().unregisterHotKey(kEmptyTrash);
        center().unregisterHotKey(kLumoDelete);
        qt::spin(100);
    }
    static RNHotKeyCenter& center() { return RNHotKeyCenter::sharedCenter(); }

    // `mayFail`: the portal may be away for a moment (restarting).
    static QVariant control(const char* method, const QVariant& arg = {}, bool mayFail = false) {
        QDBusInterface portal(QStringLiteral("org.freedesktop.portal.Desktop"),
                              QStringLiteral("/org/freedesktop/portal/desktop"), QStringLiteral("org.quillo.TestPortal"));
        QDBusMessage reply = arg.isValid() ? portal.call(QLatin1String(method), arg) : portal.call(QLatin1String(method));
        if (!mayFail) {
            EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage) << method << ": " << reply.errorMessage().toStdString();
        }
        return reply.arguments().value(0);
    }
    // Every BindShortcuts call the portal received: [{session, known, shortcuts: [[id, {..}]]}].
    static QJsonArray bindings(bool mayFail = false) {
        return QJsonDocument::fromJson(control("Bindings", {}, mayFail).toString().toUtf8()).array();
    }
    // The options the last binding gave `id`, empty when it was not in it.
    static QJsonObject lastBound(const QString& id) {
        const QJsonArray all = bindings();
        if (all.isEmpty()) return {};
        for (const auto& entry : all.last().toObject().value("shortcuts").toArray())
            if (entry.toArray().at(0).toString() == id) return entry.toArray().at(1).toObject();
        return {};
    }
};

}  // namespace

TEST_F(PortalHotKeys, TriggersInTheDesktopShortcutNotation) {
    EXPECT_EQ(RNHotKeyCenter::portalTrigger(Qt::Key_Backspace, kCtrlMeta), "CTRL+LOGO+BackSpace");
    EXPECT_EQ(RNHotKeyCenter::portalTrigger(Qt::Key_S, kShiftMeta), "SHIFT+LOGO+s");
    EXPECT_EQ(RNHotKeyCenter::portalTrigger(Qt::Key_F5, Qt::AltModifier), "ALT+F5");
    EXPECT_EQ(RNHotKeyCenter::portalTrigger(Qt::Key_Comma, Qt::ControlModifier), "CTRL+comma");
    EXPECT_EQ(RNHotKeyCenter::portalTrigger(Qt::Key_Shift, Qt::ControlModifier), "");
}

TEST_F(PortalHotKeys, BothHotKeysAreBoundInOneSessionWithTheirPreferredTriggers) {
    const int before = bindings().size();
    QSignalSpy changes(&center(), &RNHotKeyCenter::statusChanged);
    EXPECT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Registered);
    EXPECT_EQ(center().registerHotKey(kLumoDelete, Qt::Key_S, kShiftMeta), Status::Registered);
    ASSERT_TRUE(qt::waitUntil([&] { return !center().triggerDescription(kLumoDelete).isEmpty(); }));

    const QJsonArray all = bindings();
    ASSERT_EQ(all.size(), before + 1) << "registered together, bound together";
    const QJsonObject binding = all.last().toObject();
    EXPECT_TRUE(binding.value("known").toBool()) << "bound in the session the portal created";
    EXPECT_EQ(lastBound(kEmptyTrash).value("preferred_trigger").toString(), "CTRL+LOGO+BackSpace");
    EXPECT_EQ(lastBound(kLumoDelete).value("preferred_trigger").toString(), "SHIFT+LOGO+s");
    EXPECT_EQ(lastBound(kEmptyTrash).value("description").toString().toStdString(),
              quillo::util::RNLocalizedString("empty_trash_hot_key"));
    EXPECT_EQ(center().status(kEmptyTrash), Status::Registered);
    EXPECT_EQ(center().triggerDescription(kEmptyTrash), "Press CTRL+LOGO+BackSpace");
}

TEST_F(PortalHotKeys, ActivatedSignalPressesTheHotKey) {
    center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta);
    center().registerHotKey(kLumoDelete, Qt::Key_S, kShiftMeta);
    ASSERT_TRUE(qt::waitUntil([&] { return !center().triggerDescription(kEmptyTrash).isEmpty(); }));
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);

    ASSERT_TRUE(control("Activate", kEmptyTrash).toBool());
    ASSERT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; }));
    EXPECT_EQ(spy.at(0).at(0).toString(), kEmptyTrash);
    qt::drainPostedEvents();  // the stand-in portal sends Deactivated before its reply
    EXPECT_EQ(spy.count(), 1) << "Deactivated (the key released) does not act";

    // A shortcut Quillo never bound, and one of another session, do nothing.
    spy.clear();
    control("Activate", QStringLiteral("values.unknown"));
    QDBusInterface portal(QStringLiteral("org.freedesktop.portal.Desktop"),
                          QStringLiteral("/org/freedesktop/portal/desktop"), QStringLiteral("org.quillo.TestPortal"));
    portal.call(QStringLiteral("ActivateInSession"), QStringLiteral("/org/freedesktop/portal/desktop/session/x/y"),
                kEmptyTrash);
    qt::drainPostedEvents();  // the stand-in portal's signal came before its reply
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(PortalHotKeys, ChangedHotKeyIsBoundAgainAndTheOldOneStopsActing) {
    center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta);
    ASSERT_TRUE(qt::waitUntil([&] { return !center().triggerDescription(kEmptyTrash).isEmpty(); }));

    center().registerHotKey(kEmptyTrash, Qt::Key_Delete, kCtrlMeta);
    ASSERT_TRUE(qt::waitUntil([&] { return center().triggerDescription(kEmptyTrash) == "Press CTRL+LOGO+Delete"; }));
    EXPECT_EQ(lastBound(kEmptyTrash).value("preferred_trigger").toString(), "CTRL+LOGO+Delete");

    // Unregistered: bound again without it, and its activation does nothing.
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    center().unregisterHotKey(kEmptyTrash);
    center().registerHotKey(kLumoDelete, Qt::Key_S, kShiftMeta);
    ASSERT_TRUE(qt::waitUntil([&] { return !center().triggerDescription(kLumoDelete).isEmpty(); }));
    EXPECT_TRUE(lastBound(kEmptyTrash).isEmpty());
    control("Activate", kEmptyTrash);
    qt::drainPostedEvents();  // the stand-in portal's signal came before its reply
    EXPECT_EQ(spy.count(), 0);
}

TEST_F(PortalHotKeys, ShortcutTheDesktopLeavesOutIsRefusedAndShownInThePreferences) {
    quillo::test::TempHome home;
    quillo::erase::RNUserDefaults defaults(home.configHome() + "/prefs.plist");
    quillo::erase::RNUserDefaultsController controller(&defaults);
    quillo::erase::setupDefaultsPreferences(defaults, controller);

    control("SetRefused", QVariant::fromValue(QStringList{kLumoDelete}));
    QSignalSpy changes(&center(), &RNHotKeyCenter::statusChanged);
    EXPECT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Registered);
    EXPECT_EQ(center().registerHotKey(kLumoDelete, Qt::Key_S, kShiftMeta), Status::Registered)
        << "the answer comes later";
    ASSERT_TRUE(qt::waitUntil([&] { return center().status(kLumoDelete) == Status::Refused; }));
    EXPECT_EQ(center().status(kEmptyTrash), Status::Registered);

    quillo::ui::RNPreferencesWindow prefs(controller);
    prefs.openWindowInModal(false);
    QDialog* window = prefs.window();
    auto* lmStatus = window->findChild<QWidget*>("lmHotKeyStatus");
    auto* etStatus = window->findChild<QWidget*>("etHotKeyStatus");
    ASSERT_TRUE(lmStatus && etStatus);
    EXPECT_TRUE(lmStatus->isVisibleTo(window));
    EXPECT_EQ(lmStatus->findChild<QLabel*>("text")->text().toStdString(),
              quillo::util::RNLocalizedString("hot_key_refused"));
    // The bound one shows the trigger the desktop chose.
    EXPECT_TRUE(etStatus->isVisibleTo(window));
    EXPECT_TRUE(etStatus->findChild<QLabel*>("text")->text().contains("Press CTRL+LOGO+BackSpace"));
    EXPECT_FALSE(window->findChild<QLabel*>("hotKeysUnavailable")->isVisibleTo(window));

    // A refused hot key does not act even if the portal sends it.
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    control("Activate", kLumoDelete);
    qt::drainPostedEvents();  // the stand-in portal's signal came before its reply
    EXPECT_EQ(spy.count(), 0);

    // The user declines the whole request: both refused, and the window follows.
    control("SetDenyAll", true);
    center().registerHotKey(kEmptyTrash, Qt::Key_Delete, kCtrlMeta);
    ASSERT_TRUE(qt::waitUntil([&] { return center().status(kEmptyTrash) == Status::Refused; }));
    qt::spin(20);
    EXPECT_EQ(etStatus->findChild<QLabel*>("text")->text().toStdString(),
              quillo::util::RNLocalizedString("hot_key_refused"));
}

TEST_F(PortalHotKeys, RestartedPortalGetsTheHotKeysBoundAgain) {
    center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta);
    ASSERT_TRUE(qt::waitUntil([&] { return !center().triggerDescription(kEmptyTrash).isEmpty(); }));
    const int before = bindings().size();

    control("Restart");
    ASSERT_TRUE(qt::waitUntil([&] { return bindings(true).size() > before; }, 5000)) << "not bound again";
    EXPECT_TRUE(bindings().last().toObject().value("known").toBool()) << "bound in a new session";
    ASSERT_TRUE(qt::waitUntil([&] { return !center().triggerDescription(kEmptyTrash).isEmpty(); }));

    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    control("Activate", kEmptyTrash);
    EXPECT_TRUE(qt::waitUntil([&] { return spy.count() > 0; }));
}

int main(int argc, char** argv) {
    return qt::runGuiTests(argc, argv, {qt::GuiPlatform::Offscreen, true});
}
