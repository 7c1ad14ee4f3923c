#include "erase/RNMainThread.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNRunLoopMainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace quillo::erase;
using namespace std::chrono_literals;

namespace {
// Runs `ops` operations that overlap in time and gives the highest number seen running at once.
int peakConcurrency(RNOperationQueue& queue, int ops) {
    std::atomic<int> running{0}, peak{0};
    for (int i = 0; i < ops; ++i) {
        queue.addOperation([&] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {}
            std::this_thread::sleep_for(15ms);
            --running;
        });
    }
    queue.waitUntilAllOperationsAreFinished();
    return peak.load();
}
}  // namespace

TEST(EraseOperationQueue, RespectsTheConcurrencyLimit) {
    RNOperationQueue serial("serial", 1);
    EXPECT_EQ(peakConcurrency(serial, 6), 1);
    RNOperationQueue two("two", 2);
    EXPECT_EQ(peakConcurrency(two, 8), 2);
    EXPECT_LE(two.threadCount(), 2u);

    // Raising the limit lets waiting work start at once.
    RNOperationQueue grow("grow", 1);
    grow.setMaxConcurrentOperationCount(3);
    EXPECT_EQ(peakConcurrency(grow, 9), 3);
}

TEST(EraseOperationQueue, DefaultWidthRunsBlockingOperationsSideBySide) {
    // The engine's operations wait for one another (an erase waits for the count that another
    // operation posts); a default queue must run them together even on a small machine.
    RNOperationQueue queue("wide");
    std::promise<void> counted;
    auto countedFuture = counted.get_future().share();
    std::atomic<bool> erased{false};
    queue.addOperation([&] {
        countedFuture.wait();
        erased = true;
    });
    for (int i = 0; i < 4; ++i) queue.addOperation([] { std::this_thread::sleep_for(5ms); });
    queue.addOperation([&] { counted.set_value(); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(erased);
}

TEST(EraseOperationQueue, WaitThreadsAndDestruction) {
    std::atomic<int> done{0};
    {
        RNOperationQueue queue("q", 2);
        EXPECT_EQ(queue.threadCount(), 0u) << "threads start only with work";
        for (int i = 0; i < 20; ++i)
            queue.addOperation([&] {
                std::this_thread::sleep_for(1ms);
                ++done;
            });
        queue.waitUntilAllOperationsAreFinished();
        EXPECT_EQ(done.load(), 20);
        EXPECT_EQ(queue.operationCount(), 0u);

        // Idle workers end by themselves, and new work brings them back.
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (queue.threadCount() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(queue.threadCount(), 0u);

        // Destruction waits for work still running or waiting.
        for (int i = 0; i < 5; ++i)
            queue.addOperation([&] {
                std::this_thread::sleep_for(20ms);
                ++done;
            });
    }
    EXPECT_EQ(done.load(), 25);
}

// Cancelling drops what waits and lets the running operation finish: what the preview loads rely
// on when the application object ends.
TEST(EraseOperationQueue, CancelDropsWaitingWorkAndLetsTheRunningOneFinish) {
    RNOperationQueue queue("cancel", 1);
    std::promise<void> started, release;
    auto releaseFuture = release.get_future();
    std::atomic<int> ran{0};
    queue.addOperation([&] {
        started.set_value();
        releaseFuture.wait();
        ++ran;
    });
    for (int i = 0; i < 3; ++i) queue.addOperation([&] { ran += 10; });
    started.get_future().wait();
    queue.cancelAllOperations();
    EXPECT_EQ(queue.operationCount(), 1u);
    release.set_value();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), 1);
}

TEST(EraseOperationQueue, OperationsAddAndWaitFromInsideAndSurviveExceptions) {
    RNOperationQueue queue("inner", 3);
    std::atomic<int> children{0};
    std::atomic<bool> parentSawAll{false};
    queue.addOperation([&] {
        for (int i = 0; i < 4; ++i)
            queue.addOperation([&] {
                std::this_thread::sleep_for(5ms);
                ++children;
            });
        // Waits for the others only: its own operation does not count.
        queue.waitUntilAllOperationsAreFinished();
        parentSawAll = children == 4;
    });
    queue.addOperation([] { throw std::runtime_error("test failure inside an operation"); });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(parentSawAll);
    std::atomic<bool> after{false};
    queue.addOperation([&] { after = true; });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(after) << "the queue still works after an operation threw";
}

TEST(EraseOperationQueue, NamedQueuesAreMadeOnFirstUseAndShared) {
    RNOperationQueue& deletions = RNOperationQueue::named(RNOperationQueue::kDeletionsOperationQueue);
    EXPECT_EQ(&deletions, &RNOperationQueue::named("deletionsOperationQueue"));
    EXPECT_EQ(deletions.name(), "deletionsOperationQueue");
    RNOperationQueue& sheets = RNOperationQueue::named(RNOperationQueue::kSheetOperationQueue);
    EXPECT_NE(&deletions, &sheets);

    std::vector<std::thread> threads;
    std::vector<RNOperationQueue*> seen(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { seen[i] = &RNOperationQueue::named("EraseTestQueue"); });
    for (auto& t : threads) t.join();
    for (auto* q : seen) EXPECT_EQ(q, seen[0]);

    std::atomic<bool> ran{false};
    deletions.addOperation([&] { ran = true; });
    deletions.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(ran);
}

TEST(EraseMainThread, RunAndWaitFromAWorkerRunsOnTheMainThread) {
    RNRunLoopMainThread main;
    RNOperationQueue queue("workers", 2);
    std::atomic<int> finished{0};
    std::thread::id ranOn;
    bool workerSawResult = false;
    queue.addOperation([&] {
        EXPECT_FALSE(main.isMainThread());
        int answer = 0;
        bool ran = main.runAndWait([&] {
            ranOn = std::this_thread::get_id();
            answer = 1000;
        });
        workerSawResult = ran && answer == 1000;  // the answer is there when runAndWait returns
        ++finished;
    });
    EXPECT_TRUE(main.runUntil([&] { return finished == 1; }, 10s));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(workerSawResult);
}

TEST(EraseMainThread, RunAndWaitOnTheMainThreadRunsInline) {
    RNRunLoopMainThread main;
    std::vector<int> order;
    main.post([&] {
        order.push_back(1);
        // A posted task asking again must not wait for itself.
        EXPECT_TRUE(main.runAndWait([&] { order.push_back(2); }));
        order.push_back(3);
        main.stop();
    });
    std::thread runner([&] { main.run(); });
    runner.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // Called directly on the main thread (outside run()) it runs at once as well.
    RNRunLoopMainThread here;
    bool ran = false;
    EXPECT_TRUE(here.runAndWait([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(EraseMainThread, PostedTasksRunInOrderUntilStop) {
    RNRunLoopMainThread main;
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) main.post([&, i] { order.push_back(i); });
    main.post([&] { main.stop(); });
    main.post([&] { order.push_back(99); });  // after stop: stays queued
    main.run();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(main.processPendingTasks(), 1u);
    EXPECT_EQ(order.back(), 99);
}

// A worker waiting on a main thread that goes away is released with "not run", not left hanging.
TEST(EraseMainThread, WaiterIsReleasedWhenTheDispatcherGoesAway) {
    auto main = std::make_unique<RNRunLoopMainThread>();
    RNRunLoopMainThread* dispatcher = main.get();
    std::promise<bool> result;
    std::thread worker([&] { result.set_value(dispatcher->runAndWait([] {})); });
    // Nobody runs the loop; wait until the task is queued, then drop the dispatcher.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (dispatcher->pendingTaskCount() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(dispatcher->pendingTaskCount(), 1u);
    main.reset();
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(f.get());
    worker.join();
}

TEST(EraseMainThread, ActiveDispatcher) {
    RNMainThread::setActive(nullptr);
    // Without a dispatcher work runs on the caller: nothing can hang.
    bool ran = false;
    EXPECT_TRUE(RNMainThread::runOnMainAndWait([&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(RNMainThread::onMainThread());

    auto main = std::make_shared<RNRunLoopMainThread>();
    RNMainThread::setActive(main);
    EXPECT_EQ(RNMainThread::active(), main);
    std::atomic<bool> fromWorker{false};
    std::thread worker([&] {
        EXPECT_FALSE(RNMainThread::onMainThread());
        RNMainThread::runOnMainAndWait([&] { fromWorker = RNMainThread::onMainThread(); });
    });
    EXPECT_TRUE(main->runUntil([&] { return fromWorker.load(); }, 10s));
    worker.join();
    RNMainThread::setActive(nullptr);
}
