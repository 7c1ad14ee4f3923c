#include "cli/TerminalProgressWindow.h"

#include "util/Localization.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>

using quillo::cli::TerminalProgressWindow;
using quillo::util::RNLocalizedString;
using namespace std::chrono_literals;

namespace {

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

class CliTerminalProgress : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    }
    void TearDown() override {
        ::close(fds[0]);
        ::close(fds[1]);
    }

    // A window on the pipe that believes it draws on a terminal, with a clock the test moves.
    std::unique_ptr<TerminalProgressWindow> terminalWindow() {
        auto w = std::make_unique<TerminalProgressWindow>(fds[1], true);
        w->setClock([this] { return clock; });
        w->setColumns(200);
        return w;
    }

    // Everything written since the last call.
    std::string drained() {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
        return out;
    }

    int fds[2] = {-1, -1};
    std::chrono::steady_clock::time_point clock{std::chrono::seconds(1000)};
};

TEST_F(CliTerminalProgress, APipeGetsNothing) {
    {
        TerminalProgressWindow w(fds[1]);  // asks the descriptor: a pipe is no terminal
        EXPECT_FALSE(w.isTerminal());
        w.show(nullptr);
        w.setCountText("1 of 2 items");
        w.updateProgress(50);
        w.tick();
        w.close();
    }
    EXPECT_EQ(drained(), "");
}

TEST_F(CliTerminalProgress, DrawsOneLineOnlyAfterShow) {
    auto w = terminalWindow();
    w->setCountText("1,234 of 5,000 items");
    w->setSizeText("12.34 MB");
    w->setInfoText("Erasing the Trash of “Data”");
    w->updateProgress(35);
    w->tick();
    EXPECT_EQ(drained(), "");  // quick erases show nothing

    w->show(nullptr);
    EXPECT_EQ(drained(),
              "\r[#######.............]  1,234 of 5,000 items  12.34 MB  Erasing the Trash of “Data”\x1b[K");

    // Without an info line the main text names what is erased; hidden fields leave the line.
    w->setInfoText("");
    w->hideInfoSizeFields(true);
    clock += 1s;
    w->tick();
    EXPECT_EQ(drained(), "\r[#######.............]  " + RNLocalizedString("erasing_all") + "\x1b[K");
}

TEST_F(CliTerminalProgress, AtMostTenDrawsASecond) {
    auto w = terminalWindow();
    w->show(nullptr);
    EXPECT_EQ(countOf(drained(), "\r"), 1);

    // A burst of updates within 0.1 s draws nothing more...
    for (int i = 1; i <= 50; ++i) {
        clock += 1ms;
        w->updateProgress(i);
    }
    EXPECT_EQ(drained(), "");
    // ...and the next one after it draws the latest state once.
    clock += 50ms;
    w->updateProgress(60);
    std::string out = drained();
    EXPECT_EQ(countOf(out, "\r"), 1);
    EXPECT_NE(out.find("[############........]"), std::string::npos);

    // A change the limit held back is drawn by the next tick that is due.
    clock += 10ms;
    w->setSizeText("1.00 KB");
    clock += 80ms;
    w->tick();
    EXPECT_EQ(drained(), "");
    clock += 10ms;
    w->tick();
    EXPECT_NE(drained().find("1.00 KB"), std::string::npos);
    // Nothing changed: nothing is written, however often it ticks.
    clock += 1s;
    w->tick();
    EXPECT_EQ(drained(), "");

    // A whole second of updates every millisecond: ten draws.
    int draws = 0;
    for (int i = 0; i < 1000; ++i) {
        clock += 1ms;
        w->setCountText(std::to_string(i) + " of 1,000 items");
        draws += countOf(drained(), "\r");
    }
    EXPECT_EQ(draws, 10);
}

TEST_F(CliTerminalProgress, IndeterminateBarMovesWithTheMainText) {
    auto w = terminalWindow();
    w->hideInfoSizeFields(true);
    w->startIndeterminateAnimation();
    w->setMainText(RNLocalizedString("gathering_bin_info"));
    w->setCountText("must not show");
    w->show(nullptr);
    EXPECT_TRUE(w->isIndeterminate());
    EXPECT_EQ(drained(), "\r[<=>                 ]  " + RNLocalizedString("gathering_bin_info") + "\x1b[K");
    clock += 100ms;
    w->tick();
    EXPECT_NE(drained().find("\r[ <=>                ]"), std::string::npos);
    // Back to a count: the bar shows the share done again.
    clock += 100ms;
    w->startDeterminateAnimation();
    w->hideInfoSizeFields(false);
    clock += 100ms;
    w->tick();
    EXPECT_NE(drained().find("[....................]  must not show"), std::string::npos);
}

