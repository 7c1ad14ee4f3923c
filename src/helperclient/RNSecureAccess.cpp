#include "helperclient/RNSecureAccess.h"

#include "common/HelperBus.h"
#include "common/HelperProgressSignals.h"
#include "common/HelperRequest.h"
#include "common/RNCommonHelper.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "files/SystemLog.h"
#include "helperclient/HelperInstallation.h"
#include "helperclient/RNHelperToolProxy.h"
#include "util/Localization.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>

namespace quillo::helperclient {

using common::kErrAuthorizationCanceled;
using common::kErrAuthorizationDenied;
using erase::RNArray;
using erase::RNDictionary;
using erase::RNErrorDelegate;
using erase::RNValue;

namespace {

std::mutex gVersionMutex;
std::string gHelperVersion;

void setHelperVersion(std::string version) {
    std::lock_guard lock(gVersionMutex);
    gHelperVersion = std::move(version);
}

// A result that the connection's thread hands to a waiting caller.
template <class T>
struct Handoff {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    T value{};

    void set(T v) {
        std::lock_guard lock(mutex);
        if (done) return;
        value = std::move(v);
        done = true;
        cv.notify_all();
    }
    bool wait(std::chrono::microseconds timeout) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return done; });
    }
};

std::string randomToken(size_t length) {
    std::string bytes(length, '\0');
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::getrandom(bytes.data() + got, length - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    // The token is opaque to the helper (only its length is checked); without randomness it is
    // still a valid token.
    return bytes;
}

std::vector<std::string> pathsForKey(const RNDictionary& request, const char* key) {
    std::vector<std::string> out;
    if (const RNArray* array = RNValue::lookup(request, key).arrayIf()) {
        for (const RNValue& v : *array) {
            if (const std::string* s = v.stringIf()) {
                out.push_back(*s);
            } else if (v.type() == RNValue::Type::Data) {
                auto d = v.dataValue();
                out.emplace_back(d.begin(), d.end());
            }
        }
    }
    return out;
}

// What is said instead of installing or removing a copy over the helper a package installed;
// `answered` adds what the helper answered to the last version query.
HelperClientError packagedHelperError(const std::string& packaged, bool answered) {
    std::string text = "The helper " + packaged + " comes with the system's package";
    if (answered) {
        const std::string version = RNSecureAccess::helperVersion();
        text += " and does not work as expected (its answer: " + (version.empty() ? std::string("none") : version) +
                ", expected " + kExpectedHelperVersion + ")";
    }
    return HelperClientError::install(
        EEXIST, text + "; it is updated and removed with the package: reinstall or remove the package instead.");
}

std::string busMessageText(const HelperClientError& e) { return e.message.empty() ? e.description() : e.message; }

}  // namespace

RNSecureAccess::RNSecureAccess(erase::RNSecureAccessDelegate* delegate)
    : authorization_(randomToken(common::kAuthorizationDataLength)), box_(std::make_shared<DelegateBox>()) {
    box_->delegate = delegate;
}

std::unique_ptr<RNSecureAccess> RNSecureAccess::initWithDelegate(erase::RNSecureAccessDelegate* delegate) {
    return std::make_unique<RNSecureAccess>(delegate);
}

RNSecureAccess::~RNSecureAccess() {
    {
        std::lock_guard lock(box_->mutex);
        box_->delegate = nullptr;
    }
    std::unique_ptr<HelperBusConnection> connection;
    {
        std::lock_guard lock(connectionMutex_);
        connection.swap(helperToolConnection_);
    }
    connection.reset();  // joins the connection's thread: no handler runs after this
}

// ---- Installation ----------------------------------------------------------------------------

bool RNSecureAccess::installHelperAppIfNeeded() {
    const HelperClientError err = authorizeTheAccess();
    const bool declined = err.domain == HelperClientError::Domain::OSStatus && err.code == kErrAuthorizationCanceled;
    if (err && !declined) {
        const bool denied = err.domain == HelperClientError::Domain::OSStatus && err.code == kErrAuthorizationDenied;
        const std::string text =
            denied ? util::RNLocalizedString("user_not_authorized", "Errors") : err.localizedDescription();
        RNErrorDelegate::sharedControl().showError(
            RNDictionary{{"error", text}, {"message", ""}, {"additionalName", RNArray{}}});
    }
    return !err;
}

