#include "helper/RNHelperTool.h"

#include "common/HelperProgressSignals.h"
#include "common/RNCommonHelper.h"
#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/SystemLog.h"
#include "helper/PolkitAuthority.h"
#include "helper/ProgressReport.h"
#include "files/TrashInfo.h"
#include "files/Utf8.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace quillo::helper {

using namespace quillo::common;

namespace {

// Progress to one caller: at most one signal every kTick, of at most kMaxSignalBytes of paths,
// and never more than kMaxUnacknowledged bytes that the caller has not shown to have read (by
// answering a ping sent after them, which its bus library does once it has read everything
// before). Across all callers at most kMaxUnacknowledgedTotal is in flight (past that only a
// caller with nothing in flight gets a small signal): what waits in the bus daemon on our
// account stays far below the daemon's limit, past which it would stop reading from the helper
// and every other caller would go unanswered.
constexpr std::chrono::milliseconds kTick{100};
constexpr size_t kMaxSignalBytes = 512u << 10;
constexpr size_t kSmallSignalBytes = 4u << 10;
constexpr uint64_t kMaxUnacknowledged = 1u << 20;
constexpr uint64_t kMaxUnacknowledgedTotal = 16u << 20;
// The helper's own write queue (messages not yet taken by the daemon): past this nothing more
// is added for any caller.
constexpr uint64_t kMaxQueuedWrites = 64;
constexpr uint64_t kPingTimeoutUsec = 5 * 1000000ull;
// A caller that acknowledges nothing for this long loses the items waiting for it.
constexpr std::chrono::seconds kStallLimit{30};

uint64_t measureItemAt(int parentFd, const std::string& name) {
    struct stat st;
    if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (!S_ISDIR(st.st_mode)) return uint64_t(st.st_size);
    UniqueFd dir(files::openDirectoryNoFollow(parentFd, name.c_str()));
    if (!dir.valid() || files::isOtherMount(dir.get(), files::deviceOf(parentFd))) return 0;
    files::WalkTotals totals;
    files::walkFolderAt(dir.get(), totals);
    return totals.totalSize;
}

// A bus call kept until its reply is sent (an erase request's waits for polkit).
using CallRef = std::shared_ptr<sd_bus_message>;
CallRef keepCall(sd_bus_message* m) {
    return CallRef(sd_bus_message_ref(m), [](sd_bus_message* call) { sd_bus_message_unref(call); });
}

std::string busErrorText(const sd_bus_error& e, int r) {
    if (e.message) return e.message;
    return std::strerror(r < 0 ? -r : r);
}

// Calls `handler` when the bus daemon says `sender` (a unique name) has changed owner.
int watchCallerDeparture(sd_bus* bus, sd_bus_slot** slot, const char* sender, sd_bus_message_handler_t handler,
                         void* userdata) {
    const std::string match = std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                          "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                              sender + "'";
    return sd_bus_add_match(bus, slot, match.c_str(), handler, userdata);
}

// The two byte arrays of an authorized call (erase, restore): the authorization and the request,
// as views into the message. False when the call does not carry them.
bool readAuthorizedCall(sd_bus_message* m, std::string_view& authorization, std::string_view& request) {
    const void* authorizationBytes = nullptr;
    size_t authorizationSize = 0;
    const void* requestBytes = nullptr;
    size_t requestSize = 0;
    int r = sd_bus_message_read_array(m, 'y', &authorizationBytes, &authorizationSize);
    if (r >= 0) r = sd_bus_message_read_array(m, 'y', &requestBytes, &requestSize);
    if (r < 0) return false;
    authorization = std::string_view(static_cast<const char*>(authorizationBytes), authorizationSize);
    request = std::string_view(static_cast<const char*>(requestBytes), requestSize);
    return true;
}

// Whether a NameOwnerChanged signal of that watch says the name went away (a unique name never
// gets a new owner).
bool callerWentAway(sd_bus_message* m) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return false;
    return !newOwner || !*newOwner;
}

}  // namespace

struct RNHelperTool::PendingAuthorization {
    RNHelperTool* tool = nullptr;
    uid_t uid = 0;
    std::string sender;          // the caller's unique bus name
    // The request bytes, decoded once authorized: a view into the call's message, which `call`
    // keeps (a request may be 32 MiB; it is not copied).
    std::shared_ptr<sd_bus_message> call;
    std::string_view request;
    std::string cancellationId;  // polkit's name for the check
    bool stopped = false;        // a stop that came while waiting
    RNHelperToolProtocol::EraseReply reply;
    sd_bus_slot* polkitSlot = nullptr;
    sd_bus_slot* watchSlot = nullptr;  // the caller's departure

    ~PendingAuthorization() {
        sd_bus_slot_unref(polkitSlot);
        sd_bus_slot_unref(watchSlot);
    }
};

struct RNHelperTool::PendingRestore {
    RNHelperTool* tool = nullptr;
    uid_t uid = 0;
    std::shared_ptr<sd_bus_message> call;  // keeps the request's bytes
    std::string_view request;
    std::string cancellationId;
    RNHelperToolProtocol::RestoreReply reply;
    sd_bus_slot* polkitSlot = nullptr;
    sd_bus_slot* watchSlot = nullptr;  // the caller's departure
    ~PendingRestore() {
        sd_bus_slot_unref(polkitSlot);
        sd_bus_slot_unref(watchSlot);
    }
};

