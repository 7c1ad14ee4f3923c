#include "files/Utf8.h"

namespace quillo::files {

std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    if (i >= s.size()) return 0;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, lo = 0xA0;
    else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) len = 3;
    else if (c == 0xED) len = 3, hi = 0x9F;
    else if (c == 0xF0) len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) len = 4, hi = 0x8F;
    if (len == 0 || i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char d = static_cast<unsigned char>(s[i + k]);
        if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) return 0;
    }
    return len;
}

std::string displayText(std::string_view s, std::string_view replacement, bool replaceControls) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = utf8SequenceLength(s, i);
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const bool control = len == 1 ? (c < 0x20 || c == 0x7F)
                                      : len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F;
        if (len == 0) {
            out += replacement;
            ++i;  // what follows may start a valid character of its own
        } else if (replaceControls && control) {
            out += replacement;
            i += len;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string escapedText(std::string_view s, bool escapeControls) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t len = utf8SequenceLength(s, i);
        if (len == 0 || (escapeControls && len == 1 && (c < 0x20 || c == 0x7F))) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            ++i;  // only this byte: what follows may be valid again
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

bool isXmlText(std::string_view s, bool allowCarriageReturn) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = utf8SequenceLength(s, i);
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (len == 0) return false;
        if (len == 1 && c < 0x20 && c != '\t' && c != '\n' && !(allowCarriageReturn && c == '\r')) return false;
        // U+FFFE and U+FFFF: EF BF BE / EF BF BF.
        if (len == 3 && c == 0xEF && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
            static_cast<unsigned char>(s[i + 2]) >= 0xBE)
            return false;
        i += len;
    }
    return true;
}

}  // namespace quillo::files
