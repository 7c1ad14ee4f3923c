#include "files/TrashRestore.h"

#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "files/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quillo::files {

namespace {

std::string errorText(int err) { return std::strerror(err); }

std::vector<std::string> componentsBelow(const std::string& path, const std::string& boundary, bool& ok) {
    std::string top = boundary;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    std::vector<std::string> parts;
    ok = false;
    if (top == "/") {
        if (path.empty() || path[0] != '/') return parts;
    } else if (path.size() <= top.size() || path.compare(0, top.size(), top) != 0 || path[top.size()] != '/') {
        return parts;
    }
    std::string rest = top == "/" ? path.substr(1) : path.substr(top.size() + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t slash = rest.find('/', start);
        if (slash == std::string::npos) slash = rest.size();
        std::string part = rest.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return {};
        parts.push_back(part);
    }
    ok = !parts.empty();
    return parts;
}

// Folders made on the way to the destination; removed again (deepest first, only when still
// empty) when the restore does not happen.
struct MadeFolders {
    std::vector<std::pair<UniqueFd, std::string>> made;  // parent, name
    bool keep = false;
    ~MadeFolders() {
        if (keep) return;
        for (auto it = made.rbegin(); it != made.rend(); ++it) ::unlinkat(it->first.get(), it->second.c_str(), AT_REMOVEDIR);
    }
};

std::string hiddenCopyName() {
    uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) random = uint64_t(::getpid()) << 20 ^ uint64_t(::time(nullptr));
    char buf[48];
    std::snprintf(buf, sizeof buf, ".quillo-restore-%016llx", static_cast<unsigned long long>(random));
    return buf;
}

}  // namespace

std::string TrashedItem::trashedPath() const {
    return appendPathComponent(appendPathComponent(trashDir, "files"), name);
}

