// Removal of an item and everything below it, relative to directory descriptors: symlinks are
// removed, never followed, and a file system mounted inside a folder is never entered (its
// mount point stays and reports EBUSY). Iterative, with a bounded number of open descriptors,
// whatever the depth of the tree.
#pragma once

#include <cstdint>
#include <functional>
#include <system_error>
#include <string>

namespace quillo::files {

// Removes `name` inside the open directory `parentFd`. Goes on past failures so that as much
// as possible is removed, and answers the first error (0 when everything went). `stop`, when
// given, is asked every few entries inside a folder: once it says true the removal ends there
// with ECANCELED, leaving the rest of the folder in place.
int removeItemAt(int parentFd, const char* name, const std::function<bool()>& stop = {});

// The same for an absolute path.
std::error_code removeItemAtPath(const std::string& path);

// Clears the immutable and append-only flags of `name` in the open folder `parentFd`; true when
// it holds none afterwards, otherwise false with the reason in `why`. Only a regular file or a
// folder of this file system is opened (never a device or a FIFO, never through a symlink, never
// a mount point), and only when it is still the object that was looked at. A file with other
// hard links is not unlocked: the flags belong to the inode, and its other names lie elsewhere.
bool unlockItemAt(int parentFd, const std::string& name, std::string& why);

// What unlockItemAt cleared, to lock the same object again later (a restore puts the lock back
// on the item where it lands).
struct ClearedLock {
    uint64_t device = 0;
    uint64_t inode = 0;
    int flags = 0;  // the lock flags it held (0: it was not locked)
};
bool unlockItemAt(int parentFd, const std::string& name, std::string& why, ClearedLock& cleared);
// Puts `lock`'s flags back on `name`, only when it is still the object they were cleared from
// (a regular file or folder, never through a symlink); false with the reason otherwise.
bool lockItemAt(int parentFd, const std::string& name, const ClearedLock& lock, std::string& why);

}  // namespace quillo::files
