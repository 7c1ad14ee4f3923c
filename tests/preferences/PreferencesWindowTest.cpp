// The preferences window offscreen: recorders, check boxes, the days pop-up, both restore
// buttons and the login item, against real user defaults in a private home.
#include "GuiTestSupport.h"
#include "../gui_support/LayoutCheck.h"

#include "../erase/ScriptedPromptBackend.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "hotkeys/RNHotKeyCenter.h"
#include "support/TestSupport.h"
#include "ui/preferences/RNLoginItem.h"
#include "ui/RNLayoutDirection.h"
#include "ui/preferences/RNPreferencesWindow.h"
#include "util/Localization.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeySequenceEdit>
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

using namespace quillo::erase;
using quillo::ui::RNLoginItem;
using quillo::ui::RNPreferencesWindow;
namespace qt = quillo::test;

namespace {

RNDictionary hotKey(long long key, long long modifiers) {
    return {{"keyCode", RNValue(key)}, {"modifierFlags", RNValue(modifiers)}};
}

class PreferencesWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qt::guiSkipReason().empty()) GTEST_SKIP() << qt::guiSkipReason();
        home = std::make_unique<qt::TempHome>();
        RNUserDefaults::resetStandardUserDefaults();
        controller = std::make_unique<RNUserDefaultsController>(&RNUserDefaults::standardUserDefaults());
        setupDefaultsPreferences(defaults(), *controller);
        backend = std::make_shared<qt::ScriptedPromptBackend>();
        RNErrorDelegate::sharedControl().setBackend(backend);
    }
    void TearDown() override {
        prefs.reset();
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        controller.reset();
        RNUserDefaults::resetStandardUserDefaults();
        home.reset();
    }

    RNUserDefaults& defaults() { return controller->defaults(); }
    RNPreferencesWindow& window() {
        if (!prefs) prefs = std::make_unique<RNPreferencesWindow>(*controller);
        return *prefs;
    }
    template <class T>
    T* child(const char* name) {
        T* w = window().window()->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    std::optional<RNDictionary> stored() { return defaults().persistentDomain(); }

    std::unique_ptr<qt::TempHome> home;
    std::unique_ptr<RNUserDefaultsController> controller;
    std::shared_ptr<qt::ScriptedPromptBackend> backend;
    std::unique_ptr<RNPreferencesWindow> prefs;
};

constexpr long long kCtrl = Qt::ControlModifier, kAlt = Qt::AltModifier, kShift = Qt::ShiftModifier,
                    kMeta = Qt::MetaModifier;

}  // namespace

TEST_F(PreferencesWindow, EmptyRecorderStoresTheFactoryHotKeyWhenTheWindowCloses) {
    defaults().setObject("empty_trash", hotKey(Qt::Key_E, kCtrl | kAlt));
    defaults().setObject("lumo_delete", hotKey(Qt::Key_L, kCtrl | kAlt));
    auto* et = child<QKeySequenceEdit>("etHotKeyFld");
    auto* lm = child<QKeySequenceEdit>("lmHotKeyFld");
    window().openWindowInModal(false);
    EXPECT_EQ(et->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_E));
    EXPECT_EQ(lm->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));

    et->clear();
    lm->clear();
    window().window()->close();  // the title bar's close: the dialog finishes and saves
    ASSERT_TRUE(stored());
    EXPECT_EQ(RNValue::lookup(*stored(), "empty_trash"), RNValue(defaultEmptyTrashHotKey()));
    EXPECT_EQ(RNValue::lookup(*stored(), "lumo_delete"), RNValue(defaultLumoDeleteHotKey()));
    // The recorders show what is stored: Ctrl+Super+Backspace and Shift+Super+S.
    EXPECT_EQ(et->keySequence(), QKeySequence(Qt::CTRL | Qt::META | Qt::Key_Backspace));
    EXPECT_EQ(lm->keySequence(), QKeySequence(Qt::SHIFT | Qt::META | Qt::Key_S));
}

