#include "cli/EraseRunner.h"

#include "cli/TerminalProgressWindow.h"
#include "cli/TerminalPromptBackend.h"
#include "erase/RNCleanupLock.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNPreferences.h"
#include "erase/RNRunLoopMainThread.h"
#include "erase/RNUserDefaults.h"
#include "files/EraseCount.h"
#include "files/RNQuilloFileUtilities.h"
#include "helperclient/RNSecureAccess.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace quillo::cli {

using namespace quillo::erase;

namespace {
// The progress line of the running erase, so the main loop can let it redraw held-back changes.
std::atomic<TerminalProgressWindow*> gProgressWindow{nullptr};
}  // namespace

int exitStatusFor(const EraseOutcome& o) {
    if (o.stoppedByUser) return 130;
    if (o.abandoned || o.erasedCount == 0 || o.notErasedCount != 0 || !o.itemsLeft.empty()) return 1;
    return 0;
}

EraseRunner::EraseRunner(bool assumeYes) : assumeYes_(assumeYes) {
    setupDefaultsPreferences();
    RNErrorDelegate::sharedControl().setBackend(std::make_shared<TerminalPromptBackend>(assumeYes));
    RNDeleteItems::setProgressWindowFactory([]() -> std::unique_ptr<RNGenericProgressWindowCntrl> {
        auto window = std::make_unique<TerminalProgressWindow>();
        installInterruptHandler(window.get());
        gProgressWindow.store(window.get());
        return window;
    });
    RNDeleteItems::setPrivilegedEraserFactory([](RNSecureAccessDelegate* session) -> std::unique_ptr<RNPrivilegedEraser> {
        return helperclient::RNSecureAccess::initWithDelegate(session);
    });
    // The application's start-up check, before anything is erased: install or update the helper
    // when needed (asking on the terminal; with no terminal nothing is installed).
    SetIsHelperAuthorized(helperclient::RNSecureAccess::initWithDelegate(nullptr)->installHelperAppIfNeeded());
}

EraseRunner::~EraseRunner() {
    removeInterruptHandler();
    RNDeleteItems::setProgressWindowFactory(nullptr);
    RNDeleteItems::setPrivilegedEraserFactory(nullptr);
}

EraseOutcome EraseRunner::emptyAllTrashes() {
    RNArray volumes;
    for (const auto& t : files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations()) {
        volumes.push_back(RNDictionary{{"trashURL", t.trashURL},
                                       {"volumeURL", t.volumeURL},
                                       {"volumeName", t.volumeName},
                                       {"volumePath", t.volumePath},
                                       {"trashIsEmpty", t.trashIsEmpty}});
    }
    RNDictionary request{{"isAllDisks", true},  {"isLumoErase", false}, {"volumeArray", volumes},
                         {"volumeName", ""},    {"size", uint64_t(0)},  {"count", uint64_t(0)}};
    return run(request, false);
}

EraseOutcome EraseRunner::emptyVolumeTrash(const files::TrashLocation& trash) {
    // The sizes are only read when a confirmation is to show them; the erase totals what it
    // erases in any case.
    auto& lister = files::RNQuilloFileUtilities::sharedControl();
    const std::atomic<bool> noSizes{false};
    auto listing = !assumeYes_ && RNUserDefaults::standardUserDefaults().boolForKey(kPrefShowAlert)
                       ? lister.binItemsAndInfoWithURL(trash.trashURL)
                       : files::binItemsForEraseWithURL(trash.trashURL, noSizes, lister.measureThreads());
    RNItemList items = listing ? listing->itemsToErase : RNItemList{};
    RNDictionary request{{"isAllDisks", false},
                         {"isLumoErase", false},
                         {"volumeName", trash.volumeName.empty() ? std::string("Hard Drive") : trash.volumeName},
                         {"size", listing ? listing->size : uint64_t(0)},
                         {"count", listing ? listing->count : uint64_t(0)},
                         {"itemsToErase", itemListValue(std::move(items))}};
    return run(request, false);
}

