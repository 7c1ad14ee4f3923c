// An error on the application's side of the privileged helper: what the helper answered
// (OSStatus, property list), what the bus said (no helper, no reply, connection lost), or why
// installing it failed. Empty (Domain::None) means success.
#pragma once

#include "common/HelperBus.h"

#include <systemd/sd-bus.h>

#include <string>

namespace quillo::helperclient {

struct HelperClientError {
    enum class Domain { None, OSStatus, PropertyList, Bus, Install };
    Domain domain = Domain::None;
    int code = 0;
    std::string message;  // the raw text (the helper's, the bus's or the installer's)
    std::string busName;  // Domain::Bus: the D-Bus error name

    explicit operator bool() const { return domain != Domain::None; }

    static HelperClientError osStatus(int code, std::string text);
    static HelperClientError install(int code, std::string text);
    static HelperClientError bus(std::string name, std::string text, int code);
    static HelperClientError fromHelperError(const common::HelperError& error);
    // A D-Bus error reply or a local failure (`r` < 0, the negative errno): the helper's own
    // error names become OSStatus/PropertyList errors, everything else a Bus error.
    static HelperClientError fromBusError(const sd_bus_error* error, int r);

    // The domain as the logs name it ("OSStatus", "PropertyList", the D-Bus error name,
    // "Install").
    std::string domainName() const;
    // Domain, code and text in one line, for the logs and the version field.
    std::string description() const;
    // The text shown to the user (from the "Errors" table).
    std::string localizedDescription() const;
};

}  // namespace quillo::helperclient
