#include "cli/Json.h"

#include "files/Utf8.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace quillo::cli {

namespace {
// Plain printable ASCII needs no escape: whole runs of it are copied at once (names and paths
// are mostly such runs, and a listing writes thousands).
bool plain(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }
}  // namespace

void appendJsonString(std::string& out, std::string_view s) {
    out += '"';
    char buf[8];
    for (size_t i = 0; i < s.size();) {
        size_t run = i;
        while (run < s.size() && plain((unsigned char)s[run])) ++run;
        if (run > i) {
            out.append(s.data() + i, run - i);
            i = run;
            continue;
        }
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
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
        ++i;
    }
    out += '"';
}

std::string jsonString(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    appendJsonString(out, s);
    return out;
}

JsonObject& JsonObject::key(std::string_view key) {
    body_ += body_.empty() ? '{' : ',';
    appendJsonString(body_, key);
    body_ += ':';
    return *this;
}

JsonObject& JsonObject::raw(std::string_view k, std::string_view value) {
    key(k);
    body_ += value;
    return *this;
}

JsonObject& JsonObject::add(std::string_view k, std::string_view value) {
    key(k);
    appendJsonString(body_, value);
    return *this;
}

JsonObject& JsonObject::add(std::string_view k, uint64_t value) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    return raw(k, std::string_view(buf, size_t(end - buf)));
}

JsonObject& JsonObject::add(std::string_view k, bool value) { return raw(k, value ? "true" : "false"); }

JsonObject& JsonObject::add(std::string_view k, double value) {
    if (!std::isfinite(value)) return raw(k, "0");
    // The shortest text that reads back as the same number.
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    return raw(k, std::string_view(buf, size_t(end - buf)));
}

std::string JsonObject::str() const { return body_.empty() ? "{}" : body_ + "}"; }

void JsonObject::appendTo(std::string& out) const {
    if (body_.empty()) out += "{}";
    else {
        out += body_;
        out += '}';
    }
}

}  // namespace quillo::cli
