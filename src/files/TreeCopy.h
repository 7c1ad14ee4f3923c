// Copying an item and everything below it to another file system, relative to directory
// descriptors: modes, times, ownership where the caller may give it, extended attributes, and
// symlinks as symlinks (never followed). Iterative, with a bounded number of open descriptors on
// each side, whatever the depth of the tree. Hard links come out as separate files.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace quillo::files {

struct CopyControl {
    // Called after each file with the bytes and entries copied so far.
    std::function<void(uint64_t bytes, uint64_t items)> progress;
    // Polled between files and between chunks of a large file; set means stop (ECANCELED).
    const std::atomic<bool>* stop = nullptr;
};

// Copies `srcName` in `srcDirFd` to `dstName` in `dstDirFd` (which must not exist). Answers 0,
// or the first error; on an error what was copied so far is left for the caller to remove.
// `where` then names the entry that failed, relative to the copy ("" for the item itself).
int copyTreeAt(int srcDirFd, const std::string& srcName, int dstDirFd, const std::string& dstName,
               const CopyControl& control, std::string& where);

}  // namespace quillo::files
