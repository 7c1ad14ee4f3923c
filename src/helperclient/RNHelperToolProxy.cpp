#include "helperclient/RNHelperToolProxy.h"

#include "common/HelperBus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <functional>
#include <optional>

namespace quillo::helperclient {

using common::HelperError;

namespace {

// The helper's own answer (OSStatus, property list) as the protocol's error; nullopt for
// anything the bus said instead.
std::optional<HelperError> helperAnswer(const HelperClientError& e) {
    switch (e.domain) {
        case HelperClientError::Domain::OSStatus:
            return HelperError::osStatus(e.code, e.message);
        case HelperClientError::Domain::PropertyList:
            return HelperError::propertyList(e.message, e.code);
        default:
            return std::nullopt;
    }
}

// The two byte arrays every authorized call carries: the authorization, then the request.
std::function<int(sd_bus_message*)> authorizationAndRequest(std::string_view authorization, std::string_view request) {
    return [token = std::string(authorization), data = std::string(request)](sd_bus_message* m) {
        int r = sd_bus_message_append_array(m, 'y', token.data(), token.size());
        if (r >= 0) r = sd_bus_message_append_array(m, 'y', data.data(), data.size());
        return r;
    };
}

}  // namespace

RNHelperToolProxy::RNHelperToolProxy(HelperBusConnection& connection, ErrorHandler errorHandler)
    : connection_(connection), errorHandler_(std::move(errorHandler)) {}

void RNHelperToolProxy::getVersionWithReply(VersionReply reply) {
    connection_.callHelper(common::kGetVersionMethod, nullptr, kVersionTimeoutUsec,
                           [reply = std::move(reply), fail = errorHandler_](const HelperClientError& e,
                                                                            sd_bus_message* m) {
                               if (e) {
                                   if (fail) fail(e);
                                   return;
                               }
                               const char* version = nullptr;
                               const int r = sd_bus_message_read(m, "s", &version);
                               if (r < 0 || !version) {
                                   if (fail) fail(HelperClientError::fromBusError(nullptr, r < 0 ? r : -EBADMSG));
                                   return;
                               }
                               if (reply) reply(version);
                           });
}

void RNHelperToolProxy::eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                               EraseReply reply) {
    eraseWithAuthorization(authorization, itemsDictionary,
                           EraseReplyFrom([reply = std::move(reply)](const HelperError& error, const std::string&) {
                               if (reply) reply(error);
                           }));
}

void RNHelperToolProxy::eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                               EraseReplyFrom reply) {
    connection_.callHelper(
        common::kEraseMethod,
        authorizationAndRequest(authorization, itemsDictionary),
        kEraseReplyTimeoutUsec,
        [reply = std::move(reply), fail = errorHandler_](const HelperClientError& e, sd_bus_message* m) {
            if (e) {
                if (std::optional<HelperError> answer = helperAnswer(e)) {
                    if (reply) reply(*answer, std::string());
                } else if (fail) {
                    fail(e);
                }
                return;
            }
            const char* sender = sd_bus_message_get_sender(m);
            if (reply) reply(HelperError(), sender ? sender : "");
        });
}

void RNHelperToolProxy::restoreWithAuthorization(std::string_view authorization, std::string_view request,
                                                 RestoreReply reply) {
    connection_.callHelper(
        common::kRestoreMethod,
        authorizationAndRequest(authorization, request),
        kEraseReplyTimeoutUsec,
        [reply = std::move(reply), fail = errorHandler_](const HelperClientError& e, sd_bus_message* m) {
            if (e) {
                if (std::optional<HelperError> answer = helperAnswer(e)) {
                    if (reply) reply(*answer, {});
                } else if (fail) {
                    fail(e);
                }
                return;
            }
            std::vector<std::string> messages;
            int r = sd_bus_message_enter_container(m, 'a', "s");
            const char* text = nullptr;
            while (r >= 0 && (r = sd_bus_message_read(m, "s", &text)) > 0) messages.emplace_back(text ? text : "");
            if (r < 0) {
                if (fail) fail(HelperClientError::fromBusError(nullptr, r));
                return;
            }
            if (reply) reply(HelperError(), messages);
        });
}

std::vector<std::string> RNHelperToolProxy::unlockItemsWithArray(std::vector<std::string>) { return {}; }

void RNHelperToolProxy::setStoppedByUser(bool stopped) {
    connection_.callHelper(
        common::kSetStoppedByUserMethod, [stopped](sd_bus_message* m) { return sd_bus_message_append(m, "b", int(stopped)); },
        kStopTimeoutUsec, [fail = errorHandler_](const HelperClientError& e, sd_bus_message*) {
            if (e && fail) fail(e);
        });
}

}  // namespace quillo::helperclient
