#include "erase/RNAutoCleanup.h"

#include "erase/RNCleanupLock.h"
#include "erase/RNDeleteItems.h"
#include "erase/RNIdlePriority.h"
#include "erase/RNNotificationCenter.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "files/UniqueFd.h"
#include "files/Utf8.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <set>
#include <unordered_map>

namespace quillo::erase {

// Every pass of this process, so that a user's erase can stop them.
struct CleanupRegistry {
    std::mutex mutex;
    std::condition_variable idle;
    std::set<RNAutoCleanup*> passes;
    std::vector<std::function<void()>> waiting;  // stopAllThen's continuations

    static CleanupRegistry& shared() {
        static CleanupRegistry r;
        return r;
    }
    bool anyInEngine() const {
        return std::any_of(passes.begin(), passes.end(), [](RNAutoCleanup* p) { return p->inEngine_; });
    }
    // Called with the mutex held after a pass left the engine: runs what waited for that.
    std::vector<std::function<void()>> takeWaitingIfIdle() {
        if (anyInEngine()) return {};
        std::vector<std::function<void()>> ready;
        ready.swap(waiting);
        return ready;
    }
};

namespace {

using util::RNLocalizedMessage;
using util::RNLocalizedString;

std::string sizeText(uint64_t bytes) { return util::RNNumberUtilities::sharedControl().sizeToFormatString(bytes, 4, true); }

std::string volumeLabel(const std::string& name, const std::string& path) {
    return files::displayText(name.empty() ? path : name);
}

// What a rule says in a sentence: "older than 30 days", "to keep the Trash under 10 GB".
std::string ruleText(RNCleanupRule rule, const RNCleanupRules& rules, uint64_t totalBytes) {
    switch (rule) {
    case RNCleanupRule::OlderThan:
        return RNLocalizedMessage("auto_cleanup_rule_older", {{"days", uint64_t(rules.olderThanDays)}});
    case RNCleanupRule::MaxTrashSize:
        return RNLocalizedMessage("auto_cleanup_rule_size", {{"size", sizeText(rules.maxTrashBytes)}});
    case RNCleanupRule::MinFreeSpace:
        if (rules.minFreeByPercent)
            return RNLocalizedMessage("auto_cleanup_rule_free_percent", {{"percent", rules.minFreePercent}});
        return RNLocalizedMessage("auto_cleanup_rule_free", {{"size", sizeText(rules.minFreeTarget(totalBytes))}});
    case RNCleanupRule::None: break;
    }
    return {};
}

}  // namespace

uint64_t RNCleanupPassResult::erasedItems() const {
    uint64_t n = 0;
    for (const auto& v : volumes) n += v.erasedItems;
    return n;
}

uint64_t RNCleanupPassResult::erasedBytes() const {
    uint64_t n = 0;
    for (const auto& v : volumes) n += v.erasedBytes;
    return n;
}

RNAutoCleanup::RNAutoCleanup(RNCleanupRules rules) : RNAutoCleanup(std::move(rules), Options{}) {}

RNAutoCleanup::RNAutoCleanup(RNCleanupRules rules, Options options)
    : rules_(std::move(rules)), options_(std::move(options)) {
    auto& reg = CleanupRegistry::shared();
    std::lock_guard lock(reg.mutex);
    reg.passes.insert(this);
}

RNAutoCleanup::~RNAutoCleanup() {
    stop();
    // Destroyed from its own callback: the thread is past the pass and only returns.
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    wait();
    auto& reg = CleanupRegistry::shared();
    std::lock_guard lock(reg.mutex);
    reg.passes.erase(this);
}

bool RNAutoCleanup::start(Finished finished) {
    if (running_.exchange(true)) return false;
    // The last pass's thread has run its callback (or is in it, starting this one).
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
    stopRequested_.store(false);
    thread_ = std::thread([this, finished = std::move(finished)] {
        // The pass itself (listing, planning) also stays out of the user's way.
        RNIdlePriority idle;
        RNCleanupPassResult result = run();
        running_.store(false);
        if (finished) finished(result);
    });
    return true;
}

void RNAutoCleanup::stop() {
    stopRequested_.store(true);
    std::lock_guard lock(sessionMutex_);
    if (session_) session_->setIsStopped(true);
}

void RNAutoCleanup::wait() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool RNAutoCleanup::shouldStop() const { return stopRequested_.load(); }

void RNAutoCleanup::stopAllThen(std::function<void()> then) {
    auto& reg = CleanupRegistry::shared();
    std::unique_lock lock(reg.mutex);
    for (RNAutoCleanup* p : reg.passes) p->stop();
    if (!reg.anyInEngine()) {
        lock.unlock();
        if (then) then();
        return;
    }
    if (then) reg.waiting.push_back(std::move(then));
}

void RNAutoCleanup::stopAllAndWait() {
    auto& reg = CleanupRegistry::shared();
    std::unique_lock lock(reg.mutex);
    for (RNAutoCleanup* p : reg.passes) p->stop();
    reg.idle.wait(lock, [&] { return !reg.anyInEngine(); });
}

RNCleanupPassResult RNAutoCleanup::run() {
    RNCleanupPassResult result;
    if (!rules_.anyRuleOn()) return result;
    const std::string& lockFolder = options_.lockFolder;
    if (RNCleanupLock::userEraseRunning(lockFolder)) {
        result.busy = true;
        return result;
    }
    auto lock = RNCleanupLock::tryAcquire(lockFolder);
    if (!lock) {
        result.busy = true;
        return result;
    }
    const RNCleanupPlan plan = RNCleanupPlanner::planAll(rules_, options_.volume, &stopRequested_, true);
    for (const RNCleanupVolumePlan& v : plan.volumes) {
        if (shouldStop() || RNCleanupLock::userEraseRunning(lockFolder)) {
            result.stopped = true;
            break;
        }
        if (options_.beforeVolume) options_.beforeVolume(v);
        RNCleanupVolumeResult r;
        if (!v.items.empty()) {
            bool logFailed = false;
            r = eraseVolume(v, logFailed);
            result.logFailed = result.logFailed || logFailed;
        }
        r.volumeName = v.volumeName;
        r.volumePath = v.volumePath;
        r.skip = v.skip;
        r.freeTargetUnreachable = v.freeTargetUnreachable;
        r.sizeLimitUnreachable = v.sizeLimitUnreachable;
        result.volumes.push_back(std::move(r));
    }
    if (shouldStop()) result.stopped = true;
    return result;
}

RNCleanupVolumeResult RNAutoCleanup::eraseVolume(const RNCleanupVolumePlan& plan, bool& logFailed) {
    RNCleanupVolumeResult r;
    const std::string trashDir = files::deletingLastPathComponent(plan.trashFilesDir);
    // The folder held since planning: what is reached by path must still be on it.
    const std::shared_ptr<const files::UniqueFd> held = plan.filesFolder;
    struct stat filesSt {};
    if (!held || !held->valid() || ::fstat(held->get(), &filesSt) != 0) {
        r.volumeGone = true;
        return r;
    }
    const files::TrashInfoReader infoReader(trashDir);

    std::unordered_map<std::string, size_t> byPath;
    RNItemList items;
    items.reserve(plan.items.size());
    for (size_t k = 0; k < plan.items.size(); ++k) {
        const RNCleanupItem& p = plan.items[k];
        byPath.emplace(p.path, k);
        files::RNItemToErase e;
        e.url = p.path;
        e.size = p.size;
        e.count = p.count;
        items.push_back(std::move(e));
    }
    std::vector<char> approved(plan.items.size(), 0);  // written by the engine's worker only

    std::map<RNCleanupRule, uint64_t> byRule;
    const std::string volume = volumeLabel(plan.volumeName, plan.volumePath);
    RNUnattendedErase how;
    how.allowHelper = rules_.allowHelper;
    how.logStart = util::RNFormat(RNLocalizedString("auto_cleanup_log_start"), {volume});
    how.logEnd = util::RNFormat(RNLocalizedString("auto_cleanup_log_end"), {volume});

    auto session = RNDeleteItems::create();
    RNDeleteItems* s = session.get();
    const std::string lockFolder = options_.lockFolder;
    how.stillToErase = [&, s](const files::RNItemToErase& item) {
        if (shouldStop() || RNCleanupLock::userEraseRunning(lockFolder)) {
            stopRequested_.store(true);
            s->setIsStopped(true);
            return false;
        }
        auto it = byPath.find(item.url);
        if (it == byPath.end()) return false;
        const RNCleanupItem& planned = plan.items[it->second];
        // The same item as planned: same file, same info file date. Anything else was put back
        // and trashed again, replaced, or is not there any more.
        // By its path, the way the engine reaches it: another volume mounted where this one was
        // (two sticks of one name) may hold an item of the same name.
        const std::string name = files::lastPathComponent(item.url);
        struct stat st;
        if (::lstat(item.url.c_str(), &st) != 0) return false;
        if (st.st_dev != planned.dev || st.st_ino != planned.ino || st.st_dev != filesSt.st_dev ||
            st.st_ctim.tv_sec != planned.ctime.tv_sec || st.st_ctim.tv_nsec != planned.ctime.tv_nsec)
            return false;
        if (infoReader.deletionDate(name) != planned.deletionDate) return false;
        approved[it->second] = 1;
        return true;
    };

    std::mutex endMutex;
    std::condition_variable endCv;
    bool ended = false;
    auto& center = RNNotificationCenter::defaultCenter();
    const RNObserverToken token = center.addObserver(kStopWorking, s, [&](const RNNotification&) {
        std::lock_guard lock(endMutex);
        ended = true;
        endCv.notify_all();
    });

    auto& reg = CleanupRegistry::shared();
    bool started = false;
    {
        std::lock_guard regLock(reg.mutex);
        if (!shouldStop()) {
            inEngine_ = true;
            started = true;
            std::lock_guard sl(sessionMutex_);
            session_ = session;
        }
    }
    if (started) {
        session->startUnattended(std::move(items), std::move(how));
        std::unique_lock lock(endMutex);
        endCv.wait(lock, [&] { return ended; });
    }
    center.removeObserver(token);
    // The engine's progress tick is process-wide: the next erase may only start once it ended.
    RNDeleteItems::waitForTickToEnd();

    r.skippedLocked = session->skippedLocked();
    r.skippedHelperOnly = session->skippedHelperOnly();
    r.skippedChanged = session->skippedChanged();
    logFailed = session->logFailed();

    // What went: the approved items no longer there. A trash whose folder vanished or became
    // another file system's (unmounted) says nothing about its items.
    struct stat now {};
    const bool stillThere = ::stat(plan.trashFilesDir.c_str(), &now) == 0 && now.st_dev == filesSt.st_dev &&
                            now.st_ino == filesSt.st_ino;
    r.volumeGone = !stillThere;
    for (size_t k = 0; k < plan.items.size(); ++k) {
        if (!approved[k]) continue;
        struct stat st;
        const bool gone = ::fstatat(held->get(), files::lastPathComponent(plan.items[k].path).c_str(), &st,
                                    AT_SYMLINK_NOFOLLOW) != 0 &&
                          errno == ENOENT;
        if (gone && stillThere) {
            ++r.erasedItems;
            r.erasedBytes += plan.items[k].size;
            ++byRule[plan.items[k].rule];
        } else if (!gone) {
            ++r.notErased;
        }
    }
    uint64_t best = 0;
    for (const auto& [rule, n] : byRule)
        if (n > best) best = n, r.rule = rule;

    std::vector<std::function<void()>> ready;
    {
        std::lock_guard regLock(reg.mutex);
        inEngine_ = false;
        {
            std::lock_guard sl(sessionMutex_);
            session_.reset();
        }
        ready = reg.takeWaitingIfIdle();
    }
    reg.idle.notify_all();
    for (auto& f : ready) f();
    return r;
}

std::string RNAutoCleanup::volumeText(const RNCleanupVolumeResult& v, const RNCleanupRules& rules) {
    std::string text;
    const std::string volume = volumeLabel(v.volumeName, v.volumePath);
    auto line = [&](const std::string& l) {
        if (l.empty()) return;
        if (!text.empty()) text += "\n";
        text += l;
    };
    if (v.erasedItems) {
        line(RNLocalizedMessage("auto_cleanup_removed", {{"count", v.erasedItems},
                                                         {"size", sizeText(v.erasedBytes)},
                                                         {"rule", ruleText(v.rule, rules, 0)},
                                                         {"volume", volume}}));
    }
    if (v.skippedLocked)
        line(RNLocalizedMessage("auto_cleanup_skipped_locked", {{"count", v.skippedLocked}, {"volume", volume}}));
    if (v.skippedHelperOnly)
        line(RNLocalizedMessage("auto_cleanup_skipped_helper", {{"count", v.skippedHelperOnly}, {"volume", volume}}));
    if (v.freeTargetUnreachable && !v.volumeGone)
        line(util::RNFormat(RNLocalizedString("auto_cleanup_free_unreachable"), {volume}));
    if (v.volumeGone) line(util::RNFormat(RNLocalizedString("auto_cleanup_volume_gone"), {volume}));
    return text;
}

std::string RNAutoCleanup::summaryText(const RNCleanupPassResult& result, const RNCleanupRules& rules) {
    if (result.erasedItems() == 0) return {};
    std::string text;
    for (const auto& v : result.volumes) {
        const std::string l = volumeText(v, rules);
        if (l.empty()) continue;
        if (!text.empty()) text += "\n";
        text += l;
    }
    if (result.logFailed) text += "\n" + RNLocalizedString("auto_cleanup_log_failed");
    return text;
}

}  // namespace quillo::erase
