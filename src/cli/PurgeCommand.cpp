// quillo-cli purge: the automatic clean-up from the terminal and from the systemd timer.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "erase/RNAutoCleanup.h"
#include "erase/RNCleanupPlanner.h"
#include "erase/RNCleanupRules.h"
#include "erase/RNDeleteItems.h"
#include "erase/RNPreferences.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "files/Utf8.h"
#include "helperclient/RNSecureAccess.h"
#include "util/Localization.h"
#include "util/RNDateUtilities.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <iostream>
#include <thread>

namespace quillo::cli {

using namespace quillo::erase;
using util::RNLocalizedMessage;
using util::RNLocalizedString;

namespace {

constexpr const char* kUsage =
    "usage: quillo-cli purge [--older-than DAYS] [--max-size SIZE] [--min-free SIZE|PERCENT%]\n"
    "                        [--min-age DAYS] [--allow-helper] [--volume VOLUME] [--dry-run] [--json]\n"
    "       quillo-cli purge --from-preferences [--volume VOLUME] [--dry-run] [--json]\n";

std::string sizeText(uint64_t bytes) { return util::RNNumberUtilities::sharedControl().sizeToFormatString(bytes, 4, true); }

std::string volumeLabel(const std::string& name, const std::string& path) {
    return files::displayText(name.empty() ? path : name);
}

const char* ruleName(RNCleanupRule rule) {
    switch (rule) {
    case RNCleanupRule::OlderThan: return "older-than";
    case RNCleanupRule::MaxTrashSize: return "max-size";
    case RNCleanupRule::MinFreeSpace: return "min-free";
    case RNCleanupRule::None: break;
    }
    return "";
}

const char* skipName(RNCleanupVolumeSkip skip) {
    switch (skip) {
    case RNCleanupVolumeSkip::ReadOnly: return "read-only";
    case RNCleanupVolumeSkip::NetworkFreeSpace: return "network";
    case RNCleanupVolumeSkip::FreeSpaceUnknown: return "free-space-unknown";
    case RNCleanupVolumeSkip::TrashUnreadable: return "unreadable";
    case RNCleanupVolumeSkip::None: break;
    }
    return "";
}

void saySkip(RNCleanupVolumeSkip skip, const std::string& volume) {
    const char* key = nullptr;
    switch (skip) {
    case RNCleanupVolumeSkip::ReadOnly: key = "purge_skip_read_only"; break;
    case RNCleanupVolumeSkip::NetworkFreeSpace: key = "purge_skip_network"; break;
    case RNCleanupVolumeSkip::FreeSpaceUnknown: key = "purge_skip_free_unknown"; break;
    case RNCleanupVolumeSkip::TrashUnreadable: key = "purge_skip_unreadable"; break;
    case RNCleanupVolumeSkip::None: return;
    }
    std::cerr << "quillo-cli: " << util::RNFormat(RNLocalizedString(key), {volume}) << "\n";
}

std::string dateText(double sinceReference) {
    if (sinceReference == 0) return "-";
    return util::RNDateUtilities::sharedControl().stringWithSeconds(sinceReference, 4, true, true);
}

int dryRun(const RNCleanupRules& rules, const std::optional<std::string>& volume, bool json) {
    const RNCleanupPlan plan = RNCleanupPlanner::planAll(rules, volume);
    if (json) {
        std::string out = "{\"dryRun\":true,\"totalItems\":" + std::to_string(plan.totalItems) +
                          ",\"totalBytes\":" + std::to_string(plan.totalBytes) + ",\"volumes\":[";
        for (size_t v = 0; v < plan.volumes.size(); ++v) {
            const auto& p = plan.volumes[v];
            JsonObject o;
            o.add("name", p.volumeName).add("mountPoint", p.volumePath).add("trash", p.trashFilesDir);
            o.add("trashItems", p.trashItems).add("trashBytes", p.trashBytes);
            o.add("items", uint64_t(p.items.size())).add("bytes", p.bytes);
            if (p.freeSpaceKnown) o.add("freeBytes", p.freeBytes).add("totalBytes", p.totalBytes);
            o.add("skipped", skipName(p.skip));
            o.add("protectedByAge", p.protectedByAge).add("undated", p.undated);
            o.add("freeTargetUnreachable", p.freeTargetUnreachable).add("sizeLimitUnreachable", p.sizeLimitUnreachable);
            std::string items;
            for (const auto& i : p.items) {
                JsonObject e;
                e.add("path", i.path).add("size", i.size).add("count", i.count).add("rule", ruleName(i.rule));
                if (i.deletionDate != 0) e.add("deletionDate", i.deletionDate + files::kReferenceDateOffset);
                items += (items.empty() ? "" : ",") + e.str();
            }
            std::string obj = o.str();
            obj.insert(obj.size() - 1, ",\"toErase\":[" + items + "]");
            out += (v ? "," : "") + obj;
        }
        std::cout << out << "]}\n";
        return 0;
    }
    for (const auto& p : plan.volumes) {
        const std::string name = volumeLabel(p.volumeName, p.volumePath);
        saySkip(p.skip, name);
        if (!p.items.empty()) {
            std::cout << RNLocalizedMessage("purge_would_remove", {{"count", uint64_t(p.items.size())},
                                                                   {"size", sizeText(p.bytes)},
                                                                   {"volume", name}})
                      << "\n";
            for (const auto& i : p.items)
                std::cout << "  " << dateText(i.deletionDate) << "\t" << sizeText(i.size) << "\t" << ruleName(i.rule)
                          << "\t" << files::displayText(i.path) << "\n";
        }
        if (p.protectedByAge)
            std::cerr << "quillo-cli: "
                      << RNLocalizedMessage("purge_protected", {{"count", p.protectedByAge}, {"volume", name}}) << "\n";
        if (p.sizeLimitUnreachable)
            std::cerr << "quillo-cli: " << util::RNFormat(RNLocalizedString("purge_size_unreachable"), {name}) << "\n";
        if (p.freeTargetUnreachable)
            std::cerr << "quillo-cli: " << util::RNFormat(RNLocalizedString("auto_cleanup_free_unreachable"), {name})
                      << "\n";
    }
    if (plan.totalItems == 0) std::cout << RNLocalizedString("purge_nothing") << "\n";
    else
        std::cout << RNLocalizedMessage("items_size", {{"count", plan.totalItems}, {"size", sizeText(plan.totalBytes)}})
                  << "\n";
    return 0;
}

// SIGINT and SIGTERM (systemd stopping the service) stop the pass after the item in hand.
class StopOnSignal {
public:
    explicit StopOnSignal(RNAutoCleanup& pass) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        thread_ = std::thread([this, &pass] {
            for (;;) {
                int sig = 0;
                if (sigwait(&set_, &sig) != 0) continue;
                if (sig == SIGUSR2 && done_.load()) return;
                if (sig == SIGINT || sig == SIGTERM) {
                    signalled_.store(true);
                    pass.stop();
                }
            }
        });
    }
    ~StopOnSignal() {
        done_.store(true);
        pthread_kill(thread_.native_handle(), SIGUSR2);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    bool signalled() const { return signalled_.load(); }

private:
    sigset_t set_{}, previous_{};
    std::atomic<bool> done_{false}, signalled_{false};
    std::thread thread_;
};

}  // namespace

int purgeCommand(const std::vector<std::string>& args) {
    setupDefaultsPreferences();
    bool fromPreferences = false, dry = false, json = false, anyRule = false;
    std::optional<std::string> volume;
    RNCleanupRules rules;
    auto bad = [](const std::string& what) {
        std::cerr << "quillo-cli purge: " << what << "\n" << kUsage;
        return 2;
    };
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        auto value = [&]() -> std::optional<std::string> {
            if (k + 1 < args.size()) return args[++k];
            return std::nullopt;
        };
        if (a == "--from-preferences") fromPreferences = true;
        else if (a == "--dry-run" || a == "-n") dry = true;
        else if (a == "--json") json = true;
        else if (a == "--allow-helper") rules.allowHelper = true;
        else if (a == "--older-than" || a == "--min-age") {
            auto v = value();
            auto days = v ? parseCleanupDays(*v) : std::nullopt;
            if (!days) return bad(a + " expects days: 30d, 12h, 2w");
            if (a == "--min-age") rules.minimumAgeDays = *days;
            else rules.olderThanOn = true, rules.olderThanDays = *days, anyRule = true;
        } else if (a == "--max-size") {
            auto v = value();
            auto bytes = v ? parseCleanupBytes(*v) : std::nullopt;
            if (!bytes) return bad("--max-size expects a size: 10G, 500M, 0");
            rules.maxTrashOn = true, rules.maxTrashBytes = *bytes, anyRule = true;
        } else if (a == "--min-free") {
            auto v = value();
            auto target = v ? parseFreeTarget(*v) : std::nullopt;
            if (!target) return bad("--min-free expects a size or a percentage: 5G, 10%");
            rules.minFreeOn = true, anyRule = true;
            rules.minFreeByPercent = target->byPercent;
            rules.minFreePercent = target->percent;
            rules.minFreeBytes = target->bytes;
        } else if (a == "--volume") {
            auto v = value();
            if (!v) return bad("--volume expects a volume name or mount point");
            volume = *v;
        } else {
            return bad("unknown option '" + files::displayText(a) + "'");
        }
    }
    if (fromPreferences && (anyRule || rules.allowHelper)) return bad("--from-preferences takes no rule options");
    if (fromPreferences) rules = RNCleanupRules::fromPreferences();
    if (!rules.anyRuleOn()) {
        // The timer's run with every rule off has simply nothing to do.
        if (fromPreferences) return 0;
        std::cerr << "quillo-cli: " << RNLocalizedString("purge_no_rules") << "\n" << kUsage;
        return 2;
    }
    if (volume) {
        auto trashes = files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
        if (!findTrash(trashes, *volume)) {
            std::cerr << "quillo-cli: no usable trash on a volume named '" << files::displayText(*volume) << "'\n";
            return 2;
        }
    }
    if (dry) return dryRun(rules, volume, json);

