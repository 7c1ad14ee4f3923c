#include "erase/RNCleanupPlanner.h"

#include "files/MountTable.h"
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "files/TrashLocator.h"
#include "files/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>

namespace quillo::erase {

namespace {

constexpr double kDay = 86400.0;

// File systems whose statvfs figures are the server's guess, a cache, or made up: a free-space
// rule there would erase on the strength of a number nobody can trust.
bool isNetworkFileSystem(const std::string& type) {
    static constexpr std::array<std::string_view, 17> kTypes = {
        "nfs",  "nfs4",  "cifs",      "smb3",       "smbfs",   "ncpfs", "afs",        "9p",   "ceph",
        "glusterfs", "lustre", "gfs2", "ocfs2", "davfs", "fuse.sshfs", "fuse.rclone", "fuse.s3fs"};
    if (std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end()) return true;
    return type.starts_with("fuse.gvfs") || type.starts_with("fuse.glusterfs");
}

double sinceReference(const struct timespec& ts) {
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9 - files::kReferenceDateOffset;
}

}  // namespace

double RNCleanupPlanner::currentTime() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - files::kReferenceDateOffset;
}

void RNCleanupPlanner::decide(const RNCleanupRules& rules, std::vector<RNCleanupItem> items,
                              const RNVolumeSpace& space, double now, RNCleanupVolumePlan& plan) {
    plan.items.clear();
    plan.bytes = 0;
    plan.protectedByAge = 0;
    plan.undated = 0;
    plan.freeTargetUnreachable = plan.sizeLimitUnreachable = false;
    plan.trashItems = items.size();
    plan.trashBytes = 0;
    for (const auto& i : items) plan.trashBytes += i.size;

    // The order, oldest first, as a permutation: the items themselves (with their paths) are
    // not moved around. A date in the future is "just now"; no date sorts after every date
    // (0 is never the date of an item trashed by the rules, so it means unknown).
    struct Key {
        double when;
        uint32_t index;
        bool dated;
    };
    std::vector<Key> order(items.size());
    for (size_t k = 0; k < items.size(); ++k) {
        const bool dated = items[k].deletionDate != 0;
        order[k] = Key{dated ? std::min(items[k].deletionDate, now) : 0, uint32_t(k), dated};
        if (!dated) ++plan.undated;
    }
    std::sort(order.begin(), order.end(), [&](const Key& a, const Key& b) {
        if (a.dated != b.dated) return a.dated;
        if (a.when != b.when) return a.when < b.when;
        return items[a.index].path < items[b.index].path;
    });

    // Old enough for the size and free-space rules. An undated item is judged by the time it
    // entered the trash as the file system saw it; when even that is unknown it is kept.
    const double youngest = now - std::max(0.0, rules.minimumAgeDays) * kDay;
    auto oldEnough = [&](const Key& key) {
        const RNCleanupItem& i = items[key.index];
        const double when = key.dated ? key.when : (i.changeTime != 0 ? std::min(i.changeTime, now) : now);
        return when <= youngest;
    };

    std::vector<char> chosen(items.size(), 0);  // by position in `order`
    uint64_t chosenBytes = 0;
    auto choose = [&](size_t pos, RNCleanupRule rule) {
        chosen[pos] = 1;
        items[order[pos].index].rule = rule;
        chosenBytes += items[order[pos].index].size;
    };

    if (rules.olderThanOn) {
        const double cut = now - double(rules.olderThanDays) * kDay;
        for (size_t pos = 0; pos < order.size() && order[pos].dated && order[pos].when < cut; ++pos)
            choose(pos, RNCleanupRule::OlderThan);
    }

    // Takes the oldest items not chosen yet until `enough()`; false when it ran out first.
    uint64_t protectedCount = 0;
    std::vector<char> counted(items.size(), 0);
    auto takeOldestUntil = [&](auto enough, RNCleanupRule rule) {
        for (size_t pos = 0; pos < order.size() && !enough(); ++pos) {
            if (chosen[pos]) continue;
            if (!oldEnough(order[pos])) {
                if (!counted[pos]) ++protectedCount, counted[pos] = 1;
                continue;
            }
            choose(pos, rule);
        }
        return enough();
    };

    if (rules.maxTrashOn) {
        const bool fits = takeOldestUntil([&] { return plan.trashBytes - chosenBytes <= rules.maxTrashBytes; },
                                          RNCleanupRule::MaxTrashSize);
        plan.sizeLimitUnreachable = !fits;
    }

    if (rules.minFreeOn && space.known && plan.skip == RNCleanupVolumeSkip::None) {
        const uint64_t target = rules.minFreeTarget(space.totalBytes);
        if (space.freeBytes < target) {
            const uint64_t need = target - space.freeBytes;
            const bool reached = takeOldestUntil([&] { return chosenBytes >= need; }, RNCleanupRule::MinFreeSpace);
            plan.freeTargetUnreachable = !reached;
        }
    }

    plan.protectedByAge = protectedCount;
    plan.bytes = chosenBytes;
    plan.items.reserve(size_t(std::count(chosen.begin(), chosen.end(), 1)));
    for (size_t pos = 0; pos < order.size(); ++pos)
        if (chosen[pos]) plan.items.push_back(std::move(items[order[pos].index]));
}

