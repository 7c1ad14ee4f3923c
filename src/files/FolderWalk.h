// The folder walk behind every size the system shows: one readdir pass and one statx per entry
// that is not a folder, relative to directory descriptors, never following symlinks and never
// crossing into another mounted file system. It reaches the bottom of any tree with a bounded number of open
// folders (see TreeWalk).
#pragma once

#include <dirent.h>

#include <cstdint>
#include <memory>
#include <string>

namespace quillo::files {

struct WalkTotals {
    uint64_t totalSize = 0;
    uint64_t fileSize = 0;
    uint64_t entries = 0;  // everything below the folder, the folder itself not counted
};

// Walks below `path`; false when the folder itself cannot be opened (totals stay zero).
bool walkFolder(const std::string& path, WalkTotals& totals, unsigned workers = 1);
// The same below an already open directory (the descriptor is not closed). With more than one
// worker, subfolders are handed to the other workers (a queue of folders): the totals are the
// same, only reached sooner.
void walkFolderAt(int dirfd, WalkTotals& totals, unsigned workers = 1);
// How many workers a single folder's walk uses: both cores (at most four).
unsigned folderWalkWorkers();

// Opens a directory for reading without following a symlink in its last component.
int openDirectoryNoFollow(int dirfd, const char* name);

// True when the open directory is the root of a mount other than `parentDev`'s, i.e. a
// walk or a removal must not enter it.
bool isOtherMount(int fd, uint64_t parentDev);
uint64_t deviceOf(int fd);

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

}  // namespace quillo::files
