#include "files/EraseCount.h"

#include "files/RNFilesUtilities.h"
#include "files/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace quillo::files {

void countFolderForEraseAt(int rootFd, const std::atomic<bool>& sizesWanted, EraseCountTotals& totals) {
    TreeWalk walk(rootFd);
    TreeWalk::Event e;
    while (walk.next(e)) {
        if (e.kind != TreeWalk::Kind::Item) continue;
        ++totals.entries;
        bool folder = e.type == DT_DIR;
        // The entry's type mostly comes with its name; a size, or a type the file system did
        // not give, takes one fstatat.
        if (!folder && (e.type == DT_UNKNOWN || sizesWanted.load(std::memory_order_relaxed))) {
            struct stat st;
            if (::fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished or unreadable
            folder = S_ISDIR(st.st_mode);
            if (!folder) totals.size += uint64_t(st.st_size);
        }
        if (folder) walk.enter();  // an unreadable folder or another mount: counted, nothing below
    }
}

std::optional<TrashListing> binItemsForEraseWithURL(const std::string& url, const std::atomic<bool>& sizesWanted,
                                                    unsigned threads) {
    return listTrashFolder(url, threads, [&](int folderFd, unsigned, RNItemToErase& item) {
        EraseCountTotals totals;
        countFolderForEraseAt(folderFd, sizesWanted, totals);
        item.size = totals.size;
        item.count = 1 + totals.entries;
    });
}

}  // namespace quillo::files
