#include "files/TrashPut.h"

#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "files/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace quillo::files {

namespace {

constexpr const char* kInfoSuffix = ".trashinfo";
constexpr size_t kNameMax = 255;

bool isUnder(const std::string& path, const std::string& dir) {
    if (dir == "/") return !path.empty() && path[0] == '/';
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

std::string errorText(int err) { return std::strerror(err); }

// A folder of the user's own, never reached through a symlink: made 0700 when missing.
bool ensurePrivateFolder(int parentFd, const char* name, uid_t uid, std::string& error, const std::string& shown) {
    if (::mkdirat(parentFd, name, 0700) != 0 && errno != EEXIST) {
        error = "no trash can be made on this volume: " + shown + ": " + errorText(errno);
        return false;
    }
    struct stat st;
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = shown + ": " + errorText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = shown + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a folder");
        return false;
    }
    if (st.st_uid != uid) {
        error = shown + " belongs to another user";
        return false;
    }
    return true;
}

// The name in files/ may not exceed what the file system takes once ".trashinfo" (and a ".N"
// counter) is added to it: long names are cut, never in the middle of a UTF-8 sequence.
std::string fittingName(const std::string& leaf) {
    const size_t room = kNameMax - std::strlen(kInfoSuffix) - 8;
    if (leaf.size() <= room) return leaf;
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(leaf[cut]) & 0xC0) == 0x80) --cut;
    return leaf.substr(0, cut);
}

bool writeAllTo(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

TrashPutter::TrashPutter(TrashLocator locator, std::vector<MountEntry> mounts)
    : locator_(std::move(locator)), mounts_(std::move(mounts)) {
    homeTrashCanonical_ = canonicalPath(locator_.homeTrashDir());
}

std::string TrashPutter::deletionDateText(time_t when) {
    struct tm lt;
    ::localtime_r(&when, &lt);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &lt);
    return buf;
}