TrashedItem describeTrashedItem(const std::string& trashDir, const std::string& name, const std::string& topdir,
                                bool homeTrash) {
    TrashedItem item;
    item.trashDir = trashDir;
    item.name = name;
    item.topdir = topdir;
    item.homeTrash = homeTrash;
    UniqueFd dir(::open(trashDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    TrashInfoFields fields;
    if (!dir.valid()) {
        item.infoError = trashDir + ": " + errorText(errno);
    } else if (readTrashInfoAt(dir.get(), name, fields, item.infoError)) {
        item.deletionDate = fields.deletionDate;
        if (!fields.path) {
            item.infoError = "its info file gives no original location";
            item.infoMissing = true;
        } else {
            item.originalPath = originalPathFromTrashInfo(*fields.path, topdir, homeTrash, item.infoError);
        }
    } else {
        item.infoMissing = true;
    }
    return item;
}

std::vector<TrashedItem> trashedItemsOf(const std::string& trashDir, const std::string& topdir, bool homeTrash) {
    std::vector<TrashedItem> items;
    int fd = ::open(appendPathComponent(trashDir, "files").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return items;
    DirHandle dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return items;
    }
    while (dirent* e = ::readdir(dir.get())) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        items.push_back(describeTrashedItem(trashDir, e->d_name, topdir, homeTrash));
    }
    return items;
}

std::string restoreBoundary(const TrashedItem& item, const std::string& destination,
                            const std::vector<MountEntry>& mounts) {
    if (!item.homeTrash) return item.topdir;
    const MountEntry* m = mountContaining(mounts, destination);
    return m ? m->mountPoint : "/";
}

std::string restoredName(const std::string& leaf, unsigned n, bool isFolder) {
    const std::string tag = n <= 1 ? " (restored)" : " (restored " + std::to_string(n) + ")";
    const size_t dot = isFolder ? std::string::npos : leaf.rfind('.');
    // A leading dot is part of the name (".profile"), not an extension.
    if (dot == std::string::npos || dot == 0 || leaf.size() - dot > 16) return leaf + tag;
    return leaf.substr(0, dot) + tag + leaf.substr(dot);
}

RestoreResult restoreTrashedItem(const TrashedItem& item, const std::string& destination, const std::string& boundary,
                                 const RestoreOptions& options) {
    RestoreResult r;
    r.destination = destination;
    auto refuse = [&r](RestoreStatus status, std::string why) {
        r.status = status;
        r.error = std::move(why);
        return r;
    };
    bool ok = false;
    std::vector<std::string> parts = componentsBelow(destination, boundary, ok);
    if (!ok) return refuse(RestoreStatus::Refused, "the destination " + destination + " does not lie inside " + boundary);

    // An info file could name a place inside the trash itself: the item would vanish from the
    // trash's listing (or move into itself).
    const std::string trashReal = canonicalPath(item.trashDir);
    const std::string parentReal = canonicalPath(deletingLastPathComponent(destination));
    for (const std::string& p : {destination, parentReal}) {
        if (p == trashReal || (p.size() > trashReal.size() && p.compare(0, trashReal.size(), trashReal) == 0 &&
                               p[trashReal.size()] == '/'))
            return refuse(RestoreStatus::Refused, "the destination " + destination + " lies inside the trash");
    }

    UniqueFd trash(::open(item.trashDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    UniqueFd files(trash.valid() ? ::openat(trash.get(), "files", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
    struct stat itemSt;
    if (!files.valid() || ::fstatat(files.get(), item.name.c_str(), &itemSt, AT_SYMLINK_NOFOLLOW) != 0)
        return refuse(RestoreStatus::Failed, "the trashed item cannot be reached: " + errorText(errno));
    const bool isFolder = S_ISDIR(itemSt.st_mode);

    // The walk to the destination's folder.
    UniqueFd dir(::open(boundary.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return refuse(RestoreStatus::Failed, boundary + ": " + errorText(errno));
    MadeFolders made;
    std::string walked = boundary == "/" ? "" : boundary;
    bool missing = false;  // a dry run stops at the first folder that would be made
    for (size_t i = 0; i + 1 < parts.size() && !missing; ++i) {
        const std::string& part = parts[i];
        walked += "/" + part;
        UniqueFd next(::openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid() && errno == ENOENT) {
            if (options.dryRun) {
                missing = true;
                break;
            }
            if (::mkdirat(dir.get(), part.c_str(), 0777) == 0) made.made.emplace_back(UniqueFd(::dup(dir.get())), part);
            else if (errno != EEXIST)
                return refuse(RestoreStatus::Failed, "the folder " + walked + " cannot be made: " + errorText(errno));
            next.reset(::openat(dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next.valid()) {
            const int err = errno;
            struct stat st;
            if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return refuse(RestoreStatus::Refused, walked + " is a symbolic link, which is not followed");
            if (err == ENOTDIR)
                return refuse(RestoreStatus::Refused, walked + " is not a folder");
            return refuse(RestoreStatus::Failed, walked + ": " + errorText(err));
        }
        dir = std::move(next);
    }
    const std::string parentPath = deletingLastPathComponent(destination);
    std::string leaf = parts.back();

    struct stat dirSt;
    if (!missing && ::fstat(dir.get(), &dirSt) != 0) return refuse(RestoreStatus::Failed, errorText(errno));

    bool done = false;
    for (unsigned attempt = 0; attempt < 1000 && !done; ++attempt) {
        r.destination = appendPathComponent(parentPath, leaf);
        struct stat existing;
        if (!missing && ::fstatat(dir.get(), leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            const ConflictChoice choice =
                options.onConflict ? options.onConflict(r.destination) : ConflictChoice::Skip;
            if (choice == ConflictChoice::Skip) return refuse(RestoreStatus::Skipped, r.destination + " already exists");
            if (choice == ConflictChoice::Stop) return refuse(RestoreStatus::Stopped, "stopped");
            if (choice == ConflictChoice::KeepBoth) {
                for (unsigned n = 1;; ++n) {
                    leaf = restoredName(parts.back(), n, isFolder);
                    if (::fstatat(dir.get(), leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0 || n > 100000) break;
                }
                continue;
            }
            // Replace: the item in the way goes to the trash first; it is never deleted.
            if (options.dryRun) {
                r.status = RestoreStatus::Restored;
                return r;
            }
            std::string why;
            if (!options.putAside || !options.putAside(r.destination, why))
                return refuse(RestoreStatus::Failed, r.destination + " could not be put in the trash: " +
                                                         (why.empty() ? std::string("no way to do it") : why));
            continue;
        }
        if (options.dryRun) {
            r.status = RestoreStatus::Restored;
            r.copied = !missing && dirSt.st_dev != itemSt.st_dev;
            return r;
        }
        if (::renameat2(files.get(), item.name.c_str(), dir.get(), leaf.c_str(), RENAME_NOREPLACE) == 0) {
            done = true;
            break;
        }
        if (errno == EEXIST) continue;  // appeared meanwhile: asked again
        if ((errno == EACCES || errno == EPERM) && isFolder && itemSt.st_uid != ::geteuid() && options.moveDenied) {
            const int err = errno;
            std::string why;
            const std::string realParent = canonicalPath("/proc/self/fd/" + std::to_string(dir.get()));
            if (options.moveDenied(item.trashedPath(), appendPathComponent(realParent, leaf), why)) {
                done = true;
                break;
            }
            return refuse(RestoreStatus::Failed,
                          "it cannot be put back in " + parentPath + ": " + (why.empty() ? errorText(err) : why));
        }
        if (errno != EXDEV)
            return refuse(RestoreStatus::Failed, "it cannot be put back in " + parentPath + ": " + errorText(errno));

        // Another file system: a full copy under a hidden name first. A failure removes the copy
        // and leaves the trashed item as it was.
        const std::string temporary = hiddenCopyName();
        std::string where;
        const int err = copyTreeAt(files.get(), item.name, dir.get(), temporary, options.copy, where);
        if (err == 0 && ::renameat2(dir.get(), temporary.c_str(), dir.get(), leaf.c_str(), RENAME_NOREPLACE) == 0) {
            r.copied = true;
            done = true;
            break;
        }
        const int failure = err ? err : errno;
        removeItemAt(dir.get(), temporary.c_str());
        if (failure == ECANCELED) return refuse(RestoreStatus::Stopped, "stopped; the item stays in the trash");
        if (failure == EEXIST) continue;
        return refuse(RestoreStatus::Failed, "copying failed" + (where.empty() ? std::string() : " at " + where) + ": " +
                                                 errorText(failure) + "; the item stays in the trash");
    }
    if (!done) return refuse(RestoreStatus::Failed, "no free name for the destination");
    made.keep = true;
    r.status = RestoreStatus::Restored;

    if (r.copied) {
        if (const int err = removeItemAt(files.get(), item.name.c_str())) {
            // Restored in full; what the trash could not let go of stays listed there.
            r.infoLeft = true;
            r.error = "restored, but the trashed copy could not be removed entirely: " + errorText(err);
            return r;
        }
    }
    // The data is in place: now the trash forgets it.
    UniqueFd info(::openat(trash.get(), "info", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const std::string infoName = item.name + ".trashinfo";
    if (info.valid() && ::unlinkat(info.get(), infoName.c_str(), 0) != 0 && errno != ENOENT) {
        r.infoLeft = true;
        r.error = "restored, but its info file could not be removed: " + errorText(errno);
    }
    removeDirectorySizesEntryAt(trash.get(), item.name, ::geteuid(), /*durable=*/false);
    return r;
}

}  // namespace quillo::files