// One run's report on its way to its caller (loop thread).
struct RNHelperTool::Delivery {
    RNHelperTool* tool = nullptr;
    std::string caller;  // unique bus name
    std::shared_ptr<ProgressReport> report;
    uint64_t sent = 0;          // bytes sent (estimated)
    uint64_t acknowledged = 0;  // of which the caller has read
    uint64_t pingedAt = 0;      // `sent` when the ping in flight left
    sd_bus_slot* ping = nullptr;
    std::chrono::steady_clock::time_point lastHeard = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastSent{};
    bool pingRefused = false;  // the bus does not let us ping it: only the write queue bounds it
    bool stalled = false;      // its waiting items were dropped
    bool gone = false;

    ~Delivery() { sd_bus_slot_unref(ping); }
    uint64_t unacknowledged() const { return sent - acknowledged; }
};

RNHelperTool::RNHelperTool(std::chrono::milliseconds idleTimeout) : idleTimeout_(idleTimeout) {}

RNHelperTool::~RNHelperTool() {
    if (runThread_.joinable()) runThread_.join();
}

// ---- Authorization ---------------------------------------------------------------------------

void RNHelperTool::checkAuthorization(std::string_view authorization, std::string_view command,
                                      const std::string& sender, std::function<void(HelperError)> done,
                                      const std::string& cancellationId, sd_bus_slot** slot) {
    if (authorization.size() != kAuthorizationDataLength) {
        done(HelperError::osStatus(kOSStatusParamErr, "the authorization data is not " +
                                                          std::to_string(kAuthorizationDataLength) + " bytes long"));
        return;
    }
    const std::optional<std::string> right = RNCommonHelper::authorizationRightForCommand(command);
    const std::string actionId = right ? RNCommonHelper::polkitActionIdForRight(*right) : std::string();
    if (actionId.empty()) {
        files::systemLog("quillo3-helper internal error: no authorization right for " + std::string(command));
        done(HelperError::osStatus(kErrAuthorizationDenied, "not authorized"));
        return;
    }
    auto finish = [done = std::move(done)](int status) {
        if (status == 0) done(HelperError());
        else if (status == kErrAuthorizationCanceled) done(HelperError::osStatus(status, "canceled by the user"));
        else done(HelperError::osStatus(status, "not authorized"));
    };
    if (polkitCheck_) {
        polkitCheck_(sender, actionId, std::move(finish));
    } else if (bus_) {
        sd_bus_slot* pending = PolkitAuthority::checkAuthorization(bus_, sender, actionId, cancellationId, std::move(finish));
        if (slot) *slot = pending;
        else sd_bus_slot_unref(pending);
    } else {
        files::systemLog("quillo3-helper: no system bus to ask polkit; erase refused");
        finish(kErrAuthorizationDenied);
    }
}

// ---- The erase run -----------------------------------------------------------------------------

// ---- The work list: distinct paths, linear work -------------------------------------------------
//
// A request may hold millions of paths, many of them the same: the run works on indexes into the
// request's lists, reduces them to distinct paths before anything is touched, and drops the
// entries that could not be unlocked in one pass at the end of the walk, so every step is linear
// (the reduction n log n) whatever the mix of failures.

namespace {

thread_local uint64_t tWorkItemMoves = 0;

// One entry of the work list: the index of its path in the request. Copies and moves are counted
// (workItemMoves) so that a test can tell a linear run from one that shifts the list for each
// failure.
struct WorkItem {
    static constexpr uint32_t kDropped = UINT32_MAX;
    uint32_t index = kDropped;
    WorkItem() = default;
    explicit WorkItem(uint32_t i) : index(i) {}
    WorkItem(const WorkItem& o) : index(o.index) { ++tWorkItemMoves; }
    WorkItem& operator=(const WorkItem& o) {
        index = o.index;
        ++tWorkItemMoves;
        return *this;
    }
};

// The request's three lists as one numbering, in work order.
class RequestPaths {
public:
    explicit RequestPaths(const HelperRequest& r)
        : lists_{&r.unlockItems, &r.permissionsItems, &r.notTrashedBecauseFolderNotEmpty} {}
    size_t size() const { return lists_[0]->size() + lists_[1]->size() + lists_[2]->size(); }
    size_t unlockCount() const { return lists_[0]->size(); }
    std::string_view operator[](size_t i) const {
        for (const PathList* list : lists_) {
            if (i < list->size()) return (*list)[i];
            i -= list->size();
        }
        return {};
    }

private:
    const PathList* lists_[3];
};

// The distinct paths of the request, each at its first place, split into the entries to unlock
// and the rest. Gives how many repeated entries were left out.
size_t distinctWork(const RequestPaths& paths, std::vector<WorkItem>& unlock, std::vector<WorkItem>& rest) {
    const size_t n = paths.size();
    std::vector<bool> keep(n, false);
    {
        std::vector<uint32_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = uint32_t(i);
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            const int c = paths[a].compare(paths[b]);
            return c < 0 || (c == 0 && a < b);
        });
        for (size_t k = 0; k < n; ++k) keep[order[k]] = k == 0 || paths[order[k]] != paths[order[k - 1]];
    }
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) kept += keep[i];
    unlock.reserve(kept);
    for (size_t i = 0; i < n; ++i)
        if (keep[i]) (i < paths.unlockCount() ? unlock : rest).emplace_back(uint32_t(i));
    return n - kept;
}

}  // namespace

