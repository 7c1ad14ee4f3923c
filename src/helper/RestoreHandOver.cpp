#include "helper/RestoreHandOver.h"

#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/SystemLog.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

namespace quillo::helper {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string errorText(int err) {
    return err == ELOOP ? "a symbolic link, which is not followed" : std::strerror(err);
}

// Runs `work` on a thread of its own that has the caller's file-system identity; the helper's
// other threads keep root's. glibc's setgroups() would change every thread of the process, so
// the system call is made directly (it changes the calling thread only); setfsuid() to a
// non-zero uid also drops root's file-system capabilities (CAP_DAC_OVERRIDE, CAP_FOWNER, ...).
std::string asCaller(const CallerIdentity& caller, const std::function<std::string()>& work) {
    std::string result;
    std::thread thread([&] {
        if (::syscall(SYS_setgroups, caller.groups.size(), caller.groups.data()) != 0) {
            result = std::string("cannot take the caller's groups: ") + std::strerror(errno);
            return;
        }
        ::setfsgid(caller.gid);
        ::setfsuid(caller.uid);
        // Each call answers the value before it: asking with an invalid id changes nothing.
        if (::setfsuid(uid_t(-1)) != int(caller.uid) || ::setfsgid(gid_t(-1)) != int(caller.gid)) {
            result = "cannot take the caller's identity";
            return;
        }
        result = work();
    });
    thread.join();
    return result;
}

// As the caller (asCaller): the folder of `path`, walked from "/" without following a symlink,
// in which the caller may create and remove entries; its name there in `leaf`.
std::string openWritableParent(std::string_view path, UniqueFd& parent, std::string& leaf) {
    std::vector<std::string> parts;
    std::string why;
    if (!splitAbsolutePath(path, parts, why)) return why;
    if (parts.empty()) return "no name at the end of the path";
    UniqueFd dir(::open("/", kDirFlags));
    std::string walked;
    for (size_t i = 0; dir.valid() && i + 1 < parts.size(); ++i) {
        walked += "/" + parts[i];
        UniqueFd next(::openat(dir.get(), parts[i].c_str(), kDirFlags));
        if (!next.valid()) {
            const int err = errno;
            struct stat st;
            if ((err == ENOTDIR || err == ELOOP) && ::fstatat(dir.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                return walked + ": " + errorText(ELOOP);
            return walked + ": " + errorText(err);
        }
        dir = std::move(next);
    }
    if (!dir.valid()) return std::string("/: ") + std::strerror(errno);
    if (walked.empty()) walked = "/";
    // AT_EACCESS: the thread's own (file-system) identity is checked, not the real uid.
    if (::syscall(SYS_faccessat2, dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errno == EACCES ? "you may not write in " + walked : walked + ": " + std::strerror(errno);
    parent = std::move(dir);
    leaf = parts.back();
    return {};
}

}  // namespace

std::optional<CallerIdentity> CallerIdentity::forUid(uid_t uid) {
    struct passwd pw, *found = nullptr;
    std::string buf(16384, '\0');
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
    CallerIdentity caller;
    caller.uid = uid;
    caller.gid = found->pw_gid;
    int count = 64;
    caller.groups.resize(size_t(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, caller.groups.data(), &count) < 0) {
        caller.groups.resize(size_t(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, caller.groups.data(), &count) < 0) return std::nullopt;
    }
    caller.groups.resize(size_t(count));
    return caller;
}

std::vector<std::string> RestoreHandOver::serve(const common::HelperRequest& request, const PathGuard& guard,
                                                const CallerIdentity& caller) {
    std::vector<std::string> messages;
    const size_t total = request.restoreUnlockItems.size() + request.restoreLockItems.size() +
                         request.restoreMoveItems.size();
    if (total > kMaxItems) {
        messages.assign(total, "too many items in one request");
        return messages;
    }
    for (std::string_view path : request.restoreUnlockItems) messages.push_back(unlock(path, guard));
    for (std::string_view path : request.restoreLockItems) messages.push_back(lock(path, caller));
    for (size_t i = 0; i < request.restoreMoveItems.size(); ++i) {
        if (i >= request.restoreMoveDestinations.size()) messages.push_back("no destination");
        else messages.push_back(move(request.restoreMoveItems[i], request.restoreMoveDestinations[i], guard, caller));
    }
    for (size_t i = 0; i < messages.size(); ++i)
        if (!messages[i].empty()) files::systemLog("quillo3-helper: restore hand-over refused: " + messages[i]);
    return messages;
}

std::string RestoreHandOver::unlock(std::string_view path, const PathGuard& guard) {
    GuardResult verified = guard.verify(path);
    if (!verified) return std::string(path) + ": " + verified.refusal;
    const GuardedItem& item = *verified.item;
    if (!item.topLevel) return std::string(path) + ": not an item of the trash itself";
    struct stat st;
    if (::fstatat(item.parent.get(), item.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::string(path) + ": " + std::strerror(errno);
    if (st.st_uid != guard.uid()) return std::string(path) + ": belongs to another user";
    std::string why;
    files::ClearedLock cleared;
    if (!files::unlockItemAt(item.parent.get(), item.name, why, cleared)) return std::string(path) + ": " + why;
    if (cleared.flags != 0) {
        if (unlocked_.size() >= kMaxRemembered) unlocked_.pop_front();
        unlocked_.push_back({guard.uid(), cleared.device, cleared.inode, cleared.flags});
    }
    return {};
}

std::string RestoreHandOver::lock(std::string_view path, const CallerIdentity& caller) {
    // The place is looked at as the caller; the flag itself is set back here, since a thread
    // with a non-root fsuid also loses the right to change it (CAP_LINUX_IMMUTABLE).
    UniqueFd parent;
    std::string leaf;
    std::deque<Unlocked>::iterator it = unlocked_.end();
    std::string why = asCaller(caller, [&]() -> std::string {
        if (std::string refusal = openWritableParent(path, parent, leaf); !refusal.empty()) return refusal;
        struct stat st;
        if (::fstatat(parent.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::strerror(errno);
        if (st.st_uid != caller.uid) return "belongs to another user";
        it = std::find_if(unlocked_.begin(), unlocked_.end(), [&](const Unlocked& u) {
            return u.uid == caller.uid && u.device == uint64_t(st.st_dev) && u.inode == uint64_t(st.st_ino);
        });
        return it == unlocked_.end() ? "not an item the helper unlocked for you" : std::string();
    });
    // lockItemAt takes only the object that was found, whatever replaced it meanwhile.
    if (why.empty()) files::lockItemAt(parent.get(), leaf, {it->device, it->inode, it->flags}, why);
    if (!why.empty()) return std::string(path) + ": " + why;
    unlocked_.erase(it);
    return {};
}

std::string RestoreHandOver::move(std::string_view from, std::string_view to, const PathGuard& guard,
                                  const CallerIdentity& caller) {
    GuardResult verified = guard.verify(from);
    if (!verified) return std::string(from) + ": " + verified.refusal;
    const GuardedItem& item = *verified.item;
    if (!item.topLevel) return std::string(from) + ": not an item of the trash itself";
    struct stat st;
    if (::fstatat(item.parent.get(), item.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::string(from) + ": " + std::strerror(errno);
    // Anything else the user's own rights move (the trash's files/ folder is theirs).
    if (!S_ISDIR(st.st_mode)) return std::string(from) + ": not a folder";
    std::string_view below;
    std::string why;
    if (guard.matchTrash(to, below, why)) return std::string(to) + ": lies inside a trash";

    UniqueFd destination;
    std::string leaf;
    why = asCaller(caller, [&]() -> std::string {
        if (std::string refusal = openWritableParent(to, destination, leaf); !refusal.empty()) return refusal;
        struct stat existing;
        if (::fstatat(destination.get(), leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) return "something is there";
        return errno == ENOENT ? std::string() : std::string(std::strerror(errno));
    });
    if (!why.empty()) return std::string(to) + ": " + why;
    // The folder checked is the one written into, whatever happens to its path meanwhile; the
    // name is taken only if it is still free.
    if (::renameat2(item.parent.get(), item.name.c_str(), destination.get(), leaf.c_str(), RENAME_NOREPLACE) != 0) {
        const int err = errno;
        return std::string(to) + ": " +
               (err == EXDEV ? std::string("on another file system than the trash") : std::string(std::strerror(err)));
    }
    files::systemLog("quillo3-helper: put back " + std::string(from) + " as " + std::string(to) + " for user " +
                     std::to_string(caller.uid));
    return {};
}

}  // namespace quillo::helper
