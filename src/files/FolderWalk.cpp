#include "files/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/stat.h>

#include <cstring>
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

void walkFolderAt(int rootFd, WalkTotals& totals) {
    int fd = ::dup(rootFd);
    if (fd < 0) return;
    const uint64_t dev = deviceOf(fd);
    std::vector<DIR*> stack;
    if (DIR* d = ::fdopendir(fd)) stack.push_back(d);
    else ::close(fd);

    while (!stack.empty()) {
        DIR* top = stack.back();
        dirent* e = ::readdir(top);
        if (!e) {
            ::closedir(top);
            stack.pop_back();
            continue;
        }
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        ++totals.entries;
        const int topFd = ::dirfd(top);
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN || !isDir) {
            struct stat st;
            if (::fstatat(topFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished or unreadable
            if (S_ISDIR(st.st_mode)) {
                isDir = true;
            } else {
                totals.totalSize += uint64_t(st.st_size);
                totals.fileSize += uint64_t(st.st_size);
                continue;
            }
        }
        int sub = openDirectoryNoFollow(topFd, name);
        if (sub < 0) continue;  // unreadable folder: counted, contributes nothing
        if (isOtherMount(sub, dev)) {
            ::close(sub);
            continue;
        }
        if (DIR* d = ::fdopendir(sub)) stack.push_back(d);
        else ::close(sub);
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
