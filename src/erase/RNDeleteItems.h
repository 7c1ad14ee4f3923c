// One erase session: from the request through confirmation, counting, the local pass with its
// questions, the privileged pass, the log and the progress panel, to the final report and
// "stopWorking". Qt-free: the tray app and quillo-cli drive the very same session through the
// prompt backend, the progress-window factory and the main-thread dispatcher they install.
//
// Lifetime: make it with RNDeleteItems::create() and keep the pointer until "stopWorking"
// arrives; work queued by the session holds its own reference.
#pragma once

#include "erase/RNGenericProgressWindowCntrl.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNPrivilegedEraser.h"
#include "erase/RNPromptBackend.h"
#include "erase/RNValue.h"
#include "files/RNItemToErase.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillo::erase {

class RNAlert;
class RNLogController;

// Notification names and keys that cross components.
inline constexpr const char* kStopWorking = "stopWorking";
inline constexpr const char* kUpdateCountAndSizeToDelete = "updateCountAndSizeToDelete";
inline constexpr const char* kWaitForResponse = "waitForResponse";

using RNItemList = std::vector<files::RNItemToErase>;

// Request values that are no plain data travel as objects inside the dictionary.
RNValue itemListValue(RNItemList items);             // "itemsToErase"
const RNItemList* itemListIf(const RNValue& value);  // nullptr when it holds none
RNValue windowValue(RNWindowHandle window);          // "window"
RNWindowHandle windowIf(const RNValue& value);

// An erase nobody watches (the automatic clean-up): no confirmation, no question, no panel and
// no error shown. Locked items and items only the helper could remove are skipped and counted
// unless `allowHelper` (and the helper may be used at all); then they go as if the user had
// answered "erase" for all. A log that cannot be written does not keep the erase from going on.
struct RNUnattendedErase {
    bool allowHelper = false;
    std::string logStart;  // the log's opening and closing lines, already localized
    std::string logEnd;
    // Called just before each item is erased; false leaves it (counted as changed).
    std::function<bool(const files::RNItemToErase&)> stillToErase;
};

class RNDeleteItems : public RNSecureAccessDelegate, public std::enable_shared_from_this<RNDeleteItems> {
public:
    static std::shared_ptr<RNDeleteItems> create();
    ~RNDeleteItems() override;

    // Front-end hooks, installed once at start-up.
    static void setProgressWindowFactory(RNProgressWindowFactory factory);
    static void setPrivilegedEraserFactory(RNPrivilegedEraserFactory factory);
    // Waits until no progress tick is running (a front end calls it before it exits).
    static void waitForTickToEnd();

    // Confirmation, on the main thread. True: go on (proceedToEraseWithArray follows).
    bool askToContinue(const RNDictionary& request);
    // Starts the erase with `array`, or with the session's own counted items when nullopt or
    // empty. On the main thread.
    void proceedToEraseWithArray(std::optional<RNItemList> array);
    RNItemList itemsToErase() const;
    // Starts an unattended erase of `items` on any thread; it ends with "stopWorking" (sent by
    // this session) like any other.
    void startUnattended(RNItemList items, RNUnattendedErase how);
    bool isUnattended() const { return unattended_.has_value(); }
    uint64_t skippedLocked() const { return skippedLocked_.load(); }
    uint64_t skippedHelperOnly() const { return skippedHelperOnly_.load(); }
    uint64_t skippedChanged() const { return skippedChanged_.load(); }
    bool logFailed() const { return logFailed_.load(); }

    // Totals, readable from any thread.
    uint64_t totItemsDeleted() const { return totItemsDeleted_.load(); }
    uint64_t totSizeDeleted() const { return totSizeDeleted_.load(); }
    uint64_t notErasedCount() const { return notErasedCount_.load(); }
    uint64_t itemBusyCount() const { return itemBusyCount_.load(); }
    uint64_t totItems() const { return totItems_.load(); }
    uint64_t totSize() const { return totSize_.load(); }
    RNGenericProgressWindowCntrl* progressCntrl() const { return progressCntrl_.get(); }
    bool isStoppedByUser() const;
    // The erased items (trashed items or chosen ones) still there when the erase ended, in the
    // order they were handed over; empty until then.
    std::vector<std::string> itemsLeft() const;
    // "a, b, c and 4 more": the first few of `paths` by name.
    static std::string namesOfFirstItems(const std::vector<std::string>& paths, size_t few = 3);
    void setIsStopped(bool stopped);

    // RNSecureAccessDelegate: the privileged pass reports here.
    void setTotItemsDeleted(uint64_t count) override { totItemsDeleted_.store(count); }
    void setTotSizeDeleted(uint64_t size) override { totSizeDeleted_.store(size); }
    void writeLogEntryWithPath(const std::string& path, uint64_t size) override;
    void setNotErasedCount(uint64_t count) override { notErasedCount_.store(count); }
    void setIsWorking(bool working) override { isWorking_.store(working); }
    void showErrorWithError(const std::string& localizedDescription) override;


private:
    RNDeleteItems();

    // Confirmation and counting.
    void calculateSizeAndCountWithArray(const RNArray& volumes);
    void updateCountAndSizeToDelete(const RNNotification& note);
    void sendLumoEraseNotificationResponse(bool canContinue, const RNDictionary& request);
    void cleanMemoryWithResponse(int64_t answer);
    void stopObservingCount();
    void countArrived();  // wakes an erase waiting for the count

