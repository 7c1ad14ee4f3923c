// What the automatic clean-up would erase now: per volume, the trashed items (oldest first) with
// the rule that takes each, their total, and what was left alone and why. Nothing is erased here.
//
// GUI side (the preferences' preview): call RNCleanupPlanner::planAll() on a worker thread, never
// on the main thread (it lists every trash and reads every info file); it may take a while on big
// trashes and answers a plain value that can be handed to the main thread. `stop` (optional) ends
// the listing early when it becomes true (the preferences window closed): the plan is then partial.
//
// Dates are those of each item's info file (DeletionDate). An item with no valid date (missing
// or malformed info file) is never erased by age and comes last under the size rules; a date in
// the future counts as "now". Under the size and free-space rules nothing younger than the
// minimum age goes.
#pragma once

#include "erase/RNCleanupRules.h"
#include "files/UniqueFd.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <ctime>
#include <string>
#include <vector>

namespace quillo::erase {

enum class RNCleanupRule { None, OlderThan, MaxTrashSize, MinFreeSpace };

// Why a volume was left out of a rule or of the pass.
enum class RNCleanupVolumeSkip {
    None,
    ReadOnly,          // nothing can be erased there
    NetworkFreeSpace,  // free-space rule only: statvfs is not trusted on network file systems
    FreeSpaceUnknown,  // free-space rule only: statvfs failed or gave no size
    TrashUnreadable,   // the trash folder could not be read
};

struct RNCleanupItem {
    std::string path;     // the trashed item: TRASH/files/NAME
    uint64_t size = 0;    // bytes it stands for (a folder: everything in it)
    uint64_t count = 0;   // entries it stands for (a folder: 1 + everything below)
    double deletionDate = 0;  // seconds since 2001-01-01 UTC; 0 when unknown
    // For an item without a valid date: when it entered the trash as far as the file system
    // knows (its status-change time, which the move into the trash sets), seconds since
    // 2001-01-01 UTC; 0 when unknown. Only the minimum age looks at it.
    double changeTime = 0;
    RNCleanupRule rule = RNCleanupRule::None;
    // Identity at planning time: an item replaced (same name, new item) is not erased. The
    // status-change time too: a new file may be given the inode number of one just deleted.
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec ctime {};
};

struct RNCleanupVolumePlan {
    std::string volumeName;   // display name
    std::string volumePath;   // mount point
    std::string trashFilesDir;  // the trash's files/ folder
    std::vector<RNCleanupItem> items;  // to erase, oldest first
    uint64_t bytes = 0;        // of `items`
    uint64_t trashItems = 0;   // trashed items before the pass
    uint64_t trashBytes = 0;
    bool freeSpaceKnown = false;
    uint64_t freeBytes = 0;    // free space for the user (f_bavail) at planning time
    uint64_t totalBytes = 0;
    // Kept by the minimum age although a size or free-space rule wanted room.
    uint64_t protectedByAge = 0;
    // Without a valid date: never erased by age.
    uint64_t undated = 0;
    // The free-space target cannot be reached even with everything old enough gone (which is
    // planned to go anyway): the pass says so.
    bool freeTargetUnreachable = false;
    // The trash stays above the size limit (what remains is protected by the minimum age).
    bool sizeLimitUnreachable = false;
    RNCleanupVolumeSkip skip = RNCleanupVolumeSkip::None;
    // With `holdFolders`: the trash's files/ folder, open from planning to erasing. While it is
    // held, a volume unmounted in between keeps its device number, so an item of another volume
    // mounted at the same place (same names, same dates) can never pass for a planned one. (A
    // held folder keeps a plain unmount from succeeding: only a pass holds it.)
    std::shared_ptr<const files::UniqueFd> filesFolder;
};

struct RNCleanupPlan {
    std::vector<RNCleanupVolumePlan> volumes;
    uint64_t totalItems = 0;
    uint64_t totalBytes = 0;
    double now = 0;  // seconds since 2001-01-01 UTC the plan was made for
};

// The free-space facts of one volume, as the decision needs them.
struct RNVolumeSpace {
    bool known = false;
    uint64_t freeBytes = 0;
    uint64_t totalBytes = 0;
};

class RNCleanupPlanner {
public:
    // Every usable trash (or only the one of `volume`: display name or mount point).
    static RNCleanupPlan planAll(const RNCleanupRules& rules, const std::optional<std::string>& volume = std::nullopt,
                                 const std::atomic<bool>* stop = nullptr, bool holdFolders = false);
    // One trash given by its files/ folder and volume.
    static RNCleanupVolumePlan planVolume(const RNCleanupRules& rules, const std::string& trashFilesDir,
                                          const std::string& volumePath, const std::string& volumeName, double now,
                                          const std::string& mountTablePath = "/proc/self/mountinfo",
                                          bool holdFolder = false);

    // The decision alone, over items already listed (with sizes and dates): fills plan.items
    // (the chosen ones, moved there oldest first, undated last), bytes and the flags.
    static void decide(const RNCleanupRules& rules, std::vector<RNCleanupItem> items, const RNVolumeSpace& space,
                       double now, RNCleanupVolumePlan& plan);

    // Seconds since 2001-01-01 UTC.
    static double currentTime();
};

}  // namespace quillo::erase
