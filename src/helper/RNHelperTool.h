// The privileged helper: a root service on the system bus that erases, on an administrator's
// authorization, what the user's own rights could not remove from the user's trashes.
//
// Threads: the main thread runs the event loop (bus calls, polkit's answers, the idle timer and
// the progress hand-off); each erase run has a thread of its own. sd-bus is used from the loop
// thread only: the run queues its progress, the loop sends it.
#pragma once

#include "common/HelperBus.h"
#include "common/HelperRequest.h"
#include "common/RNHelperToolProtocol.h"
#include "helper/PathGuard.h"
#include "helper/RestoreHandOver.h"

#include <sys/types.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>


namespace quillo::helper {

// Where a run reports: the caller's side of the progress messages.
using RNHelperToolProgress = common::RNHelperToolProtocolProgress;

class RNHelperTool : public common::RNHelperToolProtocol {
public:
    // Asks polkit (or a stand-in in tests) about `actionId` for the bus name `sender`; `done`
    // gets 0 or an OS status, exactly once.
    using PolkitCheck =
        std::function<void(const std::string& sender, const std::string& actionId, std::function<void(int)> done)>;

    explicit RNHelperTool(std::chrono::milliseconds idleTimeout = std::chrono::seconds(60));
    ~RNHelperTool() override;
    RNHelperTool(const RNHelperTool&) = delete;
    RNHelperTool& operator=(const RNHelperTool&) = delete;

    // Serves on the system bus until a quiet idle period passes with no run in progress (the bus
    // starts the helper again on the next call). 0 after an idle exit, 1 when the bus could not
    // be used or went away.
    int run();

    // The authorization check for `command` on behalf of the bus name `sender`: data that is not
    // exactly 32 bytes is -50 before polkit is asked; then polkit decides. `done` gets an empty
    // error on success, exactly once (maybe before this returns). On the bus, polkit's pending
    // check is stored in `*slot` (unreffing it forgets the check) under `cancellationId`.
    void checkAuthorization(std::string_view authorization, std::string_view command, const std::string& sender,
                            std::function<void(common::HelperError)> done, const std::string& cancellationId = {},
                            sd_bus_slot** slot = nullptr);
    // Replaces polkit (tests).
    void setPolkitCheck(PolkitCheck check) { polkitCheck_ = std::move(check); }

    // RNHelperToolProtocol. The bus methods decode a call and hand it to these; while one is
    // being served, the caller is its sender on the bus. Called in-process (no bus call being
    // served), setStoppedByUser is the helper's own and always obeyed, and an erase request,
    // whose caller cannot be identified, is refused.
    void getVersionWithReply(VersionReply reply) override;
    // Replied with nothing once polkit has granted the erase right to the caller and the request
    // is decoded and its run started; otherwise with -50 (busy, or a token not 32 bytes long),
    // polkit's refusal, or the decoder's error. A caller that leaves while polkit still asks is
    // never replied to.
    void eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                EraseReply reply) override;
    // A restore's hand-over, served at once once polkit has granted the erase right to the caller
    // (whatever erase runs meanwhile: it touches only the request's few items). One waiting
    // request per user.
    void restoreWithAuthorization(std::string_view authorization, std::string_view request,
                                  RestoreReply reply) override;
    // The run's own unlocking step, with the run's path guard and progress; outside a run nothing
    // can be verified, so nothing is unlocked.
    std::vector<std::string> unlockItemsWithArray(std::vector<std::string> paths) override;
    // On the bus: only the user whose erase runs (or root) may stop it; a stop sent while the
    // caller's own request waits for polkit makes that run start stopped.
    void setStoppedByUser(bool stopped) override;
    bool isStoppedByUser() const { return isStoppedByUser_; }

    // One run, synchronously on the calling thread: unlock, remove, report, finish.
    void doErase(const common::HelperRequest& request, const PathGuard& guard, RNHelperToolProgress& progress);
    // Clears the immutable and append-only flags of each entry, last to first; gives back the
    // entries that may go on to removal (those unlocked, those not yet visited when a stop came,
    // and refused paths, which the removal refuses and reports). Entries that could not be
    // unlocked are counted as not erased and reported.
    std::vector<std::string> unlockItemsWithArray(std::vector<std::string> paths, const PathGuard& guard,
                                                  RNHelperToolProgress& progress);
    // Size, removal, counters and the report of one item.
    void manageItemURL(const std::string& path, bool isDirectory, const PathGuard& guard,
                       RNHelperToolProgress& progress);

    // Another user asks for the slot while a run holds it: once the run has held the slot for its
    // share (slotShare) it takes no new item and leaves a folder it is emptying midway, and what
    // it has not reached is counted as not erased. turnWait is how long that may still take,
    // besides measuring the item in hand.
    void requestTurn();
    std::chrono::milliseconds turnWait() const;
    void setSlotShare(std::chrono::milliseconds share) { slotShare_ = share; }
    static constexpr std::chrono::milliseconds kSlotShare{std::chrono::seconds(30)};

    // Failures (refused paths, failed unlocks and removals) logged one by one per run; the rest
    // are counted in one line at the run's end.
    static constexpr uint64_t kLoggedFailuresPerRun = 10;