HelperClientError RNSecureAccess::authorizeTheAccess() {
    if (erase::RNUserDefaults::standardUserDefaults().boolForKey(erase::kPrefShowInstallHelperTool)) return {};
    bool installed = false;
    if (isHelperNeedBeInstalled(&installed)) return {};
    // A packaged helper is never replaced by a second copy: the package manager owns its files.
    if (const std::string packaged = HelperInstallation::current().packagedHelperPath(); !packaged.empty())
        return packagedHelperError(packaged, true);
    const int64_t answer = RNErrorDelegate::sharedControl().askToTheUserWithView(
        installed ? "update_helper_tool" : "install_helper_tool", std::string("update_helper_tool_mess"), {},
        installed ? "update_button" : "install_button", installed ? "dont_update_button" : "dont_install_button", "",
        erase::kPrefShowInstallHelperTool, false);
    if (answer != erase::kAlertFirstButtonReturn)
        return HelperClientError::osStatus(kErrAuthorizationCanceled, "canceled by the user");
    // An installed copy is not removed first: installing replaces every file in one
    // authenticated step, so the user is asked for the password once.
    HelperClientError error;
    if (!blessHelperWithLabel(common::kHelperLabel, &error)) return error;
    return {};
}

bool RNSecureAccess::isHelperNeedBeInstalled(bool* isInstalled) {
    const HelperInstallation installation = HelperInstallation::current();
    struct stat st;
    const bool present = ::stat(installation.helperPath().c_str(), &st) == 0;
    if (isInstalled) *isInstalled = present;
    if (!present) return false;
    getHelperToolVersion();
    if (helperVersion() != kExpectedHelperVersion) return false;
    // A helper whose polkit action is missing refuses every erase: the installation is incomplete.
    const std::optional<bool> registered = eraseActionRegistered();
    return !registered || *registered;
}

bool RNSecureAccess::blessHelperWithLabel(const std::string& label, HelperClientError* error) {
    if (label != common::kHelperLabel) {
        if (error) *error = HelperClientError::install(EINVAL, "unknown helper label " + label);
        return false;
    }
    const HelperInstallation installation = HelperInstallation::current();
    const std::string packaged = installation.packagedHelperPath();
    HelperClientError result = packaged.empty() ? installation.runInstaller("install") : packagedHelperError(packaged, false);
    if (result) files::systemLog("blessHelperWithLabel error " + result.domainName() + " / " +
                                 std::to_string(result.code) + " - " + result.message);
    if (error) *error = result;
    return !result;
}

HelperClientError RNSecureAccess::removeHelper() {
    const HelperInstallation installation = HelperInstallation::current();
    const std::string packaged = installation.packagedHelperPath();
    HelperClientError result = packaged.empty() ? installation.runInstaller("remove") : packagedHelperError(packaged, false);
    if (result) files::systemLog("removeHelper error " + result.domainName() + " / " + std::to_string(result.code) +
                                 " - " + result.message);
    return result;
}

// ---- Connection --------------------------------------------------------------------------------

std::string RNSecureAccess::helperVersion() {
    std::lock_guard lock(gVersionMutex);
    return gHelperVersion;
}

void RNSecureAccess::connectToHelperTool() {
    std::unique_ptr<HelperBusConnection> stale;
    std::lock_guard lock(connectionMutex_);
    if (helperToolConnection_ && helperToolConnection_->isValid()) return;
    stale = std::move(helperToolConnection_);
    HelperBusConnection::Handlers handlers;
    handlers.helperSignal = [this](sd_bus_message* m) { onHelperSignal(m); };
    handlers.peerVanished = [this](const std::string& name) { onHelperVanished(name); };
    handlers.invalidated = [this] { onInvalidated(); };
    helperToolConnection_ = std::make_unique<HelperBusConnection>(std::move(handlers));
    if (const HelperClientError& e = helperToolConnection_->openError())
        files::systemLog("connectToHelperTool: " + e.message);
}

