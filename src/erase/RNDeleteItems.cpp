#include "erase/RNDeleteItems.h"

#include "erase/RNAlert.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNLogController.h"
#include "erase/RNMainThread.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "files/EraseCount.h"
#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/SystemLog.h"
#include "files/TrashInfo.h"
#include "files/TreeWalk.h"
#include "files/UniqueFd.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"
#include "files/Utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <thread>

namespace quillo::erase {

using files::RNFilesUtilities;
using files::RNItemToErase;
using files::RNQuilloFileUtilities;
using util::RNLocalizedString;

namespace {

// The tick's two process-wide flags: one erase at a time.
std::atomic<bool> gShouldStop{false};
std::atomic<bool> gNotificationAlreadySent{false};

std::mutex gTickMutex;
std::condition_variable gTickEnded;
int gTicksRunning = 0;

std::mutex gFactoryMutex;
RNProgressWindowFactory gProgressFactory;
RNPrivilegedEraserFactory gEraserFactory;

constexpr auto kTickInterval = std::chrono::microseconds(16667);  // ~60 Hz, like a display refresh
constexpr double kPanelDelay = 0.7;
constexpr double kPanelUpdateInterval = 0.1;

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

RNOperationQueue& deletionsOperationQueue() { return RNOperationQueue::named("deletionsOperationQueue"); }

RNUserDefaults& defaults() { return RNUserDefaults::standardUserDefaults(); }

bool isPermissionError(int e) { return e == EACCES || e == EPERM; }
bool isBusyError(int e) { return e == EBUSY || e == ETXTBSY; }

}  // namespace

RNValue itemListValue(RNItemList items) { return RNValue::object(std::move(items)); }
const RNItemList* itemListIf(const RNValue& value) { return value.objectIf<RNItemList>(); }
RNValue windowValue(RNWindowHandle window) { return RNValue::object(window); }
RNWindowHandle windowIf(const RNValue& value) {
    auto w = value.objectIf<RNWindowHandle>();
    return w ? *w : nullptr;
}

void RNDeleteItems::setProgressWindowFactory(RNProgressWindowFactory factory) {
    std::lock_guard lock(gFactoryMutex);
    gProgressFactory = std::move(factory);
}

void RNDeleteItems::setPrivilegedEraserFactory(RNPrivilegedEraserFactory factory) {
    std::lock_guard lock(gFactoryMutex);
    gEraserFactory = std::move(factory);
}

void RNDeleteItems::waitForTickToEnd() {
    std::unique_lock lock(gTickMutex);
    gTickEnded.wait(lock, [] { return gTicksRunning == 0; });
}

std::shared_ptr<RNDeleteItems> RNDeleteItems::create() { return std::shared_ptr<RNDeleteItems>(new RNDeleteItems()); }

RNDeleteItems::RNDeleteItems() = default;

RNDeleteItems::~RNDeleteItems() { stopObservingCount(); }

RNItemList RNDeleteItems::itemsToErase() const {
    std::lock_guard lock(mutex_);
    return itemsToErase_;
}

bool RNDeleteItems::isStoppedByUser() const { return progressCntrl_ && progressCntrl_->wasStopped(); }
bool RNDeleteItems::userStopped() const { return isStoppedByUser(); }

void RNDeleteItems::setIsStopped(bool stopped) {
    if (stopped && progressCntrl_) progressCntrl_->stopAction();
    if (isRootErasing_.load() && rootAccess_) rootAccess_->stoppedByUser(stopped);
}

// ---------------------------------------------------------------------------------------------
// Confirmation and counting

bool RNDeleteItems::askToContinue(const RNDictionary& request) {
    request_ = request;
    isAllDisks_ = RNValue::lookup(request, "isAllDisks").boolValue();
    isLumoErase_ = RNValue::lookup(request, "isLumoErase").boolValue();
    totSize_.store(RNValue::lookup(request, "size").uintValue());
    totItems_.store(RNValue::lookup(request, "count").uintValue());
    // Until a count arrives the erase may wait for it: the counting of all trashes, or the main
    // window's measuring. A one-volume erase takes what the disk row knew.
    countPending_.store(totItems_.load() == 0 && (isAllDisks_ || isLumoErase_));

    {
        std::weak_ptr<RNDeleteItems> weak = weak_from_this();
        std::lock_guard lock(observerMutex_);
        countObserver_ = RNNotificationCenter::defaultCenter().addObserver(
            kUpdateCountAndSizeToDelete, nullptr, [weak](const RNNotification& note) {
                if (auto self = weak.lock()) self->updateCountAndSizeToDelete(note);
            });
    }
    // Sizes are read while a confirmation is to show them; once it is answered (or when none is
    // shown) the count only counts, and the erase learns the sizes from its own reading.
    countSizesWanted_.store(defaults().boolForKey(kPrefShowAlert));
    if (isAllDisks_) calculateSizeAndCountWithArray(RNValue::lookup(request, "volumeArray").arrayValue());

    if (!defaults().boolForKey(kPrefShowAlert)) {
        if (isLumoErase_) {
            lumoWindow_.store(windowIf(RNValue::lookup(request, "window")));
            sendLumoEraseNotificationResponse(true, request);
        }
        return true;
    }

    std::string information, calculated;
    if (isAllDisks_) {
        information = RNLocalizedString("erase_all");
        calculated = "all_disks";
    } else if (isLumoErase_) {
        information = RNLocalizedString("lumo_erase_info");
        calculated = "lumo_erase";
    } else {
        information = util::RNFormat(RNLocalizedString("erase_vol"),
                                     {util::RNIsolated(RNValue::lookup(request, "volumeName").stringValue())});
        calculated = "single_disk";
    }
    volumeName_ = RNValue::lookup(request, "volumeName").stringValue();

    auto alert = std::make_shared<RNAlert>();
    {
        std::lock_guard lock(mutex_);
        quilloAlert_ = alert;
    }
    RNDictionary info{{"information", information},
                      {"message", "delete_mess"},
                      {"calculatedStr", calculated},
                      {"size", totSize_.load()},
                      {"count", totItems_.load()},
                      {"isLumoErase", isLumoErase_},
                      {"volumeName", volumeName_}};
    // The trashed items themselves, beside the engine's count of every entry below them.
    if (const RNValue& top = RNValue::lookup(request, "topLevelCount"); !top.isNull())
        info["topLevelCount"] = top;
    else if (const RNItemList* items = itemListIf(RNValue::lookup(request, "itemsToErase")))
        info["topLevelCount"] = uint64_t(items->size());
    else if (totItems_.load() == 0)
        info["topLevelCount"] = uint64_t(0);
    RNWindowHandle window = isLumoErase_ ? windowIf(RNValue::lookup(request, "window")) : nullptr;
    int64_t answer = alert->showAlertWithTrashInfo(info, window);

    if (isLumoErase_) {
        auto self = shared_from_this();
        deletionsOperationQueue().addOperation([self, alert, request, window] {
            int64_t choice;
            while ((choice = alert->choice()) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            self->lumoWindow_.store(choice != kAlertSecondButtonReturn ? window : nullptr);
            self->sendLumoEraseNotificationResponse(choice != kAlertSecondButtonReturn, request);
        });
        return true;
    }
    cleanMemoryWithResponse(answer);
    return answer != kAlertSecondButtonReturn;
}

void RNDeleteItems::sendLumoEraseNotificationResponse(bool canContinue, const RNDictionary& request) {
    auto self = shared_from_this();
    deletionsOperationQueue().addOperation([self, canContinue, request] {
        RNNotificationCenter::defaultCenter().postNotification(
            kWaitForResponse, self.get(),
            RNDictionary{{"canContinue", canContinue}, {"itemsDict", RNValue::lookup(request, "itemsDict")}});
        self->cleanMemoryWithResponse(canContinue ? kAlertFirstButtonReturn : kAlertSecondButtonReturn);
    });
}

void RNDeleteItems::cleanMemoryWithResponse(int64_t answer) {
    countSizesWanted_.store(false);
    if (answer == kAlertSecondButtonReturn && !isLumoErase_) sendPartialStopWorking();
    if (answer == kAlertSecondButtonReturn) {
        countPending_.store(false);
        countArrived();
    }
    if (totItems_.load() != 0) stopObservingCount();
    std::lock_guard lock(mutex_);
    quilloAlert_.reset();
}

void RNDeleteItems::countArrived() {
    { std::lock_guard lock(countMutex_); }  // a waiter between its test and its wait sees it
    countChanged_.notify_all();
}

void RNDeleteItems::stopObservingCount() {
    std::lock_guard lock(observerMutex_);
    if (countObserver_) RNNotificationCenter::defaultCenter().removeObserver(countObserver_);
    countObserver_ = 0;
}

void RNDeleteItems::calculateSizeAndCountWithArray(const RNArray& volumes) {
    auto self = shared_from_this();
    deletionsOperationQueue().addOperation([self, volumes] {
        self->totSize_.store(0);
        self->totItems_.store(0);
        {
            std::lock_guard lock(self->mutex_);
            self->itemsToErase_.clear();
        }
        uint64_t size = 0, count = 0;
        RNItemList items;
        for (const RNValue& v : volumes) {
            if (v["trashIsEmpty"].boolValue()) continue;
            auto listing = files::binItemsForEraseWithURL(v["trashURL"].stringValue(), self->countSizesWanted_,
                                                          RNQuilloFileUtilities::sharedControl().measureThreads());
            if (!listing) continue;
            size += listing->size;
            count += listing->count;
            items.insert(items.end(), std::make_move_iterator(listing->itemsToErase.begin()),
                         std::make_move_iterator(listing->itemsToErase.end()));
        }
        RNNotificationCenter::defaultCenter().postNotification(
            kUpdateCountAndSizeToDelete, self.get(),
            RNDictionary{{"size", size}, {"count", count}, {"itemsToErase", itemListValue(std::move(items))}});
    });
}

void RNDeleteItems::updateCountAndSizeToDelete(const RNNotification& note) {
    // The main window's source list posts the same name, without totals, when one trash's
    // measurements end; that carries no count for this session and must not replace the items
    // it counted.
    if (!note.userInfo) return;
    uint64_t size = note.info("size").uintValue();
    uint64_t count = note.info("count").uintValue();
    uint64_t topLevel = 0;
    {
        std::lock_guard lock(mutex_);
        const RNItemList* items = itemListIf(note.info("itemsToErase"));
        itemsToErase_ = items ? *items : RNItemList{};
        // A count without its items (the main window's totals) adds no trashed items: those
        // were known when the erase was asked for.
        topLevel = note.userInfo->count("topLevelCount") ? note.info("topLevelCount").uintValue()
                                                          : items ? uint64_t(items->size()) : 0;
    }
    totSize_.fetch_add(size);
    totItems_.fetch_add(count);
    countPending_.store(false);
    countArrived();
    std::shared_ptr<RNAlert> alert;
    {
        std::lock_guard lock(mutex_);
        alert = quilloAlert_;
    }
    if (alert) alert->showSizeInfoStringWithSize(size, count, topLevel);
}

// ---------------------------------------------------------------------------------------------
// The erase

void RNDeleteItems::proceedToEraseWithArray(std::optional<RNItemList> array) {
    emptyTrashWithArray(array ? std::move(*array) : itemsToErase());
}

void RNDeleteItems::emptyTrashWithArray(RNItemList array) {
    // An erase that does not start still ends with "stopWorking" (without totals), so that its
    // starter stops waiting for it.
    if (!startLogging(array)) {
        stopObservingCount();
        sendPartialStopWorking();
        return;
    }
    {
        RNProgressWindowFactory factory;
        {
            std::lock_guard lock(gFactoryMutex);
            factory = gProgressFactory;
        }
        progressCntrl_ = factory ? factory() : nullptr;
    }
    if (!progressCntrl_) {
        if (logCntrl_) logCntrl_->closeLogFile();
        logCntrl_.reset();
        stopObservingCount();
        sendPartialStopWorking();
        return;
    }
    if (logCntrl_) logCntrl_->writeStartSession();

    isRootErasing_.store(false);
    stopForwarded_.store(false);
    itemBusyCount_.store(0);
    isHelperAuthorized_ = IsHelperAuthorized();
    {
        std::lock_guard lock(mutex_);
        toAuthorizeInfo_.clear();
        notErased_.clear();
    }
    deleteNoPermissions_ = deleteNoPermissionsAlreadyAsked_ = false;
    deleteLockedAlreadyAsked_ = false;
    deleteLocked_ = defaults().boolForKey(kPrefDeleteLocked);
    endClaimed_.store(false);
    isWorking_.store(true);
    panelAlreadyShown_.store(false);
    totSizeDeleted_.store(0);
    totItemsDeleted_.store(0);
    notErasedCount_.store(0);
    startTime_.store(now());

    setupDisplayLink();
    const std::string erasingText = progressCntrl_->mainText();

    auto self = shared_from_this();
    deletionsOperationQueue().addOperation([self, array = std::move(array), erasingText] {
        self->updateProgressFields(self->totItems_.load() == 0, erasingText);
        if (self->userStopped()) {
            self->stopWorking();
            return;
        }
        if (!array.empty()) self->doIterateTrashes(array);
        else self->doIterateTrashes(self->itemsToErase());
    });
}

bool RNDeleteItems::startLogging(const RNItemList& array) {
    if (!defaults().boolForKey(kPrefWriteLog)) return true;
    if (prepareLogFile(array)) return true;
    logCntrl_.reset();
    // The log cannot be opened: the user may go on without one (first button) or not start.
    int64_t answer = RNErrorDelegate::sharedControl().askToTheUser(
        "open_log_file_error", "", {}, "yes_btn", "no_btn", "", false, nullptr,
        false, nullptr);  // modal even for a main-window erase: the answer is needed right here
    return answer == kAlertFirstButtonReturn;
}

bool RNDeleteItems::prepareLogFile(const RNItemList& array) {
    const char *nameKey, *startKey, *endKey;
    if (isLumoErase_) {
        nameKey = "selected_items_log_name", startKey = "start_delete_checked", endKey = "end_delete_checked";
    } else if (array.size() < 2 && !(isAllDisks_ && array.empty())) {
        // (All trashes started before their count arrived hand over no array yet: still "all".)
        nameKey = "selected_items_log_name", startKey = "start_delete_single", endKey = "end_delete_single";
    } else {
        nameKey = "all_vols_log_name", startKey = "start_delete_all", endKey = "end_delete_all";
    }
    std::string startText = RNLocalizedString(startKey), endText = RNLocalizedString(endKey);
    if (!isLumoErase_) {
        // A Trash erase says whose Trash: every volume's, or the one volume's by name (an
        // all-trashes erase and a one-volume erase share the kind when they share the count).
        const std::string volumeName = RNValue::lookup(request_, "volumeName").stringValue();
        const std::string scope = isAllDisks_ || volumeName.empty()
                                      ? RNLocalizedString("log_every_volume")
                                      : util::RNFormat(RNLocalizedString("log_volume"), {files::displayText(volumeName)});
        startText = util::RNFormat(startText, {scope});
        endText = util::RNFormat(endText, {scope});
    }
    RNDictionary info{{"startStr", startText},
                      {"endStr", endText},
                      {"partialLogName", RNLocalizedString(nameKey)},
                      {"gapTime", int64_t(defaults().integerForKey(kPrefHowManyDaysForNewLogFile))}};
    if (std::string_view(nameKey) == "all_vols_log_name")
        info["previousLogName"] = RNLocalizedString("all_vols_log_name_before");
    logCntrl_ = std::make_unique<RNLogController>(info);
    return logCntrl_->openLogFile();
}

void RNDeleteItems::doIterateTrashes(const RNItemList& array) {
    {
        std::lock_guard lock(mutex_);
        handedOver_.clear();
        for (const RNItemToErase& item : array) handedOver_.push_back(item.url);
    }
    iterateLumoArrayToDelete(array);
    bool queued;
    {
        std::lock_guard lock(mutex_);
        queued = toAuthorizeInfo_.count("unlockItems") || toAuthorizeInfo_.count("permissionsItems");
    }
    if (queued && !userStopped()) {
        eraseWithAdminPrivileges();
    } else if (totItemsDeleted_.load() != 0) {
        isWorking_.store(false);
    } else {
        stopWorking();
    }
}

void RNDeleteItems::eraseWithAdminPrivileges() {
    RNPrivilegedEraserFactory factory;
    {
        std::lock_guard lock(gFactoryMutex);
        factory = gEraserFactory;
    }
    RNDictionary request;
    uint64_t queued = 0;
    {
        std::lock_guard lock(mutex_);
        toAuthorizeInfo_["erasedSize"] = totSizeDeleted_.load();
        toAuthorizeInfo_["erasedCount"] = totItemsDeleted_.load();
        if (!notErased_.empty()) {
            RNArray folders(notErased_.begin(), notErased_.end());
            toAuthorizeInfo_["notTrashedBecauseFolderNotEmpty"] = folders;
        }
        request = toAuthorizeInfo_;
        for (const char* key : {"unlockItems", "permissionsItems"})
            if (auto a = RNValue::lookup(request, key).arrayIf()) queued += a->size();
    }
    if (!rootAccess_ && factory) rootAccess_ = factory(this);
    if (!rootAccess_) {
        // No way to the helper at all: what was queued is not erased, and the user is told.
        notErasedCount_.store(queued);
        isWorking_.store(false);
        return;
    }
    isRootErasing_.store(true);
    RNPrivilegedEraser* eraser = rootAccess_.get();
    RNMainThread::runOnMainAndWait([eraser, &request] { eraser->authorizedEraseWithDictionary(request); });
}

void RNDeleteItems::stopWorking() {
    // Claimed before the session stops working: the tick, which ends an erase once it no longer
    // works, then leaves the end to this one.
    endClaimed_.store(true);
    isWorking_.store(false);
    // Nothing was erased: the log and the notifications stay those of an abandoned erase, but
    // what stayed is still said.
    noteItemsLeft();
    if (!userStopped()) reportItemsLeft("not_erased");
    closeProgressWindow();
    sendPartialStopWorking();
}

void RNDeleteItems::noteItemsLeft() {
    std::vector<std::string> left;
    {
        std::lock_guard lock(mutex_);
        for (const std::string& path : handedOver_) {
            struct stat st;
            if (::lstat(path.c_str(), &st) == 0 || errno != ENOENT) left.push_back(path);
        }
    }
    std::lock_guard lock(mutex_);
    itemsLeft_ = std::move(left);
}

std::vector<std::string> RNDeleteItems::itemsLeft() const {
    std::lock_guard lock(mutex_);
    return itemsLeft_;
}

std::string RNDeleteItems::namesOfFirstItems(const std::vector<std::string>& paths, size_t few) {
    std::string text;
    for (size_t i = 0; i < paths.size() && i < few; ++i) {
        if (i) text += ", ";
        text += files::escapedText(files::lastPathComponent(paths[i]));
    }
    if (paths.size() > few) {
        text += " ";
        text += util::RNLocalizedMessage("and_more", {{"count", uint64_t(paths.size() - few)}});
    }
    return text;
}

void RNDeleteItems::reportItemsLeft(const char* titleKey) {
    const std::vector<std::string> left = itemsLeft();
    if (left.empty()) return;
    // The count goes in by the plural rules; the names by the report's own slot, so that a name
    // is never read as a pattern.
    RNErrorDelegate::sharedControl().showError(RNDictionary{
        {"error", titleKey},
        {"message", util::RNLocalizedMessage("items_left", {{"count", uint64_t(left.size())}}, "Errors")},
        {"mess_names", RNArray{namesOfFirstItems(left)}}});
}

void RNDeleteItems::showErrorWithError(const std::string& localizedDescription) {
    RNErrorDelegate::sharedControl().showError(localizedDescription, "", {});
}

void RNDeleteItems::writeLogEntryWithPath(const std::string& path, uint64_t size) {
    if (logCntrl_) logCntrl_->writeEntryWithPath(path, size);
}

// ---------------------------------------------------------------------------------------------
// The local pass

void RNDeleteItems::iterateLumoArrayToDelete(const RNItemList& array) {
    auto& files = RNFilesUtilities::sharedControl();
    for (const RNItemToErase& item : array) {
        if (auto ref = files::trashItemRefForPath(item.url)) {
            std::lock_guard lock(mutex_);
            trashDirs_.insert(ref->trashDir);
        }
        // The trashed item's own folder (a trash's files/) is reached by its path; everything
        // below it relative to open folders.
        const std::string name = files::lastPathComponent(item.url);
        files::UniqueFd parent(
            ::open(files::deletingLastPathComponent(item.url).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (!parent.valid() || name.empty() || name == "/" ||
            ::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) files::forgetErasedTrashItem(item.url);
            if (userStopped()) break;
            continue;
        }
        const bool isDirectory = S_ISDIR(st.st_mode);
        if (isDirectory) {
            if (eraseFolderContentsAt(parent.get(), name, item.url) || files.isAnEmptyFolder(item.url))
                manageItemAt(parent.get(), name, item.url, 0);
        } else {
            manageItemAt(parent.get(), name, item.url, item.size);
        }
        if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
            files::forgetErasedTrashItem(item.url);
        } else if (isDirectory && S_ISDIR(st.st_mode) && !files.isAnEmptyFolder(item.url)) {
            addToNotTrashed(item.url);
        }
        if (userStopped()) break;
    }
}

bool RNDeleteItems::canEnterFolderAt(int dirFd, const std::string& name, const std::string& url) {
    // Emptying a folder needs read and search permission on it. The user's own folder gets
    // u+rwx (the counterpart of making an item writable); anyone else's goes the no-rights way.
    if (::faccessat(dirFd, name.c_str(), R_OK | X_OK, AT_EACCESS) == 0) return true;
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() &&
        ::fchmodat(dirFd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::faccessat(dirFd, name.c_str(), R_OK | X_OK, AT_EACCESS) == 0)
        return true;
    permissionsCheckAt(dirFd, name, url, false);
    return false;
}

namespace {

bool isLockedStatx(const struct statx& sx) {
    return (sx.stx_attributes_mask & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) !=
               (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND) ||
           (sx.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND));
}

constexpr unsigned kEraseStatxMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_SIZE | STATX_INO;

// Subfolders handed from the erase's worker to its second worker.
class HandOffQueue {
public:
    explicit HandOffQueue(std::function<bool(const std::string& name)> work) : work_(std::move(work)) {}
    ~HandOffQueue() { finish(); }
    // Hands `name` over when the second worker has nothing waiting; false: do it yourself.
    bool offer(const std::string& name) {
        std::lock_guard lock(mutex_);
        if (!waiting_.empty() || failed_) return false;
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (const std::system_error&) {
                failed_ = true;
                return false;
            }
        }
        waiting_.push_back(name);
        changed_.notify_one();
        return true;
    }
    // Waits for the second worker; gives the folders it could not remove completely.
    std::vector<std::string> finish() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
        return std::move(left_);
    }

private:
    void run() {
        for (;;) {
            std::string name;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return closed_ || !waiting_.empty(); });
                if (waiting_.empty()) return;
                name = std::move(waiting_.front());
                waiting_.pop_front();
            }
            if (!work_(name)) {
                std::lock_guard lock(mutex_);
                left_.push_back(name);
            }
        }
    }

    std::function<bool(const std::string&)> work_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> waiting_;
    std::vector<std::string> left_;
    bool closed_ = false;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace

