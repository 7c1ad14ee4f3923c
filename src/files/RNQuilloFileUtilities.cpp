#include "files/RNQuilloFileUtilities.h"

#include "files/BatchedReads.h"
#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

namespace quillo::files {

bool RNItemToErase::isDirectory() const { return RNFilesUtilities::sharedControl().isDirectoryWithURL(url); }

RNQuilloFileUtilities::RNQuilloFileUtilities()
    : measureThreads_(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)) {}

RNQuilloFileUtilities& RNQuilloFileUtilities::sharedControl() {
    static RNQuilloFileUtilities* shared = new RNQuilloFileUtilities();
    return *shared;
}

std::optional<TrashListing> listTrashFolder(const std::string& url, unsigned threads, const MeasureFolder& measureFolder) {
    if (url.empty()) return std::nullopt;
    TrashListing listing;
    UniqueFd fd(openDirectoryNoFollow(AT_FDCWD, url.c_str()));
    if (!fd.valid()) {
        if (errno != ENOENT) listing.readError = errno ? errno : EIO;
        return listing;
    }
    const uint64_t dev = deviceOf(fd.get());
    // First the direct entries, with the sizes of files. Folders are measured afterwards so that
    // several can be walked at once.
    std::vector<size_t> folders;
    {
        UniqueFd readFd(::dup(fd.get()));
        DIR* dir = readFd.valid() ? ::fdopendir(readFd.get()) : nullptr;
        if (!dir) {
            listing.readError = errno ? errno : EIO;
            return listing;
        }
        readFd.release();
        DirHandle closer(dir);
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
            const std::vector<NameStat> stats = BatchedReads::forThisThread().statNames(fd.get(), statted);
            for (size_t i = 0; i < stats.size(); ++i) {
                if (!stats[i].ok) continue;  // unreadable: size 0, count 1
                if (stats[i].isDirectory) folders.push_back(stattedItems[i]);  // a file system without entry types
                else listing.itemsToErase[stattedItems[i]].size = stats[i].size;
            }
        }
    }

    const unsigned pool = unsigned(std::min<size_t>(std::max(threads, 1u), folders.size()));
    // Fewer folders than threads: the threads left over help inside the folders.
    const unsigned inside = pool ? std::max(1u, threads / pool) : 1;
    std::atomic<size_t> next{0};
    auto measure = [&] {
        for (size_t i; (i = next.fetch_add(1)) < folders.size();) {
            RNItemToErase& item = listing.itemsToErase[folders[i]];
            UniqueFd sub(openDirectoryNoFollow(fd.get(), lastPathComponent(item.url).c_str()));
            if (sub.valid() && !isOtherMount(sub.get(), dev)) measureFolder(sub.get(), inside, item);
        }
    };
    std::vector<std::thread> workers;
    try {
        for (unsigned t = 1; t < pool; ++t) workers.emplace_back(measure);
    } catch (const std::system_error&) {
        // Fewer threads: the ones there are measure everything.
    }
    measure();
    for (auto& t : workers) t.join();

    for (const auto& item : listing.itemsToErase) {
        listing.size += item.size;
        listing.count += item.count;
    }
    return listing;
}

std::optional<TrashListing> RNQuilloFileUtilities::binItemsAndInfoWithURL(const std::string& url) const {
    return listTrashFolder(url, measureThreads_, [](int folderFd, unsigned threadsInside, RNItemToErase& item) {
        WalkTotals totals;
        walkFolderAt(folderFd, totals, threadsInside);
        item.size = totals.totalSize;
        item.count = 1 + totals.entries;
    });
}

std::error_code RNQuilloFileUtilities::deleteItemWithURL(const std::string& url) const {
    return removeItemAtPath(url);
}

}  // namespace quillo::files