    // Work-list entries copied or moved by runs on the calling thread so far (for tests of the
    // run's cost, which must grow linearly with the request).
    static uint64_t workItemMoves();

    uint64_t erasedSize() const { return erasedSize_; }
    uint64_t erasedCount() const { return erasedCount_; }
    uint64_t notErasedCount() const { return notErasedCount_; }

private:
    struct Delivery;
    // An erase request waiting for polkit's answer (one per calling uid).
    struct PendingAuthorization;
    // A restore hand-over waiting for polkit's answer (one per calling uid).
    struct PendingRestore;

    // The bus call being served (loop thread, while its handler runs): who sent it, and for a
    // message whose protocol reply carries nothing, the refusal its handler answers with.
    struct BusCall {
        sd_bus_message* message = nullptr;
        common::HelperError refusal;
    };

    // Bus handlers (loop thread): decode, then call the protocol.
    static const sd_bus_vtable* vtable();
    static int onGetVersion(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onErase(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onSetStoppedByUser(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onRestore(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onIdle(sd_event_source* s, uint64_t usec, void* userdata);
    static int onProgressReady(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int onTick(sd_event_source* s, uint64_t usec, void* userdata);
    static int onPingReply(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onCallerNameChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onRestoreCallerNameChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);

    void serve(BusCall& call, const std::function<void()>& message);
    // The unlock walk, last to first, over `count` entries: sets dropped[i] for each entry that
    // could not be unlocked (counted, reported and logged here).
    void unlockWalk(size_t count, const std::function<std::string_view(size_t)>& pathAt, std::vector<bool>& dropped,
                    const PathGuard& guard, RNHelperToolProgress& progress);
    void logFailure(const std::string& line);
    bool givesWayNow() const;
    // The refusal of an erase while a run holds the slot; a caller other than the run's user
    // (or one that cannot be identified) makes the run give way after its share.
    common::HelperError busyRefusal(std::optional<uid_t> caller);
    void authorizationDone(uid_t uid, const std::string& cancellationId, common::HelperError error);
    void restoreAuthorizationDone(uid_t uid, const std::string& cancellationId, common::HelperError error);
    void callerLeft(uid_t uid, const std::string& cancellationId);
    static void replyError(sd_bus_message* call, const common::HelperError& error);
    bool callerUid(const char* sender, uid_t& uid);
    void touch();
    // The one erase slot: held by an authorized, running erase only. A request waiting for
    // polkit holds nothing, so that a prompt nobody answers cannot keep other users out.
    bool busy() const { return runActive_; }
    // Something still to finish before an idle exit: a run, a request waiting for polkit, or a
    // report on its way.
    bool active() const;
    void startRun(common::HelperRequest request, bool stopped);
    // Sends each caller what its report holds, as far as that caller keeps up (loop thread).
    void deliverProgress();
    void scheduleDelivery();
    // Any thread: the loop looks at the run's end and its reports now.
    void wakeLoop();
    void ping(Delivery& d);
    void finishRun();
    void exitIfDone();

    // Shared by the loop and the run thread.
    std::atomic<bool> isStoppedByUser_{false};
    // Written by the run thread only.
    const PathGuard* runGuard_ = nullptr;
    RNHelperToolProgress* runProgress_ = nullptr;
    uint64_t erasedSize_ = 0;
    uint64_t erasedCount_ = 0;
    uint64_t notErasedCount_ = 0;
    uint64_t failuresSeen_ = 0;
    // Fair share: set by the loop when another user is turned away, read by the run.
    std::atomic<bool> giveWay_{false};
    std::atomic<std::chrono::milliseconds> slotShare_{kSlotShare};
    std::atomic<std::chrono::steady_clock::rep> runStartedAt_{0};

    // Loop thread only.
    BusCall* currentCall_ = nullptr;
    std::chrono::milliseconds idleTimeout_;
    PolkitCheck polkitCheck_;
    sd_bus* bus_ = nullptr;
    sd_event* event_ = nullptr;
    sd_bus_slot* objectSlot_ = nullptr;
    sd_event_source* idleSource_ = nullptr;
    sd_event_source* progressSource_ = nullptr;
    std::map<uid_t, std::unique_ptr<PendingAuthorization>> pending_;  // by calling uid
    std::map<uid_t, std::unique_ptr<PendingRestore>> pendingRestores_;  // by calling uid
    RestoreHandOver handOver_;
    uint64_t checksStarted_ = 0;  // numbers the polkit checks' cancellation ids
    bool runActive_ = false;
    uid_t runUid_ = 0;
    std::string runCaller_;  // the unique bus name the run's signals go to
    bool nameReleased_ = false;
    bool exitAfterRun_ = false;
    std::thread runThread_;
    int progressFd_ = -1;  // eventfd: the run thread's "news" (progress, or the run's end)
    std::atomic<bool> runEnded_{false};
    sd_event_source* tickSource_ = nullptr;
    // Reports on their way, by caller bus name (one each).
    std::map<std::string, std::shared_ptr<Delivery>> deliveries_;
};

}  // namespace quillo::helper
