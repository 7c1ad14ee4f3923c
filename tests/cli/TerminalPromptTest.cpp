#include "cli/TerminalPromptBackend.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

using quillo::cli::TerminalPromptBackend;
using namespace quillo::erase;

namespace {

// A pseudo-terminal: the backend reads and writes the slave side, the test plays the user on
// the master side.
struct Pty {
    int master = -1;
    int slave = -1;
    explicit Pty(unsigned short columns = 0) {
        winsize ws{};
        ws.ws_col = columns;
        ws.ws_row = 24;
        if (::openpty(&master, &slave, nullptr, nullptr, &ws) != 0) return;
        termios t{};
        ::tcgetattr(slave, &t);
        t.c_lflag &= ~tcflag_t(ECHO);  // the typed answers would only clutter the output
        ::tcsetattr(slave, TCSANOW, &t);
    }
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    bool ok() const { return master >= 0 && slave >= 0; }
    void type(const std::string& text) const { ASSERT_EQ(::write(master, text.data(), text.size()), ssize_t(text.size())); }
};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() { closeWrite(); if (fd[0] >= 0) ::close(fd[0]); }
    int readEnd() const { return fd[0]; }
    int writeEnd() const { return fd[1]; }
    void closeWrite() { if (fd[1] >= 0) ::close(fd[1]); fd[1] = -1; }
};

// Everything readable from `fd` right now (or until `until` appears, at most `timeout`).
std::string drain(int fd, const std::string& until = {},
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(20)) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!until.empty() && out.find(until) != std::string::npos) return out;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return out;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) return out;
        char buf[512];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.append(buf, std::size_t(n));
    }
}

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

RNPromptRequest itemQuestion(bool checkBox = false) {
    RNPromptRequest r;
    r.title = "“report.pdf” is locked.";
    r.message = "Erase it anyway, or skip it?";
    r.buttons = {"Skip", "Erase", ""};
    if (checkBox) r.checkBoxTitle = "Apply to all";
    r.safeButton = 0;
    return r;
}

RNPromptRequest confirmation(std::function<std::string()> live = {}) {
    RNPromptRequest r;
    r.style = RNPromptRequest::Style::Critical;
    r.title = "Empty the Trash of every volume?";
    r.message = "This cannot be undone.";
    r.buttons = {"Empty Trash", "Cancel"};
    r.safeButton = 1;
    r.isEraseConfirmation = true;
    r.liveText = std::move(live);
    return r;
}

class EraseTerminalPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal available";
        TerminalPromptBackend::resetNoTerminalNotice();
    }
    TerminalPromptBackend onPty(bool assumeYes = false) {
        return TerminalPromptBackend(assumeYes, pty.slave, out.writeEnd());
    }
    Pty pty;
    Pipe out;
};

}  // namespace

TEST_F(EraseTerminalPromptTest, NumberedButtonsAnsweredByNumberOrText) {
    auto backend = onPty();
    pty.type("2\n");
    RNPromptResult r = backend.runModal(itemQuestion());
    EXPECT_EQ(r.answer, kAlertSecondButtonReturn);
    EXPECT_FALSE(r.checkBox);

    std::string shown = drain(out.readEnd());
    EXPECT_NE(shown.find("“report.pdf” is locked."), std::string::npos);
    EXPECT_NE(shown.find("Erase it anyway, or skip it?"), std::string::npos);
    EXPECT_NE(shown.find("  1) Skip\n"), std::string::npos);
    EXPECT_NE(shown.find("  2) Erase\n"), std::string::npos);
    EXPECT_EQ(shown.find("3)"), std::string::npos);  // the empty third button is not offered
    EXPECT_NE(shown.find("Choose 1 or 2: "), std::string::npos);

    pty.type("  SKIP \n");
    EXPECT_EQ(backend.runModal(itemQuestion()).answer, kAlertFirstButtonReturn);

    // Answers typed ahead are kept for the following questions.
    pty.type("2\n1\n");
    EXPECT_EQ(backend.runModal(itemQuestion()).answer, kAlertSecondButtonReturn);
    EXPECT_EQ(backend.runModal(itemQuestion()).answer, kAlertFirstButtonReturn);
}