void RNSecureAccess::connectAndExecuteCommandBlock(const std::function<void(const HelperClientError&)>& block) {
    connectToHelperTool();
    HelperClientError error;
    {
        std::lock_guard lock(connectionMutex_);
        error = helperToolConnection_->openError();
    }
    if (block) block(error);
}

void RNSecureAccess::getHelperToolVersion() {
    auto result = std::make_shared<Handoff<std::string>>();
    auto fail = [result](const HelperClientError& e) {
        const std::string text = busMessageText(e);
        files::systemLog("getHelperToolVersion error " + e.domainName() + " / " + std::to_string(e.code) + " - " + text);
        result->set(text);
    };
    connectAndExecuteCommandBlock([&](const HelperClientError& error) {
        if (error) {
            fail(error);
            return;
        }
        std::lock_guard lock(connectionMutex_);
        RNHelperToolProxy(*helperToolConnection_, fail).getVersionWithReply([result](const std::string& version) {
            result->set(version);
        });
    });
    if (!result->wait(std::chrono::microseconds(kVersionTimeoutUsec + 5000000)))
        fail(HelperClientError::bus("org.freedesktop.DBus.Error.NoReply", "the helper did not answer", ETIMEDOUT));
    std::lock_guard lock(result->mutex);
    setHelperVersion(result->value);
}

std::optional<bool> RNSecureAccess::eraseActionRegistered() {
    auto result = std::make_shared<Handoff<std::optional<bool>>>();
    connectAndExecuteCommandBlock([&](const HelperClientError& error) {
        if (error) {
            result->set(std::nullopt);
            return;
        }
        std::lock_guard lock(connectionMutex_);
        helperToolConnection_->post([result](sd_bus* bus) {
            if (!bus) {
                result->set(std::nullopt);
                return;
            }
            const common::RightsSetupResult rights = common::RNCommonHelper::setupAuthorizationRights(bus);
            result->set(rights.polkitReachable ? std::optional<bool>(rights.missingActions.empty()) : std::nullopt);
        });
    });
    if (!result->wait(std::chrono::seconds(30))) return std::nullopt;
    std::lock_guard lock(result->mutex);
    return result->value;
}

// ---- The erase request --------------------------------------------------------------------------

std::string RNSecureAccess::restoreHandOver(const common::HelperRequest& request) {
    std::optional<std::string> encoded = common::encodeHelperRequest(request);
    if (!encoded) return "the request could not be written as a property list";
    auto result = std::make_shared<Handoff<std::string>>();
    auto fail = [result](const HelperClientError& e) {
        files::systemLog("restore hand-over error " + e.domainName() + " / " + std::to_string(e.code) + " - " +
                         busMessageText(e));
        result->set(e.localizedDescription());
    };
    connectAndExecuteCommandBlock([&](const HelperClientError& error) {
        if (error) {
            fail(error);
            return;
        }
        std::lock_guard lock(connectionMutex_);
        RNHelperToolProxy(*helperToolConnection_, fail)
            .restoreWithAuthorization(authorization_, *encoded,
                                      [result, fail](const common::HelperError& e, const std::vector<std::string>& messages) {
                                          if (e) fail(HelperClientError::fromHelperError(e));
                                          else if (messages.size() != 1) result->set("the helper answered nothing");
                                          else result->set(messages[0]);
                                      });
    });
    if (!result->wait(std::chrono::microseconds(kEraseReplyTimeoutUsec + 5000000)))
        fail(HelperClientError::bus("org.freedesktop.DBus.Error.NoReply", "the helper did not answer", ETIMEDOUT));
    std::lock_guard lock(result->mutex);
    return result->value;
}

std::string RNSecureAccess::unlockTrashedItem(const std::string& path) {
    common::HelperRequest request;
    request.restoreUnlockItems.push_back(path);
    return restoreHandOver(request);
}

std::string RNSecureAccess::lockRestoredItem(const std::string& path) {
    common::HelperRequest request;
    request.restoreLockItems.push_back(path);
    return restoreHandOver(request);
}

std::string RNSecureAccess::moveTrashedFolder(const std::string& from, const std::string& to) {
    common::HelperRequest request;
    request.restoreMoveItems.push_back(from);
    request.restoreMoveDestinations.push_back(to);
    return restoreHandOver(request);
}

