// main() of the Qt test binaries: an offscreen QApplication unless a platform is named. Built with
// QUILLO_TEST_ISOLATE, a root run first moves the whole binary into a private mount namespace in
// which only / and /proc stay mounted, so that the volume list the tests see holds only what they
// mount themselves (and no real trash of another volume is ever read).
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
#ifdef QUILLO_TEST_ISOLATE
    using namespace quillo::test;
    if (!std::getenv("QUILLO_TEST_ISOLATED") && isRoot() && haveTool("unshare")) {
        ::setenv("QUILLO_TEST_ISOLATED", "1", 1);
        std::string command = isolatedCommand();
        for (int i = 0; i < argc; ++i) command += shellQuote(argv[i]) + " ";
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    }
#endif
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
