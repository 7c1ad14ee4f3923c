#include "files/TrashLocator.h"

#include "files/MountTable.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillo::files {

namespace {

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string passwdHome() {
    struct passwd pw, *result = nullptr;
    std::string buf(16384, '\0');
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return {};
}

// mkdir -p with the given mode for the folders it creates; refuses to go through a symlink at
// the last component, so the trash can never be planted somewhere else.
bool makeDirectories(const std::string& path, mode_t mode, std::string& error) {
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) {
            error = cur + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = path + " is not a folder";
        return false;
    }
    return true;
}

enum class FolderState { Missing, Usable, Refused };

// A usable trash folder is a real folder (never reached through a symlink) of the user's own.
FolderState trashFolderState(const std::string& dir, uid_t uid, std::string& why) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) return FolderState::Missing;
        why = dir + ": " + std::strerror(errno);
    } else if (S_ISLNK(st.st_mode)) {
        why = dir + " is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        why = dir + " is not a folder";
    } else if (st.st_uid != uid) {
        why = dir + " belongs to another user";
    } else {
        return FolderState::Usable;
    }
    return FolderState::Refused;
}

}  // namespace

std::string canonicalPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

std::string volumeOfPath(const std::string& path) {
    std::string p = path;
    struct stat st;
    while (!p.empty() && p != "/" && ::stat(p.c_str(), &st) != 0) {
        size_t slash = p.find_last_of('/');
        p = slash == 0 || slash == std::string::npos ? "/" : p.substr(0, slash);
    }
    if (p.empty()) p = "/";
    auto table = readMountTable();
    const MountEntry* m = mountContaining(table, canonicalPath(p));
    return m ? m->mountPoint : "/";
}

std::string TrashLocator::homeTrashFromEnvironment() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return joinPath(xdg, "Trash");
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] == '/' ? std::string(home) : passwdHome();
    if (h.empty()) h = "/";
    return joinPath(h, ".local/share/Trash");
}

TrashLocator::TrashLocator() : uid_(getuid()), homeTrashDir_(homeTrashFromEnvironment()) {
    homeVolume_ = volumeOfPath(homeTrashDir_);
}

TrashLocator::TrashLocator(uid_t uid, std::string homeTrashDir, std::string homeVolume)
    : uid_(uid), homeTrashDir_(std::move(homeTrashDir)), homeVolume_(std::move(homeVolume)) {}

TrashLookup TrashLocator::lookup(const std::string& volumePath, bool createWhenMissing) const {
    if (volumePath == homeVolume_) return homeTrash(createWhenMissing);
    return topdirTrash(volumePath);
}

TrashLookup TrashLocator::homeTrash(bool createWhenMissing) const {
    TrashLookup r;
    r.trashDir = homeTrashDir_;
    r.filesDir = joinPath(homeTrashDir_, "files");
    struct stat st;
    if (::lstat(homeTrashDir_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        r.error = homeTrashDir_ + " is not a folder";
        return r;
    }
    if (createWhenMissing) {
        std::string error;
        if (!makeDirectories(r.filesDir, 0700, error) ||
            !makeDirectories(joinPath(homeTrashDir_, "info"), 0700, error)) {
            r.error = error;
            return r;
        }
    }
    r.ok = true;
    return r;
}

TrashLookup TrashLocator::topdirTrash(const std::string& topdir) const {
    TrashLookup r;
    const std::string uidText = std::to_string(uid_);
    struct stat st;

    const std::string shared = joinPath(topdir, ".Trash");
    if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        std::string dir = joinPath(shared, uidText), why;
        FolderState state = trashFolderState(dir, uid_, why);
        if (state == FolderState::Usable ||
            (state == FolderState::Missing && ::access(shared.c_str(), W_OK | X_OK) == 0)) {
            r.ok = true;
            r.trashDir = dir;
            r.filesDir = joinPath(dir, "files");
            return r;
        }
        // A broken per-user folder in .Trash: the rules say to fall back to .Trash-$uid.
    }

    std::string dir = joinPath(topdir, ".Trash-" + uidText), why;
    FolderState state = trashFolderState(dir, uid_, why);
    if (state == FolderState::Refused) {
        r.error = why;
        return r;
    }
    if (state == FolderState::Missing && ::access(topdir.c_str(), W_OK | X_OK) != 0) {
        r.error = "no trash can be made in " + topdir + ": " + std::strerror(errno);
        return r;
    }
    r.ok = true;
    r.trashDir = dir;
    r.filesDir = joinPath(dir, "files");
    return r;
}

}  // namespace quillo::files
