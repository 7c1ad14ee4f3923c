// One trash as a row of the Lumo Window's source list, with its trashed items.
//
// Threads: `children` is built on a worker before the source is handed to the main thread and
// is changed only there afterwards. `size`, `count`, `gatheringSizeCount` and the spinner flags
// are changed by the folder measurements under `lock`. The marked totals and the content list's
// saved state belong to the main thread.
#pragma once

#include "mainwindow/RNLumoWindowItem.h"

#include <QIcon>
#include <QList>
#include <QPixmap>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillo::mainwindow {

// A sort order of the content list: the column identifier and the direction.
struct RNSortDescriptor {
    QString key;
    bool ascending = true;
    bool operator==(const RNSortDescriptor&) const = default;
};

class RNSourceItem;
using RNSourceItemPtr = std::shared_ptr<RNSourceItem>;

class RNSourceItem {
public:
    static RNSourceItemPtr sourceItem() { return std::make_shared<RNSourceItem>(); }

    std::string url;        // the trash's files/ folder
    std::string volumeUrl;  // the volume's root
    const std::string& path() const { return url; }
    const std::string& volumePath() const { return volumeUrl; }
    std::string name;       // the volume's display name (bytes)
    QIcon icon;
    // The row's icon badged with a full or empty trash, and which of the two it is (-1: none
    // yet); main thread only.
    QPixmap composedIcon;
    int composedIconState = -1;
    std::vector<RNLumoWindowItemPtr> children;
    uint64_t childrenGeneration = 0;  // raised on every change of `children` (main thread)
    bool trashIsEmpty = true;
    std::atomic<bool> datesLoaded{false};  // the trash's info files have been read
    std::atomic<int> readError{0};         // errno when the trash folder could not be read

    std::recursive_mutex lock;
    uint64_t size = 0;
    uint64_t count = 0;
    uint64_t gatheringSizeCount = 0;
    bool spinnerAlreadyStarted = false;
    bool waitingAlreadyStarted = false;

    int64_t markedStatus = 0;  // 1 all marked, -1 some, 0 none or no children
    uint64_t markedSize = 0;
    uint64_t markedCount = 0;

    // The content list's saved state for this trash.
    std::vector<RNLumoWindowItemPtr> selection;
    QList<int> selectionIndexes;
    std::vector<RNSortDescriptor> sortDescriptors;

    bool isCollapsed = false;
    int64_t row = 0;

    // Snapshot of the counters (under the lock).
    uint64_t lockedSize() { std::lock_guard g(lock); return size; }
    uint64_t lockedCount() { std::lock_guard g(lock); return count; }
    uint64_t lockedGathering() { std::lock_guard g(lock); return gatheringSizeCount; }
};

}  // namespace quillo::mainwindow
