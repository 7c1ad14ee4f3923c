// quillo-cli's way of asking: every prompt of the engine becomes a question on the terminal.
//
// A prompt prints its title, its explanation and its buttons numbered by position (1 to 3; a
// button without a text is not offered) and reads the number, or the button's text, from the
// input. A check box ("apply to all", "do not ask again") is a y/n follow-up question. The
// confirmation's size line is printed above the choices and redrawn while the user thinks, as
// the count comes in. Prompts go to standard error so that standard output stays clean for data.
//
// It never waits when it cannot be answered: with no terminal on the input (a pipe, a cron job)
// every prompt gets its safe choice at once, and one line per process says so. End of input
// counts as the safe choice too. The erase confirmation is the one exception: `assumeYes`
// (--yes) confirms it with its first button without asking.
//
// Sheets are modal here: a terminal has no windows.
#pragma once

#include "erase/RNPromptBackend.h"

#include <string>

namespace quillo::cli {

class TerminalPromptBackend : public erase::RNPromptBackend {
public:
    struct Options {
        bool assumeYes = false;  // confirm erasing without asking
        int inputFd = 0;
        int outputFd = 2;
    };

    TerminalPromptBackend();
    explicit TerminalPromptBackend(Options options);
    explicit TerminalPromptBackend(bool assumeYes, int inputFd = 0, int outputFd = 2);

    erase::RNPromptResult runModal(const erase::RNPromptRequest& request) override;
    void beginSheet(const erase::RNPromptRequest& request, erase::RNWindowHandle parent,
                    std::function<void(erase::RNPromptResult)> completion) override;

    // The "no terminal" line is printed once per process; tests start over with this.
    static void resetNoTerminalNotice();

private:
    enum class Read { Line, EndOfInput };

    erase::RNPromptResult safeResult(const erase::RNPromptRequest& request) const;
    erase::RNPromptResult answerWithoutTerminal(const erase::RNPromptRequest& request);
    // Reads one line (without its line feed). While waiting, redraws the live line when its
    // text changes; `liveLinesUp` is how many lines above the cursor's line it stands.
    Read readLine(std::string& line, const erase::RNPromptRequest& request, int liveLinesUp);
    void write(const std::string& text) const;
    std::string fitToTerminal(const std::string& text) const;
    bool askCheckBox(const std::string& title, const erase::RNPromptRequest& request, bool* checked);

    Options options_;
    std::string pending_;  // bytes read past the last line, kept for the next question
    std::string shownLive_;
};

}  // namespace quillo::cli
