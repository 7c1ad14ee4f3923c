#include "files/EraseCount.h"

#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/TreeWalk.h"
#include "files/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

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
    if (url.empty()) return std::nullopt;
    TrashListing listing;
    UniqueFd fd(openDirectoryNoFollow(AT_FDCWD, url.c_str()));
    if (!fd.valid()) return listing;
    const uint64_t dev = deviceOf(fd.get());
    std::vector<size_t> folders;
    {
        UniqueFd readFd(::dup(fd.get()));
        DIR* dir = readFd.valid() ? ::fdopendir(readFd.get()) : nullptr;
        if (!dir) return listing;
        readFd.release();
        DirHandle closer(dir);
        while (dirent* e = ::readdir(dir)) {
            const char* name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            RNItemToErase item = RNItemToErase::newItem();
            item.url = appendPathComponent(url, name);
            item.count = 1;
            struct stat st;
            if (::fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISDIR(st.st_mode)) folders.push_back(listing.itemsToErase.size());
                else item.size = uint64_t(st.st_size);
            }
            listing.itemsToErase.push_back(std::move(item));
        }
    }

    std::atomic<size_t> next{0};
    auto count = [&] {
        for (size_t i; (i = next.fetch_add(1)) < folders.size();) {
            RNItemToErase& item = listing.itemsToErase[folders[i]];
            UniqueFd sub(openDirectoryNoFollow(fd.get(), lastPathComponent(item.url).c_str()));
            if (!sub.valid() || isOtherMount(sub.get(), dev)) continue;
            EraseCountTotals totals;
            countFolderForEraseAt(sub.get(), sizesWanted, totals);
            item.size = totals.size;
            item.count = 1 + totals.entries;
        }
    };
    std::vector<std::thread> pool;
    const size_t helpers = std::min<size_t>(std::max(threads, 1u), folders.size());
    try {
        for (size_t t = 1; t < helpers; ++t) pool.emplace_back(count);
    } catch (const std::system_error&) {
        // Fewer threads: the ones there are count everything.
    }
    count();
    for (auto& t : pool) t.join();

    for (const auto& item : listing.itemsToErase) {
        listing.size += item.size;
        listing.count += item.count;
    }
    return listing;
}

}  // namespace quillo::files
