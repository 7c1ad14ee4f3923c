#include "files/FileRemoval.h"

#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/TreeWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillo::files {

namespace {

// Empties the open folder `dirFd` without recursion and with a bounded number of open
// descriptors, whatever the depth; answers the first error.
int removeContents(int dirFd) {
    int first = 0;
    auto note = [&first](int err) {
        if (err && !first) first = err;
    };
    TreeWalk walk(dirFd);
    TreeWalk::Event e;
    while (walk.next(e)) {
        if (e.kind == TreeWalk::Kind::FolderEnd) {
            if (e.moved) note(ESTALE);  // moved away while it was emptied: left where it went
            else if (::unlinkat(e.dirFd, e.name, AT_REMOVEDIR) != 0 && errno != ENOENT) note(errno);
            continue;
        }
        bool isDir = e.type == DT_DIR;
        if (e.type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) note(errno);
                continue;
            }
            isDir = S_ISDIR(st.st_mode);
        }
        if (!isDir) {
            if (::unlinkat(e.dirFd, e.name, 0) != 0 && errno != ENOENT) note(errno);
            continue;
        }
        const int err = walk.enter();
        if (err == 0) continue;
        if (err == EXDEV) {
            note(EBUSY);  // another file system mounted here: never entered, its mount point stays
            walk.keep();
        } else if (err == ENOTDIR) {
            // No longer a folder (swapped for a symlink or a file): the entry itself goes.
            if (::unlinkat(e.dirFd, e.name, 0) != 0 && errno != ENOENT) note(errno);
        } else if (err != ENOENT && ::unlinkat(e.dirFd, e.name, AT_REMOVEDIR) != 0) {
            note(err);  // unreadable, and not empty
            walk.keep();
        }
    }
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
    int err = removeContents(sub);
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
