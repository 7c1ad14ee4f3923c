// Putting trashed items back and putting items in the trash, for every front end: the file
// core does the moving, this adds the questions (through RNErrorDelegate, like the erase's) and
// the dated log ("write_log"), one line per item restored or trashed. No Qt here.
//
// Runs on the calling thread; a question is put to the user on the main thread and waited for.
#pragma once

#include "erase/RNPrivilegedEraser.h"
#include "files/FileRemoval.h"
#include "files/MountTable.h"
#include "files/TrashPut.h"
#include "files/TrashRestore.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillo::erase {

class RNLogController;

class RNRestoreItems {
public:
    enum class ConflictPolicy { Ask, KeepBoth, Replace, Skip };
    struct Options {
        ConflictPolicy conflicts = ConflictPolicy::Ask;
        bool dryRun = false;
        // Restore into this folder (by the original name) instead of the original place.
        std::optional<std::string> toDir;
        const std::atomic<bool>* stop = nullptr;
        // A copy to another file system: bytes and entries so far.
        std::function<void(uint64_t bytes, uint64_t items)> progress;
    };
    struct Outcome {
        files::TrashedItem item;
        files::RestoreResult result;
    };

    explicit RNRestoreItems(Options options);
    ~RNRestoreItems();

    std::vector<Outcome> restore(const std::vector<files::TrashedItem>& items);
    std::vector<files::PutResult> put(const std::vector<std::string>& paths);

    // The helper's way for what the user's own rights cannot do (locked items, folders of other
    // users); without one such items are not put back.
    static void setPrivilegedRestorerFactory(RNPrivilegedRestorerFactory factory);

    // Every item of every usable trash, with where it came from.
    static std::vector<files::TrashedItem> allTrashedItems();

private:
    files::ConflictChoice askAboutConflict(const std::string& existing);
    enum class LockedChoice { PutBackLocked, PutBackUnlocked, Skip };
    LockedChoice askAboutLocked(const std::string& path);
    bool askAboutNoPermission(const std::string& path);
    // The helper, made on first need (null when there is none).
    RNPrivilegedRestorer* restorer();
    // Unlocks a locked trashed item (by the user's rights, else the helper's); an empty answer
    // when it went, otherwise why not.
    std::string unlock(const files::TrashedItem& item, files::ClearedLock& cleared, bool& byHelper);
    std::string lockAgain(const std::string& path, const files::ClearedLock& cleared, bool byHelper);
    // The log is opened with the first item that moves: a command that moves nothing leaves
    // no empty session behind.
    void prepareLog(const char* nameKey, const char* startKey, const char* endKey, const char* endFormatKey);
    void logItem(const std::string& path, uint64_t size);
    void closeLog();

    Options options_;
    files::TrashPutter putter_;
    std::vector<files::MountEntry> mounts_;
    std::optional<files::ConflictChoice> forAll_;  // "apply to all" was ticked
    std::optional<LockedChoice> lockedForAll_;
    std::optional<bool> noPermissionForAll_;
    std::unique_ptr<RNPrivilegedRestorer> restorer_;
    bool restorerMade_ = false;
    std::unique_ptr<RNLogController> log_;
    std::vector<const char*> logKeys_;  // name, start, end, end format; empty: no log wanted
};

}  // namespace quillo::erase
