// Background work: a named queue that runs its operations concurrently on up to
// maxConcurrentOperationCount threads of its own. Threads start when work arrives and end when
// the queue has been idle for a moment, so an unused queue costs nothing.
//
// The process-wide queues of the components are reached by name and made on first use; they
// live until the process ends (never destroyed, so that exit() cannot wait on an operation that
// is itself waiting for the main thread).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace quillo::erase {

class RNOperationQueue {
public:
    using Operation = std::function<void()>;

    // "As wide as useful": operations of the engine block (waiting for an answer or a count),
    // so the default leaves room for many of them, like the platform's default queues.
    static constexpr int kDefaultMaxConcurrentOperationCount = -1;
    static constexpr int kDefaultWidth = 64;

    // Names of the engine's shared queues.
    static constexpr const char* kDeletionsOperationQueue = "deletionsOperationQueue";
    static constexpr const char* kSheetOperationQueue = "sheetOperationQueue";

    explicit RNOperationQueue(std::string name,
                              int maxConcurrentOperationCount = kDefaultMaxConcurrentOperationCount);
    // Waits for every operation already added (running or waiting) to finish. Must not be called
    // from an operation of this queue.
    ~RNOperationQueue();
    RNOperationQueue(const RNOperationQueue&) = delete;
    RNOperationQueue& operator=(const RNOperationQueue&) = delete;

    // The shared queue of that name, made on first use with the default width.
    static RNOperationQueue& named(const std::string& name);

    const std::string& name() const { return name_; }
    int maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(int count);

    void addOperation(Operation operation);

    // Drops every operation that has not started yet; running ones go on to their end.
    void cancelAllOperations();

    // Blocks until no operation is waiting or running. From inside one of this queue's own
    // operations it waits for all the others (the caller's own operation does not count).
    void waitUntilAllOperationsAreFinished();

    std::size_t operationCount() const;  // waiting + running
    std::size_t threadCount() const;     // live worker threads

    // How long an idle worker waits for more work before it ends.
    static constexpr std::chrono::milliseconds kIdleLinger{250};

private:
    void workerMain();
    void startWorkersLocked();
    void reapFinishedLocked(std::unique_lock<std::mutex>& lock);
    int widthLocked() const;

    const std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable allDone_;
    std::deque<Operation> pending_;
    std::size_t running_ = 0;
    std::size_t idleWorkers_ = 0;
    int maxConcurrent_;
    bool shuttingDown_ = false;
    std::list<std::thread> workers_;
    std::list<std::thread> finished_;  // ended workers, joined by the next caller
};

}  // namespace quillo::erase
