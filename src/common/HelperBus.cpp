#include "common/HelperBus.h"

#include <charconv>

namespace quillo::common {

HelperError HelperError::osStatus(int code, std::string text) {
    return HelperError{Domain::OSStatus, code, std::move(text)};
}

HelperError HelperError::propertyList(std::string text, int code) {
    return HelperError{Domain::PropertyList, code, std::move(text)};
}

const char* HelperError::busErrorName() const {
    switch (domain) {
    case Domain::OSStatus:
        return kOSStatusErrorName;
    case Domain::PropertyList:
        return kPropertyListErrorName;
    case Domain::None:
        break;
    }
    return "";
}

std::string HelperError::busErrorMessage() const {
    if (domain == Domain::OSStatus) return formatOSStatusMessage(code, message);
    return message;
}

std::optional<HelperError> HelperError::fromBusError(std::string_view name, std::string_view message) {
    if (name == kOSStatusErrorName) {
        std::optional<int> status = osStatusFromMessage(message);
        std::string_view text = message;
        if (status) {
            size_t colon = message.find(": ");
            text = colon == std::string_view::npos ? std::string_view() : message.substr(colon + 2);
        }
        return osStatus(status.value_or(kOSStatusParamErr), std::string(text));
    }
    if (name == kPropertyListErrorName) return propertyList(std::string(message));
    return std::nullopt;
}

std::string formatOSStatusMessage(int status, std::string_view text) {
    std::string out = std::to_string(status);
    out += ": ";
    out += text;
    return out;
}

std::optional<int> osStatusFromMessage(std::string_view message) {
    size_t colon = message.find(':');
    std::string_view number = message.substr(0, colon);
    int value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size() || number.empty()) return std::nullopt;
    return value;
}

}  // namespace quillo::common
