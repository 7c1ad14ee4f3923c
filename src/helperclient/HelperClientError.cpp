#include "helperclient/HelperClientError.h"

#include "erase/RNErrorDelegate.h"
#include "util/Localization.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace quillo::helperclient {

using common::HelperError;
using util::RNLocalizedString;

HelperClientError HelperClientError::osStatus(int code, std::string text) {
    return HelperClientError{Domain::OSStatus, code, std::move(text), {}};
}

HelperClientError HelperClientError::install(int code, std::string text) {
    return HelperClientError{Domain::Install, code, std::move(text), {}};
}

HelperClientError HelperClientError::bus(std::string name, std::string text, int code) {
    return HelperClientError{Domain::Bus, code, std::move(text), std::move(name)};
}

HelperClientError HelperClientError::fromHelperError(const HelperError& error) {
    switch (error.domain) {
        case HelperError::Domain::None:
            return {};
        case HelperError::Domain::OSStatus:
            return osStatus(error.code, error.message);
        case HelperError::Domain::PropertyList:
            return HelperClientError{Domain::PropertyList, error.code, error.message, {}};
    }
    return {};
}

HelperClientError HelperClientError::fromBusError(const sd_bus_error* error, int r) {
    if (error && sd_bus_error_is_set(error)) {
        const std::string name = error->name;
        const std::string text = error->message ? error->message : "";
        if (auto ours = HelperError::fromBusError(name, text)) return fromHelperError(*ours);
        int code = sd_bus_error_get_errno(error);
        return bus(name, text.empty() ? name : text, code);
    }
    const int err = r < 0 ? -r : r;
    return bus("org.freedesktop.DBus.Error.Failed", std::strerror(err), err);
}

std::string HelperClientError::domainName() const {
    switch (domain) {
        case Domain::None:
            return "";
        case Domain::OSStatus:
            return "OSStatus";
        case Domain::PropertyList:
            return "PropertyList";
        case Domain::Bus:
            return busName;
        case Domain::Install:
            return "Install";
    }
    return "";
}

std::string HelperClientError::description() const {
    if (!*this) return "";
    return domainName() + " " + std::to_string(code) + ": " + message;
}

std::string HelperClientError::localizedDescription() const {
    using erase::RNErrorDelegate;
    auto fill = [](const char* key, std::vector<std::string> names) {
        return RNErrorDelegate::replaceContentOfString(RNLocalizedString(key, "Errors"), names);
    };
    switch (domain) {
        case Domain::None:
            return "";
        case Domain::OSStatus:
            if (code == common::kErrAuthorizationDenied) return RNLocalizedString("user_not_authorized", "Errors");
            if (code == common::kErrAuthorizationCanceled) return RNLocalizedString("helper_authorization_canceled", "Errors");
            return fill("helper_error_status", {std::to_string(code), message});
        case Domain::PropertyList:
            return fill("helper_request_error", {message});
        case Domain::Bus:
            return fill("helper_connection_error", {message});
        case Domain::Install:
            return fill("helper_install_error", {message});
    }
    return "";
}

}  // namespace quillo::helperclient
