// Volumes and the user's trash on each of them.
#include "files/RNFilesUtilities.h"
#include "files/FolderWalk.h"

#include "files/MountTable.h"
#include "files/SystemLog.h"
#include "files/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

namespace quillo::files {

namespace {

bool isAbsolute(const std::string& url) { return !url.empty() && url[0] == '/'; }

// by-label names escape unusual bytes as \xHH.
std::string decodeLabel(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && std::isxdigit((unsigned char)s[i + 2]) &&
            std::isxdigit((unsigned char)s[i + 3])) {
            out += char(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The file-system label of the device holding `path`, when udev publishes one.
std::string volumeLabel(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    DirHandle dir(::opendir("/dev/disk/by-label"));
    if (!dir) return {};
    while (dirent* e = ::readdir(dir.get())) {
        if (e->d_name[0] == '.') continue;
        struct stat dev;
        std::string link = std::string("/dev/disk/by-label/") + e->d_name;
        if (::stat(link.c_str(), &dev) == 0 && S_ISBLK(dev.st_mode) && dev.st_rdev == st.st_dev)
            return decodeLabel(e->d_name);
    }
    return {};
}

std::string hostName() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) == 0 && buf[0]) return buf;
    return "/";
}

}  // namespace

std::string lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p == "/") return p;
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string appendPathComponent(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

RNFilesUtilities::RNFilesUtilities() = default;

RNFilesUtilities& RNFilesUtilities::sharedControl() {
    static RNFilesUtilities* shared = new RNFilesUtilities();  // lives to the end of the process
    return *shared;
}

void RNFilesUtilities::setTrashLocator(TrashLocator locator) {
    std::lock_guard lock(mutex_);
    locator_ = std::move(locator);
}

TrashLocator RNFilesUtilities::trashLocator() const {
    {
        std::lock_guard lock(mutex_);
        if (locator_) return *locator_;
    }
    return TrashLocator();  // read afresh: the environment and the mounts may have changed
}

std::vector<std::string> RNFilesUtilities::trashErrors() const {
    std::lock_guard lock(mutex_);
    return trashErrors_ ? *trashErrors_ : std::vector<std::string>{};
}

bool RNFilesUtilities::isKnownTrashError(const std::string& url) const {
    std::lock_guard lock(mutex_);
    return trashErrors_ && std::find(trashErrors_->begin(), trashErrors_->end(), url) != trashErrors_->end();
}

void RNFilesUtilities::addTrashError(const std::string& url) {
    std::lock_guard lock(mutex_);
    if (!trashErrors_) trashErrors_.emplace();
    if (std::find(trashErrors_->begin(), trashErrors_->end(), url) == trashErrors_->end())
        trashErrors_->push_back(url);
}

std::vector<TrashLocation> RNFilesUtilities::trashesAndVolumesLocations() {
    std::vector<TrashLocation> result;
    const TrashLocator locator = trashLocator();
    for (const VolumeInfo& volume : mountedVolumes(locator.homeVolume())) {
        if (volume.isLocked) continue;
        if (isKnownTrashError(volume.url)) continue;
        TrashLookup found = locator.lookup(volume.url, true);
        if (!found.ok) {
            systemLog("NSTrashDirectory error: " + found.error);
            addTrashError(volume.url);
            continue;
        }
        TrashLocation loc;
        loc.trashURL = found.filesDir;
        loc.volumeURL = volume.url;
        loc.volumeName = volume.name;
        loc.volumePath = volume.url;
        loc.trashIsEmpty = trashAtURLIsEmpty(found.filesDir);
        result.push_back(std::move(loc));
    }
    return result;
}

std::vector<VolumeInfo> RNFilesUtilities::volumesLocationArray(const std::vector<std::string>* urls) {
    std::vector<VolumeInfo> result;
    if (urls) {
        for (const auto& url : *urls)
            if (auto info = directoryInfoForURL(url)) result.push_back(std::move(*info));
        return result;
    }
    return mountedVolumes(trashLocator().homeVolume());
}

std::vector<VolumeInfo> RNFilesUtilities::mountedVolumes(const std::string& homeVolume) {
    std::vector<VolumeInfo> result;
    const auto table = readMountTable();
    for (size_t i = 0; i < table.size(); ++i) {
        const MountEntry& m = table[i];
        if (isSystemMount(m) && m.mountPoint != homeVolume) continue;
        // A mount point mounted over again shows only its top mount, at the later place.
        bool covered = std::any_of(table.begin() + long(i) + 1, table.end(),
                                   [&](const MountEntry& later) { return later.mountPoint == m.mountPoint; });
        if (covered) continue;
        struct stat st;
        if (::stat(m.mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;  // a bind-mounted file
        if (auto info = directoryInfoForURL(m.mountPoint)) {
            if (!info->isDisk) continue;
            if (m.hasOption("ro")) info->isLocked = true;
            result.push_back(std::move(*info));
        }
    }
    return result;
}

std::optional<VolumeInfo> RNFilesUtilities::directoryInfoForURL(const std::string& url) {
    if (!isAbsolute(url)) return std::nullopt;
    auto path = pathWithURL(url);
    if (!path) return std::nullopt;
    std::string resolved = url;
    if (isAliasWithURL(url)) {
        std::string target(PATH_MAX, '\0');
        ssize_t n = ::readlink(url.c_str(), target.data(), target.size());
        if (n <= 0) return std::nullopt;
        target.resize(size_t(n));
        resolved = target[0] == '/' ? target : appendPathComponent(deletingLastPathComponent(url), target);
    }
    VolumeInfo info;
    info.url = resolved;
    info.path = *path;
    info.isDisk = isVolumeWithURL(resolved);
    info.name = itemDisplayNameWithURL(resolved);
    if (info.isDisk) {
        info.isLocked = isVolumeLockedWithURL(resolved);
        info.totSize = volumeCapacityWithURL(resolved);
        info.freeSize = volumeFreeCapacityWithURL(resolved);
    }
    return info;
}

std::optional<std::string> RNFilesUtilities::trashURLForItemURL(const std::string& url) {
    if (isVolumeLockedWithURL(url)) return std::nullopt;
    TrashLookup found = trashLocator().lookup(volumeOfPath(canonicalPath(url)), true);
    if (!found.ok) {
        systemLog("NSTrashDirectory error: " + found.error);
        return std::nullopt;
    }
    return found.filesDir;
}

bool RNFilesUtilities::trashAtURLIsEmpty(const std::string& trashURL) {
    UniqueFd fd(::open(trashURL.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return true;
    // A few entries at a time, not readdir's 32 KB: a file system fills whatever buffer it is
    // given, and a trash of thousands would be read a thousand entries deep for one answer.
    alignas(struct dirent64) char buffer[512];
    for (;;) {
        const ssize_t n = ::getdents64(fd.get(), buffer, sizeof buffer);
        if (n <= 0) return true;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const struct dirent64*>(buffer + at);
            if (e->d_name[0] != '.') return false;  // stops at the first visible entry
            at += e->d_reclen;
        }
    }
}

size_t RNFilesUtilities::indexOfNewMountedDiskInArray(const std::vector<TrashLocation>& array, const std::string& path) {
    for (size_t i = 0; i < array.size(); ++i)
        if (array[i].volumePath == path) return i;
    return kNotFound;
}

std::optional<std::string> RNFilesUtilities::itemNameWithURL(const std::string& url) {
    if (!isAbsolute(url)) return std::nullopt;
    return lastPathComponent(url);
}

std::string RNFilesUtilities::itemDisplayNameWithURL(const std::string& url) {
    if (url.empty()) return "";
    if (isVolumeWithURL(url)) {
        std::string label = volumeLabel(url);
        if (!label.empty()) return label;
        if (lastPathComponent(url) == "/") return hostName();
    }
    return lastPathComponent(url);
}

std::optional<std::string> RNFilesUtilities::pathWithURL(const std::string& url, std::error_code* error) {
    if (!isAbsolute(url)) {
        if (error) *error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    if (::access(url.c_str(), F_OK) != 0) {
        if (error) *error = std::error_code(errno, std::generic_category());
        return std::nullopt;
    }
    return url;
}

bool RNFilesUtilities::isAliasWithURL(const std::string& url) {
    struct stat st;
    return isAbsolute(url) && ::lstat(url.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RNFilesUtilities::isASupportedPackage(const std::string& path) {
    const std::string name = lastPathComponent(path);
    const std::string ext = ".photoslibrary";
    return name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
}

bool RNFilesUtilities::isVolumeWithURL(const std::string& url) {
    if (!isAbsolute(url)) return false;
    if (lastPathComponent(url) == "/") return true;
    struct statx sx;
    if (::statx(AT_FDCWD, url.c_str(), 0, STATX_BASIC_STATS, &sx) != 0) return false;
    if (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    struct stat parent;
    if (::stat((url + "/..").c_str(), &parent) != 0) return false;
    return makedev(sx.stx_dev_major, sx.stx_dev_minor) != parent.st_dev;
}

bool RNFilesUtilities::isVolumeLockedWithURL(const std::string& url) {
    struct statvfs vfs;
    if (!isAbsolute(url) || ::statvfs(url.c_str(), &vfs) != 0) return true;
    return (vfs.f_flag & ST_RDONLY) != 0;
}

uint64_t RNFilesUtilities::volumeCapacityWithURL(const std::string& url) {
    struct statvfs vfs;
    if (!isAbsolute(url) || ::statvfs(url.c_str(), &vfs) != 0) return 0;
    return uint64_t(vfs.f_blocks) * vfs.f_frsize;
}

uint64_t RNFilesUtilities::volumeFreeCapacityWithURL(const std::string& url) {
    struct statvfs vfs;
    if (!isAbsolute(url) || ::statvfs(url.c_str(), &vfs) != 0) return 0;
    return uint64_t(vfs.f_bavail) * vfs.f_frsize;
}

void raiseOpenFileLimit() {
    struct rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

}  // namespace quillo::files
