#include "GuiTestSupport.h"

#include "support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#ifndef QUILLO_FAKE_PORTAL
#error "QUILLO_FAKE_PORTAL must name the stand-in portal script"
#endif

namespace quillo::test {

namespace {

std::string gSkipReason;
std::string gDisplay;
std::string gBusAddress;

// Reads one line from `fd` within `timeoutMs`; nullopt on timeout or end of file.
std::optional<std::string> readLine(int fd, int timeoutMs) {
    std::string line;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line += c;
    }
}

// A child process started with one pipe for a line it reports when ready; stopped (TERM, then
// KILL) and reaped on destruction.
class Child {
public:
    // `argv` is run with the pipe's write end as descriptor `fdNumber` (by number) and, if
    // `asStdout`, as its standard output.
    bool start(std::vector<std::string> argv, bool asStdout, int fdNumber, std::string& firstLine,
               int timeoutMs, std::string& error) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            error = std::strerror(errno);
            return false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            int target = asStdout ? STDOUT_FILENO : fdNumber;
            if (fds[1] == target)
                ::fcntl(target, F_SETFD, 0);
            else
                ::dup2(fds[1], target);  // dup2 clears close-on-exec on the copy
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            error = std::strerror(errno);
            return false;
        }
        auto line = readLine(fds[0], timeoutMs);
        ::close(fds[0]);
        if (!line) {
            error = argv[0] + " did not start";
            stop();
            return false;
        }
        firstLine = *line;
        return true;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            ::usleep(20000);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~Child() { stop(); }

private:
    pid_t pid_ = -1;
};

std::string busConfig(const std::string& dir) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:dir=" + dir + "</listen>\n"
           "  <servicedir>" + dir + "/services</servicedir>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

}  // namespace

const std::string& guiSkipReason() { return gSkipReason; }
const std::string& guiDisplay() { return gDisplay; }
const std::string& guiSessionBusAddress() { return gBusAddress; }

int runOnDisplay(const std::string& command, std::string* output) { return run(command, output); }

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void drainPostedEvents() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void spin(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

int runGuiTests(int argc, char** argv, const GuiTestOptions& options) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the cases (CTest does this at build time) needs no display.
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

    TempHome home;
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("DISPLAY");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // No desktop settings reach the tests: fixed style, no platform theme.
    ::unsetenv("QT_QPA_PLATFORMTHEME");
    ::unsetenv("QT_STYLE_OVERRIDE");
    ::setenv("QT_ACCESSIBILITY", "0", 1);

    Child bus;
    Child portal;
    Child xvfb;
    const std::string busDir = home.root() + "/bus";
    makeDirs(busDir, 0700);
    writeFile(busDir + "/session.conf", busConfig(busDir));
    // Only the services the tests ask for are activatable on the private bus.
    makeDirs(busDir + "/services", 0700);
    const char* const launcher = "/usr/libexec/at-spi-bus-launcher";
    if (options.accessibility && ::access(launcher, X_OK) == 0)
        writeFile(busDir + "/services/org.a11y.Bus.service",
                  std::string("[D-BUS Service]\nName=org.a11y.Bus\nExec=") + launcher + "\n");
    std::string error;
    if (!haveTool("dbus-daemon")) {
        gSkipReason = "dbus-daemon is not installed";
        // Nothing may reach the real session bus.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + busDir + "/none").c_str(), 1);
    } else if (!bus.start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + busDir + "/session.conf",
                           "--print-address=3"},
                          false, 3, gBusAddress, 10000, error)) {
        gSkipReason = "the private session bus did not start: " + error;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + busDir + "/none").c_str(), 1);
    } else {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", gBusAddress.c_str(), 1);
    }

    if (gSkipReason.empty() && options.fakePortal) {
        std::string ready;
        // The system's Python, where python3-dbus and python3-gi are installed (not whatever
        // python3 comes first in PATH).
        if (run("/usr/bin/python3 -c 'import dbus, dbus.mainloop.glib; from gi.repository import GLib' 2>/dev/null") != 0)
            gSkipReason = "python3-dbus or python3-gi is not installed";
        else if (!portal.start({"/usr/bin/python3", QUILLO_FAKE_PORTAL}, true, 1, ready, 15000, error))
            gSkipReason = "the stand-in portal did not start: " + error;
    }

    if (gSkipReason.empty() && options.platform == GuiPlatform::X11) {
        std::string number;
        if (!haveTool("Xvfb"))
            gSkipReason = "Xvfb is not installed";
        else if (!xvfb.start({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"},
                             false, 3, number, 15000, error))
            gSkipReason = "Xvfb did not start: " + error;
        else {
            gDisplay = ":" + number;
            ::setenv("DISPLAY", gDisplay.c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        }
    }

    if (gSkipReason.empty() && options.accessibility) {
        if (::access(launcher, X_OK) != 0)
            gSkipReason = "at-spi2-core is not installed";
        else if (run("/usr/bin/python3 -c 'import pyatspi' 2>/dev/null") != 0)
            gSkipReason = "python3-pyatspi is not installed";
        // Asking for the address starts the accessibility bus and answers once it is up.
        else if (run("dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress "
                     ">/dev/null") != 0)
            gSkipReason = "the accessibility bus did not start";
        else {
            ::setenv("QT_ACCESSIBILITY", "1", 1);
            ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
        }
    }

    int rc;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    portal.stop();
    xvfb.stop();
    bus.stop();
    return rc;
}

ForeignKeyGrab::ForeignKeyGrab(unsigned keysym, unsigned modifiers, bool lockVariants) {
    xcb_connection_t* c = xcb_connect(gDisplay.c_str(), nullptr);
    connection_ = c;
    if (!c || xcb_connection_has_error(c)) {
        error_ = "cannot connect to " + gDisplay;
        return;
    }
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(c);
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    std::vector<unsigned> variants{0};
    if (lockVariants) variants = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
    ok_ = codes && *codes != XCB_NO_SYMBOL;
    if (!ok_) error_ = "no key code for the symbol";
    for (xcb_keycode_t* k = codes; ok_ && *k != XCB_NO_SYMBOL; ++k)
        for (unsigned v : variants) {
            auto cookie = xcb_grab_key_checked(c, 0, root, uint16_t(modifiers | v), *k, XCB_GRAB_MODE_ASYNC,
                                               XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t* e = xcb_request_check(c, cookie)) {
                ok_ = false;
                error_ = "the grab was refused (X error " + std::to_string(e->error_code) + ")";
                std::free(e);
            }
        }
    std::free(codes);
    xcb_key_symbols_free(symbols);
    xcb_flush(c);
}

ForeignKeyGrab::~ForeignKeyGrab() {
    if (connection_) xcb_disconnect(static_cast<xcb_connection_t*>(connection_));
}

}  // namespace quillo::test
