#include "cli/TerminalProgressWindow.h"

#include "util/Localization.h"
#include "files/Utf8.h"

#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace quillo::cli {

namespace {

// Texts on the line come partly from outside (a volume's label, a path): control bytes and
// escape sequences in them must not reach the terminal, and a broken UTF-8 byte shows as "?".
std::string printable(const std::string& s) { return files::displayText(util::RNWithoutIsolates(s), "?", true); }

// The first `width` characters of a valid UTF-8 text: a line longer than the terminal would
// wrap, and "\r" would then rewrite only its last row.
std::string fitted(const std::string& line, int width) {
    if (width <= 0) return line;
    int chars = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c & 0xC0) != 0x80 && ++chars > width) return line.substr(0, i);
    }
    return line;
}

std::atomic<TerminalProgressWindow*> gInterruptWindow{nullptr};
struct sigaction gPreviousAction;
bool gHandlerInstalled = false;

void onInterrupt(int) {
    // Async-signal-safe: two lock-free atomic operations. SA_RESETHAND has already put the
    // default action back, so the next Ctrl-C ends the program.
    if (TerminalProgressWindow* window = gInterruptWindow.load()) window->stopAction();
}

}  // namespace

TerminalProgressWindow::TerminalProgressWindow(int fd, std::optional<bool> isTerminal)
    : fd_(fd), mainText_(util::RNLocalizedString("erasing_all")) {
    if (isTerminal) {
        isTerminal_ = *isTerminal;
    } else {
        const char* term = std::getenv("TERM");
        isTerminal_ = ::isatty(fd) == 1 && !(term && std::strcmp(term, "dumb") == 0);
    }
}

TerminalProgressWindow::~TerminalProgressWindow() {
    if (gInterruptWindow.load() == this) removeInterruptHandler();
    if (drawn_) close();
}

std::chrono::steady_clock::time_point TerminalProgressWindow::now() const {
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::string TerminalProgressWindow::countStr() const {
    return util::RNLocalizedString("progress_count");
}

void TerminalProgressWindow::setMainText(const std::string& text) {
    if (text == mainText_) return;
    mainText_ = text;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::setInfoText(const std::string& text) {
    if (text == infoText_) return;
    infoText_ = text;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::setCountText(const std::string& text) {
    if (text == countText_) return;
    countText_ = text;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::setSizeText(const std::string& text) {
    if (text == sizeText_) return;
    sizeText_ = text;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::hideInfoSizeFields(bool hide) {
    if (hide == fieldsHidden_) return;
    fieldsHidden_ = hide;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::startIndeterminateAnimation() {
    if (indeterminate_) return;
    indeterminate_ = true;
    markerStep_ = 0;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::startDeterminateAnimation() {
    if (!indeterminate_) return;
    indeterminate_ = false;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::updateProgress(double percent) {
    if (!(percent >= 0)) percent = 0;  // NaN too
    if (percent > 100) percent = 100;
    if (percent == percent_) return;
    percent_ = percent;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::show(erase::RNWindowHandle) {
    if (shown_) return;
    shown_ = true;
    pending_ = true;
    refresh();
}

void TerminalProgressWindow::close() {
    if (drawn_) writeAll("\r\x1b[K\n");
    drawn_ = false;
    shown_ = false;
    pending_ = false;
}

void TerminalProgressWindow::tick() {
    if (indeterminate_) pending_ = true;  // the marker moves on
    refresh();
}

std::string TerminalProgressWindow::composeLine() const {
    std::string bar = "[";
    if (indeterminate_) {
        constexpr int kMarker = 3;
        constexpr int kTravel = kBarWidth - kMarker;
        int p = markerStep_ % (2 * kTravel);
        int pos = p <= kTravel ? p : 2 * kTravel - p;
        bar += std::string(size_t(pos), ' ') + "<=>" + std::string(size_t(kTravel - pos), ' ');
    } else {
        int filled = int(std::lround(percent_ / 100.0 * kBarWidth));
        bar += std::string(size_t(filled), '#') + std::string(size_t(kBarWidth - filled), '.');
    }
    bar += "]";

    std::string line = bar;
    auto add = [&line](const std::string& text) {
        if (!text.empty()) line += "  " + printable(text);
    };
    if (indeterminate_) {
        add(mainText_);
    } else {
        if (!fieldsHidden_) {
            add(countText_);
            add(sizeText_);
        }
        add(infoText_.empty() ? mainText_ : infoText_);
    }
    return line;
}

int TerminalProgressWindow::columns() const {
    if (columns_ > 0) return columns_;
    struct winsize ws {};
    if (::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* c = std::getenv("COLUMNS")) {
        int n = std::atoi(c);
        if (n > 0) return n;
    }
    return 80;
}

void TerminalProgressWindow::refresh() {
    if (!isTerminal_ || !shown_ || !pending_) return;
    auto t = now();
    if (lastDraw_ && t - *lastDraw_ < kMinRedrawInterval) return;  // drawn with a later change
    // One column stays free: writing into the last one makes some terminals wrap at once.
    std::string line = fitted(composeLine(), columns() - 1);
    writeAll("\r" + line + "\x1b[K");
    drawn_ = true;
    pending_ = false;
    lastDraw_ = t;
    if (indeterminate_) ++markerStep_;
}

void TerminalProgressWindow::writeAll(const std::string& bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t w = ::write(fd_, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;  // a terminal that went away: progress is not worth an error
        }
        p += w;
        left -= size_t(w);
    }
}

void installInterruptHandler(TerminalProgressWindow* window) {
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");
    static_assert(std::atomic<TerminalProgressWindow*>::is_always_lock_free,
                  "the signal handler reads the window pointer");
    gInterruptWindow.store(window);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the handler runs once and the default action is back before it starts.
    // SA_RESTART: a prompt waiting for input is not broken off by the first Ctrl-C.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    struct sigaction previous;
    if (::sigaction(SIGINT, &action, &previous) != 0) return;
    if (!gHandlerInstalled) {
        if (previous.sa_handler == SIG_IGN && !(previous.sa_flags & SA_SIGINFO)) {
            // Ignored by whoever started us (a background job): keep it that way.
            ::sigaction(SIGINT, &previous, nullptr);
            gInterruptWindow.store(nullptr);
            return;
        }
        gPreviousAction = previous;
        gHandlerInstalled = true;
    }
}

void removeInterruptHandler() {
    // The action first, then the pointer: once the old action is back no new handler call can
    // start and look at the window.
    if (gHandlerInstalled) {
        ::sigaction(SIGINT, &gPreviousAction, nullptr);
        gHandlerInstalled = false;
    }
    gInterruptWindow.store(nullptr);
}

}  // namespace quillo::cli
