// A private system-type bus for the helper's tests: its own dbus-daemon with its own socket,
// service folder and policy, made the process's system bus ($DBUS_SYSTEM_BUS_ADDRESS) while it
// lives. Services it starts by activation (the helper, polkitd) are stopped with it, by process
// id: the test process becomes a subreaper, so they stay its descendants.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillo::test {

class PrivateBus {
public:
    struct Options {
        // Activation files: file name -> contents, written into the bus's own service folder.
        std::map<std::string, std::string> services;
        // Bus policy files to include, besides the system bus's default policy.
        std::vector<std::string> includes;
        // Everyone may own any name and send anything (for in-process stand-ins).
        bool openPolicy = false;
        // Limits of the daemon (<limit name="...">), e.g. max_incoming_bytes.
        std::map<std::string, std::string> limits;
        // Extra environment of the daemon, which activated services inherit.
        std::map<std::string, std::string> environment;
    };

    explicit PrivateBus(Options options);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& address() const { return address_; }
    const std::string& folder() const { return dir_; }
    pid_t pid() const { return pid_; }
    // What the daemon wrote to its standard error.
    std::string daemonLog() const;

    // Every live process below the daemon (activated services and their helpers).
    std::vector<pid_t> descendants() const;
    // Stops the activated services, then the daemon (each wait bounded); idempotent.
    void stop();

    // The activation file of polkitd as the system installs it.
    static std::string polkitServiceFile();

private:
    std::string dir_;
    std::string address_;
    std::string error_;
    pid_t pid_ = -1;
    bool ok_ = false;
    std::optional<std::string> savedAddress_;
};

// Sends `sig` to each pid, waits (bounded) for them to go, then kills what is left; reaps those
// that are this process's children.
void stopProcesses(const std::vector<pid_t>& pids, int sig, int waitMs);

}  // namespace quillo::test
