#include "files/FolderWalk.h"

#include "files/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/stat.h>

#include <cstring>

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

void walkFolderAt(int rootFd, WalkTotals& totals) {
    TreeWalk walk(rootFd);
    TreeWalk::Event e;
    while (walk.next(e)) {
        if (e.kind != TreeWalk::Kind::Item) continue;
        ++totals.entries;
        if (e.type != DT_DIR) {
            struct stat st;
            if (::fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished or unreadable
            if (!S_ISDIR(st.st_mode)) {
                totals.totalSize += uint64_t(st.st_size);
                totals.fileSize += uint64_t(st.st_size);
                continue;
            }
        }
        walk.enter();  // an unreadable folder or another mount: counted, contributes nothing
    }
}

bool walkFolder(const std::string& path, WalkTotals& totals) {
    int fd = openDirectoryNoFollow(AT_FDCWD, path.c_str());
    if (fd < 0) return false;
    walkFolderAt(fd, totals);
    ::close(fd);
    return true;
}

}  // namespace quillo::files
