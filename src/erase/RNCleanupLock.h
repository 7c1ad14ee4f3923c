// Keeps automatic clean-up passes of one user apart (the tray app's and the systemd timer's),
// and lets the user's own erase stop a running pass, in this process or another one.
//
// Two lock files per user, in $XDG_STATE_HOME/Quillo 3 (or $XDG_RUNTIME_DIR when that cannot
// be written):
//  - "cleanup.lock": held (exclusive, flock) by the running pass. tryAcquire() never waits.
//  - "erase.lock": held shared by every erase the user started (RNUserEraseGuard). A pass looks
//    before each item whether one is held and stops when it is.
//
// GUI side: keep an RNUserEraseGuard (in the erase's owner) for as long as a user's erase runs:
// a pass of another process stops before its next item and no pass starts. A pass of this
// process is stopped by RNAutoCleanup::stopAllThen() before the erase starts (see
// RNAutoCleanup.h); the guard does not wait for it. Any thread (it only opens and locks a small
// file in the state folder).
#pragma once

#include <memory>
#include <string>

namespace quillo::erase {

class RNCleanupLock {
public:
    ~RNCleanupLock();
    RNCleanupLock(const RNCleanupLock&) = delete;
    RNCleanupLock& operator=(const RNCleanupLock&) = delete;

    // The lock of the running pass, or nullptr when another pass holds it (or no lock file can
    // be made anywhere). `folder` empty: the default place.
    static std::unique_ptr<RNCleanupLock> tryAcquire(const std::string& folder = {});
    // Whether an erase of the user holds "erase.lock" now.
    static bool userEraseRunning(const std::string& folder = {});
    // Where the lock files go: the state folder, else the runtime folder.
    static std::string defaultFolder();

private:
    explicit RNCleanupLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

class RNUserEraseGuard {
public:
    explicit RNUserEraseGuard(const std::string& folder = {});
    bool holds() const { return fd_ >= 0; }
    ~RNUserEraseGuard();
    RNUserEraseGuard(const RNUserEraseGuard&) = delete;
    RNUserEraseGuard& operator=(const RNUserEraseGuard&) = delete;

private:
    int fd_ = -1;
};

}  // namespace quillo::erase
