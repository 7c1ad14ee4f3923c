#include "erase/RNRestoreItems.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNLogController.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "files/Utf8.h"
#include "util/Localization.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace quillo::erase {

using files::ConflictChoice;
using files::RestoreStatus;

namespace {
std::mutex gRestorerMutex;
RNPrivilegedRestorerFactory gRestorerFactory;
}  // namespace

void RNRestoreItems::setPrivilegedRestorerFactory(RNPrivilegedRestorerFactory factory) {
    std::lock_guard lock(gRestorerMutex);
    gRestorerFactory = std::move(factory);
}

RNPrivilegedRestorer* RNRestoreItems::restorer() {
    if (!restorerMade_) {
        restorerMade_ = true;
        RNPrivilegedRestorerFactory factory;
        {
            std::lock_guard lock(gRestorerMutex);
            factory = gRestorerFactory;
        }
        if (factory) restorer_ = factory();
    }
    return restorer_.get();
}

RNRestoreItems::LockedChoice RNRestoreItems::askAboutLocked(const std::string& path) {
    if (lockedForAll_) return *lockedForAll_;
    bool applyToAll = false;
    const int64_t answer = RNErrorDelegate::sharedControl().askToTheUser(
        "restore_locked_sing_str", "restore_locked_sing_msg", {files::escapedText(files::lastPathComponent(path))},
        "restore_locked_btn", "restore_unlocked_btn", "skip", true, &applyToAll, false, nullptr, /*safeButton=*/2);
    const LockedChoice choice = answer == kAlertFirstButtonReturn    ? LockedChoice::PutBackLocked
                                : answer == kAlertSecondButtonReturn ? LockedChoice::PutBackUnlocked
                                                                     : LockedChoice::Skip;
    if (applyToAll) lockedForAll_ = choice;
    return choice;
}

bool RNRestoreItems::askAboutNoPermission(const std::string& path) {
    if (noPermissionForAll_) return *noPermissionForAll_;
    bool applyToAll = false;
    const int64_t answer = RNErrorDelegate::sharedControl().askToTheUser(
        "restore_no_permissions_sing_str", "restore_no_permissions_sing_msg",
        {files::escapedText(files::lastPathComponent(path))}, "skip", "put_back_as_admin_btn", "", true, &applyToAll,
        false, nullptr, /*safeButton=*/0);
    const bool yes = answer == kAlertSecondButtonReturn;
    if (applyToAll) noPermissionForAll_ = yes;
    return yes;
}