TEST_F(EraseTerminalPromptTest, NumbersFollowTheButtonPositions) {
    auto backend = onPty();
    RNPromptRequest r;
    r.title = "Which?";
    r.buttons = {"Alpha", "", "Gamma"};
    pty.type("2\n3\n");
    EXPECT_EQ(backend.runModal(r).answer, kAlertThirdButtonReturn);
    std::string shown = drain(out.readEnd());
    EXPECT_NE(shown.find("Choose 1 or 3: "), std::string::npos);
    EXPECT_EQ(occurrences(shown, "Please answer 1 or 3."), 1);
}

TEST_F(EraseTerminalPromptTest, CheckBoxIsAFollowUpQuestion) {
    auto backend = onPty();
    pty.type("2\ny\n");
    RNPromptResult r = backend.runModal(itemQuestion(true));
    EXPECT_EQ(r.answer, kAlertSecondButtonReturn);
    EXPECT_TRUE(r.checkBox);
    EXPECT_NE(drain(out.readEnd()).find("Apply to all? [y/N]: "), std::string::npos);

    pty.type("1\n\n");  // Enter alone leaves the box unticked
    r = backend.runModal(itemQuestion(true));
    EXPECT_EQ(r.answer, kAlertFirstButtonReturn);
    EXPECT_FALSE(r.checkBox);

    pty.type("1\nmaybe\nNO\n");
    r = backend.runModal(itemQuestion(true));
    EXPECT_FALSE(r.checkBox);
    EXPECT_EQ(occurrences(drain(out.readEnd()), "Please answer y or n."), 1);
}

TEST_F(EraseTerminalPromptTest, InvalidInputIsAskedAgain) {
    auto backend = onPty();
    pty.type("7\nerase it\n\n0\n1\n");
    EXPECT_EQ(backend.runModal(itemQuestion()).answer, kAlertFirstButtonReturn);
    std::string shown = drain(out.readEnd());
    EXPECT_EQ(occurrences(shown, "Please answer 1 or 2."), 4);
    EXPECT_EQ(occurrences(shown, "Choose 1 or 2: "), 5);
}

TEST_F(EraseTerminalPromptTest, EndOfInputIsTheSafeChoice) {
    auto backend = onPty();
    RNPromptRequest r = itemQuestion();
    r.safeButton = 1;  // so that the safe answer differs from a default of 1000
    pty.type("\x04");  // ^D on an empty line
    EXPECT_EQ(backend.runModal(r).answer, kAlertSecondButtonReturn);

    // The confirmation on a terminal that went away: cancel, never erase.
    ::close(pty.master);
    pty.master = -1;
    EXPECT_EQ(backend.runModal(confirmation()).answer, kAlertSecondButtonReturn);
}

TEST_F(EraseTerminalPromptTest, WithoutATerminalItNeverWaits) {
    Pipe in;  // an input that never brings anything and is never closed
    TerminalPromptBackend backend(false, in.readEnd(), out.writeEnd());
    auto answers = std::async(std::launch::async, [&] {
        return std::vector<int64_t>{backend.runModal(confirmation()).answer,
                                    backend.runModal(itemQuestion(true)).answer,
                                    backend.runModal(itemQuestion(true)).answer};
    });
    if (answers.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        in.closeWrite();  // unblock it, then fail
        answers.wait();
        FAIL() << "waited for input that cannot come";
    }
    EXPECT_EQ(answers.get(), (std::vector<int64_t>{kAlertSecondButtonReturn, kAlertFirstButtonReturn,
                                                   kAlertFirstButtonReturn}));
    std::string said = drain(out.readEnd());
    EXPECT_EQ(occurrences(said, "no terminal to ask on"), 1) << said;
    EXPECT_NE(said.find("answering 'Cancel'"), std::string::npos) << said;
    EXPECT_NE(said.find("--yes"), std::string::npos);
    EXPECT_EQ(said.find("Choose"), std::string::npos);
}