EraseOutcome EraseRunner::eraseItems(const RNItemList& items) {
    uint64_t size = 0, count = 0;
    for (const auto& i : items) {
        size += i.size;
        count += i.count;
    }
    RNDictionary itemsDict{{"itemsToErase", itemListValue(items)}, {"isLumoErase", true}};
    RNDictionary request{{"isAllDisks", false}, {"isLumoErase", true}, {"volumeName", ""},
                         {"size", size},        {"count", count},      {"itemsDict", itemsDict},
                         {"itemsToErase", itemListValue(items)}};
    return run(request, true);
}

EraseOutcome EraseRunner::run(const RNDictionary& request, bool lumo) {
    // An automatic clean-up (the timer's) stops before its next item while the user erases.
    RNUserEraseGuard cleanupStops;
    auto loop = std::make_shared<RNRunLoopMainThread>();
    auto previous = RNMainThread::active();
    RNMainThread::setActive(loop);

    EraseOutcome outcome;
    auto session = RNDeleteItems::create();
    auto& center = RNNotificationCenter::defaultCenter();
    RNObserverToken stopToken = center.addObserver(kStopWorking, session.get(), [&, loop](const RNNotification& n) {
        if (n.userInfo) {
            outcome.abandoned = false;
            outcome.erasedCount = n.info("erasedCount").uintValue();
            outcome.erasedSize = n.info("erasedSize").uintValue();
            outcome.stoppedByUser = n.info("wasStoppedByUser").boolValue();
            outcome.notErasedCount = session->notErasedCount();
        } else {
            outcome.stoppedByUser = session->isStoppedByUser();
        }
        outcome.itemsLeft = session->itemsLeft();
        loop->stop();
    });
    // The main window starts its erase when the session answers "waitForResponse".
    RNObserverToken responseToken = center.addObserver(kWaitForResponse, session.get(), [&, loop](const RNNotification& n) {
        if (!n.info("canContinue").boolValue()) {
            loop->stop();
            return;
        }
        const RNItemList* items = itemListIf(n.info("itemsDict")["itemsToErase"]);
        RNItemList copy = items ? *items : RNItemList{};
        loop->post([session, copy] {
            session->proceedToEraseWithArray(copy);
        });
    });

    loop->post([&, session, loop] {
        if (!session->askToContinue(request)) return;  // cancelled: "stopWorking" stops the loop
        if (lumo) return;                               // started on "waitForResponse"
        // (The tray menu lets its alert close for 0.1 s first; a terminal has nothing to wait for.)
        const RNItemList* items = itemListIf(RNValue::lookup(request, "itemsToErase"));
        if (items) session->proceedToEraseWithArray(*items);
        else session->proceedToEraseWithArray(session->itemsToErase());
    });
    // The progress line only redraws when called; a tick lets held-back changes show.
    // It wakes at once when the erase is over: a sleeping ticker would hold the exit back.
    std::mutex tickerMutex;
    std::condition_variable tickerWake;
    bool running = true;
    std::thread ticker([&, loop] {
        std::unique_lock lock(tickerMutex);
        while (!tickerWake.wait_for(lock, std::chrono::milliseconds(100), [&] { return !running; })) {
            loop->post([] {
                if (TerminalProgressWindow* w = gProgressWindow.load()) w->tick();
            });
        }
    });
    loop->run();
    {
        std::lock_guard lock(tickerMutex);
        running = false;
    }
    tickerWake.notify_all();
    ticker.join();
    loop->processPendingTasks();
    gProgressWindow.store(nullptr);

    center.removeObserver(stopToken);
    center.removeObserver(responseToken);
    RNDeleteItems::waitForTickToEnd();
    RNMainThread::setActive(previous);
    return outcome;
}

}  // namespace quillo::cli
