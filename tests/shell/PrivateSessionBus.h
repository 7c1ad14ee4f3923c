// A session bus of the test's own: a dbus-daemon started for it and ended with it, so that what
// the tray application says on the bus reaches only the test's stand-ins.
#pragma once

#include "support/TestSupport.h"

#include <QString>

#include <signal.h>
#include <sys/types.h>

#include <string>

namespace quillo::test {

class PrivateSessionBus {
public:
    PrivateSessionBus() = default;
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
    ~PrivateSessionBus() { stop(); }

    bool start() {
        std::string out;
        if (run("dbus-daemon --session --fork --print-address=1 --print-pid=1", &out) != 0) return false;
        const auto nl = out.find('\n');
        if (nl == std::string::npos) return false;
        address_ = QString::fromStdString(out.substr(0, nl));
        pid_ = std::stoi(out.substr(nl + 1));
        return true;
    }
    // Ends the daemon (connections to it should be closed first).
    void stop() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        pid_ = -1;
    }
    const QString& address() const { return address_; }

private:
    QString address_;
    pid_t pid_ = -1;
};

}  // namespace quillo::test
