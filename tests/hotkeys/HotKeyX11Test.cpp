// The X11 way, on a private Xvfb display: real key grabs, real key presses from xdotool (XTEST),
// and another X client that holds a combination first.
#include "GuiTestSupport.h"

#include "hotkeys/RNHotKeyCenter.h"
#include "support/TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using quillo::hotkeys::RNHotKeyCenter;
using Status = RNHotKeyCenter::Status;
namespace qt = quillo::test;

namespace {

constexpr unsigned kCtrlMeta = Qt::ControlModifier | Qt::MetaModifier;
constexpr unsigned kXControl = 4;
constexpr unsigned kXMod4 = 64;
constexpr unsigned kKeysymBackSpace = 0xff08;
const QString kEmptyTrash = QStringLiteral("values.empty_trash");
const QString kLumoDelete = QStringLiteral("values.lumo_delete");

class X11HotKeys : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qt::guiSkipReason().empty()) GTEST_SKIP() << qt::guiSkipReason();
        if (!qt::haveTool("xdotool")) GTEST_SKIP() << "xdotool is not installed";
        ASSERT_EQ(center().backend(), RNHotKeyCenter::Backend::X11);
    }
    void TearDown() override {
        center().unregisterHotKey(kEmptyTrash);
        center().unregisterHotKey(kLumoDelete);
        qt::spin(50);
    }
    static RNHotKeyCenter& center() { return RNHotKeyCenter::sharedCenter(); }

    // Presses keys on the display through XTEST; the events go through the X server exactly as
    // a keyboard's would.
    static void press(const std::string& keys) {
        ASSERT_EQ(qt::run("xdotool key --clearmodifiers " + keys), 0) << keys;
    }
    // The presses of `identifier` that arrive within `ms`.
    static int pressesWithin(QSignalSpy& spy, const QString& identifier, int ms) {
        qt::spin(ms);
        int n = 0;
        for (const auto& args : spy) n += args.at(0).toString() == identifier;
        return n;
    }
};

}  // namespace

TEST_F(X11HotKeys, PressedHotKeyActsOnceWhateverTheLockKeys) {
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    ASSERT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Registered);
    EXPECT_EQ(center().status(kEmptyTrash), Status::Registered);

    press("ctrl+super+BackSpace");
    ASSERT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; })) << "the hot key did not act";
    EXPECT_EQ(spy.at(0).at(0).toString(), kEmptyTrash);
    EXPECT_EQ(pressesWithin(spy, kEmptyTrash, 200), 1) << "one press, one action";

    // The server matches modifiers exactly: NumLock and CapsLock must not switch it off.
    spy.clear();
    press("Num_Lock");
    press("ctrl+super+BackSpace");
    press("Caps_Lock");
    press("ctrl+super+BackSpace");
    press("Num_Lock");
    press("ctrl+super+BackSpace");
    press("Caps_Lock");
    EXPECT_TRUE(qt::waitUntil([&] { return spy.count() >= 3; })) << spy.count() << " of 3 presses acted";

    // Other combinations of the same key do nothing.
    spy.clear();
    press("BackSpace");
    press("ctrl+BackSpace");
    press("ctrl+shift+super+BackSpace");
    EXPECT_EQ(pressesWithin(spy, kEmptyTrash, 300), 0);
}

TEST_F(X11HotKeys, TwoHotKeysActEachForItself) {
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    ASSERT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Registered);
    ASSERT_EQ(center().registerHotKey(kLumoDelete, Qt::Key_S, Qt::ShiftModifier | Qt::MetaModifier),
              Status::Registered);
    press("shift+super+s");
    ASSERT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; }));
    EXPECT_EQ(spy.at(0).at(0).toString(), kLumoDelete);
    EXPECT_EQ(pressesWithin(spy, kEmptyTrash, 200), 0);
}

