// Putting a trashed item back: files/X of a trash goes to the place its info/X.trashinfo names
// (or to a folder the user chooses), and its info file and size-cache line go once it is there.
//
// The destination's folders are walked one by one from a known folder (the volume's top folder,
// or a folder the user named) by descriptor, never following a symlink: a folder swapped for a
// link on the way is refused, and once a folder is open, moving or replacing its path cannot
// redirect what is written into it. On the same file system the item moves in one
// renameat2(RENAME_NOREPLACE); elsewhere it is copied under a hidden name, renamed into place
// without replacing anything, and only then removed from the trash.
#pragma once

#include "files/MountTable.h"
#include "files/TreeCopy.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillo::files {

struct TrashedItem {
    std::string trashDir;   // holds files/ and info/
    std::string name;       // files/NAME, info/NAME.trashinfo
    std::string topdir;     // the top folder of the trash's volume
    bool homeTrash = false;
    std::optional<std::string> originalPath;  // absolute bytes; nullopt when unknown (see infoError)
    std::string infoError;                    // why the original place is unknown or refused
    // No info file, one that cannot be read, or one without a Path: the item can go back only
    // into a chosen folder (an info file whose Path is refused is no such case: it is refused).
    bool infoMissing = false;
    double deletionDate = 0;                  // seconds since 2001-01-01 UTC; 0 when unknown
    std::string trashedPath() const;          // trashDir/files/NAME
};

// The item files/NAME of a trash, its info file read and checked.
TrashedItem describeTrashedItem(const std::string& trashDir, const std::string& name, const std::string& topdir,
                                bool homeTrash);
// Every item of one trash (info files without an item are not items).
std::vector<TrashedItem> trashedItemsOf(const std::string& trashDir, const std::string& topdir, bool homeTrash);

enum class ConflictChoice { KeepBoth, Replace, Skip, Stop };
enum class RestoreStatus { Restored, Skipped, Refused, Failed, Stopped };

struct RestoreOptions {
    // Something is already at the destination (its path given). Absent: skip.
    std::function<ConflictChoice(const std::string& existing)> onConflict;
    // Replace: puts the existing item in the trash (never deletes it); false with the reason.
    std::function<bool(const std::string& existing, std::string& error)> putAside;
    // The user may not move the folder out of the trash (it is someone else's: moving a folder to
    // another parent needs write access to it): `from` is the trashed folder, `to` its place
    // (its folder's real path). True when something else moved it there; otherwise false, with
    // the reason in `error` (empty: the move's own error is reported).
    std::function<bool(const std::string& from, const std::string& to, std::string& error)> moveDenied;
    CopyControl copy;      // progress and stop for a copy to another file system
    bool dryRun = false;   // decide everything, change nothing (missing folders are not made)
};

struct RestoreResult {
    RestoreStatus status = RestoreStatus::Failed;
    std::string destination;  // where it went (or would go)
    std::string error;
    bool copied = false;      // went to another file system
    bool infoLeft = false;    // restored, but the trash kept something behind (said in error)
};

// Restores `item` to `destination` (an absolute path below `boundary`, a folder reached as
// named; everything between them is walked without following symlinks and made when missing).
RestoreResult restoreTrashedItem(const TrashedItem& item, const std::string& destination, const std::string& boundary,
                                 const RestoreOptions& options);

// The folder the walk to an item's original place starts from: its volume's top folder, for
// the home trash the mount point holding the destination.
std::string restoreBoundary(const TrashedItem& item, const std::string& destination,
                            const std::vector<MountEntry>& mounts);

// "name (restored)", "name (restored 2)", ...: the extension of a file stays at the end.
std::string restoredName(const std::string& leaf, unsigned n, bool isFolder);

}  // namespace quillo::files