    // The helper only when allowed and already in place: a pass never asks to install it.
    if (rules.allowHelper) {
        bool installed = false;
        auto access = helperclient::RNSecureAccess::initWithDelegate(nullptr);
        SetIsHelperAuthorized(access->isHelperNeedBeInstalled(&installed) && installed);
        RNDeleteItems::setPrivilegedEraserFactory([](RNSecureAccessDelegate* session) -> std::unique_ptr<RNPrivilegedEraser> {
            return helperclient::RNSecureAccess::initWithDelegate(session);
        });
    }

    RNAutoCleanup pass(rules, RNAutoCleanup::Options{volume, {}, {}});
    RNCleanupPassResult result;
    {
        StopOnSignal stopper(pass);
        result = pass.run();
    }
    RNDeleteItems::setPrivilegedEraserFactory(nullptr);

    bool left = false;
    for (const auto& v : result.volumes)
        if (v.skippedLocked || v.skippedHelperOnly || v.notErased || v.freeTargetUnreachable || v.volumeGone ||
            v.skippedChanged)
            left = true;
    if (json) {
        std::string out = "{\"dryRun\":false,\"busy\":" + std::string(result.busy ? "true" : "false") +
                          ",\"stopped\":" + (result.stopped ? "true" : "false") +
                          ",\"logFailed\":" + (result.logFailed ? "true" : "false") +
                          ",\"erasedItems\":" + std::to_string(result.erasedItems()) +
                          ",\"erasedBytes\":" + std::to_string(result.erasedBytes()) + ",\"volumes\":[";
        for (size_t k = 0; k < result.volumes.size(); ++k) {
            const auto& v = result.volumes[k];
            JsonObject o;
            o.add("name", v.volumeName).add("mountPoint", v.volumePath);
            o.add("erasedItems", v.erasedItems).add("erasedBytes", v.erasedBytes).add("rule", ruleName(v.rule));
            o.add("skippedLocked", v.skippedLocked).add("skippedHelperOnly", v.skippedHelperOnly);
            o.add("skippedChanged", v.skippedChanged).add("notErased", v.notErased);
            o.add("freeTargetUnreachable", v.freeTargetUnreachable).add("sizeLimitUnreachable", v.sizeLimitUnreachable);
            o.add("volumeGone", v.volumeGone).add("skipped", skipName(v.skip));
            out += (k ? "," : "") + o.str();
        }
        std::cout << out << "]}\n";
    } else {
        if (result.busy) std::cerr << "quillo-cli: " << RNLocalizedString("purge_busy") << "\n";
        for (const auto& v : result.volumes) {
            const std::string name = volumeLabel(v.volumeName, v.volumePath);
            saySkip(v.skip, name);
            const std::string text = RNAutoCleanup::volumeText(v, rules);
            if (!text.empty()) std::cout << text << "\n";
            if (v.skippedChanged)
                std::cerr << "quillo-cli: "
                          << RNLocalizedMessage("purge_changed", {{"count", v.skippedChanged}, {"volume", name}}) << "\n";
            if (v.sizeLimitUnreachable)
                std::cerr << "quillo-cli: " << util::RNFormat(RNLocalizedString("purge_size_unreachable"), {name}) << "\n";
            if (v.notErased)
                std::cerr << "quillo-cli: "
                          << RNLocalizedMessage("purge_not_erased", {{"count", v.notErased}, {"volume", name}}) << "\n";
        }
        if (result.logFailed) std::cerr << "quillo-cli: " << RNLocalizedString("auto_cleanup_log_failed") << "\n";
        if (result.stopped) std::cerr << "quillo-cli: " << RNLocalizedString("purge_stopped") << "\n";
        if (!result.busy && !result.stopped && result.erasedItems() == 0 && !left)
            std::cout << RNLocalizedString("purge_nothing") << "\n";
    }
    if (result.stopped) return 130;
    if (result.busy || left) return 1;
    return 0;
}

}  // namespace quillo::cli
