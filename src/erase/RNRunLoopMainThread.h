// A main-thread dispatcher without a GUI toolkit: the thread that calls run() becomes the main
// thread and carries out posted tasks in order until stop(). Until run() is called, the thread
// that made the object counts as the main thread.
#pragma once

#include "erase/RNMainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace quillo::erase {

class RNRunLoopMainThread : public RNMainThread {
public:
    RNRunLoopMainThread();
    // Tasks still queued are dropped; their runAndWait() callers get false.
    ~RNRunLoopMainThread() override;

    void post(Task task) override;
    bool isMainThread() const override;

    // Processes tasks until stop() is called (from any thread, or from a task).
    void run();
    void stop();

    // Processes tasks until the predicate holds (checked after every task and at least every
    // 10 ms) or the timeout passes; gives the predicate's last answer. For tests and for
    // front ends that wait for one thing.
    bool runUntil(const std::function<bool()>& predicate,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Runs the tasks queued right now and returns how many ran.
    std::size_t processPendingTasks();
    std::size_t pendingTaskCount() const;

private:
    bool runOne(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopRequested_ = false;
    std::atomic<std::thread::id> mainThread_;
};

}  // namespace quillo::erase
