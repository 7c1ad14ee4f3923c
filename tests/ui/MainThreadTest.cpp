// The engine's main-thread dispatch on the Qt event loop.
#include "GuiTest.h"
#include "ui/RNQtMainThread.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

using namespace quillo;
using quillo::test::waitUntil;

TEST(QtMainThread, PostAndRunAndWaitRunOnTheGuiThreadInOrder) {
    ui::RNQtMainThread main;
    EXPECT_TRUE(main.isMainThread());
    std::vector<int> order;
    std::atomic<bool> ranOnMain{true};
    std::atomic<bool> waited{false};
    std::thread worker([&] {
        EXPECT_FALSE(main.isMainThread());
        main.post([&] { order.push_back(1); });
        const bool ran = main.runAndWait([&] {
            ranOnMain = ranOnMain && QThread::currentThread() == QApplication::instance()->thread();
            order.push_back(2);
        });
        waited = ran;
    });
    EXPECT_TRUE(waitUntil([&] { return waited.load(); }));
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(ranOnMain);
    // On the main thread itself runAndWait runs inline.
    bool inline_ = false;
    EXPECT_TRUE(main.runAndWait([&] { inline_ = true; }));
    EXPECT_TRUE(inline_);
}

TEST(QtMainThread, AWaitingWorkerIsReleasedWhenTheDispatcherGoesAway) {
    auto main = std::make_unique<ui::RNQtMainThread>();
    std::atomic<int> result{-1};
    std::atomic<bool> ran{false};
    std::thread worker([&, m = main.get()] { result = m->runAndWait([&] { ran = true; }) ? 1 : 0; });
    // The task is queued but the loop is not run; then the dispatcher is destroyed.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    main.reset();
    worker.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(ran.load());
}
