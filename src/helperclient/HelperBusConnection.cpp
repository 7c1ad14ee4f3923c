#include "helperclient/HelperBusConnection.h"

#include "files/SystemLog.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

namespace quillo::helperclient {

namespace {

constexpr char kBusService[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kBusInterface[] = "org.freedesktop.DBus";

// The reply callback of one call, owned by its sd-bus slot.
struct PendingCall {
    HelperBusConnection::Reply reply;
};

int onCallReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* call = static_cast<PendingCall*>(userdata);
    HelperBusConnection::Reply reply = std::move(call->reply);
    call->reply = nullptr;
    if (!reply) return 0;
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) reply(HelperClientError::fromBusError(e, -EIO), nullptr);
    else reply(HelperClientError{}, m);
    return 0;
}

void destroyPendingCall(void* userdata) { delete static_cast<PendingCall*>(userdata); }

}  // namespace

HelperBusConnection::HelperBusConnection(Handlers handlers) : handlers_(std::move(handlers)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        openError_ = HelperClientError::bus("org.freedesktop.DBus.Error.Failed", std::strerror(errno), errno);
        accepting_ = false;
        return;
    }
    std::promise<HelperClientError> opened;
    auto result = opened.get_future();
    thread_ = std::thread([this, &opened] {
        threadId_.store(std::this_thread::get_id());
        int r = sd_event_new(&event_);
        if (r >= 0) r = sd_event_add_io(event_, &wakeSource_, wakeFd_, EPOLLIN, &HelperBusConnection::onWake, this);
        if (r < 0) {
            opened.set_value(HelperClientError::bus("org.freedesktop.DBus.Error.Failed", std::strerror(-r), -r));
            return;
        }
        r = sd_bus_open_system(&bus_);
        if (r >= 0) r = sd_bus_attach_event(bus_, event_, SD_EVENT_PRIORITY_NORMAL);
        if (r >= 0) r = sd_bus_add_filter(bus_, &filterSlot_, &onFilter, this);
        if (r < 0) {
            opened.set_value(HelperClientError::bus("org.freedesktop.DBus.Error.NoServer",
                                                    std::string("cannot connect to the system bus: ") + std::strerror(-r),
                                                    -r));
            return;
        }
        valid_.store(true);
        opened.set_value(HelperClientError{});
        threadMain();
    });
    openError_ = result.get();
    if (openError_) {
        // The thread has ended; tasks posted from now on run at once with no bus.
        thread_.join();
        std::lock_guard lock(mutex_);
        accepting_ = false;
        if (wakeSource_) wakeSource_ = sd_event_source_unref(wakeSource_);
        if (bus_) bus_ = sd_bus_close_unref(bus_);
        if (event_) event_ = sd_event_unref(event_);
    }
}

HelperBusConnection::~HelperBusConnection() {
    if (thread_.joinable()) {
        if (onConnectionThread()) {
            // Only reachable through a programming error: the thread cannot join itself.
            files::systemLog("HelperBusConnection internal error: destroyed on its own thread");
            thread_.detach();
        } else {
            post([this](sd_bus*) {
                if (event_) sd_event_exit(event_, 0);
            });
            thread_.join();
        }
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void HelperBusConnection::threadMain() {
    sd_event_loop(event_);

    // No task posted from now on is lost: it runs on its caller's thread with no bus.
    std::deque<Task> rest;
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        rest.swap(tasks_);
    }
    for (Task& t : rest) t(nullptr);

    valid_.store(false);
    peerCheckSlot_ = sd_bus_slot_unref(peerCheckSlot_);
    peerSlot_ = sd_bus_slot_unref(peerSlot_);
    filterSlot_ = sd_bus_slot_unref(filterSlot_);
    sd_bus_detach_event(bus_);
    // Pending calls' slots go with the bus; their replies are dropped.
    bus_ = sd_bus_flush_close_unref(bus_);
    wakeSource_ = sd_event_source_unref(wakeSource_);
    event_ = sd_event_unref(event_);
}

void HelperBusConnection::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (accepting_) {
            tasks_.push_back(std::move(task));
            const uint64_t one = 1;
            if (::write(wakeFd_, &one, sizeof one) < 0 && errno != EAGAIN)
                files::systemLog(std::string("HelperBusConnection: wake-up failed: ") + std::strerror(errno));
            return;
        }
    }
    task(nullptr);
}

int HelperBusConnection::onWake(sd_event_source*, int fd, uint32_t, void* userdata) {
    uint64_t counter = 0;
    while (::read(fd, &counter, sizeof counter) > 0) {
    }
    static_cast<HelperBusConnection*>(userdata)->runQueuedTasks();
    return 0;
}

void HelperBusConnection::runQueuedTasks() {
    std::deque<Task> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
    }
    for (Task& t : batch) t(bus_);
}

