#include "files/FileRemoval.h"

#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/TreeWalk.h"

#include "files/UniqueFd.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillo::files {

namespace {

constexpr int kLockFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

// Entries removed between two questions to a removal's `stop`.
constexpr unsigned kStopCheckInterval = 64;

// Empties the open folder `dirFd` without recursion and with a bounded number of open
// descriptors, whatever the depth; answers the first error, or ECANCELED when `stop` said so.
int removeContents(int dirFd, const std::function<bool()>& stop) {
    int first = 0;
    auto note = [&first](int err) {
        if (err && !first) first = err;
    };
    TreeWalk walk(dirFd);
    TreeWalk::Event e;
    unsigned sinceCheck = 0;
    while (walk.next(e)) {
        if (stop && ++sinceCheck == kStopCheckInterval) {
            sinceCheck = 0;
            if (stop()) return ECANCELED;
        }
        if (e.kind == TreeWalk::Kind::FolderEnd) {
            if (e.moved) note(ESTALE);  // moved away while it was emptied: left where it went
            else if (::unlinkat(e.dirFd, e.name, AT_REMOVEDIR) != 0 && errno != ENOENT) note(errno);
            continue;
        }
        bool isDir = e.type == DT_DIR;
        if (e.type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) note(errno);
                continue;
            }
            isDir = S_ISDIR(st.st_mode);
        }
        if (!isDir) {
            if (::unlinkat(e.dirFd, e.name, 0) != 0 && errno != ENOENT) note(errno);
            continue;
        }
        const int err = walk.enter();
        if (err == 0) continue;
        if (err == EXDEV) {
            note(EBUSY);  // another file system mounted here: never entered, its mount point stays
            walk.keep();
        } else if (err == ENOTDIR) {
            // No longer a folder (swapped for a symlink or a file): the entry itself goes.
            if (::unlinkat(e.dirFd, e.name, 0) != 0 && errno != ENOENT) note(errno);
        } else if (err != ENOENT && ::unlinkat(e.dirFd, e.name, AT_REMOVEDIR) != 0) {
            note(err);  // unreadable, and not empty
            walk.keep();
        }
    }
    return first;
}

}  // namespace

bool unlockItemAt(int parentFd, const std::string& name, std::string& why) {
    ClearedLock cleared;
    return unlockItemAt(parentFd, name, why, cleared);
}

bool unlockItemAt(int parentFd, const std::string& name, std::string& why, ClearedLock& cleared) {
    cleared = ClearedLock();
    struct stat before;
    if (::fstatat(parentFd, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
        why = std::strerror(errno);
        return false;
    }
    const bool isDir = S_ISDIR(before.st_mode);
    if (!isDir && !S_ISREG(before.st_mode)) {
        why = "neither a file nor a folder";
        return false;
    }
    if (!isDir && before.st_nlink > 1) {
        why = "the file has other hard links";
        return false;
    }
    UniqueFd fd(::openat(parentFd, name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isDir ? O_DIRECTORY : 0)));
    if (!fd.valid()) {
        why = std::strerror(errno);
        return false;
    }
    struct stat after;
    if (::fstat(fd.get(), &after) != 0 || after.st_dev != before.st_dev || after.st_ino != before.st_ino ||
        (after.st_mode & S_IFMT) != (before.st_mode & S_IFMT)) {
        why = "the item changed while it was unlocked";
        return false;
    }
    // A file can be a mount point too (a bind mount): its flags belong to the mount's source.
    if (isOtherMount(fd.get(), deviceOf(parentFd))) {
        why = "another mounted file system";
        return false;
    }
    int flags = 0;
    if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        if (errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL) return true;  // no flags here: not locked
        why = std::strerror(errno);
        return false;
    }
    if (!(flags & kLockFlags)) return true;
    const int held = flags & kLockFlags;
    flags &= ~kLockFlags;
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0) {
        why = std::strerror(errno);
        return false;
    }
    cleared = {uint64_t(after.st_dev), uint64_t(after.st_ino), held};
    return true;
}

bool lockItemAt(int parentFd, const std::string& name, const ClearedLock& lock, std::string& why) {
    struct stat before;
    if (::fstatat(parentFd, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
        why = std::strerror(errno);
        return false;
    }
    const bool isDir = S_ISDIR(before.st_mode);
    if ((!isDir && !S_ISREG(before.st_mode)) || uint64_t(before.st_dev) != lock.device ||
        uint64_t(before.st_ino) != lock.inode) {
        why = "not the item that was unlocked";
        return false;
    }
    UniqueFd fd(::openat(parentFd, name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isDir ? O_DIRECTORY : 0)));
    struct stat after;
    if (!fd.valid() || ::fstat(fd.get(), &after) != 0 || after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
        why = fd.valid() ? "the item changed while it was locked" : std::strerror(errno);
        return false;
    }
    int flags = 0;
    if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        why = std::strerror(errno);
        return false;
    }
    flags |= lock.flags & kLockFlags;
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

int removeItemAt(int parentFd, const char* name, const std::function<bool()>& stop) {
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(parentFd, name, 0) == 0 ? 0 : errno;
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) == 0) return 0;  // already empty
    if (errno != ENOTEMPTY && errno != EEXIST && errno != EBUSY && errno != EACCES && errno != EPERM) return errno;
    if (errno == EBUSY) return EBUSY;
    int sub = openDirectoryNoFollow(parentFd, name);
    if (sub < 0) return errno;
    if (isOtherMount(sub, deviceOf(parentFd))) {
        ::close(sub);
        return EBUSY;
    }
    int err = removeContents(sub, stop);
    ::close(sub);
    if (err == ECANCELED) return err;
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && err == 0) err = errno;
    return err;
}

std::error_code removeItemAtPath(const std::string& path) {
    const std::string name = lastPathComponent(path);
    if (path.empty() || path[0] != '/' || name == "/" || name == "." || name == "..")
        return std::make_error_code(std::errc::invalid_argument);
    int parent = ::open(deletingLastPathComponent(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return {errno, std::generic_category()};
    int err = removeItemAt(parent, name.c_str());
    ::close(parent);
    return err ? std::error_code(err, std::generic_category()) : std::error_code();
}

}  // namespace quillo::files