bool RNDeleteItems::eraseFolderPlainlyAt(int parentFd, const std::string& name, const std::string& url) {
    files::UniqueFd top(files::openDirectoryNoFollow(parentFd, name.c_str()));
    if (!top.valid() || files::isOtherMount(top.get(), files::deviceOf(parentFd))) return false;
    const uid_t me = ::geteuid();
    // Per folder: may its entries go with a plain unlinkat.
    std::vector<bool> plain;
    {
        struct statx sx;
        if (::statx(parentFd, name.c_str(), AT_SYMLINK_NOFOLLOW, kEraseStatxMask, &sx) != 0) return false;
        plain.push_back(::faccessat(parentFd, name.c_str(), W_OK | X_OK, AT_EACCESS) == 0 &&
                        !((sx.stx_mode & S_ISVTX) && me != 0 && sx.stx_uid != me));
    }
    const std::string base = url + "/";
    files::TreeWalk walk(top.get());
    files::TreeWalk::Event e;
    while (walk.next(e)) {
        if (userStopped()) return false;
        if (e.kind == files::TreeWalk::Kind::FolderEnd) {
            plain.pop_back();
            if (e.kept) continue;
            if (::unlinkat(e.dirFd, e.name, AT_REMOVEDIR) == 0) erased(base + walk.relativePath(), 0);
            else walk.keep();
            continue;
        }
        struct statx sx;
        if (!plain.back() || ::statx(e.dirFd, e.name, AT_SYMLINK_NOFOLLOW, kEraseStatxMask, &sx) != 0 ||
            isLockedStatx(sx)) {
            walk.keep();  // left for the full checks
            continue;
        }
        if (!S_ISDIR(sx.stx_mode)) {
            if (::unlinkat(e.dirFd, e.name, 0) == 0) erased(base + walk.relativePath(), sx.stx_size);
            else walk.keep();
            continue;
        }
        if (::faccessat(e.dirFd, e.name, R_OK | W_OK | X_OK, AT_EACCESS) != 0 || walk.enter(sx.stx_ino) != 0) {
            walk.keep();
            continue;
        }
        plain.push_back(!((sx.stx_mode & S_ISVTX) && me != 0 && sx.stx_uid != me));
    }
    if (walk.keptAny() || userStopped()) return false;
    top.reset();
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) return false;
    erased(url, 0);
    return true;
}

