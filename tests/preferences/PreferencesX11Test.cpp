// The preferences window on a real X display (Xvfb): a combination another X client holds is
// reported next to its recorder, and a new recording that the server grants clears the report.
// Also saves pictures of the window on a light and a dark palette for a look.
#include "DarkPalette.h"
#include "GuiTestSupport.h"

#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "hotkeys/RNHotKeyCenter.h"
#include "support/TestSupport.h"
#include "ui/preferences/RNPreferencesWindow.h"
#include "util/Localization.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QPalette>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace quillo::erase;
using quillo::hotkeys::RNHotKeyCenter;
using quillo::ui::RNPreferencesWindow;
namespace qt = quillo::test;

namespace {

constexpr unsigned kXControl = 4;
constexpr unsigned kXMod4 = 64;
constexpr unsigned kKeysymBackSpace = 0xff08;

// What the application delegate does: keep both hot keys registered from the preferences.
class HotKeysFromPreferences {
public:
    explicit HotKeysFromPreferences(RNUserDefaults& defaults) : defaults_(defaults) {
        for (const char* key : {kPrefEmptyTrash, kPrefLumoDelete}) {
            registerFrom(key);
            tokens_.push_back(defaults_.addObserverForKey(key, [this](const std::string& k, const RNValue&) {
                registerFrom(k.c_str());
            }));
        }
    }
    ~HotKeysFromPreferences() {
        for (auto t : tokens_) defaults_.removeObserver(t);
        RNHotKeyCenter::sharedCenter().unregisterHotKey("values.empty_trash");
        RNHotKeyCenter::sharedCenter().unregisterHotKey("values.lumo_delete");
    }

private:
    void registerFrom(const char* key) {
        const RNValue value = defaults_.objectForKey(key);
        RNHotKeyCenter::sharedCenter().registerHotKey(QStringLiteral("values.") + QLatin1String(key),
                                                      int(value["keyCode"].intValue()),
                                                      unsigned(value["modifierFlags"].intValue()));
    }
    RNUserDefaults& defaults_;
    std::vector<RNObserverToken> tokens_;
};

class PreferencesOnX11 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qt::guiSkipReason().empty()) GTEST_SKIP() << qt::guiSkipReason();
        home = std::make_unique<qt::TempHome>();
        defaults = std::make_unique<RNUserDefaults>(home->configHome() + "/quillo/prefs.plist");
        controller = std::make_unique<RNUserDefaultsController>(defaults.get());
        setupDefaultsPreferences(*defaults, *controller);
    }
    void TearDown() override {
        prefs.reset();
        hotKeys.reset();
        controller.reset();
        defaults.reset();
        home.reset();
    }
    QWidget* status(const char* name) { return prefs->window()->findChild<QWidget*>(QLatin1String(name)); }
    QString statusText(const char* name) { return status(name)->findChild<QLabel*>("text")->text(); }

    std::unique_ptr<qt::TempHome> home;
    std::unique_ptr<RNUserDefaults> defaults;
    std::unique_ptr<RNUserDefaultsController> controller;
    std::unique_ptr<HotKeysFromPreferences> hotKeys;
    std::unique_ptr<RNPreferencesWindow> prefs;
};

QString screenshotDir() {
    QString dir = qEnvironmentVariable("QUILLO_SCREENSHOT_DIR");
    if (dir.isEmpty()) dir = QStringLiteral(QUILLO_DEFAULT_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    return dir;
}

}  // namespace