    // The erase.
    void emptyTrashWithArray(RNItemList array);
    bool startLogging(const RNItemList& array);
    bool prepareLogFile(const RNItemList& array);
    void doIterateTrashes(const RNItemList& array);
    void eraseWithAdminPrivileges();
    void stopWorking();  // abandon
    void noteItemsLeft();
    void reportItemsLeft(const char* titleKey);

    // The local pass. Below a trashed item every check and change is made relative to an open
    // folder (`dirFd` + `name`); `url` is the item's full path, for the log and the questions.
    void iterateLumoArrayToDelete(const RNItemList& array);
    // true: emptied. With `handOff`, subfolders of the folder go to a second worker while this
    // one goes on (both cores inside one trashed folder).
    bool eraseFolderContentsAt(int parentFd, const std::string& name, const std::string& url, bool handOff = true);
    // The second worker's part: removes the folder `name` and what is below it by the plain
    // path only (unlocked entries in folders the user may change), and leaves everything else
    // for the full checks. true: nothing is left.
    bool eraseFolderPlainlyAt(int parentFd, const std::string& name, const std::string& url);
    void erased(const std::string& path, uint64_t size);
    bool manageItemAt(int dirFd, const std::string& name, const std::string& url, uint64_t size);  // true: removed
    bool checkForLockedItemAt(int dirFd, const std::string& name, const std::string& url);
    bool permissionsCheckAt(int dirFd, const std::string& name, const std::string& url, bool checkForNoPermissions);
    bool checkPermissionsAt(int dirFd, const std::string& name);
    bool canEnterFolderAt(int dirFd, const std::string& name, const std::string& url);
    void manageErrorAt(int error, int dirFd, const std::string& name, const std::string& url);
    void addURLToArray(const char* key, const std::string& path);
    void addToNotTrashed(const std::string& url);
    // Asks on the main thread; answers {erase, applyToAll}.
    std::pair<bool, bool> askToErase(const char* formatKey, const char* messageKey, const std::string& url);
    bool userStopped() const;

    // Progress.
    void setupDisplayLink();
    void tickLoop();
    void updateProgressStatus(bool& shouldStop);
    void updateProgressBar();
    void updateProgressFields(bool countUnknown, const std::string& erasingText);
    void waitUntilItemsInfo();
    void closeProgressWindow();
    void sendPartialStopWorking();
    void finishErase();  // the normal end, on the tick thread

    RNDictionary userInfoForEnd() const;

    // Request copies.
    bool isLumoErase_ = false;
    bool isAllDisks_ = false;
    std::string volumeName_;
    RNDictionary request_;

    // Decisions of the local pass (erase task only).
    bool deleteLocked_ = false;
    bool deleteLockedAlreadyAsked_ = false;
    bool deleteNoPermissions_ = false;
    bool deleteNoPermissionsAlreadyAsked_ = false;
    bool isHelperAuthorized_ = false;
    std::optional<RNUnattendedErase> unattended_;
    std::atomic<uint64_t> skippedLocked_{0};
    std::atomic<uint64_t> skippedHelperOnly_{0};
    std::atomic<uint64_t> skippedChanged_{0};
    std::atomic<bool> logFailed_{false};

    std::atomic<bool> isWorking_{false};
    // Set by whichever end comes first: the tick's normal end (finishErase and the full
    // "stopWorking") or the end of an erase that erased nothing (stopWorking()), so that one
    // erase never reports both ways.
    std::atomic<bool> endClaimed_{false};
    std::atomic<bool> panelAlreadyShown_{false};
    std::atomic<bool> isRootErasing_{false};
    std::atomic<bool> stopForwarded_{false};
    std::atomic<uint64_t> totSizeDeleted_{0};
    std::atomic<uint64_t> totItemsDeleted_{0};
    std::atomic<uint64_t> notErasedCount_{0};
    std::atomic<uint64_t> itemBusyCount_{0};
    std::atomic<uint64_t> totSize_{0};
    std::atomic<uint64_t> totItems_{0};
    std::atomic<bool> countPending_{false};
    std::atomic<bool> countSizesWanted_{true};  // the count's sizes are still to be shown
    std::mutex countMutex_;
    std::condition_variable countChanged_;
    std::atomic<double> startTime_{0};

    mutable std::mutex mutex_;  // itemsToErase_, toAuthorizeInfo_, notErased_, trashDirs_
    RNItemList itemsToErase_;
    RNDictionary toAuthorizeInfo_;
    std::vector<std::string> notErased_;
    std::set<std::string> trashDirs_;  // trashes whose items this erase touched
    std::vector<std::string> handedOver_;  // the items of this erase
    std::vector<std::string> itemsLeft_;

    std::unique_ptr<RNGenericProgressWindowCntrl> progressCntrl_;
    std::unique_ptr<RNPrivilegedEraser> rootAccess_;
    std::unique_ptr<RNLogController> logCntrl_;
    std::shared_ptr<RNAlert> quilloAlert_;
    std::recursive_mutex progressLock_;
    std::atomic<RNWindowHandle> lumoWindow_{nullptr};
    RNObserverToken countObserver_ = 0;
    std::mutex observerMutex_;
};

}  // namespace quillo::erase
