// Putting files and folders in the trash of their volume, by the freedesktop.org Trash rules:
// the home trash for the volume that holds it; elsewhere $topdir/.Trash/$uid when $topdir/.Trash
// is a real folder with the sticky bit, else $topdir/.Trash-$uid (made 0700). An item is only
// ever renamed into a trash of its own file system, never copied and never deleted: when that
// cannot be done, it is refused and stays where it is.
#pragma once

#include "files/MountTable.h"
#include "files/TrashLocator.h"
#include "files/UniqueFd.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillo::files {

struct PutResult {
    bool ok = false;
    std::string path;       // the item as it was named (absolute, parent folders resolved)
    std::string trashDir;   // the trash it went to (holds files/ and info/)
    std::string name;       // its name in files/ and info/NAME.trashinfo
    std::string error;      // why it was refused or failed; nothing was changed then
};

class TrashPutter {
public:
    // The mount table is read once: one putter serves a whole command.
    explicit TrashPutter(TrashLocator locator = TrashLocator(), std::vector<MountEntry> mounts = readMountTable());

    // `path` is absolute; a symlink is trashed itself, never its target. Refused with nothing
    // touched: "/", the home folder, a mount point, a trash folder or anything inside one, a
    // folder that holds the home trash, and an item on a volume where no trash can be made.
    PutResult put(const std::string& path);

    // The local time text of a DeletionDate ("2024-05-01T10:20:30").
    static std::string deletionDateText(time_t when);

private:
    struct Trash {
        bool ok = false;
        std::string dir;
        std::string error;
        bool home = false;
        // Kept open for the next item of the same volume: a put of many files opens them once.
        std::shared_ptr<UniqueFd> dirFd, filesFd, infoFd;
        dev_t filesDev = 0;
    };
    // The trash for items of the volume at `topdir`, made when missing.
    Trash trashFor(const std::string& topdir);
    bool openTrash(Trash& t);

    // The folder of the last item: many items of one folder resolve and open it once.
    struct Parent {
        std::string given, canonical;
        UniqueFd fd;
        struct stat st {};
    };
    Parent parent_;

    TrashLocator locator_;
    std::vector<MountEntry> mounts_;
    std::string homeTrashCanonical_;
    std::map<std::string, Trash> trashes_;
};

}  // namespace quillo::files
