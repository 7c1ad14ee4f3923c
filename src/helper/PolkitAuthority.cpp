#include "helper/PolkitAuthority.h"

#include "common/HelperBus.h"
#include "files/SystemLog.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

namespace quillo::helper {

using namespace quillo::common;

namespace {

struct PendingCheck {
    PolkitAuthority::Done done;
    std::string cancellationId;
};

int readDetails(sd_bus_message* m, std::map<std::string, std::string>& details) {
    int r = sd_bus_message_enter_container(m, 'a', "{ss}");
    if (r < 0) return r;
    for (;;) {
        const char* key = nullptr;
        const char* value = nullptr;
        r = sd_bus_message_read(m, "{ss}", &key, &value);
        if (r < 0) return r;
        if (r == 0) break;
        details[key ? key : ""] = value ? value : "";
    }
    return sd_bus_message_exit_container(m);
}

int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingCheck*>(userdata);
    int status = kErrAuthorizationDenied;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        const sd_bus_error* e = sd_bus_message_get_error(reply);
        const std::string name = e && e->name ? e->name : "";
        const std::string message = e && e->message ? e->message : "";
        if (isPolkitMissingError(name)) {
            files::systemLog("quillo3-helper: polkit is not available on the system bus (" + name + ": " + message +
                             "); erase refused");
        } else if (name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_TIMEOUT) {
            // Nobody answered the authentication dialog in time: it is closed, the erase refused.
            files::systemLog("quillo3-helper: no answer from polkit in time; erase refused");
            PolkitAuthority::cancelCheckAuthorization(sd_bus_message_get_bus(reply), pending->cancellationId);
        } else
            files::systemLog("quillo3-helper: polkit CheckAuthorization failed: " + name + ": " + message);
        status = authorizationStatusForError(name);
    } else {
        int isAuthorized = 0, isChallenge = 0;
        std::map<std::string, std::string> details;
        int r = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
        if (r > 0) r = sd_bus_message_read(reply, "bb", &isAuthorized, &isChallenge);
        if (r > 0) r = readDetails(reply, details);
        if (r > 0) r = sd_bus_message_exit_container(reply);
        if (r <= 0) {
            files::systemLog(std::string("quillo3-helper: unreadable answer from polkit: ") +
                             std::strerror(r < 0 ? -r : EBADMSG));
        } else {
            status = authorizationStatusForAnswer(isAuthorized, isChallenge, details);
            if (status != 0 && isChallenge)
                files::systemLog("quillo3-helper: polkit asks for authentication but no agent answered; erase refused");
        }
    }
    // The slot goes away after this callback; the callback owns nothing else.
    PolkitAuthority::Done done = std::move(pending->done);
    done(status);
    return 0;
}

void destroyPending(void* userdata) { delete static_cast<PendingCheck*>(userdata); }

}  // namespace

int authorizationStatusForAnswer(bool isAuthorized, bool isChallenge,
                                 const std::map<std::string, std::string>& details) {
    if (isAuthorized) return 0;
    (void)isChallenge;  // a challenge nobody answered is a refusal like any other
    auto it = details.find(kPolkitDismissedDetail);
    if (it != details.end() && it->second == "true") return kErrAuthorizationCanceled;
    return kErrAuthorizationDenied;
}

int authorizationStatusForError(const std::string& errorName) {
    // polkit's own "Cancelled" answers a cancellation through the cancellation id, which the
    // helper sends only when it no longer waits for the answer; every error refuses.
    (void)errorName;
    return kErrAuthorizationDenied;
}

bool isPolkitMissingError(const std::string& errorName) {
    return errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           errorName == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           errorName == "org.freedesktop.DBus.Error.Spawn.ServiceNotFound" ||
           errorName == "org.freedesktop.DBus.Error.Spawn.ChildExited" ||
           errorName == "org.freedesktop.DBus.Error.Spawn.ExecFailed";
}

sd_bus_slot* PolkitAuthority::checkAuthorization(sd_bus* bus, const std::string& sender, const std::string& actionId,
                                                 const std::string& cancellationId, Done done) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus, &m, kPolkitBusName, kPolkitObjectPath, kPolkitInterface,
                                           "CheckAuthorization");
    if (r >= 0) r = sd_bus_message_append(m, "(sa{sv})", "system-bus-name", 1, "name", "s", sender.c_str());
    if (r >= 0) r = sd_bus_message_append(m, "s", actionId.c_str());
    if (r >= 0) r = sd_bus_message_append(m, "a{ss}", 0);
    if (r >= 0) r = sd_bus_message_append(m, "us", kPolkitAllowUserInteraction, cancellationId.c_str());
    sd_bus_slot* slot = nullptr;
    auto pending = std::make_unique<PendingCheck>(PendingCheck{std::move(done), cancellationId});
    if (r >= 0) r = sd_bus_call_async(bus, &slot, m, onReply, pending.get(), kTimeoutUsec);
    sd_bus_message_unref(m);
    if (r < 0) {
        files::systemLog(std::string("quillo3-helper: cannot ask polkit: ") + std::strerror(-r));
        pending->done(kErrAuthorizationDenied);
        return nullptr;
    }
    sd_bus_slot_set_destroy_callback(slot, destroyPending);
    pending.release();
    return slot;
}

void PolkitAuthority::cancelCheckAuthorization(sd_bus* bus, const std::string& cancellationId) {
    if (!bus || cancellationId.empty()) return;
    // A floating call whose answer (an error when polkit already finished) is dropped.
    int r = sd_bus_call_method_async(bus, nullptr, kPolkitBusName, kPolkitObjectPath, kPolkitInterface,
                                     "CancelCheckAuthorization", nullptr, nullptr, "s", cancellationId.c_str());
    if (r < 0) files::systemLog(std::string("quillo3-helper: cannot cancel a polkit check: ") + std::strerror(-r));
}

}  // namespace quillo::helper