TEST_F(PreferencesWindow, RecordingStoresOneCombinationWithAModifierThatTheOtherHotKeyDoesNotUse) {
    auto* et = child<QKeySequenceEdit>("etHotKeyFld");
    auto* status = child<QWidget>("etHotKeyStatus");
    window().openWindowInModal(false);
    et->setFocus();
    QSignalSpy finished(et, &QKeySequenceEdit::editingFinished);

    // Two combinations in a row: the later one is the hot key (a recorder holds one, not a
    // multi-key sequence).
    QTest::keyClick(et, Qt::Key_K, Qt::ControlModifier | Qt::AltModifier);
    QTest::keyClick(et, Qt::Key_J, Qt::ControlModifier | Qt::AltModifier);
    ASSERT_TRUE(qt::waitUntil([&] { return finished.count() > 0; }, 4000));
    EXPECT_EQ(defaults().objectForKey("empty_trash"), RNValue(hotKey(Qt::Key_J, kCtrl | kAlt)));
    EXPECT_EQ(et->keySequence().count(), 1);
    EXPECT_FALSE(status->isVisibleTo(window().window()));

    // A key without Ctrl, Alt or Super would be taken from typing everywhere: not stored, said so.
    finished.clear();
    et->clear();
    et->setFocus();
    QTest::keyClick(et, Qt::Key_K, Qt::ShiftModifier);
    ASSERT_TRUE(qt::waitUntil([&] { return finished.count() > 0; }, 4000));
    EXPECT_EQ(defaults().objectForKey("empty_trash"), RNValue(hotKey(Qt::Key_J, kCtrl | kAlt)));
    EXPECT_EQ(et->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_J));
    EXPECT_TRUE(status->isVisibleTo(window().window()));
    EXPECT_EQ(status->findChild<QLabel*>("text")->text().toStdString(),
              quillo::util::RNLocalizedString("hot_key_needs_modifier"));

    // The combination of the other hot key: not stored either.
    finished.clear();
    et->clear();
    et->setFocus();
    QTest::keyClick(et, Qt::Key_S, Qt::ShiftModifier | Qt::MetaModifier);
    ASSERT_TRUE(qt::waitUntil([&] { return finished.count() > 0; }, 4000));
    EXPECT_EQ(defaults().objectForKey("empty_trash"), RNValue(hotKey(Qt::Key_J, kCtrl | kAlt)));
    EXPECT_EQ(status->findChild<QLabel*>("text")->text().toStdString(),
              quillo::util::RNLocalizedString("hot_key_taken"));

    // Closing forgets the hint; a valid recording clears it.
    window().window()->close();
    EXPECT_FALSE(status->isVisibleTo(window().window()));
}

