#include "cli/TerminalPromptBackend.h"

#include "cli/Commands.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <vector>

namespace quillo::cli {

using erase::kAlertFirstButtonReturn;
using erase::RNPromptRequest;
using erase::RNPromptResult;

namespace {

std::atomic<bool> gNoTerminalNoticeShown{false};

constexpr int kLivePollMs = 50;

std::string trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string lowered(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Terminal control characters in a text would let a file name move the cursor or change
// colours: show them as '?'.
std::string printable(const std::string& in) {
    const std::string s = util::RNWithoutIsolates(in);
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 && c != '\n' && c != '\t') || u == 0x7f ? '?' : c;
    }
    return out;
}

// The live line must stay one line: it is rewritten in place.
std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\t') c = ' ';
    return s;
}

std::vector<int> offeredButtons(const RNPromptRequest& request) {
    std::vector<int> offered;
    for (std::size_t i = 0; i < request.buttons.size() && i < 3; ++i)
        if (!request.buttons[i].empty()) offered.push_back(int(i));
    return offered;
}

// "1 or 2", "1, 2 or 3".
std::string choiceList(const std::vector<int>& offered) {
    std::string list;
    for (std::size_t i = 0; i + 1 < offered.size(); ++i) list += (i > 0 ? ", " : "") + std::to_string(offered[i] + 1);
    if (offered.empty()) return list;
    const std::string last = std::to_string(offered.back() + 1);
    return list.empty() ? last : text("cli_choice_or", {list, last});
}

}  // namespace

TerminalPromptBackend::TerminalPromptBackend() : TerminalPromptBackend(Options{}) {}

TerminalPromptBackend::TerminalPromptBackend(Options options) : options_(options) {}

TerminalPromptBackend::TerminalPromptBackend(bool assumeYes, int inputFd, int outputFd)
    : options_{assumeYes, inputFd, outputFd} {}

void TerminalPromptBackend::resetNoTerminalNotice() { gNoTerminalNoticeShown = false; }

void TerminalPromptBackend::write(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(options_.outputFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write: the answer is still read or chosen
        done += std::size_t(n);
    }
}

std::string TerminalPromptBackend::fitToTerminal(const std::string& text) const {
    winsize ws{};
    if (::ioctl(options_.outputFd, TIOCGWINSZ, &ws) != 0 || ws.ws_col < 8) return text;
    // Count characters, not bytes, so UTF-8 is never cut in the middle of a character.
    const std::size_t room = ws.ws_col - 1;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (++chars > room) return text.substr(0, i) + "…";
    }
    return text;
}

RNPromptResult TerminalPromptBackend::safeResult(const RNPromptRequest& request) const {
    int safe = request.safeButton;
    if (safe < 0 || safe >= int(request.buttons.size())) safe = 0;
    return RNPromptResult{kAlertFirstButtonReturn + safe, false};
}

RNPromptResult TerminalPromptBackend::answerWithoutTerminal(const RNPromptRequest& request) {
    RNPromptResult result = safeResult(request);
    if (!gNoTerminalNoticeShown.exchange(true)) {
        const std::size_t index = std::size_t(result.answer - kAlertFirstButtonReturn);
        std::string button = index < request.buttons.size() ? request.buttons[index] : std::string();
        if (button.empty()) button = text("cli_button_number", {std::to_string(index + 1)});
        std::string line = "quillo-cli: " + text("cli_no_terminal_answer", {printable(button), printable(request.title)});
        if (request.isEraseConfirmation) line += text("cli_use_yes");
        write(line + "\n");
    }
    return result;
}