std::string RNRestoreItems::unlock(const files::TrashedItem& item, files::ClearedLock& cleared, bool& byHelper) {
    byHelper = false;
    files::UniqueFd dir(::open(files::appendPathComponent(item.trashDir, "files").c_str(),
                               O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string why;
    if (!dir.valid()) return std::strerror(errno);
    if (files::unlockItemAt(dir.get(), item.name, why, cleared)) return {};
    RNPrivilegedRestorer* helper = restorer();
    if (!helper) return why;
    // The helper remembers what it cleared; the lock goes back through it.
    struct stat st;
    if (::fstatat(dir.get(), item.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::strerror(errno);
    why = helper->unlockTrashedItem(item.trashedPath());
    if (!why.empty()) return why;
    byHelper = true;
    cleared = {uint64_t(st.st_dev), uint64_t(st.st_ino), 0};
    return {};
}

std::string RNRestoreItems::lockAgain(const std::string& path, const files::ClearedLock& cleared, bool byHelper) {
    if (byHelper) return restorer() ? restorer()->lockRestoredItem(path) : std::string("no helper");
    files::UniqueFd dir(::open(files::deletingLastPathComponent(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string why;
    if (!dir.valid()) return std::strerror(errno);
    files::lockItemAt(dir.get(), files::lastPathComponent(path), cleared, why);
    return why;
}

RNRestoreItems::RNRestoreItems(Options options)
    : options_(std::move(options)), putter_(files::RNFilesUtilities::sharedControl().trashLocator()),
      mounts_(files::readMountTable()) {}

RNRestoreItems::~RNRestoreItems() { closeLog(); }

std::vector<files::TrashedItem> RNRestoreItems::allTrashedItems() {
    auto& utilities = files::RNFilesUtilities::sharedControl();
    const std::string homeTrash = files::canonicalPath(utilities.trashLocator().homeTrashDir());
    std::vector<files::TrashedItem> all;
    for (const auto& t : utilities.trashesAndVolumesLocations()) {
        const std::string trashDir = files::deletingLastPathComponent(t.trashURL);
        auto items = files::trashedItemsOf(trashDir, t.volumeURL, files::canonicalPath(trashDir) == homeTrash);
        all.insert(all.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
    return all;
}

void RNRestoreItems::prepareLog(const char* nameKey, const char* startKey, const char* endKey, const char* endFormatKey) {
    logKeys_.clear();
    if (options_.dryRun || !RNUserDefaults::standardUserDefaults().boolForKey(kPrefWriteLog)) return;
    logKeys_ = {nameKey, startKey, endKey, endFormatKey};
}

void RNRestoreItems::logItem(const std::string& path, uint64_t size) {
    if (!log_ && !logKeys_.empty()) {
        auto& defaults = RNUserDefaults::standardUserDefaults();
        RNDictionary info{{"startStr", util::RNLocalizedString(logKeys_[1])},
                          {"endStr", util::RNLocalizedString(logKeys_[2])},
                          {"partialLogName", util::RNLocalizedString(logKeys_[0])},
                          {"endFormat", std::string(logKeys_[3])},
                          {"gapTime", int64_t(defaults.integerForKey(kPrefHowManyDaysForNewLogFile))}};
        logKeys_.clear();
        log_ = std::make_unique<RNLogController>(info);
        // Unlike an erase, nothing is lost without a log: the items move all the same.
        if (log_->openLogFile()) log_->writeStartSession();
        else log_.reset();
    }
    if (log_) log_->writeEntryWithPath(path, size);
}

void RNRestoreItems::closeLog() {
    logKeys_.clear();
    if (!log_) return;
    log_->writeEndSessionAndCloseFile();
    log_.reset();
}

ConflictChoice RNRestoreItems::askAboutConflict(const std::string& existing) {
    switch (options_.conflicts) {
    case ConflictPolicy::KeepBoth: return ConflictChoice::KeepBoth;
    case ConflictPolicy::Replace: return ConflictChoice::Replace;
    case ConflictPolicy::Skip: return ConflictChoice::Skip;
    case ConflictPolicy::Ask: break;
    }
    if (forAll_) return *forAll_;
    bool applyToAll = false;
    const int64_t answer = RNErrorDelegate::sharedControl().askToTheUser(
        "restore_conflict_str", "restore_conflict_msg", {files::escapedText(files::lastPathComponent(existing))}, "keep_both_btn",
        "replace_btn", "skip", true, &applyToAll, false, nullptr, /*safeButton=*/2);
    ConflictChoice choice = answer == kAlertFirstButtonReturn    ? ConflictChoice::KeepBoth
                            : answer == kAlertSecondButtonReturn ? ConflictChoice::Replace
                                                                 : ConflictChoice::Skip;
    if (applyToAll) forAll_ = choice;
    return choice;
}

std::vector<RNRestoreItems::Outcome> RNRestoreItems::restore(const std::vector<files::TrashedItem>& items) {
    std::vector<Outcome> outcomes;
    prepareLog("restored_items_log_name", "start_restore", "end_restore", "items_restored");
    files::RestoreOptions options;
    options.dryRun = options_.dryRun;
    options.onConflict = [this](const std::string& existing) { return askAboutConflict(existing); };
    options.putAside = [this](const std::string& existing, std::string& error) {
        files::PutResult put = putter_.put(existing);
        error = put.error;
        if (put.ok) logItem(existing, 0);
        return put.ok;
    };
    options.moveDenied = [this](const std::string& from, const std::string& to, std::string& error) {
        RNPrivilegedRestorer* helper = restorer();
        if (!helper || !askAboutNoPermission(from)) return false;
        error = helper->moveTrashedFolder(from, to);
        return error.empty();
    };
    options.copy.stop = options_.stop;
    options.copy.progress = options_.progress;

    std::optional<std::string> toDir;
    if (options_.toDir) toDir = files::canonicalPath(*options_.toDir);
    for (const auto& item : items) {
        Outcome o{item, {}};
        if (options_.stop && options_.stop->load()) {
            o.result.status = RestoreStatus::Stopped;
            o.result.error = "stopped";
            outcomes.push_back(std::move(o));
            continue;
        }
        std::string destination, boundary;
        if (toDir) {
            const std::string leaf = item.originalPath ? files::lastPathComponent(*item.originalPath) : item.name;
            destination = files::appendPathComponent(*toDir, leaf);
            boundary = *toDir;
        } else if (item.originalPath) {
            destination = *item.originalPath;
            boundary = files::restoreBoundary(item, destination, mounts_);
        } else {
            o.result.status = RestoreStatus::Refused;
            o.result.error = (item.infoError.empty() ? std::string("its original location is unknown") : item.infoError) +
                             "; it can be restored into a chosen folder";
            outcomes.push_back(std::move(o));
            continue;
        }
        struct stat st;
        const uint64_t size = ::lstat(item.trashedPath().c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
        // A locked item cannot move: asked, unlocked (by the helper where the user's rights do
        // not reach), and locked again where it lands when so answered, or in the trash when it
        // does not go.
        std::optional<files::ClearedLock> cleared;
        bool byHelper = false, relock = false;
        if (!options_.dryRun && files::isLockedItemAt(AT_FDCWD, item.trashedPath())) {
            const LockedChoice choice = askAboutLocked(item.trashedPath());
            if (choice == LockedChoice::Skip) {
                o.result.status = RestoreStatus::Skipped;
                o.result.error = "it is locked";
                outcomes.push_back(std::move(o));
                continue;
            }
            files::ClearedLock lock;
            if (const std::string why = unlock(item, lock, byHelper); !why.empty()) {
                o.result.status = RestoreStatus::Failed;
                o.result.error = "it is locked and could not be unlocked: " + why;
                outcomes.push_back(std::move(o));
                continue;
            }
            cleared = lock;
            relock = choice == LockedChoice::PutBackLocked;
        }
        o.result = files::restoreTrashedItem(item, destination, boundary, options);
        if (cleared && o.result.status == RestoreStatus::Restored && relock) {
            if (const std::string why = lockAgain(o.result.destination, *cleared, byHelper); !why.empty())
                o.result.error = "put back, but not locked again: " + why;
        } else if (cleared && o.result.status != RestoreStatus::Restored) {
            lockAgain(item.trashedPath(), *cleared, byHelper);
        }
        if (o.result.status == RestoreStatus::Restored && !options_.dryRun) logItem(o.result.destination, size);
        outcomes.push_back(std::move(o));
    }
    closeLog();
    return outcomes;
}

std::vector<files::PutResult> RNRestoreItems::put(const std::vector<std::string>& paths) {
    std::vector<files::PutResult> results;
    prepareLog("trashed_items_log_name", "start_put", "end_put", "items_trashed");
    for (const auto& path : paths) {
        if (options_.stop && options_.stop->load()) {
            files::PutResult r;
            r.path = path;
            r.error = "stopped";
            results.push_back(std::move(r));
            continue;
        }
        struct stat st;
        const uint64_t size = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
        files::PutResult r;
        if (options_.dryRun) {
            r.path = path;
            r.ok = ::lstat(path.c_str(), &st) == 0;
            if (!r.ok) r.error = "no such file or folder";
        } else {
            r = putter_.put(path);
        }
        if (r.ok && !options_.dryRun) logItem(r.path, size);
        results.push_back(std::move(r));
    }
    closeLog();
    return results;
}

}  // namespace quillo::erase