// A hot key is one combination: the recorder ends with the first one, at once, and never shows
// Qt's "Ctrl+Alt+L, ..." (waiting for a second). Modifiers alone show as the desktop names them;
// let go without a key they bring back what was recorded before.
TEST_F(PreferencesWindow, TheRecorderTakesOneCombinationAndEndsAtOnce) {
    auto* et = child<QKeySequenceEdit>("etHotKeyFld");
    auto* line = et->findChild<QLineEdit*>();
    ASSERT_NE(line, nullptr);
    window().openWindowInModal(false);
    et->setFocus();
    QSignalSpy finished(et, &QKeySequenceEdit::editingFinished);
    QTest::keyClick(et, Qt::Key_L, Qt::ControlModifier | Qt::AltModifier);
    // No event loop ran: nothing waited for a timer.
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(defaults().objectForKey("empty_trash"), RNValue(hotKey(Qt::Key_L, kCtrl | kAlt)));
    EXPECT_EQ(et->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));
    EXPECT_EQ(line->text(), "Ctrl+Alt+L");

    QTest::keyPress(et, Qt::Key_Control, Qt::ControlModifier);
    QTest::keyPress(et, Qt::Key_Meta, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(line->text(), "Ctrl+Super+");
    QTest::keyRelease(et, Qt::Key_Meta, Qt::ControlModifier | Qt::MetaModifier);
    QTest::keyRelease(et, Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(et->keySequence(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L));
    EXPECT_EQ(line->text(), "Ctrl+Alt+L");
    EXPECT_EQ(finished.count(), 1);

    // The next combination replaces it, in the desktop's spelling.
    QTest::keyClick(et, Qt::Key_Backspace, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(finished.count(), 2);
    EXPECT_EQ(et->keySequence().count(), 1);
    EXPECT_EQ(line->text(), "Ctrl+Super+Backspace");
    EXPECT_EQ(defaults().objectForKey("empty_trash"), RNValue(hotKey(Qt::Key_Backspace, kCtrl | kMeta)));
}

TEST_F(PreferencesWindow, ControlsEditTheDefaultsAndFollowChangesMadeElsewhere) {
    auto* showAlert = child<QCheckBox>("showAlertCheckBtn");
    auto* deleteLocked = child<QCheckBox>("deleteLockedCheckBtn");
    auto* writeLog = child<QCheckBox>("createLogCheckBtn");
    auto* days = child<QComboBox>("createLogPopup");
    window().openWindowInModal(false);
    EXPECT_TRUE(showAlert->isChecked());
    EXPECT_FALSE(deleteLocked->isChecked());
    EXPECT_TRUE(writeLog->isChecked());
    EXPECT_EQ(days->currentData().toInt(), 7);

    showAlert->click();
    deleteLocked->click();
    EXPECT_FALSE(defaults().boolForKey("show_alert"));
    EXPECT_TRUE(defaults().boolForKey("delete_locked"));
    ASSERT_TRUE(stored());
    EXPECT_EQ(RNValue::lookup(*stored(), "show_alert"), RNValue(false)) << "saved to the file";

    const int thirty = days->findData(30);
    ASSERT_GE(thirty, 0);
    days->setCurrentIndex(thirty);
    emit days->activated(thirty);
    EXPECT_EQ(defaults().integerForKey("how_many_days_for_new_log_file"), 30);

    // Without a log the days do not apply.
    writeLog->click();
    EXPECT_FALSE(defaults().boolForKey("write_log"));
    EXPECT_FALSE(days->isEnabled());

    // Changed from outside (the terminal tool, another thread): the window follows, and a day
    // count it does not offer is shown as it is, not replaced.
    defaults().setBool("show_alert", true);
    defaults().setInteger("how_many_days_for_new_log_file", 5);
    std::thread([this] { defaults().setBool("delete_locked", false); }).join();
    qt::drainPostedEvents();  // the change from the other thread reaches the window posted
    EXPECT_TRUE(showAlert->isChecked());
    EXPECT_FALSE(deleteLocked->isChecked());
    EXPECT_EQ(days->currentData().toInt(), 5);
    EXPECT_EQ(defaults().integerForKey("how_many_days_for_new_log_file"), 5);
}

TEST_F(PreferencesWindow, RestoreValuesResetsTheGeneralPreferencesAndNothingElse) {
    defaults().setObject("empty_trash", hotKey(Qt::Key_E, kCtrl | kAlt));
    defaults().setBool("show_alert", false);
    defaults().setBool("delete_locked", true);
    defaults().setBool("write_log", false);
    defaults().setInteger("how_many_days_for_new_log_file", 30);
    defaults().setString("lumo_delete_window", "{{10, 20}, {800, 600}}");
    defaults().setBool("show_install_helper_tool", true);
    defaults().setBool("is_first_run", false);
    auto* et = child<QKeySequenceEdit>("etHotKeyFld");
    auto* deleteLocked = child<QCheckBox>("deleteLockedCheckBtn");
    window().openWindowInModal(false);
    EXPECT_TRUE(deleteLocked->isChecked());

    child<QPushButton>("restoreBtn")->click();
    ASSERT_TRUE(stored());
    const RNDictionary domain = *stored();
    EXPECT_EQ(RNValue::lookup(domain, "empty_trash"), RNValue(defaultEmptyTrashHotKey()));
    EXPECT_EQ(RNValue::lookup(domain, "show_alert"), RNValue(true));
    EXPECT_EQ(RNValue::lookup(domain, "delete_locked"), RNValue(false));
    EXPECT_EQ(RNValue::lookup(domain, "write_log"), RNValue(true));
    EXPECT_EQ(RNValue::lookup(domain, "how_many_days_for_new_log_file"), RNValue(7));
    EXPECT_EQ(RNValue::lookup(domain, "lumo_delete_window"), RNValue("")) << "the saved window frame is forgotten";
    // Not general preferences: kept.
    EXPECT_EQ(RNValue::lookup(domain, "show_install_helper_tool"), RNValue(true));
    EXPECT_EQ(RNValue::lookup(domain, "is_first_run"), RNValue(false));
    // Keys that were never stored are not added.
    EXPECT_EQ(domain.count("lumo_delete"), 0u);
    EXPECT_EQ(domain.count("launch_at_login"), 0u);
    // The window shows the factory values.
    EXPECT_EQ(et->keySequence(), QKeySequence(Qt::CTRL | Qt::META | Qt::Key_Backspace));
    EXPECT_FALSE(deleteLocked->isChecked());
}

TEST_F(PreferencesWindow, RestoreWarningsBringsBackTheHelperQuestion) {
    defaults().setBool("show_install_helper_tool", true);
    defaults().setBool("show_alert", false);
    window().openWindowInModal(false);
    child<QPushButton>("restoreWarnings")->click();
    EXPECT_FALSE(defaults().boolForKey("show_install_helper_tool"));
    EXPECT_FALSE(defaults().boolForKey("show_alert")) << "a preference, not a silenced warning";
}

TEST_F(PreferencesWindow, LoginItemFollowsTheCheckBox) {
    const QString path = RNLoginItem::path();
    EXPECT_EQ(path.toStdString(), home->configHome() + "/autostart/org.quillo.quillo-3.desktop");
    auto* launch = child<QCheckBox>("launchCheckBtn");
    window().openWindowInModal(false);
    EXPECT_FALSE(launch->isChecked());
    EXPECT_FALSE(QFile::exists(path));

    launch->click();
    EXPECT_TRUE(defaults().boolForKey("launch_at_login"));
    ASSERT_TRUE(QFile::exists(path));
    const std::string entry = qt::readFile(path.toStdString());
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=\"" + QCoreApplication::applicationFilePath().toStdString() + "\"\n"),
              std::string::npos)
        << entry;
    EXPECT_EQ(backend->calls(), 0);

    launch->click();
    EXPECT_FALSE(QFile::exists(path));
    // Restoring the factory values turns it off as well.
    launch->click();
    ASSERT_TRUE(QFile::exists(path));
    child<QPushButton>("restoreBtn")->click();
    EXPECT_FALSE(launch->isChecked());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(backend->calls(), 0);
}