bool RNDeleteItems::eraseFolderContentsAt(int parentFd, const std::string& name, const std::string& url,
                                          bool handOff) {
    // The common case -- an unlocked entry in a folder the user may change -- is decided from
    // one statx relative to the open folder and removed with one unlinkat, so a big trash
    // empties at close to the file system's own speed, whatever the depth. Anything else takes
    // the full checks, still relative to the open folder.
    if (userStopped()) return false;
    if (!canEnterFolderAt(parentFd, name, url)) return false;
    files::UniqueFd top(files::openDirectoryNoFollow(parentFd, name.c_str()));
    if (!top.valid()) return false;
    if (files::isOtherMount(top.get(), files::deviceOf(parentFd))) {
        // Another file system mounted on the trashed folder is never entered.
        itemBusyCount_.fetch_add(1);
        notErasedCount_.fetch_add(1);
        return false;
    }
    const uid_t me = ::geteuid();
    // Per folder being emptied: may its entries be removed with a plain unlinkat, and may the
    // folder itself (once empty) be removed that way.
    struct Folder {
        bool writable = false;
        bool sticky = false;
        bool selfSimple = false;
    };
    auto folderFor = [me](int dirFd, const char* name, const struct statx& sx, bool selfSimple) {
        Folder f;
        f.writable = ::faccessat(dirFd, name, W_OK | X_OK, AT_EACCESS) == 0;
        if (!f.writable && sx.stx_uid == me &&
            ::fchmodat(dirFd, name, (sx.stx_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0)
            f.writable = ::faccessat(dirFd, name, W_OK | X_OK, AT_EACCESS) == 0;
        f.sticky = (sx.stx_mode & S_ISVTX) && me != 0 && sx.stx_uid != me;
        f.selfSimple = selfSimple;
        return f;
    };
    constexpr unsigned kMask = kEraseStatxMask;
    std::vector<Folder> folders;
    {
        struct statx sx;
        if (::statx(parentFd, name.c_str(), AT_SYMLINK_NOFOLLOW, kMask, &sx) != 0) return false;
        folders.push_back(folderFor(parentFd, name.c_str(), sx, false));
    }
    const std::string base = url + "/";
    const int topFd = top.get();
    std::optional<HandOffQueue> second;
    if (handOff) second.emplace([this, topFd, &base](const std::string& sub) {
        return eraseFolderPlainlyAt(topFd, sub, base + sub);
    });
    files::TreeWalk walk(top.get());
    files::TreeWalk::Event e;
    while (walk.next(e)) {
        if (userStopped()) break;
        if (e.kind == files::TreeWalk::Kind::FolderEnd) {
            const Folder done = folders.back();
            folders.pop_back();
            if (e.moved) {
                files::systemLog("Quillo: a folder was moved while it was erased; left where it went: " + base +
                                 walk.relativePath());
                continue;
            }
            if (e.kept) continue;
            const std::string child = base + walk.relativePath();
            if (done.selfSimple && ::unlinkat(e.dirFd, e.name, AT_REMOVEDIR) == 0) erased(child, 0);
            else if (!manageItemAt(e.dirFd, e.name, child, 0)) walk.keep();
            continue;
        }
        const Folder& here = folders.back();
        const std::string child = base + walk.relativePath();
        struct statx sx;
        if (::statx(e.dirFd, e.name, AT_SYMLINK_NOFOLLOW, kMask, &sx) != 0) {
            if (errno != ENOENT) walk.keep();
            continue;
        }
        const bool locked = isLockedStatx(sx);
        const bool simple = here.writable && !locked && !(here.sticky && sx.stx_uid != me);
        if (!S_ISDIR(sx.stx_mode)) {
            if (simple && ::unlinkat(e.dirFd, e.name, 0) == 0) {
                erased(child, sx.stx_size);
            } else if (simple) {
                manageErrorAt(errno, e.dirFd, e.name, child);
                walk.keep();
            } else if (!manageItemAt(e.dirFd, e.name, child, sx.stx_size)) {
                walk.keep();
            }
            continue;
        }
        // A locked folder kept keeps its content.
        if (locked && !checkForLockedItemAt(e.dirFd, e.name, child)) {
            walk.keep();
            continue;
        }
        if (!canEnterFolderAt(e.dirFd, e.name, child)) {
            walk.keep();
            continue;
        }
        Folder inner = folderFor(e.dirFd, e.name, sx, simple);
        // A plain subfolder of the trashed folder goes to the second worker when it is free.
        if (second && e.depth == 1 && simple && inner.writable && !inner.sticky && second->offer(e.name)) continue;
        if (!inner.writable) {
            // Nothing in it can go with the user's rights: the folder goes as a whole, asked
            // about once (and handed to the helper), instead of entry by entry.
            permissionsCheckAt(e.dirFd, e.name, child, false);
            walk.keep();
            continue;
        }
        const int err = walk.enter(sx.stx_ino);
        if (err == EXDEV) {
            // Another file system mounted here is never entered; its mount point reports busy.
            manageErrorAt(EBUSY, e.dirFd, e.name, child);
            walk.keep();
        } else if (err == ESTALE || err == ENOTDIR || err == ENOENT) {
            // Swapped or gone since it was looked at: whatever is there now is not followed.
            if (err != ENOENT) walk.keep();
        } else if (err != 0) {
            if (!manageItemAt(e.dirFd, e.name, child, 0)) walk.keep();
        } else {
            folders.push_back(inner);
        }
    }
    bool allGone = !walk.keptAny();
    if (second) {
        // What the second worker left goes through the full checks here, one subfolder at a time.
        for (const std::string& sub : second->finish()) {
            if (userStopped()) break;
            const std::string child = base + sub;
            if (eraseFolderContentsAt(topFd, sub, child, false) ||
                RNFilesUtilities::sharedControl().isAnEmptyFolder(child)) {
                if (!manageItemAt(topFd, sub, child, 0)) allGone = false;
            } else {
                allGone = false;
            }
        }
    }
    if (userStopped()) return false;
    return allGone;
}

void RNDeleteItems::erased(const std::string& path, uint64_t size) {
    totSizeDeleted_.fetch_add(size);
    totItemsDeleted_.fetch_add(1);
    writeLogEntryWithPath(path, size);
}

bool RNDeleteItems::manageItemAt(int dirFd, const std::string& name, const std::string& url, uint64_t size) {
    if (!checkForLockedItemAt(dirFd, name, url) || !permissionsCheckAt(dirFd, name, url, true)) return false;
    const int error = files::removeItemAt(dirFd, name.c_str());
    if (error == 0) {
        erased(url, size);
        return true;
    }
    manageErrorAt(error, dirFd, name, url);
    return false;
}

bool RNDeleteItems::checkForLockedItemAt(int dirFd, const std::string& name, const std::string& url) {
    if (!files::isLockedItemAt(dirFd, name)) return true;
    if (!isHelperAuthorized_) {
        notErasedCount_.fetch_add(1);
        return false;
    }
    bool tryUnlock;
    if (files::isHiddenItemAt(dirFd, name)) {
        tryUnlock = true;
    } else if (deleteLockedAlreadyAsked_) {
        tryUnlock = deleteLocked_;
    } else {
        auto [erase, forAll] = askToErase("undeleted_locked_sing_str", "undeleted_locked_sing_msg", url);
        deleteLocked_ = erase;
        deleteLockedAlreadyAsked_ = forAll;
        tryUnlock = erase;
    }
    if (!tryUnlock) return false;
    std::string why;
    if (files::unlockItemAt(dirFd, name, why)) return true;
    addURLToArray("unlockItems", url);
    return false;
}

bool RNDeleteItems::permissionsCheckAt(int dirFd, const std::string& name, const std::string& url,
                                       bool checkForNoPermissions) {
    if (checkForNoPermissions && checkPermissionsAt(dirFd, name)) return true;
    if (!isHelperAuthorized_) {
        notErasedCount_.fetch_add(1);
        return false;
    }
    if (files::isHiddenItemAt(dirFd, name)) {
        addURLToArray("permissionsItems", url);
        return false;
    }
    if (deleteNoPermissionsAlreadyAsked_) {
        if (deleteNoPermissions_) addURLToArray("permissionsItems", url);
        return false;
    }
    auto [erase, forAll] = askToErase("undeleted_no_permissions_sing_str", "", url);
    deleteNoPermissions_ = erase;
    deleteNoPermissionsAlreadyAsked_ = forAll;
    if (erase) addURLToArray("permissionsItems", url);
    return false;
}

bool RNDeleteItems::checkPermissionsAt(int dirFd, const std::string& name) {
    // Removing an entry needs write and search permission on its folder, and under a sticky
    // folder the item or the folder must be the user's. Nothing is opened: a FIFO would block,
    // a device could react.
    struct stat folder, item;
    if (::fstat(dirFd, &folder) != 0 || ::fstatat(dirFd, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0)
        return true;  // let removal tell
    const uid_t me = ::geteuid();
    if (::faccessat(dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        if (errno != EACCES) return true;
        if (folder.st_uid != me || ::fchmod(dirFd, (folder.st_mode & 07777) | S_IRWXU) != 0) return false;
        if (::faccessat(dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0) return false;
    }
    if ((folder.st_mode & S_ISVTX) && me != 0 && item.st_uid != me && folder.st_uid != me) return false;
    return true;
}

void RNDeleteItems::manageErrorAt(int error, int dirFd, const std::string& name, const std::string& url) {
    if (isPermissionError(error)) {
        permissionsCheckAt(dirFd, name, url, false);
    } else if (isBusyError(error)) {
        itemBusyCount_.fetch_add(1);
        notErasedCount_.fetch_add(1);
    }
}

void RNDeleteItems::addURLToArray(const char* key, const std::string& path) {
    std::lock_guard lock(mutex_);
    RNValue& slot = toAuthorizeInfo_[key];
    if (!slot.isArray()) slot = RNArray{};
    slot.arrayIf()->push_back(path);
}

void RNDeleteItems::addToNotTrashed(const std::string& url) {
    std::lock_guard lock(mutex_);
    notErased_.push_back(url);
}

std::pair<bool, bool> RNDeleteItems::askToErase(const char* formatKey, const char* messageKey, const std::string& url) {
    const std::string name = files::escapedText(RNFilesUtilities::sharedControl().itemNameWithURL(url).value_or(url));
    bool applyToAll = false;
    int64_t answer = kAlertFirstButtonReturn;
    RNMainThread::runOnMainAndWait([&] {
        answer = RNErrorDelegate::sharedControl().askToTheUser(formatKey, messageKey, {name}, "skip", "erase", "",
                                                               true, &applyToAll, false, nullptr);
    });
    return {answer == kAlertSecondButtonReturn, applyToAll};
}

// ---------------------------------------------------------------------------------------------
// Progress

void RNDeleteItems::setupDisplayLink() {
    gShouldStop.store(false);
    gNotificationAlreadySent.store(false);
    auto self = shared_from_this();
    try {
        {
            std::lock_guard lock(gTickMutex);
            ++gTicksRunning;
        }
        std::thread([self] { self->tickLoop(); }).detach();
    } catch (const std::system_error& e) {
        {
            std::lock_guard lock(gTickMutex);
            --gTicksRunning;
        }
        gTickEnded.notify_all();
        char line[96];
        std::snprintf(line, sizeof line, "Erase progress displayLink creation failed with error:%d", e.code().value());
        files::systemLog(line);
    }
}

void RNDeleteItems::tickLoop() {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        if (gShouldStop.load() || gNotificationAlreadySent.load()) break;
        bool shouldStop = false;
        updateProgressStatus(shouldStop);
        if (shouldStop) {
            gShouldStop.store(true);
            if (!gNotificationAlreadySent.exchange(true))
                RNNotificationCenter::defaultCenter().postNotification(kStopWorking, this, userInfoForEnd());
        }
        next += kTickInterval;
        std::this_thread::sleep_until(next);
    }
    {
        std::lock_guard lock(gTickMutex);
        --gTicksRunning;
    }
    gTickEnded.notify_all();
}

RNDictionary RNDeleteItems::userInfoForEnd() const {
    return RNDictionary{{"erasedCount", totItemsDeleted_.load()},
                        {"erasedSize", totSizeDeleted_.load()},
                        {"wasStoppedByUser", isStoppedByUser()}};
}

void RNDeleteItems::updateProgressStatus(bool& shouldStop) {
    shouldStop = !isWorking_.load();
    if (shouldStop) {
        // An erase that erased nothing ends by itself (stopWorking()); the tick goes on until
        // that end has been sent, and never reports a second one.
        if (endClaimed_.exchange(true)) shouldStop = false;
        else finishErase();
        return;
    }
    // The stop button also reaches a privileged pass that is running.
    if (isRootErasing_.load() && isStoppedByUser() && !stopForwarded_.exchange(true) && rootAccess_)
        rootAccess_->stoppedByUser(true);
    const double t = now();
    const double elapsed = t - startTime_.load();
    if (panelAlreadyShown_.load()) {
        if (elapsed >= kPanelUpdateInterval) {
            startTime_.store(t);
            updateProgressBar();
        }
    } else if (elapsed >= kPanelDelay) {
        std::lock_guard lock(progressLock_);
        startTime_.store(t);
        panelAlreadyShown_.store(true);
        auto self = shared_from_this();
        RNMainThread::postToMain([self] {
            if (self->progressCntrl_) self->progressCntrl_->show(self->isLumoErase_ ? self->lumoWindow_.load() : nullptr);
        });
    }
}

void RNDeleteItems::updateProgressBar() {
    if (!panelAlreadyShown_.load()) return;
    auto self = shared_from_this();
    RNMainThread::postToMain([self] {
        RNGenericProgressWindowCntrl* panel = self->progressCntrl_.get();
        if (!panel || panel->isIndeterminate()) return;
        std::lock_guard lock(self->progressLock_);
        // The count before the erase can be too low (items trashed since): the totals grow.
        uint64_t done = self->totItemsDeleted_.load(), doneSize = self->totSizeDeleted_.load();
        if (done > self->totItems_.load()) self->totItems_.store(done);
        if (doneSize > self->totSize_.load()) self->totSize_.store(doneSize);
        const uint64_t all = self->totItems_.load();
        panel->updateProgress(all ? double(done) / double(all) * 100.0 : 0.0);
        auto& numbers = util::RNNumberUtilities::sharedControl();
        panel->setSizeText(numbers.sizeToFormatString(doneSize, 4, true));
        panel->setCountText(util::RNMessageFormat(panel->countStr(), {{"done", done}, {"total", all}}));
    });
}

void RNDeleteItems::updateProgressFields(bool countUnknown, const std::string& erasingText) {
    auto self = shared_from_this();
    if (countUnknown) {
        RNMainThread::postToMain([self] {
            if (!self->progressCntrl_) return;
            self->progressCntrl_->hideInfoSizeFields(true);
            self->progressCntrl_->startIndeterminateAnimation();
            self->progressCntrl_->setMainText(RNLocalizedString("gathering_bin_info"));
        });
        waitUntilItemsInfo();
    }
    RNMainThread::postToMain([self, erasingText] {
        RNGenericProgressWindowCntrl* panel = self->progressCntrl_.get();
        if (!panel) return;
        panel->hideInfoSizeFields(false);
        panel->startDeterminateAnimation();
        panel->setInfoText("");
        panel->setMainText(erasingText);
        if (!self->volumeName_.empty()) {
            panel->setInfoText(
                util::RNFormat(RNLocalizedString("erasing"), {util::RNIsolated(files::escapedText(self->volumeName_))}));
            self->volumeName_.clear();
        } else {
            panel->setInfoText(RNLocalizedString(self->isLumoErase_ ? "erasing_lumo_window" : "erasing_all"));
        }
    });
}

void RNDeleteItems::waitUntilItemsInfo() {
    // Waits for the count. It ends too when no count can come any more (every trash was empty,
    // or the confirmation was cancelled), and when the user stops: nothing will be erased then,
    // and a count that never comes must not keep the erase, and its panel, up for ever.
    while (totItems_.load() == 0 && countPending_.load()) {
        if (userStopped()) {
            auto self = shared_from_this();
            RNMainThread::postToMain([self] {
                if (self->progressCntrl_) self->progressCntrl_->setMainText(RNLocalizedString("stopping"));
            });
            break;
        }
        // Woken as soon as the count arrives; the stop button is looked at every 10 ms.
        std::unique_lock lock(countMutex_);
        countChanged_.wait_for(lock, std::chrono::milliseconds(10),
                               [this] { return totItems_.load() != 0 || !countPending_.load(); });
    }
    stopObservingCount();
}

void RNDeleteItems::closeProgressWindow() {
    auto self = shared_from_this();
    RNMainThread::postToMain([self] {
        if (self->progressCntrl_) self->progressCntrl_->close();
    });
}

void RNDeleteItems::sendPartialStopWorking() {
    gNotificationAlreadySent.store(true);
    RNNotificationCenter::defaultCenter().postNotification(kStopWorking, this, std::nullopt);
}

void RNDeleteItems::finishErase() {
    updateProgressBar();
    if (!isLumoErase_) {
        // Emptying whole trashes also drops info files whose item is gone.
        std::set<std::string> dirs;
        {
            std::lock_guard lock(mutex_);
            dirs = trashDirs_;
        }
        for (const auto& dir : dirs) files::removeOrphanedTrashInfo(dir);
    }
    if (logCntrl_) logCntrl_->writeEndSessionAndCloseFile();

    auto& errors = RNErrorDelegate::sharedControl();
    noteItemsLeft();
    const std::vector<std::string> left = itemsLeft();
    const uint64_t busy = itemBusyCount_.load();
    // The report names what stayed (the first few items) below its title.
    const std::string leftText = util::RNLocalizedMessage("items_left", {{"count", uint64_t(left.size())}}, "Errors");
    RNArray leftNames{namesOfFirstItems(left)};
    auto report = [&](const char* title, RNArray titleNames) {
        RNDictionary info{{"error", title}, {"additionalName", std::move(titleNames)}};
        if (!left.empty()) {
            info["message"] = leftText;
            info["mess_names"] = leftNames;
        }
        errors.showError(info);
    };
    if (busy >= 1) {
        report(util::RNLocalizedMessage("busy", {{"count", busy}}, "Errors").c_str(), {});
    } else if (notErasedCount_.load() != 0) {
        report(isHelperAuthorized_ ? "not_erased" : "user_not_authorized", {});
    }

    rootAccess_.reset();
    {
        std::lock_guard lock(mutex_);
        toAuthorizeInfo_.clear();
        notErased_.clear();
    }
    logCntrl_.reset();
    closeProgressWindow();
}

}  // namespace quillo::erase