uint64_t RNHelperTool::workItemMoves() { return tWorkItemMoves; }

void RNHelperTool::logFailure(const std::string& line) {
    if (++failuresSeen_ <= kLoggedFailuresPerRun) files::systemLog(line);
}

void RNHelperTool::requestTurn() { giveWay_ = true; }

std::chrono::milliseconds RNHelperTool::turnWait() const {
    const auto held = std::chrono::steady_clock::now().time_since_epoch() -
                      std::chrono::steady_clock::duration(runStartedAt_.load());
    const auto left = slotShare_.load() - std::chrono::duration_cast<std::chrono::milliseconds>(held);
    return std::max(left, std::chrono::milliseconds(0));
}

bool RNHelperTool::givesWayNow() const { return giveWay_ && turnWait().count() == 0; }

void RNHelperTool::doErase(const HelperRequest& request, const PathGuard& guard, RNHelperToolProgress& progress) {
    erasedSize_ = request.erasedSize;
    erasedCount_ = request.erasedCount;
    notErasedCount_ = 0;
    failuresSeen_ = 0;
    giveWay_ = false;
    runStartedAt_ = std::chrono::steady_clock::now().time_since_epoch().count();
    runGuard_ = &guard;
    runProgress_ = &progress;

    const RequestPaths paths(request);
    std::vector<WorkItem> unlock, rest;
    if (const size_t repeated = distinctWork(paths, unlock, rest))
        files::systemLog("quillo3-helper: " + std::to_string(repeated) + " repeated paths of the request left out");

    if (!unlock.empty()) {
        std::vector<bool> dropped;
        unlockWalk(unlock.size(), [&](size_t k) { return paths[unlock[k].index]; }, dropped, guard, progress);
        // One pass drops what could not be unlocked.
        for (size_t k = 0; k < unlock.size(); ++k)
            if (dropped[k]) unlock[k].index = WorkItem::kDropped;
        std::erase_if(unlock, [](const WorkItem& w) { return w.index == WorkItem::kDropped; });
    }

    const size_t total = unlock.size() + rest.size();
    for (size_t k = 0; k < total; ++k) {
        // A run that has had the slot for its share while another user waits takes no new item;
        // what it did not reach is not erased.
        if (givesWayNow()) {
            notErasedCount_ += total - k;
            files::systemLog("quillo3-helper: another user waits; the run stops with " + std::to_string(total - k) +
                             " items not reached");
            break;
        }
        // The item in hand when the stop comes is still finished; the next one is not started.
        const bool last = isStoppedByUser_;
        const WorkItem& item = k < unlock.size() ? unlock[k] : rest[k - unlock.size()];
        manageItemURL(std::string(paths[item.index]), false, guard, progress);
        if (last) break;
    }
    if (failuresSeen_ > kLoggedFailuresPerRun)
        files::systemLog("quillo3-helper: " + std::to_string(failuresSeen_ - kLoggedFailuresPerRun) +
                         " more items of this run not erased (not logged one by one)");
    runGuard_ = nullptr;
    runProgress_ = nullptr;
    progress.finishedWithNonErasedCount(notErasedCount_);
}

std::vector<std::string> RNHelperTool::unlockItemsWithArray(std::vector<std::string> paths) {
    if (!runGuard_ || !runProgress_) return {};
    return unlockItemsWithArray(std::move(paths), *runGuard_, *runProgress_);
}

std::vector<std::string> RNHelperTool::unlockItemsWithArray(std::vector<std::string> paths, const PathGuard& guard,
                                                            RNHelperToolProgress& progress) {
    std::vector<bool> dropped;
    unlockWalk(paths.size(), [&](size_t k) { return std::string_view(paths[k]); }, dropped, guard, progress);
    size_t out = 0;
    for (size_t k = 0; k < paths.size(); ++k)
        if (!dropped[k]) {
            if (out != k) paths[out] = std::move(paths[k]);
            ++out;
        }
    paths.resize(out);
    return paths;
}

void RNHelperTool::unlockWalk(size_t count, const std::function<std::string_view(size_t)>& pathAt,
                              std::vector<bool>& dropped, const PathGuard& guard, RNHelperToolProgress& progress) {
    dropped.assign(count, false);
    for (size_t i = count; i-- > 0;) {
        if (givesWayNow()) break;
        const std::string_view path = pathAt(i);
        GuardResult verified = guard.verify(path);
        if (verified) {
            std::string why;
            if (!files::unlockItemAt(verified.item->parent.get(), verified.item->name, why)) {
                logFailure("quillo3-helper: could not unlock " + std::string(path) + ": " + why);
                ++notErasedCount_;
                progress.itemsErased(erasedCount_, erasedSize_, 0, std::string(path));
                dropped[i] = true;
            }
        }
        if (isStoppedByUser_) break;
    }
}