RNCleanupVolumePlan RNCleanupPlanner::planVolume(const RNCleanupRules& rules, const std::string& trashFilesDir,
                                                 const std::string& volumePath, const std::string& volumeName,
                                                 double now, const std::string& mountTablePath, bool holdFolder) {
    RNCleanupVolumePlan plan;
    plan.volumeName = volumeName;
    plan.volumePath = volumePath;
    plan.trashFilesDir = trashFilesDir;

    // What the volume is: read-only volumes are left alone; the free space is trusted only from
    // a local file system that reports a size.
    RNVolumeSpace space;
    const auto table = files::readMountTable(mountTablePath);
    const files::MountEntry* mount = files::mountContaining(table, files::canonicalPath(volumePath));
    struct statvfs vfs {};
    const bool statOk = ::statvfs(volumePath.c_str(), &vfs) == 0;
    if ((mount && mount->hasOption("ro")) || (statOk && (vfs.f_flag & ST_RDONLY))) {
        plan.skip = RNCleanupVolumeSkip::ReadOnly;
        return plan;
    }
    bool freeTrusted = true;
    if (mount && isNetworkFileSystem(mount->fsType)) {
        freeTrusted = false;
        if (rules.minFreeOn) plan.skip = RNCleanupVolumeSkip::NetworkFreeSpace;
    } else if (!statOk || vfs.f_blocks == 0 || vfs.f_frsize == 0) {
        freeTrusted = false;
        if (rules.minFreeOn) plan.skip = RNCleanupVolumeSkip::FreeSpaceUnknown;
    }
    if (freeTrusted) {
        space.known = true;
        space.totalBytes = uint64_t(vfs.f_blocks) * vfs.f_frsize;
        space.freeBytes = uint64_t(vfs.f_bavail) * vfs.f_frsize;
        plan.freeSpaceKnown = true;
        plan.freeBytes = space.freeBytes;
        plan.totalBytes = space.totalBytes;
    }

    // Each item's date is read with the listing, on the same threads.
    auto listing = files::RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(trashFilesDir, true);
    if (!listing) return plan;
    if (listing->readError != 0) {
        plan.skip = RNCleanupVolumeSkip::TrashUnreadable;
        return plan;
    }

    std::vector<std::string> names;
    names.reserve(listing->itemsToErase.size());
    for (const auto& i : listing->itemsToErase) names.push_back(files::lastPathComponent(i.url));

    auto held = std::make_shared<files::UniqueFd>(::open(trashFilesDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const files::UniqueFd& filesFd = *held;
    std::vector<RNCleanupItem> items;
    items.reserve(names.size());
    for (size_t k = 0; k < names.size(); ++k) {
        RNCleanupItem item;
        item.path = std::move(listing->itemsToErase[k].url);
        item.size = listing->itemsToErase[k].size;
        item.count = listing->itemsToErase[k].count;
        item.deletionDate = k < listing->info.size() ? listing->info[k].deletionDate : 0;
        struct stat st;
        if (item.deletionDate == 0 && filesFd.valid() &&
            ::fstatat(filesFd.get(), names[k].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            item.changeTime = sinceReference(st.st_ctim);
        items.push_back(std::move(item));
    }
    decide(rules, std::move(items), space, now, plan);

    // The identity of what is to go, so that an item replaced under the same name stays.
    for (auto& item : plan.items) {
        struct stat st;
        if (filesFd.valid() &&
            ::fstatat(filesFd.get(), files::lastPathComponent(item.path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            item.dev = st.st_dev;
            item.ino = st.st_ino;
            item.ctime = st.st_ctim;
        }
    }
    if (holdFolder && filesFd.valid()) plan.filesFolder = std::move(held);
    return plan;
}

RNCleanupPlan RNCleanupPlanner::planAll(const RNCleanupRules& rules, const std::optional<std::string>& volume,
                                        const std::atomic<bool>* stop, bool holdFolders) {
    RNCleanupPlan plan;
    plan.now = currentTime();
    files::refreshTimeZone();
    const std::string wanted = volume ? files::canonicalPath(*volume) : std::string();
    for (const auto& trash : files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations()) {
        if (stop && stop->load()) break;
        if (volume && trash.volumeName != *volume && trash.volumePath != *volume && trash.volumeURL != wanted)
            continue;
        auto v = planVolume(rules, trash.trashURL, trash.volumePath, trash.volumeName, plan.now,
                            "/proc/self/mountinfo", holdFolders);
        plan.totalItems += v.items.size();
        plan.totalBytes += v.bytes;
        plan.volumes.push_back(std::move(v));
    }
    return plan;
}

}  // namespace quillo::erase