TEST_F(PreferencesWindow, ExecLineQuotesAnyProgramPath) {
    // Desktop-entry quoting: the path in double quotes with " ` $ \ escaped, then backslashes
    // doubled for the string value, and % doubled so it is no field code.
    const QString entry = RNLoginItem::desktopEntry(QStringLiteral("/opt/my apps/50% \"q\"/$HOME\\quillo"));
    EXPECT_TRUE(entry.contains(QStringLiteral("\nExec=\"/opt/my apps/50%% \\\\\"q\\\\\"/\\\\$HOME\\\\\\\\quillo\"\n")))
        << entry.toStdString();
}

TEST_F(PreferencesWindow, UnwritableAutostartFolderSaysLoginError) {
    // A file where the folder should be: no one, not even root, can create the entry.
    qt::makeDirs(home->configHome());
    qt::writeFile(home->configHome() + "/autostart", "not a folder");
    auto* launch = child<QCheckBox>("launchCheckBtn");
    window().openWindowInModal(false);
    launch->click();
    ASSERT_EQ(backend->calls(), 1);
    EXPECT_EQ(backend->last().title, quillo::util::RNLocalizedString("login_error", "Errors"));
    EXPECT_FALSE(backend->last().message.empty()) << "the reason is given";
    // The preference keeps the user's choice.
    EXPECT_TRUE(defaults().boolForKey("launch_at_login"));
    EXPECT_TRUE(launch->isChecked());
}

