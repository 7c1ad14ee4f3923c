#include "files/RNQuilloFileUtilities.h"

#include "files/BatchedReads.h"
#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace quillo::files {

bool RNItemToErase::isDirectory() const { return RNFilesUtilities::sharedControl().isDirectoryWithURL(url); }

RNQuilloFileUtilities::RNQuilloFileUtilities()
    : measureThreads_(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)) {}

RNQuilloFileUtilities& RNQuilloFileUtilities::sharedControl() {
    static RNQuilloFileUtilities* shared = new RNQuilloFileUtilities();
    return *shared;
}

std::optional<TrashListing> RNQuilloFileUtilities::binItemsAndInfoWithURL(const std::string& url) const {
    if (url.empty()) return std::nullopt;
    TrashListing listing;
    int fd = openDirectoryNoFollow(AT_FDCWD, url.c_str());
    if (fd < 0) return listing;
    const uint64_t dev = deviceOf(fd);
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return listing;
    }
    // First the direct entries, with the sizes of files: a folder is known by its entry's type,
    // everything else takes one statx (batched). Folders are measured afterwards so that several
    // can be walked at once.
    std::vector<size_t> folders;
    std::vector<std::string> statted;
    std::vector<size_t> stattedItems;
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        RNItemToErase item = RNItemToErase::newItem();
        item.url = appendPathComponent(url, name);
        item.count = 1;
        if (e->d_type == DT_DIR) {
            folders.push_back(listing.itemsToErase.size());
        } else {
            stattedItems.push_back(listing.itemsToErase.size());
            statted.emplace_back(name);
        }
        listing.itemsToErase.push_back(std::move(item));
    }
    if (!statted.empty()) {
        const std::vector<NameStat> stats = BatchedReads::forThisThread().statNames(fd, statted);
        for (size_t i = 0; i < stats.size(); ++i) {
            if (!stats[i].ok) continue;  // unreadable: size 0, count 1
            if (stats[i].isDirectory) folders.push_back(stattedItems[i]);  // a file system without entry types
            else listing.itemsToErase[stattedItems[i]].size = stats[i].size;
        }
    }

    std::atomic<size_t> next{0};
    const unsigned threads = unsigned(std::min<size_t>(measureThreads_, folders.size()));
    // Fewer folders than threads: the threads left over help inside the folders.
    const unsigned perFolder = threads ? std::max(1u, measureThreads_ / threads) : 1;
    auto measure = [&] {
        for (size_t i; (i = next.fetch_add(1)) < folders.size();) {
            RNItemToErase& item = listing.itemsToErase[folders[i]];
            int sub = openDirectoryNoFollow(fd, lastPathComponent(item.url).c_str());
            if (sub < 0) continue;
            if (!isOtherMount(sub, dev)) {
                WalkTotals totals;
                walkFolderAt(sub, totals, perFolder);
                item.size = totals.totalSize;
                item.count = 1 + totals.entries;
            }
            ::close(sub);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(measure);
    measure();
    for (auto& t : pool) t.join();
    ::closedir(dir);

    for (const auto& item : listing.itemsToErase) {
        listing.size += item.size;
        listing.count += item.count;
    }
    return listing;
}

std::error_code RNQuilloFileUtilities::deleteItemWithURL(const std::string& url) const {
    return removeItemAtPath(url);
}

}  // namespace quillo::files
