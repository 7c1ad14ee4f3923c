#include "cli/Json.h"

#include "files/Utf8.h"

#include <cmath>
#include <cstdio>

namespace quillo::cli {

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    char buf[8];
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t len = files::utf8SequenceLength(s, i);
        if (len == 0) {
            std::snprintf(buf, sizeof buf, "\\udc%02x", c);
            out += buf;
            ++i;
            continue;
        }
        if (len > 1) {
            out.append(s.substr(i, len));
            i += len;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
        ++i;
    }
    return out + "\"";
}

JsonObject& JsonObject::raw(std::string_view key, const std::string& value) {
    if (!body_.empty()) body_ += ",";
    body_ += jsonString(key) + ":" + value;
    return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view value) { return raw(key, jsonString(value)); }
JsonObject& JsonObject::add(std::string_view key, uint64_t value) { return raw(key, std::to_string(value)); }
JsonObject& JsonObject::add(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
JsonObject& JsonObject::add(std::string_view key, double value) {
    if (!std::isfinite(value)) return raw(key, "0");
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    return raw(key, buf);
}

}  // namespace quillo::cli
