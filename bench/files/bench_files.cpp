// Drives the file core for bench/files/run: builds trees, walks and lists them.
//   quillo-bench-files generate DIR FOLDERS FILES_PER_FOLDER   make a trash-like tree
//   quillo-bench-files chain DIR DEPTH                          a chain of DEPTH folders, a file at the bottom
//   quillo-bench-files walk DIR                                 iterateFolderForSize
//   quillo-bench-files list DIR [THREADS]                       binItemsAndInfoWithURL
//   quillo-bench-files restore TRASHDIR NAME                    restoreTrashedItem of files/NAME
//                                                               (home trash), its time in ms
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashLocator.h"
#include "files/TrashRestore.h"

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace quillo::files;

static int generate(const std::string& dir, long folders, long perFolder) {
    ::mkdir(dir.c_str(), 0755);
    char data[128];
    std::memset(data, 'q', sizeof data);
    for (long f = 0; f < folders; ++f) {
        std::string folder = dir + "/folder" + std::to_string(f);
        if (::mkdir(folder.c_str(), 0755) != 0) {
            std::perror(folder.c_str());
            return 1;
        }
        for (long i = 0; i < perFolder; ++i) {
            std::string file = folder + "/file" + std::to_string(i);
            int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) {
                std::perror(file.c_str());
                return 1;
            }
            if (::write(fd, data, size_t(i % 100)) < 0) std::perror("write");
            ::close(fd);
        }
    }
    return 0;
}

// Built relative to descriptors: the chain's paths may be far longer than PATH_MAX.
static int chain(const std::string& dir, long depth) {
    if (::mkdir(dir.c_str(), 0755) != 0) {
        std::perror(dir.c_str());
        return 1;
    }
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (long i = 0; fd >= 0 && i < depth; ++i) {
        int next = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    if (fd < 0) {
        std::perror("chain");
        return 1;
    }
    int file = ::openat(fd, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (file >= 0) ::close(file);
    ::close(fd);
    return file >= 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s generate|walk|list DIR ...\n", argv[0]);
        return 2;
    }
    std::string mode = argv[1], dir = argv[2];
    if (mode == "generate" && argc == 5) return generate(dir, std::atol(argv[3]), std::atol(argv[4]));
    if (mode == "chain" && argc == 4) return chain(dir, std::atol(argv[3]));
    if (mode == "walk") {
        uint64_t found = 0;
        ItemSizeInfo info = RNFilesUtilities::sharedControl().iterateFolderForSize(dir, &found);
        std::printf("%llu bytes, %llu entries\n", (unsigned long long)info.totalSize, (unsigned long long)found);
        return 0;
    }
    if (mode == "list") {
        auto& q = RNQuilloFileUtilities::sharedControl();
        if (argc > 3) q.setMeasureThreads(unsigned(std::atoi(argv[3])));
        auto listing = q.binItemsAndInfoWithURL(dir);
        std::printf("%zu items, %llu bytes, %llu entries\n", listing->itemsToErase.size(),
                    (unsigned long long)listing->size, (unsigned long long)listing->count);
        return 0;
    }
    if (mode == "restore" && argc == 4) {
        TrashedItem item = describeTrashedItem(dir, argv[3], volumeOfPath(dir), true);
        if (!item.originalPath) {
            std::fprintf(stderr, "%s\n", item.infoError.c_str());
            return 1;
        }
        const std::string boundary = restoreBoundary(item, *item.originalPath, readMountTable());
        const auto t0 = std::chrono::steady_clock::now();
        RestoreResult r = restoreTrashedItem(item, *item.originalPath, boundary, {});
        const auto t1 = std::chrono::steady_clock::now();
        if (r.status != RestoreStatus::Restored) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            return 1;
        }
        std::printf("%.3f ms%s\n", std::chrono::duration<double, std::milli>(t1 - t0).count(), r.copied ? " (copied)" : "");
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
