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
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
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

namespace {

// A run of directory entries, sized and (when asked) read by whichever thread takes it.
struct EntryChunk {
    size_t first = 0;  // index of its first item
    std::vector<std::string> names;
    std::vector<bool> isFolder;  // by the entry's type: no statx needed
    std::vector<NameStat> stats;
    std::vector<TrashInfoFields> info;
};

constexpr size_t kChunkEntries = 512;

}  // namespace

std::optional<TrashListing> listTrashFolder(const std::string& url, unsigned threads, const MeasureFolder& measureFolder,
                                            bool withInfo) {
    if (url.empty()) return std::nullopt;
    TrashListing listing;
    UniqueFd fd(openDirectoryNoFollow(AT_FDCWD, url.c_str()));
    if (!fd.valid()) {
        if (errno != ENOENT) listing.readError = errno ? errno : EIO;
        return listing;
    }
    const uint64_t dev = deviceOf(fd.get());
    std::optional<TrashInfoReader> infoReader;
    if (withInfo) infoReader.emplace(deletingLastPathComponent(url));

    // First the direct entries, with the sizes of files and the info files. Thousands of entries
    // are bound by system calls: while this thread reads the folder (itself slow on a large
    // hashed folder), the other threads already size and read what it has found, a chunk at a
    // time. Folders are measured afterwards so that several can be walked at once.
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

        std::deque<EntryChunk> chunks;  // stable references while more are added
        std::mutex mutex;
        std::condition_variable more;
        size_t nextChunk = 0;
        bool allRead = false;
        auto process = [&](EntryChunk& c) {
            c.stats.resize(c.names.size());
            for (size_t i = 0; i < c.names.size(); ++i)
                if (!c.isFolder[i]) c.stats[i] = BatchedReads::statName(fd.get(), c.names[i].c_str());
            if (infoReader) c.info = infoReader->fieldsOnThisThread(c.names);
        };
        auto work = [&] {
            for (;;) {
                EntryChunk* c = nullptr;
                {
                    std::unique_lock lock(mutex);
                    more.wait(lock, [&] { return nextChunk < chunks.size() || allRead; });
                    if (nextChunk == chunks.size()) return;
                    c = &chunks[nextChunk++];
                }
                process(*c);
            }
        };
        std::vector<std::thread> helpers;
        const size_t maxHelpers = std::max(threads, 1u) - 1;
        auto hand = [&](EntryChunk&& c, bool helpWanted) {
            {
                std::lock_guard lock(mutex);
                chunks.push_back(std::move(c));
            }
            more.notify_one();
            if (helpWanted && helpers.size() < maxHelpers) {
                try {
                    helpers.emplace_back(work);
                } catch (const std::system_error&) {
                    // Fewer threads: this one takes what is left once the folder is read.
                }
            }
        };

        EntryChunk current;
        while (dirent* e = ::readdir(dir)) {
            const char* name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            RNItemToErase item = RNItemToErase::newItem();
            item.url = appendPathComponent(url, name);
            item.count = 1;
            if (current.names.empty()) current.first = listing.itemsToErase.size();
            current.names.emplace_back(name);
            current.isFolder.push_back(e->d_type == DT_DIR);
            listing.itemsToErase.push_back(std::move(item));
            if (current.names.size() == kChunkEntries) hand(std::exchange(current, EntryChunk{}), true);
        }
        // A small trash is done on this thread alone.
        if (!current.names.empty()) hand(std::move(current), false);
        {
            std::lock_guard lock(mutex);
            allRead = true;
        }
        more.notify_all();
        work();
        for (auto& t : helpers) t.join();

        if (withInfo) listing.info.resize(listing.itemsToErase.size());
        for (auto& c : chunks) {
            for (size_t i = 0; i < c.names.size(); ++i) {
                const size_t index = c.first + i;
                if (c.isFolder[i]) folders.push_back(index);
                else if (!c.stats[i].ok) continue;  // unreadable: size 0, count 1
                else if (c.stats[i].isDirectory) folders.push_back(index);  // a file system without entry types
                else listing.itemsToErase[index].size = c.stats[i].size;
            }
            if (withInfo)
                std::move(c.info.begin(), c.info.end(), listing.info.begin() + ptrdiff_t(c.first));
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

std::optional<TrashListing> RNQuilloFileUtilities::binItemsAndInfoWithURL(const std::string& url, bool withInfo) const {
    return listTrashFolder(
        url, measureThreads_,
        [](int folderFd, unsigned threadsInside, RNItemToErase& item) {
            WalkTotals totals;
            walkFolderAt(folderFd, totals, threadsInside);
            item.size = totals.totalSize;
            item.count = 1 + totals.entries;
        },
        withInfo);
}

std::error_code RNQuilloFileUtilities::deleteItemWithURL(const std::string& url) const {
    return removeItemAtPath(url);
}

}  // namespace quillo::files
