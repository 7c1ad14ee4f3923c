#include "erase/RNOperationQueue.h"

#include <cstdio>
#include <exception>
#include <map>
#include <memory>

namespace quillo::erase {

namespace {
// The queue whose operation this thread is running, to recognise a wait from inside.
thread_local const RNOperationQueue* tCurrentQueue = nullptr;
}  // namespace

RNOperationQueue::RNOperationQueue(std::string name, int maxConcurrentOperationCount)
    : name_(std::move(name)), maxConcurrent_(maxConcurrentOperationCount) {}

RNOperationQueue::~RNOperationQueue() {
    std::unique_lock lock(mutex_);
    allDone_.wait(lock, [&] { return pending_.empty() && running_ == 0; });
    shuttingDown_ = true;
    workAvailable_.notify_all();
    allDone_.wait(lock, [&] { return workers_.empty(); });
    std::list<std::thread> ended;
    ended.swap(finished_);
    lock.unlock();
    for (auto& t : ended) t.join();
}

RNOperationQueue& RNOperationQueue::named(const std::string& name) {
    static std::mutex mutex;
    static auto* queues = new std::map<std::string, std::unique_ptr<RNOperationQueue>>;
    std::lock_guard lock(mutex);
    auto& q = (*queues)[name];
    if (!q) q = std::make_unique<RNOperationQueue>(name);
    return *q;
}

int RNOperationQueue::widthLocked() const {
    return maxConcurrent_ > 0 ? maxConcurrent_ : kDefaultWidth;
}

int RNOperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(mutex_);
    return maxConcurrent_;
}

void RNOperationQueue::setMaxConcurrentOperationCount(int count) {
    std::unique_lock lock(mutex_);
    maxConcurrent_ = count;
    startWorkersLocked();
    workAvailable_.notify_all();
}

void RNOperationQueue::reapFinishedLocked(std::unique_lock<std::mutex>& lock) {
    if (finished_.empty()) return;
    std::list<std::thread> ended;
    ended.swap(finished_);
    // An ended worker holds nothing any more; joining outside the lock keeps others moving.
    lock.unlock();
    for (auto& t : ended) t.join();
    lock.lock();
}

void RNOperationQueue::startWorkersLocked() {
    const std::size_t width = std::size_t(widthLocked());
    // Each waiting operation that no idle worker will take gets a new worker, up to the width.
    // Workers that have decided to end are neither running nor idle, so they do not count.
    while (pending_.size() > idleWorkers_ && running_ + idleWorkers_ < width) {
        workers_.emplace_back();
        auto self = std::prev(workers_.end());
        // The worker needs the lock (held by us) before it can touch its own list entry.
        *self = std::thread([this, self] {
            workerMain();
            std::lock_guard lock(mutex_);
            finished_.splice(finished_.end(), workers_, self);
            allDone_.notify_all();
        });
        // A fresh worker counts as idle until it has taken its operation.
        ++idleWorkers_;
    }
}

void RNOperationQueue::addOperation(Operation operation) {
    if (!operation) return;
    std::unique_lock lock(mutex_);
    reapFinishedLocked(lock);
    pending_.push_back(std::move(operation));
    startWorkersLocked();
    workAvailable_.notify_one();
}

void RNOperationQueue::cancelAllOperations() {
    std::deque<Operation> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(pending_);
        allDone_.notify_all();
    }
    // Captured state is released outside the lock: its destructors may add work of their own.
}

void RNOperationQueue::workerMain() {
    std::unique_lock lock(mutex_);
    // A new worker was counted idle by startWorkersLocked(); it stays so until it takes work.
    for (;;) {
        auto canRun = [&] {
            return !pending_.empty() && running_ < std::size_t(widthLocked());
        };
        if (!canRun()) {
            if (shuttingDown_ ||
                !workAvailable_.wait_for(lock, kIdleLinger, [&] { return shuttingDown_ || canRun(); }) ||
                !canRun()) {
                --idleWorkers_;
                return;
            }
        }
        Operation op = std::move(pending_.front());
        pending_.pop_front();
        --idleWorkers_;
        ++running_;
        lock.unlock();

        const RNOperationQueue* outer = tCurrentQueue;
        tCurrentQueue = this;
        try {
            op();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Operation on queue %s ended with an exception: %s\n", name_.c_str(),
                         e.what());
        } catch (...) {
            std::fprintf(stderr, "Operation on queue %s ended with an exception\n", name_.c_str());
        }
        tCurrentQueue = outer;
        op = nullptr;  // captured state is released outside the lock

        lock.lock();
        --running_;
        ++idleWorkers_;
        allDone_.notify_all();
    }
}

void RNOperationQueue::waitUntilAllOperationsAreFinished() {
    const std::size_t own = tCurrentQueue == this ? 1 : 0;
    std::unique_lock lock(mutex_);
    allDone_.wait(lock, [&] { return pending_.empty() && running_ <= own; });
}

std::size_t RNOperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size() + running_;
}

std::size_t RNOperationQueue::threadCount() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

}  // namespace quillo::erase
