// What the GUI test programs share: each runs its cases under one QApplication, on a display of
// its own (Xvfb) or offscreen, with a private home and a private session bus, so that nothing
// reaches the real desktop, its settings or its session bus.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace quillo::test {

enum class GuiPlatform {
    X11,        // a private Xvfb display, Qt on xcb
    Offscreen,  // no display at all
};

struct GuiTestOptions {
    GuiPlatform platform = GuiPlatform::Offscreen;
    // Start the stand-in GlobalShortcuts portal on the private session bus.
    bool fakePortal = false;
    // Start the accessibility bus (at-spi-bus-launcher, activated on the private session bus) and
    // turn Qt's AT-SPI bridge on, so that a client such as a screen reader can read the windows.
    bool accessibility = false;
};

// The main() of a GUI test program.
int runGuiTests(int argc, char** argv, const GuiTestOptions& options);

// Why the environment could not be made (an absent tool); empty when it was. Cases that need it
// skip with this reason.
const std::string& guiSkipReason();
// The X display the program runs on (":N"), empty offscreen.
const std::string& guiDisplay();
// The private session bus.
const std::string& guiSessionBusAddress();

// Runs `command` with the program's display and bus; gives its exit status.
int runOnDisplay(const std::string& command, std::string* output = nullptr);

// Waits, running the Qt event loop, until `done` holds or `timeoutMs` passes.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the event loop for `ms`.
void spin(int ms);
// Delivers what has been posted to the main thread so far. After a blocking bus call to a peer
// that sends its signals before its reply, those signals are among it: a test that checks that
// a signal did nothing needs no pause.
void drainPostedEvents();

// Another X client: its own connection to the display, which grabs a key combination on the
// root window first (as a desktop's own shortcut would), holding it until destroyed.
class ForeignKeyGrab {
public:
    // keysym and X modifier mask (Control 4, Mod4 64, ...); `lockVariants` grabs the NumLock
    // and CapsLock combinations too.
    ForeignKeyGrab(unsigned keysym, unsigned modifiers, bool lockVariants = false);
    ~ForeignKeyGrab();
    ForeignKeyGrab(const ForeignKeyGrab&) = delete;
    ForeignKeyGrab& operator=(const ForeignKeyGrab&) = delete;
    // The server granted every grab asked for.
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    void* connection_ = nullptr;
    bool ok_ = false;
    std::string error_;
};

}  // namespace quillo::test