void RNSecureAccess::authorizedEraseWithDictionary(const RNDictionary& request) {
    common::HelperRequest helperRequest;
    helperRequest.unlockItems = pathsForKey(request, common::kUnlockItemsKey);
    helperRequest.permissionsItems = pathsForKey(request, common::kPermissionsItemsKey);
    helperRequest.notTrashedBecauseFolderNotEmpty = pathsForKey(request, common::kNotTrashedBecauseFolderNotEmptyKey);
    helperRequest.erasedSize = RNValue::lookup(request, common::kErasedSizeKey).uintValue();
    helperRequest.erasedCount = RNValue::lookup(request, common::kErasedCountKey).uintValue();

    auto run = std::make_shared<EraseRun>();
    run->queued = helperRequest.unlockItems.size() + helperRequest.permissionsItems.size();
    run->startCount = helperRequest.erasedCount;
    run->lastCount = helperRequest.erasedCount;
    {
        std::lock_guard lock(runMutex_);
        run_ = run;
    }

    std::optional<std::string> encoded = common::encodeHelperRequest(helperRequest);
    if (!encoded) {
        failRun(run,
                HelperClientError{HelperClientError::Domain::PropertyList, common::kPropertyListReadCorruptError,
                                  "the request could not be written as a property list", {}},
                run->queued);
        return;
    }
    connectAndExecuteCommandBlock([&](const HelperClientError& error) {
        if (error) {
            failRun(run, error, run->queued);
            return;
        }
        std::lock_guard lock(connectionMutex_);
        HelperBusConnection* connection = helperToolConnection_.get();
        RNHelperToolProxy proxy(*connection, [this, run](const HelperClientError& e) { failRun(run, e, run->queued); });
        proxy.eraseWithAuthorization(
            authorization_, *encoded,
            RNHelperToolProxy::EraseReplyFrom([this, run, connection](const common::HelperError& e,
                                                                      const std::string& helperName) {
                if (e) {
                    failRun(run, HelperClientError::fromHelperError(e), run->queued);
                    return;
                }
                {
                    std::lock_guard lock(runMutex_);
                    if (run->finished) return;
                    run->helperName = helperName;
                    run->accepted = true;
                }
                // Progress follows from this bus name; if it leaves before the end, the run ends.
                connection->watchPeer(helperName);
            }));
    });
}

void RNSecureAccess::stoppedByUser(bool) {
    // Always a stop: the helper's flag is cleared by its next request, never by us.
    connectAndExecuteCommandBlock([&](const HelperClientError& error) {
        if (error) return;
        std::lock_guard lock(connectionMutex_);
        RNHelperToolProxy(*helperToolConnection_, [](const HelperClientError& e) {
            files::systemLog("stoppedByUser error " + e.domainName() + " / " + std::to_string(e.code) + " " +
                             busMessageText(e));
        }).setStoppedByUser(true);
    });
}

bool RNSecureAccess::claimFinish(const std::shared_ptr<EraseRun>& run) {
    std::lock_guard lock(runMutex_);
    if (run->finished) return false;
    run->finished = true;
    return true;
}

void RNSecureAccess::failRun(const std::shared_ptr<EraseRun>& run, const HelperClientError& error,
                             uint64_t notErased) {
    if (!claimFinish(run)) return;
    if (error.domain == HelperClientError::Domain::Bus)
        files::systemLog("authorizedEraseWithDictionary proxyError " + error.domainName() + " / " +
                         std::to_string(error.code) + " " + busMessageText(error));
    else
        files::systemLog("eraseWithAuthorization error " + error.domainName() + " / " + std::to_string(error.code) +
                         "  " + busMessageText(error));
    // The user learns why before the session's end report: the end is given after the error.
    auto box = box_;
    const std::string text = error.localizedDescription();
    erase::RNMainThread::postToMain([box, text, notErased] {
        std::lock_guard lock(box->mutex);
        if (!box->delegate) return;
        box->delegate->showErrorWithError(text);
        box->delegate->setNotErasedCount(notErased);
        box->delegate->setIsWorking(false);
    });
}

