// Where the current user's trash is on a volume, by the freedesktop.org Trash rules.
#pragma once

#include <sys/types.h>

#include <string>

namespace quillo::files {

struct TrashLookup {
    bool ok = false;
    std::string trashDir;  // the trash folder: holds files/ and info/
    std::string filesDir;  // trashDir + "/files": its entries are the trashed items
    std::string error;     // why no trash can exist there for this user (when !ok)
};

// Decides the trash of one volume. The home trash ($XDG_DATA_HOME/Trash) belongs to the volume
// that holds it; on any other volume the user's trash is $topdir/.Trash/$uid when
// $topdir/.Trash is a real (not symlinked) folder with the sticky bit, else $topdir/.Trash-$uid.
//
// Only the home trash is ever created: a tool that merely lists and empties must not leave a
// .Trash-$uid on every volume the user plugs in. Elsewhere the answer is the folder the user's
// trash has or would have; it fails only when no trash can exist there for this user (a trash
// folder that is a symlink or somebody else's, or a top folder the user cannot write).
class TrashLocator {
public:
    // From the environment: uid from getuid(), home trash from XDG_DATA_HOME / HOME / passwd.
    TrashLocator();
    TrashLocator(uid_t uid, std::string homeTrashDir, std::string homeVolume);

    TrashLookup lookup(const std::string& volumePath, bool createWhenMissing) const;

    uid_t uid() const { return uid_; }
    const std::string& homeTrashDir() const { return homeTrashDir_; }
    const std::string& homeVolume() const { return homeVolume_; }

    // $XDG_DATA_HOME/Trash, or $HOME/.local/share/Trash, or the passwd home's.
    static std::string homeTrashFromEnvironment();

private:
    TrashLookup homeTrash(bool createWhenMissing) const;
    TrashLookup topdirTrash(const std::string& topdir) const;

    uid_t uid_;
    std::string homeTrashDir_;
    std::string homeVolume_;
};

// The mount point of the volume holding `path`, found through its deepest existing ancestor
// (so a trash that does not exist yet still has a volume); "/" when nothing better is known.
std::string volumeOfPath(const std::string& path);

// Canonical form of a path (symlinks resolved); the input itself when that fails.
std::string canonicalPath(const std::string& path);

}  // namespace quillo::files