void RNHelperTool::manageItemURL(const std::string& path, bool /*isDirectory*/, const PathGuard& guard,
                                 RNHelperToolProgress& progress) {
    GuardResult verified = guard.verify(path);
    if (!verified) {
        logFailure("quillo3-helper: refused " + path + ": " + verified.refusal);
        ++notErasedCount_;
        progress.itemsErased(erasedCount_, erasedSize_, 0, path);
        return;
    }
    const GuardedItem& item = *verified.item;
    const uint64_t size = measureItemAt(item.parent.get(), item.name);
    // A waiting user's turn also ends a large folder midway, so that the wait stays bounded by the
    // share whatever the size of one item; what is left of the folder stays in the trash.
    const int err = files::removeItemAt(item.parent.get(), item.name.c_str(), [this] { return givesWayNow(); });
    if (err == ECANCELED) {
        files::systemLog("quillo3-helper: gave way to a waiting user inside " + path);
        ++notErasedCount_;
    } else if (err != 0) {
        logFailure("quillo3-helper: could not remove " + path + ": " + std::strerror(err));
        ++notErasedCount_;
    } else {
        ++erasedCount_;
        erasedSize_ += size;
        if (item.topLevel && !files::forgetErasedTrashItemAt(item.trashDir.get(), item.name, guard.uid()))
            files::systemLog("quillo3-helper: could not remove the trash information of " + path);
    }
    progress.itemsErased(erasedCount_, erasedSize_, size, path);
}

// ---- The service --------------------------------------------------------------------------------

const sd_bus_vtable* RNHelperTool::vtable() {
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD(kGetVersionMethod, kGetVersionIn, kGetVersionOut, &RNHelperTool::onGetVersion,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kEraseMethod, kEraseIn, kEraseOut, &RNHelperTool::onErase, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kRestoreMethod, kRestoreIn, kRestoreOut, &RNHelperTool::onRestore, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD(kSetStoppedByUserMethod, kSetStoppedByUserIn, kSetStoppedByUserOut,
                      &RNHelperTool::onSetStoppedByUser, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL(kItemsErasedSignal, kItemsErasedSignature, 0),
        SD_BUS_SIGNAL(kFinishedSignal, kFinishedSignature, 0),
        SD_BUS_VTABLE_END,
    };
    return table;
}

int RNHelperTool::run() {
    int r = sd_event_new(&event_);
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: no event loop: ") + std::strerror(-r));
        return 1;
    }
    r = sd_bus_open_system(&bus_);
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: cannot connect to the system bus: ") + std::strerror(-r));
        return 1;
    }
    r = sd_bus_attach_event(bus_, event_, SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0) r = sd_bus_set_exit_on_disconnect(bus_, 1);
    if (r >= 0) {
        r = sd_bus_add_object_vtable(bus_, &objectSlot_, kHelperObjectPath, kHelperInterface, vtable(), this);
    }
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: cannot publish the helper object: ") + std::strerror(-r));
        return 1;
    }
    progressFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    r = progressFd_ < 0 ? -errno : sd_event_add_io(event_, &progressSource_, progressFd_, EPOLLIN, onProgressReady, this);
    if (r >= 0) {
        const uint64_t usec = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(idleTimeout_).count());
        r = sd_event_add_time_relative(event_, &idleSource_, CLOCK_MONOTONIC, usec, 0, onIdle, this);
    }
    if (r >= 0) r = sd_event_add_time_relative(event_, &tickSource_, CLOCK_MONOTONIC, 0, 0, onTick, this);
    if (r >= 0) r = sd_event_source_set_enabled(tickSource_, SD_EVENT_OFF);
    // The tick is the pace of the progress: not the loop's default slack of a quarter second.
    if (r >= 0) r = sd_event_source_set_time_accuracy(tickSource_, 1000);
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: event loop setup failed: ") + std::strerror(-r));
        return 1;
    }
    r = sd_bus_request_name(bus_, kHelperBusName, 0);
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: cannot own ") + kHelperBusName + ": " + std::strerror(-r));
        return 1;
    }

    r = sd_event_loop(event_);
    if (r != 0) files::systemLog("quillo3-helper: the system bus went away");

    // A run in progress completes even when nobody can hear it any more.
    if (runThread_.joinable()) runThread_.join();

    pending_.clear();
    deliveries_.clear();
    tickSource_ = sd_event_source_unref(tickSource_);
    objectSlot_ = sd_bus_slot_unref(objectSlot_);
    idleSource_ = sd_event_source_unref(idleSource_);
    progressSource_ = sd_event_source_unref(progressSource_);
    if (progressFd_ >= 0) ::close(progressFd_);
    progressFd_ = -1;
    sd_bus_flush(bus_);
    sd_bus_detach_event(bus_);
    bus_ = sd_bus_close_unref(bus_);
    event_ = sd_event_unref(event_);
    return r == 0 ? 0 : 1;
}

void RNHelperTool::touch() {
    if (!idleSource_) return;
    const uint64_t usec = uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(idleTimeout_).count());
    sd_event_source_set_time_relative(idleSource_, usec);
    sd_event_source_set_enabled(idleSource_, SD_EVENT_ONESHOT);
}

int RNHelperTool::onIdle(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<RNHelperTool*>(userdata);
    if (self->active()) {
        self->touch();
        return 0;
    }
    if (!self->nameReleased_) {
        // New callers go to a fresh instance from now on; calls already queued for this one are
        // still answered, and a run they start is finished before the exit.
        sd_bus_release_name(self->bus_, kHelperBusName);
        self->nameReleased_ = true;
        while (sd_bus_process(self->bus_, nullptr) > 0) {
        }
        if (self->active()) {
            self->exitAfterRun_ = true;
            return 0;
        }
    }
    sd_event_exit(self->event_, 0);
    return 0;
}