TrashPutter::Trash TrashPutter::trashFor(const std::string& topdir) {
    auto found = trashes_.find(topdir);
    if (found != trashes_.end()) return found->second;
    Trash t;
    const uid_t uid = locator_.uid();
    if (topdir == locator_.homeVolume()) {
        TrashLookup home = locator_.lookup(topdir, true);
        t.ok = home.ok;
        t.dir = home.trashDir;
        t.error = home.ok ? "" : "no trash can be made on this volume: " + home.error;
        t.home = true;
        if (t.ok) openTrash(t);
        return trashes_[topdir] = t;
    }
    UniqueFd top(::open(topdir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!top.valid()) {
        t.error = "no trash can be made on this volume: " + topdir + ": " + errorText(errno);
        return trashes_[topdir] = t;
    }
    const std::string uidText = std::to_string(uid);
    std::string ignored;
    struct stat st;
    // The shared .Trash counts only as a real folder with the sticky bit: anybody could make a
    // plain one to collect other users' files.
    if (::fstatat(top.get(), ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        UniqueFd shared(::openat(top.get(), ".Trash", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (shared.valid() && ensurePrivateFolder(shared.get(), uidText.c_str(), uid, ignored, ".Trash/" + uidText)) {
            t.dir = appendPathComponent(appendPathComponent(topdir, ".Trash"), uidText);
        }
    }
    if (t.dir.empty()) {
        const std::string own = ".Trash-" + uidText;
        if (!ensurePrivateFolder(top.get(), own.c_str(), uid, t.error, appendPathComponent(topdir, own)))
            return trashes_[topdir] = t;
        t.dir = appendPathComponent(topdir, own);
    }
    UniqueFd dir(::open(t.dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid() || !ensurePrivateFolder(dir.get(), "files", uid, t.error, t.dir + "/files") ||
        !ensurePrivateFolder(dir.get(), "info", uid, t.error, t.dir + "/info")) {
        if (t.error.empty()) t.error = t.dir + ": " + errorText(errno);
        t.dir.clear();
        return trashes_[topdir] = t;
    }
    t.ok = true;
    openTrash(t);
    return trashes_[topdir] = t;
}

bool TrashPutter::openTrash(Trash& t) {
    t.dirFd = std::make_shared<UniqueFd>(::open(t.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int dir = t.dirFd->get();
    t.filesFd = std::make_shared<UniqueFd>(dir >= 0 ? ::openat(dir, "files", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    t.infoFd = std::make_shared<UniqueFd>(dir >= 0 ? ::openat(dir, "info", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    struct stat st;
    if (!t.filesFd->valid() || !t.infoFd->valid() || ::fstat(t.filesFd->get(), &st) != 0) {
        t.ok = false;
        t.error = t.dir + ": " + errorText(errno);
        return false;
    }
    t.filesDev = st.st_dev;
    return true;
}

PutResult TrashPutter::put(const std::string& given) {
    PutResult r;
    r.path = given;
    if (given.empty() || given[0] != '/') {
        r.error = "not an absolute path";
        return r;
    }
    // The parent folders are resolved, the item itself is not: a symlink goes to the trash, not
    // what it points at.
    std::string path = given;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path == "/") {
        r.error = "the root folder is never put in the trash";
        return r;
    }
    std::string leaf = lastPathComponent(path);
    if (leaf == "." || leaf == "..") {
        path = canonicalPath(path);
        leaf = lastPathComponent(path);
    } else {
        const std::string given = deletingLastPathComponent(path);
        if (parent_.given.empty() || parent_.given != given) {
            parent_.fd.reset();
            parent_.given = given;
            parent_.canonical = canonicalPath(given);
        }
        path = appendPathComponent(parent_.canonical, leaf);
    }
    r.path = path;
    if (path == "/" || leaf.empty() || leaf == "/") {
        r.error = "the root folder is never put in the trash";
        return r;
    }
    const std::string parentPath = deletingLastPathComponent(path);
    if (parent_.canonical != parentPath) {
        parent_.given.clear();
        parent_.canonical = parentPath;
        parent_.fd.reset();
    }
    if (!parent_.fd.valid()) {
        parent_.fd.reset(::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent_.fd.valid() || ::fstat(parent_.fd.get(), &parent_.st) != 0) {
            r.error = errorText(errno);
            parent_.fd.reset();
            return r;
        }
    }
    const UniqueFd& parent = parent_.fd;
    const struct stat& parentSt = parent_.st;
    struct statx item;
    if (::statx(parent.get(), leaf.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO, &item) != 0) {
        r.error = errorText(errno);
        return r;
    }
    const bool isDir = S_ISDIR(item.stx_mode);
    if ((item.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT && item.stx_attributes & STATX_ATTR_MOUNT_ROOT) ||
        makedev(item.stx_dev_major, item.stx_dev_minor) != parentSt.st_dev) {
        r.error = "it is a mount point; unmount it instead";
        return r;
    }
    if (isDir) {
        const char* home = std::getenv("HOME");
        struct stat homeSt;
        if (home && home[0] == '/' && ::stat(home, &homeSt) == 0 &&
            homeSt.st_dev == makedev(item.stx_dev_major, item.stx_dev_minor) && homeSt.st_ino == item.stx_ino) {
            r.error = "the home folder is never put in the trash";
            return r;
        }
    }
    const MountEntry* mount = mountContaining(mounts_, path);
    const std::string topdir = mount ? mount->mountPoint : "/";
    // Trash folders hold what is already trashed: putting them (or anything in them) in a trash
    // would hide items from every trash tool.
    const std::string relative = topdir == "/" ? path.substr(1) : path.substr(topdir.size() + 1);
    const std::string firstPart = relative.substr(0, relative.find('/'));
    if (path == homeTrashCanonical_ || isUnder(path, homeTrashCanonical_) || firstPart == ".Trash" ||
        firstPart.rfind(".Trash-", 0) == 0) {
        r.error = "it is a trash folder or inside one";
        return r;
    }
    if (isDir && isUnder(homeTrashCanonical_, path)) {
        r.error = "it holds the trash";
        return r;
    }

    const Trash trash = trashFor(topdir);
    if (!trash.ok) {
        r.error = trash.error;
        return r;
    }
    const UniqueFd& trashFd = *trash.dirFd;
    const UniqueFd& files = *trash.filesFd;
    const UniqueFd& info = *trash.infoFd;
    if (trash.filesDev != parentSt.st_dev) {
        // Another file system would mean copying; a trash only ever takes an item by renaming it.
        r.error = "its volume's trash " + trash.dir + " is on another file system";
        return r;
    }

    const std::string pathText = percentEncodeTrashPath(trash.home ? path : relative);
    const std::string base = fittingName(leaf);
    for (unsigned n = 1; n < 100000; ++n) {
        const std::string name = n == 1 ? base : base + "." + std::to_string(n);
        const std::string infoName = name + kInfoSuffix;
        // The info file is made first and exclusively: it reserves the name against any other
        // tool trashing at the same moment.
        UniqueFd infoFile(::openat(info.get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!infoFile.valid()) {
            if (errno == EEXIST) continue;
            r.error = "no info file can be written in " + trash.dir + ": " + errorText(errno);
            return r;
        }
        struct stat infoSt;
        const std::string text = "[Trash Info]\nPath=" + pathText + "\nDeletionDate=" + deletionDateText(::time(nullptr)) + "\n";
        if (!writeAllTo(infoFile.get(), text) || ::fstat(infoFile.get(), &infoSt) != 0) {
            const int err = errno;
            infoFile.reset();
            ::unlinkat(info.get(), infoName.c_str(), 0);
            r.error = "no info file can be written in " + trash.dir + ": " + errorText(err);
            return r;
        }
        infoFile.reset();
        if (::renameat2(parent.get(), leaf.c_str(), files.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
            const int err = errno;
            ::unlinkat(info.get(), infoName.c_str(), 0);
            if (err == EEXIST) continue;  // an item without an info file has that name
            r.error = errorText(err);
            return r;
        }
        r.ok = true;
        r.trashDir = trash.dir;
        r.name = name;
        if (isDir) {
            // The folder's size for the trash's size cache: one line appended in one write.
            WalkTotals totals;
            UniqueFd moved(openDirectoryNoFollow(files.get(), name.c_str()));
            if (moved.valid()) walkFolderAt(moved.get(), totals);
            char line[64];
            std::snprintf(line, sizeof line, "%llu %lld ", static_cast<unsigned long long>(totals.totalSize),
                          static_cast<long long>(infoSt.st_mtim.tv_sec));
            UniqueFd cache(::openat(trashFd.get(), "directorysizes",
                                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (cache.valid()) writeAllTo(cache.get(), line + percentEncodeTrashPath(name) + "\n");
        }
        return r;
    }
    r.error = "no free name in " + trash.dir;
    return r;
}

}  // namespace quillo::files