TEST_F(PreferencesWindow, UnwritableAutostartFolderSaysLoginErrorForRootToo) {
    if (!qt::isRoot() || !qt::haveTool("chattr")) GTEST_SKIP() << "needs root and chattr";
    const std::string folder = home->configHome() + "/autostart";
    qt::makeDirs(folder);
    qt::writeFile(folder + "/org.quillo.quillo-3.desktop", "[Desktop Entry]\n");
    if (qt::run("chattr +i " + qt::shellQuote(folder) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "the file system has no immutable flag";
    defaults().setBool("launch_at_login", true);
    auto* launch = child<QCheckBox>("launchCheckBtn");
    window().openWindowInModal(false);
    launch->click();  // off: the entry cannot be removed from an immutable folder
    qt::run("chattr -i " + qt::shellQuote(folder));
    ASSERT_EQ(backend->calls(), 1);
    EXPECT_EQ(backend->last().title, quillo::util::RNLocalizedString("login_error", "Errors"));
    EXPECT_FALSE(defaults().boolForKey("launch_at_login"));
}

TEST_F(PreferencesWindow, DesktopWithoutGlobalHotKeysIsSaid) {
    // Offscreen, with no portal on the session bus.
    auto& center = quillo::hotkeys::RNHotKeyCenter::sharedCenter();
    ASSERT_FALSE(center.isAvailable());
    EXPECT_EQ(center.registerHotKey("values.empty_trash", Qt::Key_Backspace, Qt::ControlModifier | Qt::MetaModifier),
              quillo::hotkeys::RNHotKeyCenter::Status::Unavailable);
    window().openWindowInModal(false);
    EXPECT_TRUE(child<QLabel>("hotKeysUnavailable")->isVisibleTo(window().window()));
    // Not reported as refused: nothing holds the combination.
    EXPECT_FALSE(child<QWidget>("etHotKeyStatus")->isVisibleTo(window().window()));
    // A picture for a look.
    QString dir = qEnvironmentVariable("QUILLO_SCREENSHOT_DIR", QStringLiteral(QUILLO_DEFAULT_SCREENSHOT_DIR));
    QDir().mkpath(dir);
    EXPECT_TRUE(window().window()->grab().save(dir + "/preferences-no-hot-keys.png"));
    center.unregisterHotKey("values.empty_trash");
}

TEST_F(PreferencesWindow, HotKeyValuesThatAreNoKeyShowAnEmptyRecorder) {
    EXPECT_TRUE(RNPreferencesWindow::keySequenceFromDictionary(RNValue()).isEmpty());
    EXPECT_TRUE(RNPreferencesWindow::keySequenceFromDictionary(RNValue("ctrl+x")).isEmpty());
    EXPECT_TRUE(RNPreferencesWindow::keySequenceFromDictionary(RNValue(hotKey(0, kCtrl))).isEmpty());
    EXPECT_TRUE(RNPreferencesWindow::keySequenceFromDictionary(RNValue(hotKey(-5, kCtrl))).isEmpty());
    EXPECT_TRUE(RNPreferencesWindow::keySequenceFromDictionary(RNValue(hotKey(Qt::Key_S + 0x02000000LL, 0))).isEmpty());
    EXPECT_EQ(RNPreferencesWindow::keySequenceFromDictionary(RNValue(hotKey(Qt::Key_S, kShift | kMeta))),
              QKeySequence(Qt::SHIFT | Qt::META | Qt::Key_S));
    EXPECT_EQ(RNPreferencesWindow::dictionaryFromKeySequence(QKeySequence(Qt::SHIFT | Qt::META | Qt::Key_S)),
              hotKey(Qt::Key_S, kShift | kMeta));
    // Shown as the desktop names the keys, Super after Ctrl, in the recorder too.
    EXPECT_EQ(RNPreferencesWindow::hotKeyText(QKeySequence(Qt::CTRL | Qt::META | Qt::Key_Backspace)),
              "Ctrl+Super+Backspace");
    EXPECT_EQ(RNPreferencesWindow::hotKeyText(QKeySequence(Qt::SHIFT | Qt::META | Qt::ALT | Qt::Key_S)),
              "Alt+Shift+Super+S");
    EXPECT_EQ(child<QKeySequenceEdit>("etHotKeyFld")->findChild<QLineEdit*>()->text(), "Ctrl+Super+Backspace");

    // A corrupt value in the file does not break the window: the recorder is empty, and closing
    // stores the factory hot key.
    defaults().setObject("lumo_delete", RNValue("garbage"));
    window().openWindowInModal(false);
    EXPECT_TRUE(child<QKeySequenceEdit>("lmHotKeyFld")->keySequence().isEmpty());
    window().window()->close();
    EXPECT_EQ(defaults().objectForKey("lumo_delete"), RNValue(defaultLumoDeleteHotKey()));
}

int main(int argc, char** argv) {
    return qt::runGuiTests(argc, argv, {qt::GuiPlatform::Offscreen, false});
}

namespace {

void saveShot(QWidget* w, const char* name) {
    QString dir = qEnvironmentVariable("QUILLO_SCREENSHOT_DIR");
    if (dir.isEmpty()) dir = QStringLiteral(QUILLO_DEFAULT_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    w->grab().save(dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

void setVariable(const char* name, const char* value) {
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
}

}  // namespace

// Every text 40 % longer (the pseudo-language the build makes) still fits at the window's
// default size, and a right-to-left language mirrors the window and isolates names.
TEST_F(PreferencesWindow, LongerTextsFitAndRightToLeftMirrors) {
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"LANGUAGE", "LANG", "LC_ALL", "LC_MESSAGES", "QUILLO_LOCALEDIR"}) {
        const char* v = std::getenv(name);
        saved[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    struct Restore {
        std::map<std::string, std::optional<std::string>>& saved;
        ~Restore() {
            for (const auto& [n, v] : saved) setVariable(n.c_str(), v ? v->c_str() : nullptr);
            quillo::ui::applyLayoutDirection();
        }
    } restore{saved};
    setVariable("LC_ALL", nullptr);
    setVariable("LC_MESSAGES", nullptr);
    setVariable("LANG", "en_US.UTF-8");
    setVariable("LANGUAGE", "qps");
    ASSERT_EQ(quillo::util::localizedText("close_btn").substr(0, 1), "[") << "the build's qps catalog is not found";

    QWidget* shown = window().window();
    shown->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(shown));
    const std::vector<std::string> faults = qt::layoutFaults(shown);
    for (const auto& f : faults) ADD_FAILURE() << f;
    saveShot(shown, "preferences-pseudo");
    prefs.reset();

    // Hebrew, from a catalog of our own: the layout mirrors, names in texts are isolated.
    const std::string locale = home->root() + "/locale";
    QDir().mkpath(QString::fromStdString(locale + "/he/LC_MESSAGES"));
    {
        QFile po(QString::fromStdString(locale + "/he.po"));
        ASSERT_TRUE(po.open(QIODevice::WriteOnly));
        po.write("msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                 "msgctxt \"close_btn\"\nmsgid \"Close\"\nmsgstr \"\xd7\xa1\xd7\x92\xd7\x99\xd7\xa8\xd7\x94\"\n");
    }
    ASSERT_EQ(std::system(("msgfmt -o '" + locale + "/he/LC_MESSAGES/quillo.mo' '" + locale + "/he.po'").c_str()), 0);
    setVariable("QUILLO_LOCALEDIR", locale.c_str());
    setVariable("LANGUAGE", "he");
    quillo::ui::applyLayoutDirection();
    EXPECT_EQ(QApplication::layoutDirection(), Qt::RightToLeft);
    EXPECT_TRUE(window().window()->isRightToLeft());
    EXPECT_EQ(quillo::util::RNIsolated("report (2).txt"), "\u2068report (2).txt\u2069");
    window().window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window().window()));
    saveShot(window().window(), "preferences-rtl");

    setVariable("LANGUAGE", "qps");
    EXPECT_EQ(quillo::util::RNIsolated("report (2).txt"), "report (2).txt");
}
