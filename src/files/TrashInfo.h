// The bookkeeping a freedesktop.org trash keeps beside each item: info/X.trashinfo for files/X
// (where it came from and when it was trashed) and the optional `directorysizes` cache.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::files {

// Seconds between 1970-01-01 and 2001-01-01 00:00 UTC, the reference date of every stored time.
inline constexpr double kReferenceDateOffset = 978307200.0;

// An item directly inside a trash's files/ folder: the trash folder and the item's name.
struct TrashItemRef {
    std::string trashDir;  // holds files/ and info/
    std::string name;
    std::string infoPath() const;
};

// When `itemPath` is files/NAME of a trash (its folder is named "files" and has an "info"
// sibling), the trash and the name.
std::optional<TrashItemRef> trashItemRefForPath(const std::string& itemPath);

// DeletionDate of info/NAME.trashinfo as seconds since 2001-01-01 UTC; the stored text is
// local time. 0 when the file or the key is missing or malformed. The first DeletionDate wins.
double deletionDateForItem(const std::string& itemPath);
double parseTrashInfoDeletionDate(const std::string& contents);
// Reads the system's time zone again (a listing calls it once before its dates).
void refreshTimeZone();

// The keys of one info file that a restore needs. `path` is still percent-encoded, exactly as
// stored; nullopt when the file has no Path key. The first occurrence of a key wins.
struct TrashInfoFields {
    bool hasGroup = false;  // the "[Trash Info]" header is there
    std::optional<std::string> path;
    double deletionDate = 0;  // seconds since 2001-01-01 UTC; 0 when missing or malformed
};
TrashInfoFields parseTrashInfo(std::string_view contents);

// Reads the deletion dates of many items of one trash: the info folder is opened once and each
// info file read relative to it.
class TrashInfoReader {
public:
    explicit TrashInfoReader(const std::string& trashDir);
    ~TrashInfoReader();
    TrashInfoReader(const TrashInfoReader&) = delete;
    TrashInfoReader& operator=(const TrashInfoReader&) = delete;
    // The DeletionDate of files/NAME as seconds since 2001-01-01 UTC; 0 when unknown.
    double deletionDate(const std::string& name) const;
    // The same for many items at once (batched reads; see BatchedReads), in the order given.
    std::vector<double> deletionDates(const std::vector<std::string>& names) const;
    // Date and Path of many items at once, read the same way.
    std::vector<TrashInfoFields> fields(const std::vector<std::string>& names) const;
    // The same on the calling thread alone (for callers that already share the work out).
    std::vector<TrashInfoFields> fieldsOnThisThread(const std::vector<std::string>& names) const;
    TrashInfoFields fieldsOf(const std::string& name) const;

private:
    int infoFd_ = -1;
};

// Call once files/NAME is gone: removes info/NAME.trashinfo and NAME's line in the
// `directorysizes` cache. Does nothing (and answers false) while the item still exists, so an
// info file is never lost for an item that is still there. True when nothing is left behind.
bool forgetErasedTrashItem(const std::string& itemPath);

// Removes the directorysizes line of `name` (temporary file + atomic rename) for the calling
// user; true when the cache holds no such line afterwards.
bool removeDirectorySizesEntry(const std::string& trashDir, const std::string& name);

// The same relative to an open trash folder, for a caller that must not follow a path that
// could be swapped (the root helper), on behalf of the user `caller`. The cache is rewritten
// only when the trash folder and the cache both belong to `caller` and the cache has no other
// name; the new file belongs to the trash folder's owner and keeps the cache's mode.
bool forgetErasedTrashItemAt(int trashDirFd, const std::string& name, uid_t caller);
// `durable` makes the new cache reach the disk before it replaces the old one; a restore, which
// must stay one quick step, leaves that to the file system (the cache can always be rebuilt).
bool removeDirectorySizesEntryAt(int trashDirFd, const std::string& name, uid_t caller, bool durable = true);

// The Path of an info file as percent-encoded bytes: every byte but the unreserved characters
// and "/" is written as %XX, so any name (also one that is not UTF-8) survives the text file.
std::string percentEncodeTrashPath(std::string_view bytes);
// The bytes back; a "%" not followed by two hex digits stays as it is.
std::string percentDecodeTrashPath(std::string_view text);


// Reads and parses info/NAME.trashinfo relative to an open trash folder; false (with the reason)
// when it is missing, not a regular file, too large or unreadable.
bool readTrashInfoAt(int trashDirFd, const std::string& name, TrashInfoFields& out, std::string& error);

// Where an item of a trash came from, as an absolute path of bytes. In the home trash the Path
// must be absolute; in a volume's trash ($topdir/.Trash/$uid, $topdir/.Trash-$uid) it is
// relative to `topdir`, and an absolute one is accepted only when it lies inside `topdir`.
// Empty Paths, ".." components, a NUL byte and Paths that name the top folder itself or leave
// it are refused with the reason in `error`. "." and repeated slashes are dropped.
std::optional<std::string> originalPathFromTrashInfo(std::string_view encodedPath, const std::string& topdir,
                                                     bool homeTrash, std::string& error);

// Removes info files whose item no longer exists (after a whole trash was emptied); returns how
// many were removed. Files that are not *.trashinfo are left alone.
size_t removeOrphanedTrashInfo(const std::string& trashDir);

}  // namespace quillo::files