TEST_F(X11HotKeys, CombinationHeldByAnotherClientIsRefusedAndLeavesNoHalfGrab) {
    QSignalSpy changes(&center(), &RNHotKeyCenter::statusChanged);
    {
        // Only the plain combination is taken: the NumLock/CapsLock variants would be free, and
        // a hot key that works only with NumLock lit must not be left behind.
        qt::ForeignKeyGrab other(kKeysymBackSpace, kXControl | kXMod4);
        ASSERT_TRUE(other.ok()) << other.error();
        EXPECT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Refused);
        EXPECT_EQ(center().status(kEmptyTrash), Status::Refused);
        EXPECT_TRUE(center().hasHotKey(kEmptyTrash));
        ASSERT_GE(changes.count(), 1);
        EXPECT_EQ(changes.last().at(0).toString(), kEmptyTrash);

        // Every variant was given back: a third client can take them all, NumLock ones included.
        qt::ForeignKeyGrab third(kKeysymBackSpace, kXControl | kXMod4 | 16 /* Mod2 = NumLock */);
        EXPECT_TRUE(third.ok()) << "a NumLock variant stayed grabbed: " << third.error();
    }
    // The other program has gone: registering again succeeds and the key acts.
    qt::spin(100);
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    EXPECT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Registered);
    press("ctrl+super+BackSpace");
    EXPECT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; }));
}

TEST_F(X11HotKeys, ChangingAHotKeyReleasesTheOldCombinationAtOnce) {
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    ASSERT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Backspace, kCtrlMeta), Status::Registered);
    ASSERT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Delete, kCtrlMeta), Status::Registered);

    // The old combination is free on the server (another program can take it) and does nothing.
    {
        qt::ForeignKeyGrab other(kKeysymBackSpace, kXControl | kXMod4, /*lockVariants=*/true);
        EXPECT_TRUE(other.ok()) << "the old combination is still grabbed: " << other.error();
    }
    press("ctrl+super+BackSpace");
    EXPECT_EQ(pressesWithin(spy, kEmptyTrash, 300), 0);

    press("ctrl+super+Delete");
    ASSERT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; }));
    EXPECT_EQ(spy.at(0).at(0).toString(), kEmptyTrash);

    // Unregistered: nothing acts, and the status says so.
    spy.clear();
    center().unregisterHotKey(kEmptyTrash);
    EXPECT_FALSE(center().hasHotKey(kEmptyTrash));
    press("ctrl+super+Delete");
    EXPECT_EQ(pressesWithin(spy, kEmptyTrash, 300), 0);
}

TEST_F(X11HotKeys, KeysWithoutAnXSymbolAreRefused) {
    // Qt::Key_Shift alone is no hot key; a key no keyboard has cannot be grabbed.
    EXPECT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_Shift, kCtrlMeta), Status::Refused);
    EXPECT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_F35, kCtrlMeta), Status::Refused);
}

TEST_F(X11HotKeys, NewKeyboardMappingIsGrabbedAgain) {
    if (!qt::haveTool("xmodmap")) GTEST_SKIP() << "xmodmap is not installed";
    // A key code the keymap leaves empty ("keycode N =").
    std::string map;
    ASSERT_EQ(qt::run("xmodmap -pke | sed -n 's/^keycode *\\([0-9]*\\) *= *$/\\1/p' | tail -1", &map), 0);
    const std::string freeCode = map.substr(0, map.find('\n'));
    if (freeCode.empty()) GTEST_SKIP() << "the keymap has no free key code";
    // F20 is on no key of this keyboard: the hot key cannot be grabbed...
    QSignalSpy changes(&center(), &RNHotKeyCenter::statusChanged);
    ASSERT_EQ(center().registerHotKey(kEmptyTrash, Qt::Key_F20, kCtrlMeta), Status::Refused);
    ASSERT_EQ(center().registerHotKey(kLumoDelete, Qt::Key_S, Qt::ShiftModifier | Qt::MetaModifier),
              Status::Registered);
    changes.clear();
    // ...until a keymap tool puts it on one. The centre takes in the new map and grabs it.
    ASSERT_EQ(qt::run("xmodmap -e 'keycode " + freeCode + " = F20'"), 0);
    EXPECT_TRUE(qt::waitUntil([&] { return center().status(kEmptyTrash) == Status::Registered; }));
    EXPECT_GE(changes.count(), 1);
    QSignalSpy spy(&center(), &RNHotKeyCenter::hotKeyPressed);
    press("ctrl+super+F20");
    EXPECT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; }));
    // The other hot key went through the new grab unharmed.
    spy.clear();
    press("shift+super+s");
    EXPECT_TRUE(qt::waitUntil([&] { return spy.count() >= 1; }));
    EXPECT_EQ(spy.value(0).value(0).toString(), kLumoDelete);
    qt::run("xmodmap -e 'keycode " + freeCode + " = '");
}

int main(int argc, char** argv) {
    return qt::runGuiTests(argc, argv, {qt::GuiPlatform::X11, false});
}