void RNHelperTool::exitIfDone() {
    if (exitAfterRun_ && !active()) sd_event_exit(event_, 0);
}

void RNHelperTool::replyError(sd_bus_message* call, const HelperError& error) {
    const std::string message = error.busErrorMessage();
    sd_bus_reply_method_errorf(call, error.busErrorName(), "%s", message.c_str());
}

bool RNHelperTool::callerUid(const char* sender, uid_t& uid) {
    if (!sender || !bus_) return false;
    // The bus daemon's answer comes from the kernel's peer credentials of the caller's socket.
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "GetConnectionUnixUser", &error, &reply, "s", sender);
    uint32_t value = 0;
    if (r >= 0) r = sd_bus_message_read(reply, "u", &value);
    if (r < 0) files::systemLog(std::string("quillo3-helper: cannot identify ") + sender + ": " + busErrorText(error, r));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    if (r < 0) return false;
    uid = uid_t(value);
    return true;
}

void RNHelperTool::serve(BusCall& call, const std::function<void()>& message) {
    currentCall_ = &call;
    message();
    currentCall_ = nullptr;
}

// ---- The bus methods: decode, then call the protocol ------------------------------------------

int RNHelperTool::onGetVersion(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<RNHelperTool*>(userdata);
    self->touch();
    BusCall call{m, {}};
    self->serve(call, [&] {
        self->getVersionWithReply([call = keepCall(m)](const std::string& version) {
            sd_bus_reply_method_return(call.get(), "s", version.c_str());
        });
    });
    return 1;
}

int RNHelperTool::onSetStoppedByUser(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<RNHelperTool*>(userdata);
    self->touch();
    int stopped = 0;
    if (sd_bus_message_read(m, "b", &stopped) < 0) {
        replyError(m, HelperError::osStatus(kOSStatusParamErr, "malformed arguments"));
        return 1;
    }
    BusCall call{m, {}};
    self->serve(call, [&] { self->setStoppedByUser(stopped != 0); });
    if (call.refusal) replyError(m, call.refusal);
    else sd_bus_reply_method_return(m, "");
    return 1;
}

int RNHelperTool::onErase(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<RNHelperTool*>(userdata);
    self->touch();
    std::string_view authorization, request;
    if (!readAuthorizedCall(m, authorization, request)) {
        replyError(m, HelperError::osStatus(kOSStatusParamErr, "malformed arguments"));
        return 1;
    }
    BusCall call{m, {}};
    self->serve(call, [&] {
        self->eraseWithAuthorization(authorization, request,
                                     [call = keepCall(m)](const HelperError& error) {
                                         if (error) replyError(call.get(), error);
                                         else sd_bus_reply_method_return(call.get(), "");
                                     });
    });
    return 1;
}

int RNHelperTool::onRestore(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<RNHelperTool*>(userdata);
    self->touch();
    std::string_view authorization, request;
    if (!readAuthorizedCall(m, authorization, request)) {
        replyError(m, HelperError::osStatus(kOSStatusParamErr, "malformed arguments"));
        return 1;
    }
    BusCall call{m, {}};
    self->serve(call, [&] {
        self->restoreWithAuthorization(
            authorization, request,
            [call = keepCall(m)](const HelperError& error, const std::vector<std::string>& messages) {
                if (error) {
                    replyError(call.get(), error);
                    return;
                }
                sd_bus_message* reply = nullptr;
                int r = sd_bus_message_new_method_return(call.get(), &reply);
                if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
                for (size_t i = 0; r >= 0 && i < messages.size(); ++i)
                    r = sd_bus_message_append(reply, "s", files::escapedText(messages[i], true).c_str());
                if (r >= 0) r = sd_bus_message_close_container(reply);
                if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
                sd_bus_message_unref(reply);
                if (r < 0) files::systemLog(std::string("quillo3-helper: restore reply not sent: ") + std::strerror(-r));
            });
    });
    return 1;
}

// ---- The protocol --------------------------------------------------------------------------------

void RNHelperTool::restoreWithAuthorization(std::string_view authorization, std::string_view request,
                                            RestoreReply reply) {
    const char* sender = currentCall_ ? sd_bus_message_get_sender(currentCall_->message) : nullptr;
    if (!sender || !bus_) {
        reply(HelperError::osStatus(kErrAuthorizationDenied, "the caller cannot be identified"), {});
        return;
    }
    auto pending = std::make_unique<PendingRestore>();
    pending->tool = this;
    // A caller that leaves while polkit asks: the check is cancelled and nothing is done. As for
    // an erase, the departure is watched before the caller is identified: one that leaves earlier
    // is not found by the bus daemon, one that leaves later is seen leaving.
    if (watchCallerDeparture(bus_, &pending->watchSlot, sender, onRestoreCallerNameChanged, pending.get()) < 0) {
        reply(HelperError::osStatus(kOSStatusParamErr, "busy: the caller cannot be watched"), {});
        return;
    }
    uid_t uid = 0;
    if (!callerUid(sender, uid)) {
        reply(HelperError::osStatus(kErrAuthorizationDenied, "the caller cannot be identified"), {});
        return;
    }
    if (pendingRestores_.count(uid)) {
        reply(HelperError::osStatus(kOSStatusParamErr, "busy: a restore request of yours waits for authorization"), {});
        return;
    }
    pending->uid = uid;
    pending->call = keepCall(currentCall_->message);
    pending->request = request;
    pending->reply = std::move(reply);
    pending->cancellationId = "quillo3-helper-" + std::to_string(++checksStarted_);
    const std::string id = pending->cancellationId;
    pendingRestores_[uid] = std::move(pending);
    sd_bus_slot* slot = nullptr;
    checkAuthorization(
        authorization, kEraseCommand, sender,
        [this, uid, id](HelperError error) { restoreAuthorizationDone(uid, id, std::move(error)); }, id, &slot);
    auto it = pendingRestores_.find(uid);
    if (it != pendingRestores_.end() && it->second->cancellationId == id) it->second->polkitSlot = slot;
    else sd_bus_slot_unref(slot);
}