TEST_F(PreferencesOnX11, GrabRefusedByTheServerIsShownNextToItsRecorder) {
    ASSERT_EQ(RNHotKeyCenter::sharedCenter().backend(), RNHotKeyCenter::Backend::X11);
    // Another program (here: another X client) holds Ctrl+Super+Backspace before Quillo starts.
    qt::ForeignKeyGrab other(kKeysymBackSpace, kXControl | kXMod4);
    ASSERT_TRUE(other.ok()) << other.error();
    hotKeys = std::make_unique<HotKeysFromPreferences>(*defaults);
    EXPECT_EQ(RNHotKeyCenter::sharedCenter().status("values.empty_trash"), RNHotKeyCenter::Status::Refused);
    EXPECT_EQ(RNHotKeyCenter::sharedCenter().status("values.lumo_delete"), RNHotKeyCenter::Status::Registered);

    prefs = std::make_unique<RNPreferencesWindow>(*controller);
    prefs->openWindowInModal(false);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(prefs->window()));
    EXPECT_TRUE(status("etHotKeyStatus")->isVisible());
    EXPECT_EQ(statusText("etHotKeyStatus").toStdString(), quillo::util::RNLocalizedString("hot_key_refused"));
    EXPECT_FALSE(status("lmHotKeyStatus")->isVisible());
    EXPECT_FALSE(prefs->window()->findChild<QLabel*>("hotKeysUnavailable")->isVisible());

    // The user records another combination, which the server grants: the report goes away.
    auto* et = prefs->window()->findChild<QKeySequenceEdit*>("etHotKeyFld");
    et->setFocus();
    QSignalSpy finished(et, &QKeySequenceEdit::editingFinished);
    QTest::keyClick(et, Qt::Key_Delete, Qt::ControlModifier | Qt::MetaModifier);
    ASSERT_TRUE(qt::waitUntil([&] { return finished.count() > 0; }, 4000));
    EXPECT_EQ(RNHotKeyCenter::sharedCenter().status("values.empty_trash"), RNHotKeyCenter::Status::Registered);
    EXPECT_TRUE(qt::waitUntil([&] { return !status("etHotKeyStatus")->isVisible(); }));

    // And it acts when pressed anywhere on the display (once the recorder is left).
    prefs->window()->findChild<QWidget*>("closeBtn")->setFocus();
    QSignalSpy pressed(&RNHotKeyCenter::sharedCenter(), &RNHotKeyCenter::hotKeyPressed);
    ASSERT_EQ(qt::run("xdotool key --clearmodifiers ctrl+super+Delete"), 0);
    EXPECT_TRUE(qt::waitUntil([&] { return pressed.count() > 0; }));
}

TEST_F(PreferencesOnX11, HotKeyPressedWhileARecorderHasTheKeyboardIsRecordedNotActedOn) {
    hotKeys = std::make_unique<HotKeysFromPreferences>(*defaults);
    ASSERT_EQ(RNHotKeyCenter::sharedCenter().status("values.empty_trash"), RNHotKeyCenter::Status::Registered);
    prefs = std::make_unique<RNPreferencesWindow>(*controller);
    prefs->openWindowInModal(false);
    ASSERT_TRUE(QTest::qWaitForWindowActive(prefs->window()));
    auto* lm = prefs->window()->findChild<QKeySequenceEdit*>("lmHotKeyFld");
    lm->setFocus();
    lm->clear();
    ASSERT_TRUE(qt::waitUntil([&] { return lm->hasFocus(); }));
    QSignalSpy pressed(&RNHotKeyCenter::sharedCenter(), &RNHotKeyCenter::hotKeyPressed);
    QSignalSpy finished(lm, &QKeySequenceEdit::editingFinished);

    // The grabbed combination of the other hot key, typed into the recorder: it is recorded
    // (and turned down as taken), and the trash is not emptied.
    ASSERT_EQ(qt::run("xdotool key --clearmodifiers ctrl+super+BackSpace"), 0);
    ASSERT_TRUE(qt::waitUntil([&] { return finished.count() > 0; }, 4000));
    EXPECT_EQ(pressed.count(), 0);
    EXPECT_EQ(statusText("lmHotKeyStatus").toStdString(), quillo::util::RNLocalizedString("hot_key_taken"));

    // Away from the recorder the hot key acts again.
    prefs->window()->findChild<QWidget*>("closeBtn")->setFocus();
    ASSERT_FALSE(RNHotKeyCenter::sharedCenter().isSuspended());
    ASSERT_EQ(qt::run("xdotool key --clearmodifiers ctrl+super+BackSpace"), 0);
    EXPECT_TRUE(qt::waitUntil([&] { return pressed.count() > 0; }));
}

TEST_F(PreferencesOnX11, PicturesOnALightAndADarkPalette) {
    qt::ForeignKeyGrab other(kKeysymBackSpace, kXControl | kXMod4);
    hotKeys = std::make_unique<HotKeysFromPreferences>(*defaults);
    prefs = std::make_unique<RNPreferencesWindow>(*controller);
    const QPalette original = QApplication::palette();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QString dir = screenshotDir();
    for (const auto& [name, palette] : {std::pair{QStringLiteral("light"), QApplication::style()->standardPalette()},
                                        std::pair{QStringLiteral("dark"), darkPalette()}}) {
        QApplication::setPalette(palette);
        prefs->openWindowInModal(false);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(prefs->window()));
        qt::spin(100);
        const QImage picture = prefs->window()->grab().toImage();
        ASSERT_FALSE(picture.isNull());
        EXPECT_GT(picture.width(), 300);
        const QString file = dir + QStringLiteral("/preferences-%1.png").arg(name);
        EXPECT_TRUE(picture.save(file)) << file.toStdString();
        std::printf("picture: %s\n", qPrintable(file));
        prefs->window()->hide();
    }
    QApplication::setPalette(original);
}

int main(int argc, char** argv) {
    return qt::runGuiTests(argc, argv, {qt::GuiPlatform::X11, false});
}