TEST_F(EraseTerminalPromptTest, AssumeYesConfirmsOnlyTheConfirmation) {
    Pipe in;
    TerminalPromptBackend noTerminal(true, in.readEnd(), out.writeEnd());
    EXPECT_EQ(noTerminal.runModal(confirmation()).answer, kAlertFirstButtonReturn);
    std::string said = drain(out.readEnd());
    EXPECT_EQ(occurrences(said, "\n"), 1) << said;
    EXPECT_NE(said.find("--yes"), std::string::npos);
    // Other questions are not the confirmation: still their safe choice.
    EXPECT_EQ(noTerminal.runModal(itemQuestion()).answer, kAlertFirstButtonReturn);

    auto onTerminal = onPty(true);
    EXPECT_EQ(onTerminal.runModal(confirmation()).answer, kAlertFirstButtonReturn);
    pty.type("2\n");  // but an item question is asked
    EXPECT_EQ(onTerminal.runModal(itemQuestion()).answer, kAlertSecondButtonReturn);
}

TEST_F(EraseTerminalPromptTest, ReportsArePrintedWithoutWaiting) {
    Pipe in;
    TerminalPromptBackend backend(false, in.readEnd(), out.writeEnd());
    RNPromptRequest report;
    report.title = "3 items could not be erased because they are in use.";
    report.buttons = {"OK"};
    report.safeButton = 0;
    EXPECT_EQ(backend.runModal(report).answer, kAlertFirstButtonReturn);
    bool completed = false;
    backend.beginSheet(report, reinterpret_cast<RNWindowHandle>(&completed),
                       [&](RNPromptResult r) { completed = r.answer == kAlertFirstButtonReturn; });
    EXPECT_TRUE(completed);
    std::string said = drain(out.readEnd());
    EXPECT_EQ(occurrences(said, report.title + "\n"), 2);
    EXPECT_EQ(said.find("no terminal"), std::string::npos);
}

TEST_F(EraseTerminalPromptTest, LiveLineIsRedrawnWhileWaiting) {
    Pty screen(40);  // a terminal for the output too, 40 columns wide
    ASSERT_TRUE(screen.ok());
    TerminalPromptBackend backend(false, pty.slave, screen.slave);
    std::mutex mutex;
    std::string live = "Counting the items…";
    auto request = confirmation([&] {
        std::lock_guard lock(mutex);
        return live;
    });
    auto answer = std::async(std::launch::async, [&] { return backend.runModal(request).answer; });

    std::string shown = drain(screen.master, "Choose 1 or 2: ", std::chrono::seconds(5));
    EXPECT_NE(shown.find("Counting the items…\r\n"), std::string::npos) << shown;

    {
        std::lock_guard lock(mutex);
        live = "3 items, 12.00 KB";
    }
    // Rewritten in place: save the cursor, one line up, clear, text, back.
    const std::string redraw = "\0337\033[1A\r\033[K3 items, 12.00 KB\0338";
    EXPECT_NE(drain(screen.master, redraw, std::chrono::seconds(5)).find(redraw), std::string::npos);

    {
        std::lock_guard lock(mutex);
        live = "1234567890 items in all Trashes, 12.00 KB, and much more text";
    }
    std::string cut = drain(screen.master, "…\0338", std::chrono::seconds(5));
    EXPECT_NE(cut.find("1234567890 items in all Trashes, 12.00 …"), std::string::npos) << cut;
    EXPECT_EQ(cut.find("much more"), std::string::npos);

    pty.type("1\n");
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(answer.get(), kAlertFirstButtonReturn);
}
