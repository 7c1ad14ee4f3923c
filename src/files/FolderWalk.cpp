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

// Folders handed from one worker of a walk to another: a worker that finds the other one idle
// gives it the subfolder it meets instead of entering it. Few folders wait at any time, so the
// descriptors stay bounded.
struct WalkQueue {
    static constexpr size_t kMaxWaiting = 8;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<UniqueFd> folders;
    size_t walking = 0;  // workers inside a folder
    std::atomic<size_t> idle{0};
};

void walkOne(int rootFd, WalkTotals& totals, WalkQueue* queue) {
    TreeWalk walk(rootFd);
    TreeWalk::Event e;
    const uint64_t dev = queue ? deviceOf(rootFd) : 0;
    // A folder is handed over only after some work of this worker's own since the last one: a
    // chain of single folders would otherwise bounce between the workers at every level.
    constexpr size_t kEntriesBetweenHandOffs = 64;
    size_t sinceHandOff = 0;
    while (walk.next(e)) {
        if (e.kind != TreeWalk::Kind::Item) continue;
        ++totals.entries;
        ++sinceHandOff;
        if (e.type != DT_DIR) {
            struct stat st;
            if (::fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished or unreadable
            if (!S_ISDIR(st.st_mode)) {
                totals.totalSize += uint64_t(st.st_size);
                totals.fileSize += uint64_t(st.st_size);
                continue;
            }
        }
        if (queue && sinceHandOff >= kEntriesBetweenHandOffs && queue->idle.load(std::memory_order_relaxed) > 0) {
            UniqueFd sub(openDirectoryNoFollow(e.dirFd, e.name));
            if (!sub.valid() || isOtherMount(sub.get(), dev)) continue;
            std::lock_guard lock(queue->mutex);
            if (queue->folders.size() < WalkQueue::kMaxWaiting) {
                sinceHandOff = 0;
                queue->folders.push_back(std::move(sub));
                queue->changed.notify_one();
                continue;
            }
        }
        walk.enter();  // an unreadable folder or another mount: counted, contributes nothing
    }
}

void worker(WalkQueue& queue, WalkTotals& totals) {
    for (;;) {
        UniqueFd folder;
        {
            std::unique_lock lock(queue.mutex);
            ++queue.idle;
            queue.changed.wait(lock, [&] { return !queue.folders.empty() || queue.walking == 0; });
            --queue.idle;
            if (queue.folders.empty()) {
                queue.changed.notify_all();
                return;
            }
            folder = std::move(queue.folders.front());
            queue.folders.pop_front();
            ++queue.walking;
        }
        walkOne(folder.get(), totals, &queue);
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
    WalkQueue queue;
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
