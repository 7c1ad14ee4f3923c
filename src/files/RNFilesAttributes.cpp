// Attributes of single items: directory, hidden, locked, label, emptiness, size walk.
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/RNLabels.h"
#include "files/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <linux/fs.h>
#include <linux/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <vector>

namespace quillo::files {

namespace {

constexpr int kLockFlags = FS_IMMUTABLE_FL | FS_APPEND_FL;

bool isAbsolute(const std::string& url) { return !url.empty() && url[0] == '/'; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char x, char y) {
        return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
    });
    return it != haystack.end();
}

// Names listed in a folder's ".hidden" file, the desktop convention for hiding names that do
// not start with a dot.
bool listedInHiddenFile(int dirfd, const std::string& dirPath, const std::string& name) {
    int fd = dirfd >= 0 ? ::openat(dirfd, ".hidden", O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)
                        : ::open(appendPathComponent(dirPath, ".hidden").c_str(),
                                 O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20)) {
        text.resize(size_t(st.st_size));
        ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? size_t(n) : 0);
    }
    ::close(fd);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (text.compare(start, end - start, name) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Reads the immutable/append-only flags: from statx where the file system reports them,
// otherwise through FS_IOC_GETFLAGS on a read-only, non-blocking open of a file or folder (never
// of a device, FIFO or socket, which an open could disturb). -1 when they cannot be read.
int lockFlagsAt(int dirFd, const char* path) {
    struct statx sx;
    if (::statx(dirFd, path, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) != 0) return -1;
    const uint64_t known = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
    if ((sx.stx_attributes_mask & known) == known) {
        int flags = 0;
        if (sx.stx_attributes & STATX_ATTR_IMMUTABLE) flags |= FS_IMMUTABLE_FL;
        if (sx.stx_attributes & STATX_ATTR_APPEND) flags |= FS_APPEND_FL;
        return flags;
    }
    if (!S_ISREG(sx.stx_mode) && !S_ISDIR(sx.stx_mode)) return 0;
    int fd = ::openat(dirFd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    int flags = 0;
    int rc = ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    ::close(fd);
    return rc == 0 ? (flags & kLockFlags) : 0;
}

int lockFlags(const std::string& path) { return lockFlagsAt(AT_FDCWD, path.c_str()); }

// A folder is empty when nothing but empty folders and the folder's own custom-icon file (a
// name with "icon" listed in its .hidden file) lies below it. Dot-named files pass without a
// verdict of their own; a folder that cannot be read is never called empty.
enum class Emptiness { Unknown, Empty, NotEmpty };

Emptiness folderEmptiness(int rootFd) {
    struct Level {
        bool anyEntry = false;
        bool emptyVerdict = false;
        Emptiness result() const {
            return !anyEntry ? Emptiness::Empty : emptyVerdict ? Emptiness::Empty : Emptiness::Unknown;
        }
    };
    std::vector<Level> levels(1);  // the root, then one per folder entered
    TreeWalk walk(rootFd);
    TreeWalk::Event e;
    while (walk.next(e)) {
        if (e.kind == TreeWalk::Kind::FolderEnd) {
            if (e.moved) return Emptiness::NotEmpty;
            const Emptiness inner = levels.back().result();
            levels.pop_back();
            if (inner != Emptiness::Empty) return Emptiness::NotEmpty;
            levels.back().emptyVerdict = true;
            continue;
        }
        levels.back().anyEntry = true;
        struct stat st;
        if (::fstatat(e.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (walk.enter() != 0) return Emptiness::NotEmpty;  // cannot look inside
            levels.emplace_back();
            continue;
        }
        if (e.name[0] == '.') continue;  // passed over without a verdict of its own
        if (!listedInHiddenFile(e.dirFd, {}, e.name) || !containsIgnoringCase(e.name, "icon"))
            return Emptiness::NotEmpty;
        levels.back().emptyVerdict = true;  // the folder's own custom-icon file
    }
    return levels.front().result();
}

}  // namespace

int16_t labelNumberForTags(std::string_view tags) {
    size_t start = 0;
    while (start <= tags.size()) {
        size_t end = tags.find(',', start);
        if (end == std::string_view::npos) end = tags.size();
        std::string_view tag = tags.substr(start, end - start);
        while (!tag.empty() && std::isspace((unsigned char)tag.front())) tag.remove_prefix(1);
        while (!tag.empty() && std::isspace((unsigned char)tag.back())) tag.remove_suffix(1);
        if (equalsIgnoringCase(tag, "grey")) return 1;
        for (size_t i = 1; i < kLabelNames.size(); ++i)
            if (equalsIgnoringCase(tag, kLabelNames[i])) return int16_t(i);
        start = end + 1;
    }
    return 0;
}

bool RNFilesUtilities::isDirectoryWithURL(const std::string& url) {
    struct stat st;
    return isAbsolute(url) && ::lstat(url.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isHiddenItemAt(int dirFd, const std::string& name) {
    return (!name.empty() && name[0] == '.') || listedInHiddenFile(dirFd, {}, name);
}

bool isLockedItemAt(int dirFd, const std::string& name) { return lockFlagsAt(dirFd, name.c_str()) > 0; }

bool RNFilesUtilities::isHiddenWithURL(const std::string& url) {
    if (!isAbsolute(url)) return false;
    auto name = itemNameWithURL(url);
    if (name && !name->empty() && (*name)[0] == '.') return true;
    if (!name || *name == "/") return false;
    return listedInHiddenFile(-1, deletingLastPathComponent(url), *name);
}

bool RNFilesUtilities::isLockedWithURL(const std::string& url) {
    if (!pathWithURL(url)) return false;
    int flags = lockFlags(url);
    return flags > 0;
}

bool RNFilesUtilities::unlockWithURL(const std::string& url) {
    if (!pathWithURL(url)) return false;
    int flags = lockFlags(url);
    if (flags == 0) return true;  // nothing to clear
    struct stat st;
    if (::lstat(url.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return false;
    int fd = ::open(url.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    // Never through a mount point (a bind-mounted file or folder): the flags are the source's.
    struct stat parent;
    if (::lstat(deletingLastPathComponent(url).c_str(), &parent) != 0 || isOtherMount(fd, uint64_t(parent.st_dev))) {
        ::close(fd);
        return false;
    }
    int current = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
    if (ok && (current & kLockFlags)) {
        current &= ~kLockFlags;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;  // needs CAP_LINUX_IMMUTABLE
    }
    ::close(fd);
    return ok;
}

bool RNFilesUtilities::itemAtPathExists(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

int16_t RNFilesUtilities::systemLabelNumberWithURL(const std::string& url) {
    if (!isAbsolute(url)) return 0;
    char buf[1024];
    ssize_t n = ::lgetxattr(url.c_str(), "user.xdg.tags", buf, sizeof buf);
    if (n <= 0) return 0;
    return labelNumberForTags(std::string_view(buf, size_t(n)));
}

bool RNFilesUtilities::isAnEmptyFolder(const std::string& url) {
    if (!isAbsolute(url)) return false;
    int fd = openDirectoryNoFollow(AT_FDCWD, url.c_str());
    if (fd < 0) return false;
    Emptiness e = folderEmptiness(fd);
    ::close(fd);
    // A folder holding nothing but dot-named entries still holds something the erase could not
    // remove; calling it empty would send it to a removal that must fail.
    return e == Emptiness::Empty;
}

ItemSizeInfo RNFilesUtilities::iterateFolderForSize(const std::string& url, uint64_t* itemsFound) {
    ItemSizeInfo info;
    if (!isAbsolute(url)) return info;
    WalkTotals totals;
    walkFolder(url, totals, folderWalkWorkers());
    info.totalSize = totals.totalSize;
    info.fileSize = totals.fileSize;
    if (itemsFound) *itemsFound += totals.entries;
    return info;
}

}  // namespace quillo::files
