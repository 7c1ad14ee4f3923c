#include "files/TreeCopy.h"

#include "files/FolderWalk.h"
#include "files/TreeWalk.h"
#include "files/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace quillo::files {

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr size_t kMaxOpenDestinations = 48;

bool stopped(const CopyControl& control) {
    return control.stop && control.stop->load(std::memory_order_relaxed);
}

// A failure to carry an attribute the destination cannot hold (or that only the system may set)
// is not a failure of the copy; running out of space is.
bool ignorableAttributeError(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP || err == EPERM || err == EACCES || err == EINVAL || err == ERANGE;
}

int copyExtendedAttributes(int src, int dst) {
    ssize_t size = ::flistxattr(src, nullptr, 0);
    if (size <= 0) return size < 0 && !ignorableAttributeError(errno) ? errno : 0;
    std::vector<char> names(size_t(size) + 1);
    size = ::flistxattr(src, names.data(), names.size());
    if (size < 0) return ignorableAttributeError(errno) ? 0 : errno;
    std::vector<char> value;
    for (ssize_t at = 0; at < size;) {
        const char* name = names.data() + at;
        at += ssize_t(std::char_traits<char>::length(name)) + 1;
        ssize_t length = ::fgetxattr(src, name, nullptr, 0);
        if (length < 0) continue;
        value.resize(size_t(length) + 1);
        length = ::fgetxattr(src, name, value.data(), value.size());
        if (length < 0) continue;
        if (::fsetxattr(dst, name, value.data(), size_t(length), 0) != 0 && !ignorableAttributeError(errno))
            return errno;
    }
    return 0;
}

// Owner (where permitted), mode and times of `st` onto the open `dst`. The owner goes first:
// changing it clears the set-id bits.
int applyMetadata(int dst, const struct stat& st) {
    if (::fchown(dst, st.st_uid, st.st_gid) != 0) (void)!::fchown(dst, uid_t(-1), st.st_gid);
    if (::fchmod(dst, st.st_mode & 07777) != 0) return errno;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(dst, times) != 0) return errno;
    return 0;
}