TerminalPromptBackend::Read TerminalPromptBackend::readLine(std::string& line,
                                                            const RNPromptRequest& request,
                                                            int liveLinesUp) {
    const bool redrawInPlace = ::isatty(options_.outputFd);
    for (;;) {
        std::size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return Read::Line;
        }

        if (request.liveText) {
            std::string live = fitToTerminal(oneLine(printable(request.liveText())));
            if (live != shownLive_) {
                shownLive_ = live;
                if (redrawInPlace)
                    // Save the cursor, rewrite the live line above it, come back: whatever the
                    // user has typed so far stays where it is.
                    write("\0337\033[" + std::to_string(liveLinesUp) + "A\r\033[K" + live + "\0338");
                else
                    write(live + "\n");
            }
        }

        pollfd pfd{options_.inputFd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, request.liveText ? kLivePollMs : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Read::EndOfInput;
        }
        if (ready == 0) continue;

        char buffer[256];
        ssize_t n = ::read(options_.inputFd, buffer, sizeof buffer);
        if (n > 0) {
            pending_.append(buffer, std::size_t(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // End of input (^D, or the terminal went away: EIO). A last line without its line feed
        // is still an answer.
        if (!pending_.empty()) {
            line.swap(pending_);
            pending_.clear();
            return Read::Line;
        }
        return Read::EndOfInput;
    }
}

bool TerminalPromptBackend::askCheckBox(const std::string& title, const RNPromptRequest& request,
                                        bool* checked) {
    RNPromptRequest plain;  // no live line under the follow-up question
    plain.safeButton = request.safeButton;
    for (;;) {
        write(text("cli_check_box_question", {printable(title)}));
        std::string line;
        if (readLine(line, plain, 0) == Read::EndOfInput) {
            write("\n");
            *checked = false;
            return false;
        }
        std::string answer = lowered(trimmed(line));
        if (answer.empty() || answer == "n" || answer == "no") {
            *checked = false;
            return true;
        }
        if (answer == "y" || answer == "yes") {
            *checked = true;
            return true;
        }
        write(text("cli_answer_y_or_n") + "\n");
    }
}

RNPromptResult TerminalPromptBackend::runModal(const RNPromptRequest& request) {
    const std::vector<int> offered = offeredButtons(request);

    // A report with nothing to choose is printed, never waited on (also without a terminal).
    if (offered.size() <= 1 && !request.checkBoxTitle) {
        std::string text = printable(request.title) + "\n";
        if (!request.message.empty()) text += printable(request.message) + "\n";
        write(text);
        return RNPromptResult{kAlertFirstButtonReturn + (offered.empty() ? 0 : offered.front()), false};
    }

    if (request.isEraseConfirmation && options_.assumeYes) {
        const std::string button = request.buttons.empty() ? std::string() : request.buttons.front();
        write("quillo-cli: " + text("cli_confirmed_by_yes", {printable(request.title), printable(button)}) + "\n");
        return RNPromptResult{kAlertFirstButtonReturn, false};
    }

    if (!::isatty(options_.inputFd)) return answerWithoutTerminal(request);

    std::string text = "\n" + printable(request.title) + "\n";
    if (!request.message.empty()) text += printable(request.message) + "\n";
    for (int index : offered)
        text += "  " + std::to_string(index + 1) + ") " + printable(request.buttons[std::size_t(index)]) + "\n";
    write(text);

    const std::string prompt = cli::text("cli_choose", {choiceList(offered)});
    RNPromptResult result;
    bool answered = false;
    if (offered.empty()) {
        // Only a check box to tick: the one (empty) button is the answer.
        result.answer = kAlertFirstButtonReturn;
        answered = true;
    }
    while (!answered) {
        // The live line stands right above the prompt, so it is always one line up.
        if (request.liveText) {
            shownLive_ = fitToTerminal(oneLine(printable(request.liveText())));
            write(shownLive_ + "\n");
        }
        write(prompt);
        std::string line;
        if (readLine(line, request, 1) == Read::EndOfInput) {
            write("\n");
            return safeResult(request);
        }
        const std::string answer = lowered(trimmed(line));
        for (int index : offered) {
            if (answer == std::to_string(index + 1) ||
                answer == lowered(trimmed(request.buttons[std::size_t(index)]))) {
                result.answer = kAlertFirstButtonReturn + index;
                answered = true;
                break;
            }
        }
        if (!answered) write(cli::text("cli_please_answer", {choiceList(offered)}) + "\n");
    }

    if (request.checkBoxTitle) askCheckBox(*request.checkBoxTitle, request, &result.checkBox);
    return result;
}

void TerminalPromptBackend::beginSheet(const RNPromptRequest& request, erase::RNWindowHandle,
                                       std::function<void(RNPromptResult)> completion) {
    RNPromptResult result = runModal(request);
    if (completion) completion(result);
}

}  // namespace quillo::cli
