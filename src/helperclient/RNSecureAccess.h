// The application's side of the privileged helper: installs or updates it when it is missing or
// of another version, holds the connection to it, sends the erase session's request with the
// authorization token, and turns the helper's progress into calls on the session.
//
// Threads: the public operations are called on the main thread (the version query blocks it
// until the helper answers, boundedly). The connection has a thread of its own: the helper's
// replies and progress arrive there, and progress goes to the delegate from there; a failed
// request is finished on the main thread.
#pragma once

#include "common/HelperRequest.h"
#include "common/RNHelperToolProtocol.h"
#include "erase/RNPrivilegedEraser.h"
#include "erase/RNValue.h"
#include "helperclient/HelperBusConnection.h"
#include "helperclient/HelperClientError.h"
#include "helperclient/RNHelperToolProxy.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quillo::helperclient {

inline constexpr char kExpectedHelperVersion[] = "2.1.0";

class RNSecureAccess : public erase::RNPrivilegedEraser,
                       public erase::RNPrivilegedRestorer,
                       public common::RNHelperToolProtocolProgress {
public:
    // initWithDelegate: makes the authorization token and keeps the (weakly held) delegate,
    // which may be null for the start-up check.
    explicit RNSecureAccess(erase::RNSecureAccessDelegate* delegate = nullptr);
    static std::unique_ptr<RNSecureAccess> initWithDelegate(erase::RNSecureAccessDelegate* delegate);
    ~RNSecureAccess() override;
    RNSecureAccess(const RNSecureAccess&) = delete;
    RNSecureAccess& operator=(const RNSecureAccess&) = delete;

    // The start-up check: true when the helper may be used. Errors other than the user's "no"
    // (-60006) are shown.
    bool installHelperAppIfNeeded();
    // Asks to install or update the helper when needed and does it; an empty error when the
    // helper is current (or the question is suppressed), -60006 when the user said no.
    HelperClientError authorizeTheAccess();
    // True when the installed helper answers exactly the expected version (and its polkit
    // action is registered, when polkit can be asked). `*isInstalled` tells whether the helper
    // binary is there at all.
    bool isHelperNeedBeInstalled(bool* isInstalled);
    // Runs the installer as root (pkexec quillo-install-helper install).
    bool blessHelperWithLabel(const std::string& label, HelperClientError* error);
    // Runs the installer's "remove" as root. The update path does not need it: installing
    // replaces every file.
    HelperClientError removeHelper();

    // Synchronous version query; the answer (or the error's description) is in helperVersion().
    void getHelperToolVersion();
    // The answer of the last version query, process-wide.
    static std::string helperVersion();

    // Makes the connection when there is none (or the last one was invalidated).
    void connectToHelperTool();
    // Connects and calls `block` on this thread with the connection's error, if any.
    void connectAndExecuteCommandBlock(const std::function<void(const HelperClientError&)>& block);

    // RNPrivilegedEraser.
    void authorizedEraseWithDictionary(const erase::RNDictionary& request) override;
    void stoppedByUser(bool stopped) override;

    // RNPrivilegedRestorer: one request each, waited for on the calling thread.
    std::string unlockTrashedItem(const std::string& path) override;
    std::string lockRestoredItem(const std::string& path) override;
    std::string moveTrashedFolder(const std::string& from, const std::string& to) override;

    // The helper's progress (connection thread).
    void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& itemPath) override;
    void itemsNotListed(uint64_t count, uint64_t totSize, uint64_t notListed) override;
    void finishedWithNonErasedCount(uint64_t count) override;

    // The 32-byte token sent with every erase request.
    const std::string& authorization() const { return authorization_; }

    // Timeouts: the version query, and the erase request's reply (polkit may wait for the user
    // to type a password for up to ten minutes).
    static constexpr uint64_t kVersionTimeoutUsec = RNHelperToolProxy::kVersionTimeoutUsec;
    static constexpr uint64_t kEraseReplyTimeoutUsec = RNHelperToolProxy::kEraseReplyTimeoutUsec;
    static constexpr uint64_t kStopTimeoutUsec = RNHelperToolProxy::kStopTimeoutUsec;

private:
    // The delegate, reachable from queued work that may outlive this object.
    struct DelegateBox {
        std::recursive_mutex mutex;
        erase::RNSecureAccessDelegate* delegate = nullptr;
    };
    // One erase request, from sending to its end.
    struct EraseRun {
        uint64_t queued = 0;       // "unlockItems" + "permissionsItems"
        uint64_t startCount = 0;   // the request's "erasedCount"
        uint64_t lastCount = 0;    // the helper's last total
        std::string helperName;    // the unique bus name that accepted it
        bool accepted = false;
        bool finished = false;
    };

    class RunProgress;

    // Sends a restore hand-over of one item and waits for its message.
    std::string restoreHandOver(const common::HelperRequest& request);
    bool claimFinish(const std::shared_ptr<EraseRun>& run);
    // Ends `run` as failed, once: logs (a transport error as the proxy's, anything else as the
    // reply's), then on the main thread shows the error and gives the session its not-erased
    // count and its end.
    void failRun(const std::shared_ptr<EraseRun>& run, const HelperClientError& error, uint64_t notErased);
    void onHelperSignal(sd_bus_message* m);
    void onHelperVanished(const std::string& name);
    void onInvalidated();
    bool currentRunFrom(const char* sender, std::shared_ptr<EraseRun>& run);
    // Whether polkit knows the erase action (nullopt: polkit could not be asked).
    std::optional<bool> eraseActionRegistered();

    std::string authorization_;
    std::shared_ptr<DelegateBox> box_;
    std::mutex runMutex_;  // run_
    std::shared_ptr<EraseRun> run_;
    std::mutex connectionMutex_;
    std::unique_ptr<HelperBusConnection> helperToolConnection_;
};

}  // namespace quillo::helperclient
