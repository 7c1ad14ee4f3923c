#include "files/FolderWalk.h"

#include "files/TreeWalk.h"
#include "files/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quillo::files {

int openDirectoryNoFollow(int dirfd, const char* name) {
    return ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
}

uint64_t deviceOf(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? uint64_t(st.st_dev) : 0;
}

bool isOtherMount(int fd, uint64_t parentDev) {
    struct statx sx;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &sx) != 0) return true;  // unknown: stay out
    if (makedev(sx.stx_dev_major, sx.stx_dev_minor) != parentDev) return true;
    // A bind mount of the same file system keeps the device number; the mount-root flag tells.
    return (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

namespace {

// Folders handed from one worker of a walk to another. The queue is kept stocked ahead of
// need -- a worker that meets a subfolder while fewer folders wait than there are workers hands
// it over instead of entering it -- so that a worker done with its folder finds the next one
// waiting rather than idling until another worker happens to meet a folder. The descriptors of
// waiting folders stay bounded by the number of workers.
struct WalkQueue {
    explicit WalkQueue(unsigned workers) : target(workers) {}
    const size_t target;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<UniqueFd> folders;
    std::atomic<size_t> waiting{0};  // folders.size(), readable without the lock
    size_t walking = 0;  // workers inside a folder
    size_t sleeping = 0;  // workers waiting for a folder
};

// Whether a worker hands over the subfolder it just met: after a little work of its own since
// its last hand-off (so that a chain of single folders does not bounce between the workers at
// every level), when the queue is empty or, after some more, when it is short.
bool shouldHandOff(const WalkQueue& queue, size_t sinceHandOff) {
    constexpr size_t kEntriesBeforeFirst = 8, kEntriesBeforeMore = 32;
    if (sinceHandOff < kEntriesBeforeFirst) return false;
    const size_t waiting = queue.waiting.load(std::memory_order_relaxed);
    return waiting == 0 || (waiting < queue.target && sinceHandOff >= kEntriesBeforeMore);
}

void walkOne(int rootFd, WalkTotals& totals, WalkQueue* queue) {
    TreeWalk walk(rootFd);
    TreeWalk::Event e;
    const uint64_t dev = queue ? deviceOf(rootFd) : 0;
    size_t sinceHandOff = 0;
    while (walk.next(e)) {
        if (e.kind != TreeWalk::Kind::Item) continue;
        ++totals.entries;
        ++sinceHandOff;
        if (e.type != DT_DIR) {
            // One statx for what the entry's type does not tell: the size of a file (the size
            // file managers and du -sb show, so no block count is asked for), or whether an
            // entry of unknown type is a folder.
            struct statx sx;
            if (::statx(e.dirFd, e.name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_SIZE, &sx) != 0)
                continue;  // vanished or unreadable
            if (!S_ISDIR(sx.stx_mode)) {
                totals.totalSize += uint64_t(sx.stx_size);
                totals.fileSize += uint64_t(sx.stx_size);
                continue;
            }
        }
        if (queue && shouldHandOff(*queue, sinceHandOff)) {
            UniqueFd sub(openDirectoryNoFollow(e.dirFd, e.name));
            if (!sub.valid() || isOtherMount(sub.get(), dev)) continue;  // counted, contributes nothing
            std::unique_lock lock(queue->mutex);
            if (queue->folders.size() < queue->target) {
                sinceHandOff = 0;
                queue->folders.push_back(std::move(sub));
                queue->waiting.store(queue->folders.size(), std::memory_order_relaxed);
                const bool wake = queue->sleeping > 0;
                lock.unlock();
                if (wake) queue->changed.notify_one();
                continue;
            }
            // Filled up meanwhile: this worker goes in itself (the open is paid twice, rarely).
        }
        walk.enter();  // an unreadable folder or another mount: counted, contributes nothing
    }
}

void worker(WalkQueue& queue, WalkTotals& totals) {
    for (;;) {
        UniqueFd folder;
        {
            std::unique_lock lock(queue.mutex);
            ++queue.sleeping;
            queue.changed.wait(lock, [&] { return !queue.folders.empty() || queue.walking == 0; });
            --queue.sleeping;
            if (queue.folders.empty()) {
                queue.changed.notify_all();
                return;
            }
            folder = std::move(queue.folders.front());
            queue.folders.pop_front();
            queue.waiting.store(queue.folders.size(), std::memory_order_relaxed);
            ++queue.walking;
        }
        walkOne(folder.get(), totals, &queue);
        folder.reset();
        std::lock_guard lock(queue.mutex);
        if (--queue.walking == 0 && queue.folders.empty()) queue.changed.notify_all();
    }
}

}  // namespace

void walkFolderAt(int rootFd, WalkTotals& totals, unsigned workers) {
    if (workers <= 1) {
        walkOne(rootFd, totals, nullptr);
        return;
    }
    WalkQueue queue(workers);
    UniqueFd first(::dup(rootFd));
    if (!first.valid()) return;
    queue.folders.push_back(std::move(first));
    std::vector<WalkTotals> parts(workers);
    std::vector<std::thread> threads;
    try {
        for (unsigned i = 1; i < workers; ++i) threads.emplace_back(worker, std::ref(queue), std::ref(parts[i]));
    } catch (const std::system_error&) {
        // No second thread: this one walks everything.
    }
    worker(queue, parts[0]);
    for (auto& t : threads) t.join();
    for (const WalkTotals& part : parts) {
        totals.totalSize += part.totalSize;
        totals.fileSize += part.fileSize;
        totals.entries += part.entries;
    }
}

unsigned folderWalkWorkers() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

bool walkFolder(const std::string& path, WalkTotals& totals, unsigned workers) {
    int fd = openDirectoryNoFollow(AT_FDCWD, path.c_str());
    if (fd < 0) return false;
    walkFolderAt(fd, totals, workers);
    ::close(fd);
    return true;
}

}  // namespace quillo::files