int RNHelperTool::onRestoreCallerNameChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingRestore*>(userdata);
    if (!callerWentAway(m)) return 0;
    RNHelperTool* self = pending->tool;
    auto it = self->pendingRestores_.find(pending->uid);
    if (it == self->pendingRestores_.end() || it->second.get() != pending) return 0;
    // `pending` is gone after this.
    std::unique_ptr<PendingRestore> gone = std::move(it->second);
    self->pendingRestores_.erase(it);
    files::systemLog("quillo3-helper: the caller of a restore request left while waiting for authorization");
    if (gone->polkitSlot) PolkitAuthority::cancelCheckAuthorization(self->bus_, gone->cancellationId);
    self->touch();
    self->exitIfDone();
    return 0;
}

void RNHelperTool::restoreAuthorizationDone(uid_t uid, const std::string& cancellationId, HelperError error) {
    auto it = pendingRestores_.find(uid);
    if (it == pendingRestores_.end() || it->second->cancellationId != cancellationId) return;
    std::unique_ptr<PendingRestore> pending = std::move(it->second);
    pendingRestores_.erase(it);
    std::optional<HelperRequest> request;
    if (!error) request = decodeHelperRequest(pending->request, &error);
    std::optional<CallerIdentity> caller;
    if (!error && !(caller = CallerIdentity::forUid(uid)))
        error = HelperError::osStatus(kErrAuthorizationDenied, "the caller has no entry in the user database");
    if (error || !request) {
        if (!error) error = HelperError::osStatus(kOSStatusParamErr, "no request");
        files::systemLog("quillo3-helper: restore request refused: " + error.busErrorMessage());
        pending->reply(error, {});
    } else {
        const PathGuard guard = PathGuard::forUser(uid);
        pending->reply(HelperError(), handOver_.serve(*request, guard, *caller));
    }
    touch();
    exitIfDone();
}


void RNHelperTool::getVersionWithReply(VersionReply reply) { reply(kHelperVersion); }

void RNHelperTool::setStoppedByUser(bool stopped) {
    if (!currentCall_) {
        isStoppedByUser_ = stopped;
        return;
    }
    uid_t uid = 0;
    const bool known = callerUid(sd_bus_message_get_sender(currentCall_->message), uid);
    if (runActive_) {
        // Only the user whose erase is running (or root) may stop it.
        if (!known || (uid != 0 && uid != runUid_)) {
            currentCall_->refusal = HelperError::osStatus(kErrAuthorizationDenied, "not the caller of the running erase");
            return;
        }
        isStoppedByUser_ = stopped;
    } else if (auto it = known ? pending_.find(uid) : pending_.end(); it != pending_.end()) {
        // The caller's own request, still waiting for polkit, starts stopped.
        it->second->stopped = stopped;
    }
}

void RNHelperTool::eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                          EraseReply reply) {
    const char* sender = currentCall_ ? sd_bus_message_get_sender(currentCall_->message) : nullptr;
    // One root eraser at a time, whoever asks; another user waits a bounded time.
    if (busy()) {
        uid_t uid = 0;
        reply(busyRefusal(sender && callerUid(sender, uid) ? std::optional<uid_t>(uid) : std::nullopt));
        return;
    }
    if (!sender || !bus_) {
        reply(HelperError::osStatus(kErrAuthorizationDenied, "the caller cannot be identified"));
        return;
    }
    auto pending = std::make_unique<PendingAuthorization>();
    pending->tool = this;
    pending->sender = sender;
    // The caller's departure is watched before the caller is identified: one that leaves
    // earlier is not found by the bus daemon, one that leaves later is seen leaving.
    int r = watchCallerDeparture(bus_, &pending->watchSlot, sender, onCallerNameChanged, pending.get());
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: cannot watch ") + sender + ": " + std::strerror(-r));
        reply(HelperError::osStatus(kOSStatusParamErr, "busy: the caller cannot be watched"));
        return;
    }
    uid_t uid = 0;
    if (!callerUid(sender, uid)) {
        reply(HelperError::osStatus(kErrAuthorizationDenied, "the caller cannot be identified"));
        return;
    }
    // One waiting request per user: a user cannot pile up password dialogs.
    if (pending_.count(uid)) {
        reply(HelperError::osStatus(kOSStatusParamErr, "busy: an erase request of yours waits for authorization"));
        return;
    }
    pending->uid = uid;
    pending->reply = std::move(reply);
    pending->call = keepCall(currentCall_->message);
    pending->request = itemsDictionary;
    pending->cancellationId = "quillo3-helper-" + std::to_string(++checksStarted_);
    const std::string id = pending->cancellationId;
    pending_[uid] = std::move(pending);
    sd_bus_slot* slot = nullptr;
    checkAuthorization(
        authorization, kEraseCommand, sender,
        [this, uid, id](HelperError error) { authorizationDone(uid, id, std::move(error)); }, id, &slot);
    // The answer may have come already (a malformed token, polkit unreachable).
    auto it = pending_.find(uid);
    if (it != pending_.end() && it->second->cancellationId == id) it->second->polkitSlot = slot;
    else sd_bus_slot_unref(slot);
}