TEST_F(CliTerminalProgress, CloseClearsTheLine) {
    {
        auto w = terminalWindow();
        w->close();  // never shown: nothing at all
        EXPECT_EQ(drained(), "");
        w->show(nullptr);
        drained();
        w->close();
        EXPECT_EQ(drained(), "\r\x1b[K\n");
        w->setMainText("after close");
        EXPECT_EQ(drained(), "");
        clock += 1s;
        w->show(nullptr);
        drained();
    }
    // Dropped without close() (an abandoned erase): the line is still cleared.
    EXPECT_EQ(drained(), "\r\x1b[K\n");
}

TEST_F(CliTerminalProgress, LineIsSafeAndFitsTheTerminal) {
    auto w = terminalWindow();
    w->setInfoText("Disk\x1b]0;owned\x07\n\xc2\x9b" "2J\xff");  // a volume label with escapes
    w->updateProgress(std::nan(""));
    w->show(nullptr);
    EXPECT_EQ(drained(), "\r[....................]  Disk?]0;owned???2J?\x1b[K");

    clock += 1s;
    w->updateProgress(250);
    EXPECT_EQ(w->progress(), 100);
    drained();
    clock += 1s;
    w->setColumns(20);
    w->setInfoText("ééééééééééééééééééééé");
    // 19 columns: the last one stays free.
    EXPECT_EQ(drained(), "\r[" + std::string(18, '#') + "\x1b[K");
    clock += 1s;
    w->setColumns(30);
    w->setInfoText("ééééééééééééééééééééé!");
    // Cut between characters, never inside one.
    EXPECT_EQ(drained(), "\r[" + std::string(20, '#') + "]  ééééé\x1b[K");
}

// Ctrl-C handling changes process-wide signal state: each test puts the old action back.
class CliInterruptHandler : public ::testing::Test {
protected:
    void SetUp() override { ::sigaction(SIGINT, nullptr, &saved); }
    void TearDown() override {
        quillo::cli::removeInterruptHandler();
        ::sigaction(SIGINT, &saved, nullptr);
    }
    static void (*currentHandler())(int) {
        struct sigaction now;
        ::sigaction(SIGINT, nullptr, &now);
        return now.sa_handler;
    }
    static void marker(int) {}
    struct sigaction saved;
};

TEST_F(CliInterruptHandler, FirstInterruptStopsAndTheSecondWouldKill) {
    struct sigaction before;
    std::memset(&before, 0, sizeof before);
    before.sa_handler = marker;
    ::sigaction(SIGINT, &before, nullptr);

    TerminalProgressWindow w(-1, false);
    quillo::cli::installInterruptHandler(&w);
    EXPECT_NE(currentHandler(), marker);
    EXPECT_FALSE(w.wasStopped());
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_TRUE(w.wasStopped());
    EXPECT_EQ(currentHandler(), SIG_DFL);  // the next Ctrl-C ends the program

    quillo::cli::removeInterruptHandler();
    EXPECT_EQ(currentHandler(), marker);  // the action from before the install
}

TEST_F(CliInterruptHandler, DestroyedWindowLetsGoOfTheHandler) {
    ::signal(SIGINT, SIG_DFL);
    {
        TerminalProgressWindow w(-1, false);
        quillo::cli::installInterruptHandler(&w);
        EXPECT_NE(currentHandler(), SIG_DFL);
    }
    EXPECT_EQ(currentHandler(), SIG_DFL);
}

TEST_F(CliInterruptHandler, IgnoredInterruptStaysIgnored) {
    ::signal(SIGINT, SIG_IGN);  // as for a job started in the background
    TerminalProgressWindow w(-1, false);
    quillo::cli::installInterruptHandler(&w);
    EXPECT_EQ(currentHandler(), SIG_IGN);
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_FALSE(w.wasStopped());
}

}  // namespace
