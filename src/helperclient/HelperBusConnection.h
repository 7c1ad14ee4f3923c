// The application's connection to the privileged helper: a system-bus connection that lives on
// a thread of its own (the connection's queue). sd-bus is not thread-safe, so everything that
// touches the bus runs on that thread: callers post work to it, replies and the helper's signals
// are handled there.
//
// The connection is "invalidated" when the bus connection is lost; it then answers every call
// with an error and its owner makes a new one for the next request.
#pragma once

#include "helperclient/HelperClientError.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_message sd_bus_message;
typedef struct sd_bus_slot sd_bus_slot;
typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;

namespace quillo::helperclient {

class HelperBusConnection {
public:
    // All handlers run on the connection's thread.
    struct Handlers {
        // A signal on the helper's object and interface (any sender: the owner checks it).
        std::function<void(sd_bus_message* signal)> helperSignal;
        // The watched bus name (watchPeer) has left the bus.
        std::function<void(const std::string& uniqueName)> peerVanished;
        // The bus connection is lost.
        std::function<void()> invalidated;
    };
    // The reply of a call: an empty error and the reply message, or an error and nullptr.
    using Reply = std::function<void(const HelperClientError& error, sd_bus_message* reply)>;
    // Work for the connection's thread. `bus` is null when the connection is being torn down
    // (the task must then only give up).
    using Task = std::function<void(sd_bus* bus)>;

    // Starts the thread and connects to the system bus ($DBUS_SYSTEM_BUS_ADDRESS when set);
    // returns once the connection is made or has failed (openError()).
    explicit HelperBusConnection(Handlers handlers);
    // Stops the thread; calls still pending are dropped without their replies.
    ~HelperBusConnection();
    HelperBusConnection(const HelperBusConnection&) = delete;
    HelperBusConnection& operator=(const HelperBusConnection&) = delete;

    const HelperClientError& openError() const { return openError_; }
    // Connected and not invalidated.
    bool isValid() const { return valid_.load(); }
    bool onConnectionThread() const { return std::this_thread::get_id() == threadId_.load(); }

    // Runs `task` on the connection's thread; every task runs exactly once.
    void post(Task task);

    // Calls `member` on the helper; `fill` appends the arguments. `reply` runs exactly once,
    // on the connection's thread (or on the caller's when the connection is already gone).
    void callHelper(const char* member, std::function<int(sd_bus_message*)> fill, uint64_t timeoutUsec,
                    Reply reply);

    // Reports through peerVanished when `uniqueName` leaves the bus (also when it already has).
    // One name at a time; stopWatchingPeer() forgets it. Connection thread only.
    void watchPeer(const std::string& uniqueName);
    void stopWatchingPeer();

    // The bus, for synchronous calls made from a task (connection thread only).
    sd_bus* bus() const { return bus_; }

private:
    void threadMain();
    void runQueuedTasks();
    static int onWake(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int onFilter(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onPeerMatchInstalled(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onNameHasOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    void peerGone(std::string name);  // by value: callers pass watchedPeer_, which this clears

    Handlers handlers_;
    HelperClientError openError_;
    std::atomic<bool> valid_{false};
    std::atomic<std::thread::id> threadId_;

    // Connection thread only.
    sd_bus* bus_ = nullptr;
    sd_event* event_ = nullptr;
    sd_event_source* wakeSource_ = nullptr;
    sd_bus_slot* filterSlot_ = nullptr;
    sd_bus_slot* peerSlot_ = nullptr;
    sd_bus_slot* peerCheckSlot_ = nullptr;
    std::string watchedPeer_;

    std::mutex mutex_;  // tasks_, accepting_
    std::deque<Task> tasks_;
    bool accepting_ = true;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace quillo::helperclient
