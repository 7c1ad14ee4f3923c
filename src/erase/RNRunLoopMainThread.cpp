#include "erase/RNRunLoopMainThread.h"

namespace quillo::erase {

RNRunLoopMainThread::RNRunLoopMainThread() : mainThread_(std::this_thread::get_id()) {}

RNRunLoopMainThread::~RNRunLoopMainThread() {
    std::deque<Task> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(tasks_);
    }
    // Destroyed outside the lock: a dropped task's captures may wake a waiting worker.
    dropped.clear();
}

void RNRunLoopMainThread::post(Task task) {
    if (!task) return;
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    wake_.notify_all();
}

bool RNRunLoopMainThread::isMainThread() const {
    return mainThread_.load() == std::this_thread::get_id();
}

bool RNRunLoopMainThread::runOne(std::unique_lock<std::mutex>& lock) {
    if (tasks_.empty()) return false;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
    return true;
}

void RNRunLoopMainThread::run() {
    mainThread_ = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    stopRequested_ = false;
    while (!stopRequested_) {
        if (!runOne(lock)) wake_.wait(lock, [&] { return stopRequested_ || !tasks_.empty(); });
    }
    stopRequested_ = false;
}

void RNRunLoopMainThread::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    wake_.notify_all();
}

bool RNRunLoopMainThread::runUntil(const std::function<bool()>& predicate,
                                   std::chrono::milliseconds timeout) {
    mainThread_ = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        lock.unlock();
        const bool done = predicate();
        lock.lock();
        if (done) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!runOne(lock)) {
            auto until = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
            wake_.wait_until(lock, until, [&] { return !tasks_.empty(); });
        }
    }
}

std::size_t RNRunLoopMainThread::processPendingTasks() {
    std::unique_lock lock(mutex_);
    std::size_t n = tasks_.size(), ran = 0;
    while (ran < n && runOne(lock)) ++ran;
    return ran;
}

std::size_t RNRunLoopMainThread::pendingTaskCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace quillo::erase
