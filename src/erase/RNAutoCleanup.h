// One pass of the automatic clean-up: takes the per-user lock, plans (RNCleanupPlanner), and
// erases each volume's share through the erase engine (RNDeleteItems) without any question: a
// locked item or an item only the privileged helper could remove is skipped and counted (unless
// the rules allow the helper). Every item is looked at again just before it goes: one that was
// put back, replaced or trashed anew since the plan stays. The dated log gets a line saying an
// automatic clean-up ran, then each item as for any erase.
//
// GUI side (tray app):
//  - Make one RNAutoCleanup per pass with the current rules (RNCleanupRules::fromPreferences()).
//  - start(callback) runs the pass on its own thread at idle CPU and I/O priority and returns at
//    once (false, without calling back, when a pass of this object is already running). The
//    callback runs once, on the pass's thread, with the result: post it to the main thread
//    before touching widgets or sending the notification. result.busy says the pass did not
//    run because another pass (the timer's) or a user's erase was running.
//  - stop() asks the pass to stop after the item in hand; it returns at once and the callback
//    still comes. wait() blocks until the pass's thread has ended (call it before destroying the
//    object; the destructor stops and waits too).
//  - The user's erase: hold an RNUserEraseGuard (RNCleanupLock.h) while it runs, so that a pass
//    of another process (the timer's) stops before its next item and none starts. A pass of this
//    process shares the erase engine with it and must let go first: on the main thread call
//    stopAllThen(startTheErase) -- it returns at once and runs startTheErase (on whichever thread
//    the pass ends on, or right away on the calling thread when no pass runs); post it to the
//    main thread. Off the main thread stopAllAndWait() does the same by waiting. (A waiting main
//    thread could hold up a pass whose helper erase reports through the main thread.)
//  - The engine's main-thread dispatcher (RNMainThread) must be installed and the main thread
//    must stay responsive: a helper erase goes through it. Never call run() on the main thread.
//  - summaryText(result) is the notification body (one per pass; empty when nothing went).
// Terminal (quillo-cli purge): run() on the calling thread.
#pragma once

#include "erase/RNCleanupPlanner.h"
#include "erase/RNCleanupRules.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillo::erase {

class RNDeleteItems;

struct RNCleanupVolumeResult {
    std::string volumeName;
    std::string volumePath;
    uint64_t erasedItems = 0;   // trashed items that went
    uint64_t erasedBytes = 0;
    // The rule that took most of what went (the notification names one).
    RNCleanupRule rule = RNCleanupRule::None;
    uint64_t skippedLocked = 0;      // locked items left (no helper allowed)
    uint64_t skippedHelperOnly = 0;  // items only the helper could remove, left
    uint64_t skippedChanged = 0;     // put back, replaced or gone since the plan
    uint64_t notErased = 0;          // planned items still there for any other reason
    bool freeTargetUnreachable = false;  // everything old enough went and it is still too full
    bool sizeLimitUnreachable = false;
    bool volumeGone = false;         // unmounted (or its trash vanished) during the pass
    RNCleanupVolumeSkip skip = RNCleanupVolumeSkip::None;
};

struct RNCleanupPassResult {
    bool busy = false;      // another pass or a user's erase was running: nothing was done
    bool stopped = false;   // stopped before its end (stop() or a user's erase)
    bool logFailed = false; // the dated log could not be written (the erase went on)
    std::vector<RNCleanupVolumeResult> volumes;
    uint64_t erasedItems() const;
    uint64_t erasedBytes() const;
};

class RNAutoCleanup {
public:
    struct Options {
        std::optional<std::string> volume;  // only this volume (display name or mount point)
        std::string lockFolder;              // empty: RNCleanupLock::defaultFolder()
        // Called with each planned volume before its erase starts (tests and progress).
        std::function<void(const RNCleanupVolumePlan&)> beforeVolume;
    };

    explicit RNAutoCleanup(RNCleanupRules rules);
    RNAutoCleanup(RNCleanupRules rules, Options options);
    ~RNAutoCleanup();
    RNAutoCleanup(const RNAutoCleanup&) = delete;
    RNAutoCleanup& operator=(const RNAutoCleanup&) = delete;

    using Finished = std::function<void(const RNCleanupPassResult&)>;
    bool start(Finished finished);
    void stop();
    void wait();
    bool isRunning() const { return running_.load(); }

    // The whole pass on the calling thread.
    RNCleanupPassResult run();

    // Stops every pass of this process; `then` runs once none uses the erase engine any more
    // (at once, on the calling thread, when none does).
    static void stopAllThen(std::function<void()> then);
    // The same, waiting. Not on the main thread of the tray app.
    static void stopAllAndWait();

    // "Removed 214 items (3.2 GB) older than 30 days from Backup Disk", one line per volume that
    // lost something, plus the lines about what was skipped; empty when nothing went.
    static std::string summaryText(const RNCleanupPassResult& result, const RNCleanupRules& rules);
    static std::string volumeText(const RNCleanupVolumeResult& volume, const RNCleanupRules& rules);

private:
    RNCleanupVolumeResult eraseVolume(const RNCleanupVolumePlan& plan, bool& logFailed);
    bool shouldStop() const;

    RNCleanupRules rules_;
    Options options_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex sessionMutex_;
    std::shared_ptr<RNDeleteItems> session_;  // the erase in hand, for stop()
    bool inEngine_ = false;  // guarded by the registry's mutex
    friend struct CleanupRegistry;
};

}  // namespace quillo::erase
