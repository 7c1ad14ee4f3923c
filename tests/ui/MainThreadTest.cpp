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

// ---- runThen: the interface's way back from background work ---------------------------------

#include "ui/RNRunThen.h"

#include <QPointer>

TEST(RunThen, ContinuationRunsOnTheMainThreadWithTheResult) {
    erase::RNOperationQueue queue("runThenTest");
    QObject context;
    std::atomic<bool> workOnMain{true};
    int result = 0;
    bool thenOnMain = false;
    ui::runThen(
        queue, &context,
        [&workOnMain] {
            workOnMain = QThread::currentThread() == QApplication::instance()->thread();
            return 42;
        },
        [&](int value) {
            result = value;
            thenOnMain = QThread::currentThread() == QApplication::instance()->thread();
        });
    EXPECT_TRUE(waitUntil([&] { return result != 0; }));
    EXPECT_EQ(result, 42);
    EXPECT_FALSE(workOnMain) << "the work runs on the queue";
    EXPECT_TRUE(thenOnMain);
}

TEST(RunThen, ContinuationIsDroppedOnceTheContextIsGone) {
    erase::RNOperationQueue queue("runThenTest");
    auto* context = new QObject;
    std::atomic<bool> release{false}, workStarted{false}, workDone{false};
    bool continued = false;
    auto shared = std::make_shared<int>(7);
    std::weak_ptr<int> watch = shared;
    ui::runThen(
        queue, context,
        [&] {
            workStarted = true;
            while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            workDone = true;
            return 1;
        },
        [&continued, shared](int) { continued = true; });
    shared.reset();
    // The window closes while its work runs; the work ends later.
    ASSERT_TRUE(waitUntil([&] { return workStarted.load(); }));
    delete context;
    release = true;
    EXPECT_TRUE(waitUntil([&] { return workDone.load(); }));
    queue.waitUntilAllOperationsAreFinished();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(continued);
    EXPECT_TRUE(watch.expired()) << "what the dropped continuation held is released";

    // Work that has not started when its context goes is skipped, and a long one sees the flag.
    auto* other = new QObject;
    std::atomic<bool> started{false}, sawFlag{false}, looping{false};
    erase::RNOperationQueue narrow("runThenNarrow", 1);
    std::atomic<bool> hold{true};
    narrow.addOperation([&] {
        while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ui::runThen(narrow, other, [&](const std::atomic<bool>&) { started = true; }, [] {});
    auto* third = new QObject;
    ui::runThen(
        queue, third,
        [&](const std::atomic<bool>& gone) {
            looping = true;
            while (!gone.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sawFlag = true;
        },
        [] {});
    ASSERT_TRUE(waitUntil([&] { return looping.load(); }));
    delete other;
    delete third;
    hold = false;
    narrow.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(waitUntil([&] { return sawFlag.load(); }));
    EXPECT_FALSE(started);
}

TEST(RunThen, PathPostsFromAnyThreadWhileItsContextLives) {
    auto* context = new QObject;
    ui::RNMainThreadPath path(context);
    int ran = 0;
    std::thread([&] { path.post([&] { ++ran; }); }).join();
    EXPECT_TRUE(waitUntil([&] { return ran == 1; }));
    std::thread([&] { path.post([&] { ++ran; }); }).join();
    delete context;  // the post is queued, its context gone: it never runs
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(path.contextGone());
}

TEST(RunThen, PathRunsAtOnceOnTheMainThreadAndPostsFromOthers) {
    auto* context = new QObject;
    ui::RNMainThreadPath path(context);
    int ran = 0;
    path.run([&] { ++ran; });
    EXPECT_EQ(ran, 1) << "on the main thread the caller sees the effect when run() returns";
    std::atomic<bool> ranOnMain{false};
    std::thread([&] {
        path.run([&] { ranOnMain = QThread::currentThread() == QCoreApplication::instance()->thread(); });
    }).join();
    EXPECT_TRUE(waitUntil([&] { return ranOnMain.load(); }));
    delete context;
    path.run([&] { ++ran; });
    EXPECT_EQ(ran, 1) << "nothing runs for a context that is gone";
}