void HelperBusConnection::callHelper(const char* member, std::function<int(sd_bus_message*)> fill,
                                     uint64_t timeoutUsec, Reply reply) {
    post([this, member, fill = std::move(fill), timeoutUsec, reply = std::move(reply)](sd_bus* bus) mutable {
        if (!bus || !valid_.load()) {
            reply(HelperClientError::bus("org.freedesktop.DBus.Error.Disconnected",
                                         "the connection to the system bus is closed", ENOTCONN),
                  nullptr);
            return;
        }
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus, &m, common::kHelperBusName, common::kHelperObjectPath,
                                               common::kHelperInterface, member);
        if (r >= 0 && fill) r = fill(m);
        auto* call = new PendingCall{std::move(reply)};
        sd_bus_slot* slot = nullptr;
        if (r >= 0) r = sd_bus_call_async(bus, &slot, m, &onCallReply, call, timeoutUsec);
        sd_bus_message_unref(m);
        if (r < 0) {
            Reply failed = std::move(call->reply);
            delete call;
            failed(HelperClientError::fromBusError(nullptr, r), nullptr);
            return;
        }
        // The slot belongs to the bus from now on and frees the call with it.
        sd_bus_slot_set_destroy_callback(slot, &destroyPendingCall);
        sd_bus_slot_set_floating(slot, 1);
        sd_bus_slot_unref(slot);
    });
}

int HelperBusConnection::onFilter(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HelperBusConnection*>(userdata);
    uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_SIGNAL) return 0;
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected") > 0) {
        if (self->valid_.exchange(false)) {
            if (self->handlers_.invalidated) self->handlers_.invalidated();
        }
        return 0;
    }
    const char* path = sd_bus_message_get_path(m);
    const char* interface = sd_bus_message_get_interface(m);
    if (path && interface && std::strcmp(path, common::kHelperObjectPath) == 0 &&
        std::strcmp(interface, common::kHelperInterface) == 0 && self->handlers_.helperSignal)
        self->handlers_.helperSignal(m);
    return 0;
}

void HelperBusConnection::watchPeer(const std::string& uniqueName) {
    stopWatchingPeer();
    if (!bus_ || !valid_.load() || uniqueName.empty()) {
        peerGone(uniqueName);
        return;
    }
    watchedPeer_ = uniqueName;
    const std::string rule = std::string("type='signal',sender='") + kBusService + "',path='" + kBusPath +
                             "',interface='" + kBusInterface + "',member='NameOwnerChanged',arg0='" + uniqueName + "'";
    int r = sd_bus_add_match_async(bus_, &peerSlot_, rule.c_str(),
                                   &onNameOwnerChanged,
                                   &onPeerMatchInstalled, this);
    if (r < 0) {
        files::systemLog(std::string("HelperBusConnection: cannot watch the helper: ") + std::strerror(-r));
        // Unwatched, a helper that dies leaves the run waiting: better to end it now.
        peerGone(uniqueName);
    }
}

void HelperBusConnection::stopWatchingPeer() {
    watchedPeer_.clear();
    peerCheckSlot_ = sd_bus_slot_unref(peerCheckSlot_);
    peerSlot_ = sd_bus_slot_unref(peerSlot_);
}

void HelperBusConnection::peerGone(std::string name) {
    if (!watchedPeer_.empty() && watchedPeer_ != name) return;
    stopWatchingPeer();
    if (handlers_.peerVanished) handlers_.peerVanished(name);
}

int HelperBusConnection::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HelperBusConnection*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || !name) return 0;
    if (self->watchedPeer_ == name && (!newOwner || !*newOwner)) self->peerGone(name);
    return 0;
}

int HelperBusConnection::onPeerMatchInstalled(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HelperBusConnection*>(userdata);
    if (self->watchedPeer_.empty()) return 0;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        files::systemLog("HelperBusConnection: the bus refused to report the helper's exit");
        self->peerGone(self->watchedPeer_);
        return 0;
    }
    // The name may have left before the match was in place.
    int r = sd_bus_call_method_async(self->bus_, &self->peerCheckSlot_, kBusService, kBusPath, kBusInterface,
                                     "NameHasOwner", &onNameHasOwner,
                                     self, "s", self->watchedPeer_.c_str());
    if (r < 0) self->peerGone(self->watchedPeer_);
    return 0;
}

int HelperBusConnection::onNameHasOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<HelperBusConnection*>(userdata);
    self->peerCheckSlot_ = sd_bus_slot_unref(self->peerCheckSlot_);
    if (self->watchedPeer_.empty()) return 0;
    int has = 1;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "b", &has) < 0) return 0;
    if (!has) self->peerGone(self->watchedPeer_);
    return 0;
}

}  // namespace quillo::helperclient
