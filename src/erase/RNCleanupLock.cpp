#include "erase/RNCleanupLock.h"

#include "erase/RNLogController.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillo::erase {

namespace {

constexpr const char* kCleanupLockName = "cleanup.lock";
constexpr const char* kEraseLockName = "erase.lock";

int openIn(const std::string& folder, const char* name) {
    if (folder.empty()) return -1;
    // The folder and any missing parent (a fresh account has no ~/.local/state yet).
    for (size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1))
        ::mkdir(folder.substr(0, slash).c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    const std::string path = folder + "/" + name;
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

// The user's state folder, beside the logs but not in their folder: a user who turned the log
// off gets no log folder because a pass or an erase took its lock.
std::string stateLockFolder() {
    const std::string logs = RNLogController::logsBaseFolder();
    return logs.substr(0, logs.rfind('/')) + "/quillo";
}

// The lock file in `folder`, or in the default place; when the state folder's volume is full
// (a new lock file cannot be made there) the runtime folder still keeps the passes apart.
int openLockFile(const std::string& folder, const char* name) {
    if (!folder.empty()) return openIn(folder, name);
    int fd = openIn(stateLockFolder(), name);
    if (fd >= 0) return fd;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        fd = openIn(std::string(runtime) + "/quillo", name);
    return fd;
}

int flockRetrying(int fd, int op) {
    int r;
    do r = ::flock(fd, op);
    while (r != 0 && errno == EINTR);
    return r;
}

}  // namespace

std::string RNCleanupLock::defaultFolder() { return stateLockFolder(); }

RNCleanupLock::~RNCleanupLock() {
    if (fd_ >= 0) ::close(fd_);  // closing lets go of the lock
}

std::unique_ptr<RNCleanupLock> RNCleanupLock::tryAcquire(const std::string& folder) {
    const int fd = openLockFile(folder, kCleanupLockName);
    if (fd < 0) return nullptr;
    if (flockRetrying(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<RNCleanupLock>(new RNCleanupLock(fd));
}

bool RNCleanupLock::userEraseRunning(const std::string& folder) {
    const int fd = openLockFile(folder, kEraseLockName);
    if (fd < 0) return false;
    // An exclusive lock is refused while any erase holds its shared one. Held for no longer
    // than the test: an erase starting right then waits microseconds in its own flock.
    const bool running = flockRetrying(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return running;
}

RNUserEraseGuard::RNUserEraseGuard(const std::string& folder) {
    fd_ = openLockFile(folder, kEraseLockName);
    if (fd_ >= 0 && flockRetrying(fd_, LOCK_SH) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RNUserEraseGuard::~RNUserEraseGuard() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace quillo::erase
