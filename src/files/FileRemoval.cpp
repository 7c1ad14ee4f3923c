#include "files/FileRemoval.h"

#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillo::files {

namespace {

int removeContents(int dirFd, uint64_t dev) {
    int fd = ::dup(dirFd);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        return err;
    }
    int first = 0;
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        struct stat st;
        int err = 0;
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            err = errno == ENOENT ? 0 : errno;
        } else if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(dirFd, name, 0) != 0 && errno != ENOENT) err = errno;
        } else {
            int sub = openDirectoryNoFollow(dirFd, name);
            if (sub < 0) {
                err = errno;
                // An unreadable but empty folder can still go.
                if (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0) err = 0;
            } else if (isOtherMount(sub, dev)) {
                ::close(sub);
                err = EBUSY;
            } else {
                err = removeContents(sub, dev);
                ::close(sub);
                if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && err == 0 && errno != ENOENT) err = errno;
            }
        }
        if (err && !first) first = err;
    }
    ::closedir(dir);
    return first;
}

}  // namespace

int removeItemAt(int parentFd, const char* name) {
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(parentFd, name, 0) == 0 ? 0 : errno;
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) == 0) return 0;  // already empty
    if (errno != ENOTEMPTY && errno != EEXIST && errno != EBUSY && errno != EACCES && errno != EPERM) return errno;
    if (errno == EBUSY) return EBUSY;
    int sub = openDirectoryNoFollow(parentFd, name);
    if (sub < 0) return errno;
    if (isOtherMount(sub, deviceOf(parentFd))) {
        ::close(sub);
        return EBUSY;
    }
    int err = removeContents(sub, deviceOf(sub));
    ::close(sub);
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && err == 0) err = errno;
    return err;
}

std::error_code removeItemAtPath(const std::string& path) {
    const std::string name = lastPathComponent(path);
    if (path.empty() || path[0] != '/' || name == "/" || name == "." || name == "..")
        return std::make_error_code(std::errc::invalid_argument);
    int parent = ::open(deletingLastPathComponent(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return {errno, std::generic_category()};
    int err = removeItemAt(parent, name.c_str());
    ::close(parent);
    return err ? std::error_code(err, std::generic_category()) : std::error_code();
}

}  // namespace quillo::files
