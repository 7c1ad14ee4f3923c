// main() of the Qt test binaries: an offscreen QApplication unless a platform is named. Built with
// QUILLO_TEST_ISOLATE, a root run first moves the whole binary into a private mount namespace in
// which only / and the system's own mounts stay (scripts/run-isolated), so that the volume list
// the tests see holds only what they mount themselves (and no real trash of another volume is
// ever read or erased).
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
#ifdef QUILLO_TEST_ISOLATE
    using namespace quillo::test;
    bool listing = false;  // test discovery at build time runs no test
    for (int i = 1; i < argc; ++i) listing = listing || std::string(argv[i]) == "--gtest_list_tests";
    if (!listing && !std::getenv("QUILLO_TEST_ISOLATED") && isRoot() && haveTool("unshare")) {
        ::setenv("QUILLO_TEST_ISOLATED", "1", 1);
        std::string command = isolatedCommand();
        for (int i = 0; i < argc; ++i) command += shellQuote(argv[i]) + " ";
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run the tests in a private mount namespace\n");
        return 3;
    }
    // Inside: the file core's own volume list must hold nothing but / (the temporary home's
    // volume), or a test could meet another volume's trash; refuse to run rather than skip.
    if (!listing && std::getenv("QUILLO_TEST_ISOLATED") && isRoot()) {
        const auto foreign = foreignVolumes();
        if (!foreign.empty()) {
            std::fprintf(stderr, "refusing to run: volumes of the machine are still visible:\n");
            for (const auto& v : foreign) std::fprintf(stderr, "  %s\n", v.c_str());
            return 3;
        }
    }
#endif
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
