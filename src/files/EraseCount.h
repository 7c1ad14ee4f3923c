// The count an erase makes of the trashes it is about to empty. It gives the same records and
// totals as a trash listing (a record per trashed item; a folder stands for itself and every
// entry below it), but it reads each entry's size only while someone is to see the figures (a
// confirmation still waiting for its answer). Once nobody will look at the sizes, the rest of
// the count only counts the entries -- from the directory entries themselves, without one
// system call per entry -- and the erase, which reads every entry once anyway, learns the
// sizes as it goes.
#pragma once

#include "files/RNQuilloFileUtilities.h"

#include <atomic>
#include <optional>
#include <string>

namespace quillo::files {

struct EraseCountTotals {
    uint64_t size = 0;     // what was measured: too small once the sizes stopped being wanted
    uint64_t entries = 0;  // every entry below the folder, the folder itself not counted
};

// Counts below the open folder `rootFd` (not closed; never crossing into another mounted file
// system, never following a symlink). `sizesWanted` is read before each entry.
void countFolderForEraseAt(int rootFd, const std::atomic<bool>& sizesWanted, EraseCountTotals& totals);

// The trashed items of one trash folder with their counts, and their sizes while `sizesWanted`
// holds (a trashed file's own size is always read: the erase logs it). Folders are counted on
// up to `threads` threads. nullopt for an empty URL; a folder that cannot be read gives an
// empty listing.
std::optional<TrashListing> binItemsForEraseWithURL(const std::string& url, const std::atomic<bool>& sizesWanted,
                                                    unsigned threads);

}  // namespace quillo::files