int copyFileContents(int src, int dst, const CopyControl& control, uint64_t& bytes, uint64_t items) {
    bool plainReads = false;
    std::unique_ptr<char[]> buffer;
    for (;;) {
        if (stopped(control)) return ECANCELED;
        ssize_t n = -1;
        if (!plainReads) {
            n = ::copy_file_range(src, nullptr, dst, nullptr, kChunk, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                plainReads = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
        } else {
            if (!buffer) buffer.reset(new char[kChunk]);
            n = ::read(src, buffer.get(), kChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(dst, buffer.get() + done, size_t(n - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) return w < 0 ? errno : ENOSPC;
                done += w;
            }
        }
        if (n == 0) return 0;
        bytes += uint64_t(n);
        if (control.progress && uint64_t(n) == kChunk) control.progress(bytes, items);
    }
}

// One entry that is not a folder.
int copyLeaf(int srcDir, const char* name, const struct stat& st, int dstDir, const char* dstName,
             const CopyControl& control, uint64_t& bytes, uint64_t items) {
    if (S_ISREG(st.st_mode)) {
        UniqueFd src(::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!src.valid()) return errno;
        struct stat now;
        if (::fstat(src.get(), &now) != 0) return errno;
        if (now.st_ino != st.st_ino || !S_ISREG(now.st_mode)) return ESTALE;
        UniqueFd dst(::openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!dst.valid()) return errno;
        if (int err = copyFileContents(src.get(), dst.get(), control, bytes, items)) return err;
        if (int err = copyExtendedAttributes(src.get(), dst.get())) return err;
        return applyMetadata(dst.get(), now);
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target(size_t(st.st_size) + 1, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(srcDir, name, target.data(), target.size());
            if (n < 0) return errno;
            if (size_t(n) < target.size()) {
                target.resize(size_t(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (::symlinkat(target.c_str(), dstDir, dstName) != 0) return errno;
        if (::fchownat(dstDir, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
            (void)!::fchownat(dstDir, dstName, uid_t(-1), st.st_gid, AT_SYMLINK_NOFOLLOW);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        return ::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    }
    // FIFOs, sockets and (as root) device nodes are made again, not read.
    if (::mknodat(dstDir, dstName, (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0) return errno;
    if (::fchownat(dstDir, dstName, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
        (void)!::fchownat(dstDir, dstName, uid_t(-1), st.st_gid, AT_SYMLINK_NOFOLLOW);
    if (::fchmodat(dstDir, dstName, st.st_mode & 07777, 0) != 0) return errno;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return ::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// The destination folders matching the walk's open source folders. Only the deepest few stay
// open; a released one is reopened through ".." of its child on the way back up, checked
// against what was recorded when it was made.
class DestinationStack {
public:
    int push(UniqueFd fd) {
        if (!fd.valid()) return errno;
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) return errno;
        frames_.push_back(Frame{std::move(fd), st.st_dev, st.st_ino});
        if (frames_.size() - firstOpen_ > kMaxOpenDestinations) frames_[firstOpen_++].fd.reset();
        return 0;
    }
    size_t size() const { return frames_.size(); }
    int top() const { return frames_.back().fd.get(); }
    // Drops the deepest folder, reopening its parent first when it was released.
    int pop() {
        const size_t index = frames_.size() - 1;
        if (index > 0 && index - 1 < firstOpen_ && !frames_[index - 1].fd.valid()) {
            Frame& parent = frames_[index - 1];
            UniqueFd up(::openat(frames_[index].fd.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (!up.valid() || ::fstat(up.get(), &st) != 0 || st.st_dev != parent.dev || st.st_ino != parent.ino)
                return ESTALE;  // the copy was moved meanwhile: nothing more is written into it
            parent.fd = std::move(up);
            firstOpen_ = index - 1;
        }
        frames_.pop_back();
        return 0;
    }

private:
    struct Frame {
        UniqueFd fd;
        dev_t dev;
        ino_t ino;
    };
    std::vector<Frame> frames_;
    size_t firstOpen_ = 0;
};

int finishFolder(int srcParent, const char* name, int dstFolder) {
    struct stat st;
    UniqueFd src(openDirectoryNoFollow(srcParent, name));
    if (!src.valid() || ::fstat(src.get(), &st) != 0) return errno ? errno : EIO;
    if (int err = copyExtendedAttributes(src.get(), dstFolder)) return err;
    return applyMetadata(dstFolder, st);
}

}  // namespace

int copyTreeAt(int srcDirFd, const std::string& srcName, int dstDirFd, const std::string& dstName,
               const CopyControl& control, std::string& where) {
    where.clear();
    uint64_t bytes = 0, items = 0;
    struct stat st;
    if (::fstatat(srcDirFd, srcName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) {
        const int err = copyLeaf(srcDirFd, srcName.c_str(), st, dstDirFd, dstName.c_str(), control, bytes, 1);
        if (!err && control.progress) control.progress(bytes, 1);
        return err;
    }
    UniqueFd srcRoot(openDirectoryNoFollow(srcDirFd, srcName.c_str()));
    if (!srcRoot.valid()) return errno;
    if (::mkdirat(dstDirFd, dstName.c_str(), 0700) != 0) return errno;
    DestinationStack dest;
    if (int err = dest.push(UniqueFd(openDirectoryNoFollow(dstDirFd, dstName.c_str())))) return err;

    TreeWalk walk(srcRoot.get());
    TreeWalk::Event e;
    while (walk.next(e)) {
        if (stopped(control)) return ECANCELED;
        if (e.kind == TreeWalk::Kind::FolderEnd) {
            if (e.moved) {
                where = walk.relativePath();
                return ESTALE;
            }
            if (int err = finishFolder(e.dirFd, e.name, dest.top())) {
                where = walk.relativePath();
                return err;
            }
            if (int err = dest.pop()) return err;
            continue;
        }
        struct stat entry;
        if (::fstatat(e.dirFd, e.name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            where = walk.relativePath();
            return errno;
        }
        const int dstParent = dest.top();
        ++items;
        if (S_ISDIR(entry.st_mode)) {
            int err = walk.enter(entry.st_ino);
            if (err == 0 && ::mkdirat(dstParent, e.name, 0700) != 0) err = errno;
            if (err == 0) err = dest.push(UniqueFd(openDirectoryNoFollow(dstParent, e.name)));
            if (err) {
                // EXDEV: a file system mounted inside the trashed folder is not part of it.
                where = walk.relativePath();
                return err;
            }
            continue;
        }
        if (int err = copyLeaf(e.dirFd, e.name, entry, dstParent, e.name, control, bytes, items)) {
            where = walk.relativePath();
            return err;
        }
        if (control.progress) control.progress(bytes, items);
    }
    if (walk.movedCount()) return ESTALE;
    return finishFolder(srcDirFd, srcName.c_str(), dest.top());
}

}  // namespace quillo::files