// ---- Progress (connection thread) ----------------------------------------------------------------

bool RNSecureAccess::currentRunFrom(const char* sender, std::shared_ptr<EraseRun>& run) {
    std::lock_guard lock(runMutex_);
    // Only the helper that accepted the request may report on it: any process can address a
    // signal to us.
    if (!run_ || !run_->accepted || run_->finished || !sender || run_->helperName != sender) return false;
    run = run_;
    return true;
}

// The accepted run's progress on its way to this object: the run's own bookkeeping first.
class RNSecureAccess::RunProgress : public common::RNHelperToolProtocolProgress {
public:
    RunProgress(RNSecureAccess& access, std::shared_ptr<EraseRun> run) : access_(access), run_(std::move(run)) {}
    void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) override {
        {
            std::lock_guard lock(access_.runMutex_);
            run_->lastCount = count;
        }
        access_.itemsErased(count, totSize, itemSize, path);
    }
    void itemsNotListed(uint64_t count, uint64_t totSize, uint64_t notListed) override {
        {
            std::lock_guard lock(access_.runMutex_);
            run_->lastCount = count;
        }
        access_.itemsNotListed(count, totSize, notListed);
    }
    void finishedWithNonErasedCount(uint64_t count) override {
        if (!access_.claimFinish(run_)) return;
        {
            std::lock_guard lock(access_.connectionMutex_);
            if (access_.helperToolConnection_) access_.helperToolConnection_->stopWatchingPeer();
        }
        access_.finishedWithNonErasedCount(count);
    }

private:
    RNSecureAccess& access_;
    std::shared_ptr<EraseRun> run_;
};

void RNSecureAccess::onHelperSignal(sd_bus_message* m) {
    std::shared_ptr<EraseRun> run;
    if (!currentRunFrom(sd_bus_message_get_sender(m), run)) return;
    RunProgress progress(*this, run);
    common::deliverHelperProgressSignal(m, progress);
}

void RNSecureAccess::itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& itemPath) {
    std::lock_guard lock(box_->mutex);
    if (!box_->delegate) return;
    if (count != 0) box_->delegate->setTotItemsDeleted(count);
    if (totSize != 0) box_->delegate->setTotSizeDeleted(totSize);
    box_->delegate->writeLogEntryWithPath(itemPath, itemSize);
}

void RNSecureAccess::itemsNotListed(uint64_t count, uint64_t totSize, uint64_t notListed) {
    // Failures past the first few of a run come as a count (the end gives the total not erased).
    if (notListed > 0)
        files::systemLog("the helper handled " + std::to_string(notListed) + " more items without listing them");
    std::lock_guard lock(box_->mutex);
    if (!box_->delegate) return;
    if (count != 0) box_->delegate->setTotItemsDeleted(count);
    if (totSize != 0) box_->delegate->setTotSizeDeleted(totSize);
}

void RNSecureAccess::finishedWithNonErasedCount(uint64_t count) {
    std::lock_guard lock(box_->mutex);
    if (!box_->delegate) return;
    box_->delegate->setNotErasedCount(count);
    box_->delegate->setIsWorking(false);
}

void RNSecureAccess::onHelperVanished(const std::string& name) {
    std::shared_ptr<EraseRun> run;
    uint64_t notErased = 0;
    {
        std::lock_guard lock(runMutex_);
        if (!run_ || !run_->accepted || run_->finished || run_->helperName != name) return;
        run = run_;
        const uint64_t done = run->lastCount >= run->startCount ? run->lastCount - run->startCount : 0;
        notErased = run->queued - std::min(run->queued, done);
    }
    failRun(run,
            HelperClientError::bus("org.freedesktop.DBus.Error.NoReply",
                                   "the helper stopped before it finished erasing", ECONNRESET),
            notErased);
}

void RNSecureAccess::onInvalidated() {
    files::systemLog("connectToHelperTool: connection invalidated");
    std::string name;
    {
        std::lock_guard lock(runMutex_);
        if (run_ && run_->accepted && !run_->finished) name = run_->helperName;
    }
    // A run the helper accepted can no longer report to us.
    if (!name.empty()) onHelperVanished(name);
}

}  // namespace quillo::helperclient
