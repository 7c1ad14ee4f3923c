// The erase progress panel of quillo-cli: one line on standard error, rewritten in place,
//   [#######.............]  1,234 of 5,000 items  12.34 MB  Emptying the Trash of every volume
// drawn only when that stream is a terminal (a pipe or a log file gets nothing), only after
// show(), and at most ten times a second however often the engine updates it. While the count
// is still being gathered the bar is a moving marker and the line shows the main text.
//
// Ctrl-C is the stop button: installInterruptHandler() makes the first SIGINT set wasStopped()
// and nothing else, and puts the default action back at once, so a second Ctrl-C always ends
// the program.
//
// Main thread only, except wasStopped() (and stopAction(), which the signal handler calls).
#pragma once

#include "erase/RNGenericProgressWindowCntrl.h"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillo::cli {

class TerminalProgressWindow : public erase::RNGenericProgressWindowCntrl {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::milliseconds kMinRedrawInterval{100};
    static constexpr int kBarWidth = 20;

    // Draws on `fd`; whether it is a terminal is asked of the descriptor (and TERM=dumb counts
    // as none, it cannot clear a line) unless `isTerminal` says so.
    explicit TerminalProgressWindow(int fd = STDERR_FILENO, std::optional<bool> isTerminal = std::nullopt);
    // Clears a line still drawn and lets go of the interrupt handler if it points here.
    ~TerminalProgressWindow() override;
    TerminalProgressWindow(const TerminalProgressWindow&) = delete;
    TerminalProgressWindow& operator=(const TerminalProgressWindow&) = delete;

    std::string mainText() const override { return mainText_; }
    void setMainText(const std::string& text) override;
    void setInfoText(const std::string& text) override;
    std::string countStr() const override;
    void setCountText(const std::string& text) override;
    void setSizeText(const std::string& text) override;
    void hideInfoSizeFields(bool hide) override;

    void startIndeterminateAnimation() override;
    void startDeterminateAnimation() override;
    bool isIndeterminate() const override { return indeterminate_; }
    void updateProgress(double percent) override;

    // The sheet parent means nothing on a terminal.
    void show(erase::RNWindowHandle sheetParent) override;
    void close() override;

    // Draws what the rate limit held back and moves the marker of the indeterminate bar; a
    // main loop may call it as often as it likes.
    void tick();

    bool isTerminal() const { return isTerminal_; }
    bool isShown() const { return shown_; }
    // The line as it would be drawn now, without the control sequences.
    std::string composeLine() const;
    double progress() const { return percent_; }

    // Tests: a clock for the rate limit, and a fixed width (0: ask the terminal).
    void setClock(Clock clock) { clock_ = std::move(clock); }
    void setColumns(int columns) { columns_ = columns; }

private:
    void refresh();
    void writeAll(const std::string& bytes);
    int columns() const;
    std::chrono::steady_clock::time_point now() const;

    int fd_;
    bool isTerminal_;
    bool shown_ = false;
    bool drawn_ = false;    // something is on the line
    bool pending_ = false;  // a change waits for the rate limit
    std::optional<std::chrono::steady_clock::time_point> lastDraw_;
    std::string mainText_;
    std::string infoText_;
    std::string countText_;
    std::string sizeText_;
    bool fieldsHidden_ = false;
    bool indeterminate_ = false;
    double percent_ = 0;
    int markerStep_ = 0;
    int columns_ = 0;
    Clock clock_;
};

// Ctrl-C sets `window`'s wasStopped() once; the handler then gives way to the default action.
// The action SIGINT had before the first install comes back with removeInterruptHandler(). A
// process that ignores SIGINT (started in the background) keeps ignoring it.
void installInterruptHandler(TerminalProgressWindow* window);
void removeInterruptHandler();

}  // namespace quillo::cli
