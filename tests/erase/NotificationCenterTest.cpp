#include "erase/RNNotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace quillo::erase;
using namespace std::chrono_literals;

TEST(EraseNotificationCenter, MatchesByNameAndObject) {
    RNNotificationCenter center;
    int a = 0, b = 0;
    std::vector<std::string> fromA, fromAny, everything;
    center.addObserver("stopWorking", &a, [&](const RNNotification& n) { fromA.push_back(n.name); });
    center.addObserver("stopWorking", nullptr, [&](const RNNotification& n) { fromAny.push_back(n.name); });
    center.addObserver("", nullptr, [&](const RNNotification& n) { everything.push_back(n.name); });

    center.postNotification("stopWorking", &a);
    center.postNotification("stopWorking", &b);
    center.postNotification("stopWorking");
    center.postNotification("waitForResponse", &a);

    EXPECT_EQ(fromA.size(), 1u);
    EXPECT_EQ(fromAny.size(), 3u);
    EXPECT_EQ(everything, (std::vector<std::string>{"stopWorking", "stopWorking", "stopWorking",
                                                    "waitForResponse"}));
}

TEST(EraseNotificationCenter, UserInfoAbsentDiffersFromEmpty) {
    RNNotificationCenter center;
    std::vector<RNNotification> seen;
    center.addObserver("stopWorking", nullptr, [&](const RNNotification& n) { seen.push_back(n); });
    center.postNotification("stopWorking");
    center.postNotification("stopWorking", nullptr, RNDictionary{{"erasedCount", 3u}});
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].userInfo.has_value());
    EXPECT_TRUE(seen[0].info("erasedCount").isNull());
    ASSERT_TRUE(seen[1].userInfo.has_value());
    EXPECT_EQ(seen[1].info("erasedCount").uintValue(), 3u);
}

// Observers changing the observer list from inside a delivery: removing itself, removing one
// that has not been called yet in this post, adding a new one.
TEST(EraseNotificationCenter, ObserversChangeTheListDuringDelivery) {
    RNNotificationCenter center;
    int selfCalls = 0, laterCalls = 0, addedCalls = 0;
    RNObserverToken self = 0, later = 0;
    bool added = false;
    self = center.addObserver("n", nullptr, [&](const RNNotification&) {
        ++selfCalls;
        center.removeObserver(self);   // must not deadlock on its own running call
        center.removeObserver(later);  // not yet called in this post: must not be called now
        if (!added) {
            added = true;
            center.addObserver("n", nullptr, [&](const RNNotification&) { ++addedCalls; });
        }
    });
    later = center.addObserver("n", nullptr, [&](const RNNotification&) { ++laterCalls; });

    center.postNotification("n");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(laterCalls, 0);
    EXPECT_EQ(addedCalls, 0);  // joined after this post started

    center.postNotification("n");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(addedCalls, 1);
    EXPECT_EQ(center.observerCount(), 1u);
}

// A callback posting again and removing itself further down the same stack.
TEST(EraseNotificationCenter, NestedPostRemovingTheOuterObserver) {
    RNNotificationCenter center;
    RNObserverToken outer = 0;
    int outerCalls = 0;
    outer = center.addObserver("outer", nullptr, [&](const RNNotification&) {
        ++outerCalls;
        center.postNotification("inner");
    });
    center.addObserver("inner", nullptr, [&](const RNNotification&) { center.removeObserver(outer); });
    center.postNotification("outer");
    center.postNotification("outer");
    EXPECT_EQ(outerCalls, 1);
}

// removeObserver from another thread waits for a running callback to end.
TEST(EraseNotificationCenter, RemoveWaitsForACallbackRunningElsewhere) {
    RNNotificationCenter center;
    std::promise<void> entered, release;
    auto releaseFuture = release.get_future().share();
    std::atomic<bool> callbackDone{false};
    RNObserverToken token = center.addObserver("n", nullptr, [&](const RNNotification&) {
        entered.set_value();
        releaseFuture.wait();
        std::this_thread::sleep_for(20ms);
        callbackDone = true;
    });
    std::thread poster([&] { center.postNotification("n"); });
    entered.get_future().wait();

    auto removal = std::async(std::launch::async, [&] {
        center.removeObserver(token);
        return callbackDone.load();
    });
    EXPECT_EQ(removal.wait_for(50ms), std::future_status::timeout) << "returned while the callback ran";
    release.set_value();
    EXPECT_TRUE(removal.get()) << "removeObserver returned before the callback ended";
    poster.join();
}

// Posting from several threads while observers come and go: once removeObserver has returned,
// its callback must never run again.
TEST(EraseNotificationCenter, ConcurrentPostingWhileObserversComeAndGo) {
    RNNotificationCenter center;
    std::atomic<bool> stop{false};
    std::atomic<int> lateCalls{0}, calls{0};
    int sender = 0;

    std::vector<std::thread> posters;
    for (int i = 0; i < 3; ++i) {
        posters.emplace_back([&, i] {
            while (!stop) center.postNotification(i % 2 ? "a" : "b", i == 0 ? &sender : nullptr,
                                                  RNDictionary{{"i", i}});
        });
    }
    std::vector<std::thread> churners;
    for (int t = 0; t < 2; ++t) {
        churners.emplace_back([&, t] {
            for (int round = 0; round < 400; ++round) {
                auto alive = std::make_shared<std::atomic<bool>>(true);
                RNObserverToken token = center.addObserver(
                    round % 3 == 0 ? "" : (t ? "a" : "b"), round % 5 == 0 ? &sender : nullptr,
                    [alive, &lateCalls, &calls](const RNNotification& n) {
                        ++calls;
                        if (!*alive) ++lateCalls;
                        (void)n.info("i").intValue();
                    });
                std::this_thread::yield();
                center.removeObserver(token);
                *alive = false;
            }
        });
    }
    for (auto& c : churners) c.join();
    stop = true;
    for (auto& p : posters) p.join();
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(center.observerCount(), 0u);
}