int RNHelperTool::onCallerNameChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingAuthorization*>(userdata);
    if (!callerWentAway(m)) return 0;
    // `pending` is gone after this call.
    pending->tool->callerLeft(pending->uid, pending->cancellationId);
    return 0;
}

void RNHelperTool::callerLeft(uid_t uid, const std::string& cancellationId) {
    auto it = pending_.find(uid);
    if (it == pending_.end() || it->second->cancellationId != cancellationId) return;
    std::unique_ptr<PendingAuthorization> pending = std::move(it->second);
    pending_.erase(it);
    files::systemLog("quillo3-helper: " + pending->sender + " left while waiting for authorization; check cancelled");
    // polkit closes the authentication dialog; its answer, if any, is no longer listened for.
    if (pending->polkitSlot) PolkitAuthority::cancelCheckAuthorization(bus_, cancellationId);
    touch();
    exitIfDone();
}

void RNHelperTool::authorizationDone(uid_t uid, const std::string& cancellationId, HelperError error) {
    auto it = pending_.find(uid);
    if (it == pending_.end() || it->second->cancellationId != cancellationId) return;
    std::unique_ptr<PendingAuthorization> pending = std::move(it->second);
    pending_.erase(it);
    std::optional<HelperRequest> request;
    if (!error) request = decodeHelperRequest(pending->request, &error);
    pending->request = {};
    pending->call.reset();
    // Another user's request may have been authorized first.
    if (!error && busy()) error = busyRefusal(pending->uid);
    // One report per caller: the last one's end reaches it first.
    if (auto d = deliveries_.find(pending->sender); !error && d != deliveries_.end() && !d->second->report->ended())
        error = HelperError::osStatus(kOSStatusParamErr, "busy: the progress of your last erase is still on its way");
    if (error || !request) {
        if (!error) error = HelperError::osStatus(kOSStatusParamErr, "no request");
        files::systemLog("quillo3-helper: erase request refused: " + error.busErrorMessage());
        pending->reply(error);
    } else {
        // The reply goes out before the run's first signal: both leave through this thread.
        pending->reply(HelperError());
        runCaller_ = pending->sender;
        runUid_ = pending->uid;
        startRun(std::move(*request), pending->stopped);
    }
    touch();
    exitIfDone();
}

void RNHelperTool::startRun(HelperRequest request, bool stopped) {
    if (runThread_.joinable()) runThread_.join();
    isStoppedByUser_ = stopped;
    runActive_ = true;
    auto report = std::make_shared<ProgressReport>(request.erasedCount, [this] { wakeLoop(); });
    // The caller's last report may still wait for its acknowledgement: its count goes on.
    std::shared_ptr<Delivery>& delivery = deliveries_[runCaller_];
    if (!delivery) {
        delivery = std::make_shared<Delivery>();
        delivery->tool = this;
        delivery->caller = runCaller_;
    }
    delivery->report = report;
    delivery->stalled = false;
    const uid_t uid = runUid_;
    runThread_ = std::thread([this, uid, report, request = std::move(request)] {
        const PathGuard guard = PathGuard::forUser(uid);
        doErase(request, guard, *report);
        // The loop frees the slot (and sends the end, once the caller has read the rest).
        runEnded_ = true;
        wakeLoop();
    });
    scheduleDelivery();
}

int RNHelperTool::onProgressReady(sd_event_source*, int fd, uint32_t, void* userdata) {
    uint64_t counter = 0;
    while (::read(fd, &counter, sizeof counter) > 0) {
    }
    auto* self = static_cast<RNHelperTool*>(userdata);
    if (self->runEnded_.exchange(false)) self->finishRun();
    self->deliverProgress();
    return 0;
}

void RNHelperTool::wakeLoop() {
    const uint64_t one = 1;
    if (progressFd_ >= 0 && ::write(progressFd_, &one, sizeof one) < 0 && errno != EAGAIN)
        files::systemLog(std::string("quillo3-helper: the loop could not be woken: ") + std::strerror(errno));
}

bool RNHelperTool::active() const {
    // A report whose caller reads nothing does not keep the helper.
    for (const auto& [caller, d] : deliveries_)
        if (!d->stalled) return true;
    return runActive_ || !pending_.empty() || !pendingRestores_.empty();
}

