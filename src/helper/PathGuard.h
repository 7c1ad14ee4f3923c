// Which paths the root helper may touch for a caller: only what lies inside one of that user's
// trash files/ folders, reached without a single symlink.
//
// The caller's trashes are the home trash of the home in the password database
// (<home>/.local/share/Trash) and, on every mounted volume, $topdir/.Trash/$uid (when .Trash is
// a real folder with the sticky bit) and $topdir/.Trash-$uid. A trash folder must belong to the
// caller; below it nothing may lie on another mounted file system.
//
// The answer to an accepted path is an open descriptor of the item's folder, found by walking
// from "/" one component at a time with O_NOFOLLOW, holding a few descriptors whatever the
// depth, so a path may be far longer than PATH_MAX. Whatever happens to the path afterwards
// (a folder swapped for a symlink), work done relative to that descriptor stays where it was
// verified.
#pragma once

#include "files/MountTable.h"
#include "helper/UniqueFd.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::helper {

// One trash of the caller, as lists of path components from "/".
struct TrashRoot {
    enum class Kind { Home, TopdirShared, TopdirUser };
    Kind kind = Kind::Home;
    // What a requested path must begin with: the trash's files/ folder.
    std::vector<std::string> filesPath;
    // Where the walk really goes (the same but for a home whose path holds a symlink, which
    // is walked in its resolved form).
    std::vector<std::string> walkPath;
    // Index in walkPath of the trash folder (the one holding files/ and info/); for the
    // topdir kinds the components before .Trash/.Trash-$uid are the mount point.
    size_t trashIndex = 0;
};

// An accepted item: its folder, opened and verified, and its name there.
struct GuardedItem {
    UniqueFd parent;
    std::string name;
    UniqueFd trashDir;  // the trash folder holding files/ and info/
    bool topLevel = false;  // directly inside files/: info/NAME.trashinfo belongs to it
};

struct GuardResult {
    std::optional<GuardedItem> item;
    std::string refusal;  // why the path was refused (when !item)
    explicit operator bool() const { return item.has_value(); }
};

class PathGuard {
public:
    // `home` as the password database gives it; mount points as the kernel's table gives them.
    PathGuard(uid_t uid, const std::string& home, const std::vector<files::MountEntry>& mounts);

    // The caller's home from getpwuid_r and the mounts from /proc/self/mountinfo.
    static PathGuard forUser(uid_t uid);

    uid_t uid() const { return uid_; }
    const std::vector<TrashRoot>& trashRoots() const { return roots_; }

    // The lexical check alone: the trash the path lies in and the part of `path` below its
    // files/ folder (at least one component), or a refusal.
    const TrashRoot* matchTrash(std::string_view path, std::string_view& below, std::string& why) const;

    // The full check, walking the file system.
    GuardResult verify(std::string_view path) const;

private:
    void addRoot(TrashRoot::Kind kind, const std::string& matchDir, const std::string& walkDir,
                 std::vector<std::string> trashComponents);

    uid_t uid_;
    std::vector<TrashRoot> roots_;
};

// The components of a path, one at a time, without copying it; empty components (doubled or
// trailing slashes) are skipped.
class PathComponents {
public:
    explicit PathComponents(std::string_view path) : path_(path) {}
    // The next component; empty at the end.
    std::string_view next();
    // The part after the components read so far.
    std::string_view rest() const { return path_.substr(pos_); }

private:
    std::string_view path_;
    size_t pos_ = 0;
};

// True for an absolute path without a NUL byte, a "." or ".." component or a component longer
// than NAME_MAX; otherwise false with a reason. The path's length is not limited: paths are
// walked one component at a time.
bool checkAbsolutePath(std::string_view path, std::string& why);

// checkAbsolutePath, then the components in order.
bool splitAbsolutePath(std::string_view path, std::vector<std::string>& components, std::string& why);

}  // namespace quillo::helper