void RNHelperTool::scheduleDelivery() {
    if (!tickSource_) return;
    int enabled = SD_EVENT_OFF;
    sd_event_source_get_enabled(tickSource_, &enabled);
    if (enabled != SD_EVENT_OFF) return;
    sd_event_source_set_time_relative(tickSource_, uint64_t(std::chrono::microseconds(kTick).count()));
    sd_event_source_set_enabled(tickSource_, SD_EVENT_ONESHOT);
}

int RNHelperTool::onTick(sd_event_source*, uint64_t, void* userdata) {
    auto* self = static_cast<RNHelperTool*>(userdata);
    self->deliverProgress();
    if (!self->deliveries_.empty()) self->scheduleDelivery();
    self->exitIfDone();
    return 0;
}

void RNHelperTool::deliverProgress() {
    if (!bus_) return;
    uint64_t queued = 0;
    if (sd_bus_get_n_queued_write(bus_, &queued) < 0) queued = 0;
    uint64_t inFlight = 0;
    for (const auto& [caller, d] : deliveries_) inFlight += d->unacknowledged();
    const auto now = std::chrono::steady_clock::now();
    for (auto it = deliveries_.begin(); it != deliveries_.end();) {
        Delivery& d = *it->second;
        if (d.pingRefused) d.acknowledged = d.sent;
        if (d.gone || (d.report->ended() && d.unacknowledged() == 0)) {
            it = deliveries_.erase(it);
            continue;
        }
        if (!d.stalled && d.unacknowledged() > 0 && now - d.lastHeard > kStallLimit) {
            // It reads nothing: what waits for it is dropped; it gets the counts when it reads.
            files::systemLog("quillo3-helper: " + d.caller + " reads no progress; the items waiting for it are dropped");
            d.report->dropItems();
            d.stalled = true;
        }
        const bool roomOnBus = queued <= kMaxQueuedWrites;
        const bool roomForIt = d.unacknowledged() < kMaxUnacknowledged;
        const bool roomOverall = inFlight < kMaxUnacknowledgedTotal;
        const bool due = now - d.lastSent >= kTick;
        if (due && roomOnBus && roomForIt && (roomOverall || d.unacknowledged() == 0) && !d.report->ended()) {
            ProgressReport::Batch batch = d.report->take(roomOverall ? kMaxSignalBytes : kSmallSignalBytes);
            common::HelperProgressSignalSender sender(bus_, d.caller);
            uint64_t bytes = 0;
            if (batch.hasProgress || batch.unlisted > 0 || !batch.items.empty()) {
                sender.itemsErased(batch.count, batch.totSize, batch.items, batch.unlisted);
                bytes += 128;
                for (const auto& item : batch.items) bytes += 40 + item.path.size();
            }
            if (batch.finished) {
                sender.finishedWithNonErasedCount(batch.notErased);
                bytes += 96;
            }
            d.sent += bytes;
            inFlight += bytes;
            if (bytes > 0) {
                ++queued;
                d.lastSent = now;
            }
        }
        if (d.unacknowledged() > 0 && !d.ping && !d.pingRefused) ping(d);
        ++it;
    }
}

void RNHelperTool::ping(Delivery& d) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, d.caller.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping");
    if (r >= 0) r = sd_bus_call_async(bus_, &d.ping, m, onPingReply, &d, kPingTimeoutUsec);
    sd_bus_message_unref(m);
    if (r < 0) d.ping = nullptr;
    else d.pingedAt = d.sent;
}

int RNHelperTool::onPingReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* d = static_cast<Delivery*>(userdata);
    d->ping = sd_bus_slot_unref(d->ping);
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
        const std::string name = e->name ? e->name : "";
        if (name == SD_BUS_ERROR_NAME_HAS_NO_OWNER || name == SD_BUS_ERROR_SERVICE_UNKNOWN) {
            d->gone = true;  // its messages are dropped by the bus, none is charged to us any more
        } else if (name == SD_BUS_ERROR_ACCESS_DENIED || name == SD_BUS_ERROR_UNKNOWN_METHOD ||
                   name == SD_BUS_ERROR_UNKNOWN_INTERFACE || name == SD_BUS_ERROR_UNKNOWN_OBJECT) {
            files::systemLog("quillo3-helper: cannot ping " + d->caller + " (" + name +
                             "); its progress is bounded by the write queue only");
            d->pingRefused = true;
        }
        // A ping that timed out is sent again on the next tick.
        return 0;
    }
    d->acknowledged = d->pingedAt;
    d->lastHeard = std::chrono::steady_clock::now();
    return 0;
}

HelperError RNHelperTool::busyRefusal(std::optional<uid_t> caller) {
    if (caller && *caller == runUid_)
        return HelperError::osStatus(kOSStatusParamErr, "busy: your erase is in progress");
    // Someone else waits: the run gives way after its share of the slot.
    requestTurn();
    const auto wait = std::chrono::duration_cast<std::chrono::seconds>(turnWait() + std::chrono::milliseconds(999));
    return HelperError::osStatus(kOSStatusParamErr, "busy: another user's erase is in progress; it takes no new item "
                                                    "after " + std::to_string(wait.count()) + " s more");
}

void RNHelperTool::finishRun() {
    if (!runActive_) return;
    if (runThread_.joinable()) runThread_.join();
    runActive_ = false;
    runCaller_.clear();
    touch();
    exitIfDone();
}

}  // namespace quillo::helper
