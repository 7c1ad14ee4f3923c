#include "common/HelperRequest.h"

#include "files/Utf8.h"

#include <plist/plist.h>

#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>

namespace quillo::common {

// ---- PathList -----------------------------------------------------------------------------------

PathList::PathList(std::initializer_list<std::string_view> paths) {
    reserve(paths.size());
    for (std::string_view p : paths) push_back(p);
}

PathList::PathList(const std::vector<std::string>& paths) {
    reserve(paths.size());
    for (const std::string& p : paths) push_back(p);
}

bool PathList::push_back(std::string_view path) {
    if (path.size() > std::numeric_limits<uint32_t>::max() - bytes_.size()) return false;
    bytes_.append(path);
    ends_.push_back(uint32_t(bytes_.size()));
    return true;
}

void PathList::clear() {
    bytes_.clear();
    ends_.clear();
}

std::vector<std::string> PathList::toVector() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::string_view p : *this) out.emplace_back(p);
    return out;
}

bool operator==(const PathList& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < b.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

void PrintTo(const PathList& list, std::ostream* out) {
    *out << "{";
    for (std::size_t i = 0; i < list.size(); ++i) *out << (i ? ", \"" : "\"") << list[i] << "\"";
    *out << "}";
}

namespace {

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

constexpr char kCorrupt[] = "The data couldn't be read because it isn't in the correct format.";

plist_t pathArray(const PathList& paths) {
    plist_t array = plist_new_array();
    for (std::string_view path : paths) {
        plist_t item = isPropertyListText(path) ? plist_new_string(std::string(path).c_str())
                                                : plist_new_data(path.data(), path.size());
        plist_array_append_item(array, item);
    }
    return array;
}

// ---- The reader ---------------------------------------------------------------------------------

// What the encoder writes before the root element, exactly.
constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr std::string_view kDocumentType =
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">";

enum class Tag : uint8_t { Plist, Dict, Array, Key, String, Data, Integer, Real, Date, True, False };

bool tagFromName(std::string_view name, Tag& tag) {
    static constexpr std::pair<std::string_view, Tag> kNames[] = {
        {"plist", Tag::Plist}, {"dict", Tag::Dict},       {"array", Tag::Array}, {"key", Tag::Key},
        {"string", Tag::String}, {"data", Tag::Data},     {"integer", Tag::Integer}, {"real", Tag::Real},
        {"date", Tag::Date},   {"true", Tag::True},       {"false", Tag::False},
    };
    for (const auto& [n, t] : kNames)
        if (n == name) {
            tag = t;
            return true;
        }
    return false;
}

bool isContainer(Tag t) { return t == Tag::Dict || t == Tag::Array; }

constexpr int kPad = 64;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Text content with the five named references resolved (the encoder writes no other: bytes that
// are not plain text travel as <data>). The bytes are kept as they are otherwise: a path need not
// be UTF-8.
bool appendText(std::string_view raw, std::string& out, std::string& why) {
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t amp = raw.find('&', i);
        out.append(raw.substr(i, amp == std::string_view::npos ? std::string_view::npos : amp - i));
        if (amp == std::string_view::npos) break;
        const std::size_t semi = raw.find(';', amp);
        if (semi == std::string_view::npos || semi - amp > 12) {
            why = "a character reference is not closed";
            return false;
        }
        const std::string_view name = raw.substr(amp + 1, semi - amp - 1);
        if (name == "amp") out += '&';
        else if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else {
            why = "an unknown entity";
            return false;
        }
        i = semi + 1;
    }
    return true;
}

// Base64 as the encoder writes it in <data>: groups of four, padding only at the end, white
// space anywhere between.
bool appendBase64(std::string_view raw, std::string& out) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        if (c == '=') return kPad;
        return -1;
    };
    int quad[4];
    int have = 0;
    bool ended = false;
    for (char c : raw) {
        if (isSpace(c)) continue;
        const int v = value(c);
        if (v == -1 || ended) return false;
        quad[have++] = v;
        if (have < 4) continue;
        have = 0;
        if (quad[0] == kPad || quad[1] == kPad || (quad[2] == kPad && quad[3] != kPad)) return false;
        out += char((quad[0] << 2) | (quad[1] >> 4));
        if (quad[2] == kPad) {
            ended = true;
            continue;
        }
        out += char(((quad[1] & 0xF) << 4) | (quad[2] >> 2));
        if (quad[3] == kPad) {
            ended = true;
            continue;
        }
        out += char(((quad[2] & 0x3) << 6) | quad[3]);
    }
    return have == 0;
}

// An integer as the encoder writes it: decimal; a count past 2^63 as its negative 64-bit twin
// (the library writes integers signed), so "-1" is the largest count.
bool parseCount(std::string_view text, uint64_t& out) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t d = uint64_t(c - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    if (negative) {
        if (v == 0 || v > uint64_t(1) << 63) return false;
        v = ~v + 1;
    }
    out = v;
    return true;
}

// Where a value of the root dictionary goes.
enum class Field : uint8_t {
    Ignored, Unlock, Permissions, NotTrashed, ErasedSize, ErasedCount, RestoreUnlock, RestoreLock, RestoreMove,
    RestoreDestinations
};

class RequestReader {
public:
    explicit RequestReader(std::string_view xml) : in_(xml) {}

    bool read(HelperRequest& request, std::string& why) {
        request_ = &request;
        const bool ok = prolog() && body();
        if (!ok) why = why_;
        return ok;
    }

private:
    struct Open {
        Tag tag;
        bool valueNext = false;  // a dictionary that has read a key and waits for its value
    };

    bool fail(const char* why) {
        why_ = why;
        return false;
    }
    void skipSpace() {
        while (i_ < in_.size() && isSpace(in_[i_])) ++i_;
    }
    bool take(std::string_view s) {
        if (in_.substr(i_, s.size()) != s) return false;
        i_ += s.size();
        return true;
    }

    bool prolog() {
        take(kXmlDeclaration);
        skipSpace();
        take(kDocumentType);
        skipSpace();
        if (!take("<plist>") && !take("<plist version=\"1.0\">")) {
            if (in_.substr(i_, 6) == "<plist") return fail("attributes are not accepted");
            return i_ < in_.size() && in_[i_] == '<' ? markupRefusal() : fail("not a property list");
        }
        stack_[0] = Open{Tag::Plist};
        depth_ = 1;
        return true;
    }

    // Why the markup at i_ (a '<' that does not start a plain element) is refused.
    bool markupRefusal() {
        const std::string_view at = in_.substr(i_);
        if (at.substr(0, 4) == "<!--") return fail("comments are not accepted");
        if (at.substr(0, 9) == "<![CDATA[") return fail("CDATA sections are not accepted");
        if (at.substr(0, 2) == "<!") return fail("document types and declarations are not accepted");
        if (at.substr(0, 2) == "<?") return fail("processing instructions are not accepted");
        return fail("unknown markup");
    }

    // A tag at i_ (just past its '<'): its name, and whether it ends with "/>".
    bool tagName(std::string_view& name, bool& empty) {
        const std::size_t start = i_;
        while (i_ < in_.size() && in_[i_] >= 'a' && in_[i_] <= 'z') ++i_;
        name = in_.substr(start, i_ - start);
        if (i_ >= in_.size()) return fail("the request ends inside a tag");
        empty = false;
        if (in_[i_] == '/') {
            empty = true;
            ++i_;
        }
        if (i_ >= in_.size()) return fail("the request ends inside a tag");
        if (in_[i_] != '>') return fail(name.empty() ? "unknown markup" : "attributes are not accepted");
        ++i_;
        return true;
    }

    bool body() {
        for (;;) {
            skipSpace();
            if (i_ >= in_.size()) return fail("the request ends early");
            if (in_[i_] != '<') return fail("text outside a value");
            if (take("</")) {
                std::string_view name;
                bool empty = false;
                Tag tag = Tag::Plist;
                if (!tagName(name, empty) || empty) return empty ? fail("unknown markup") : false;
                if (!tagFromName(name, tag) || tag != stack_[depth_ - 1].tag) return fail("mismatched end tag");
                if (tag == Tag::Plist && !rootSeen_) return fail("the root is not a dictionary");
                if (tag == Tag::Dict && stack_[depth_ - 1].valueNext) return fail("a key without a value");
                --depth_;
                if (depth_ == 0) {
                    skipSpace();
                    return i_ == in_.size() ? true : fail("data after the end of the property list");
                }
                continue;
            }
            if (!element()) return false;
        }
    }

    // A start tag at i_ and, for a value that holds text, its text and end tag.
    bool element() {
        ++i_;
        if (i_ < in_.size() && (in_[i_] == '!' || in_[i_] == '?')) {
            --i_;
            return markupRefusal();
        }
        std::string_view name;
        bool empty = false;
        if (!tagName(name, empty)) return false;
        Tag tag = Tag::Plist;
        if (!tagFromName(name, tag) || tag == Tag::Plist) return fail("unknown element");
        // The level of this element: <plist> is level 1.
        if (depth_ + 1 > kMaxHelperRequestNesting) return fail("the request is nested too deeply");

        Open& parent = stack_[depth_ - 1];
        Field field = Field::Ignored;
        bool pathEntry = false;
        switch (parent.tag) {
        case Tag::Plist:
            if (rootSeen_) return fail("more than one root value");
            if (tag != Tag::Dict) return fail("the root is not a dictionary");
            rootSeen_ = true;
            break;
        case Tag::Dict:
            if (!parent.valueNext) {
                if (tag != Tag::Key) return fail("a dictionary value without a key");
            } else if (tag == Tag::Key) {
                return fail("a key without a value");
            }
            if (depth_ == 2 && parent.valueNext) field = current_;
            parent.valueNext = !parent.valueNext;
            break;
        case Tag::Array:
            if (tag == Tag::Key) return fail("a key outside a dictionary");
            pathEntry = depth_ == 3 && arrayTarget_ != nullptr;
            break;
        default:
            return fail("an element inside a value that holds text");
        }

        // The known keys' values must have their types.
        switch (field) {
        case Field::Unlock:
        case Field::Permissions:
        case Field::NotTrashed:
        case Field::RestoreUnlock:
        case Field::RestoreLock:
        case Field::RestoreMove:
        case Field::RestoreDestinations:
            if (tag != Tag::Array) return fail(notAn("is not an array"));
            arrayTarget_ = field == Field::Unlock          ? &request_->unlockItems
                           : field == Field::Permissions   ? &request_->permissionsItems
                           : field == Field::NotTrashed    ? &request_->notTrashedBecauseFolderNotEmpty
                           : field == Field::RestoreUnlock ? &request_->restoreUnlockItems
                           : field == Field::RestoreLock   ? &request_->restoreLockItems
                           : field == Field::RestoreMove   ? &request_->restoreMoveItems
                                                           : &request_->restoreMoveDestinations;
            arrayTarget_->clear();  // a repeated key: the last one counts
            arrayKey_ = currentName_;
            break;
        case Field::ErasedSize:
        case Field::ErasedCount:
            if (tag != Tag::Integer) return fail(notAn("is not an integer"));
            break;
        case Field::Ignored:
            if (depth_ == 2 && tag != Tag::Key) arrayTarget_ = nullptr;
            break;
        }
        if (pathEntry && tag != Tag::String && tag != Tag::Data) {
            why_ = "an entry of \"" + arrayKey_ + "\" is not a path";
            return false;
        }

        if (isContainer(tag)) {
            if (!empty) stack_[depth_++] = Open{tag};
            return true;
        }
        if (tag == Tag::True || tag == Tag::False) {
            if (!empty && !take(tag == Tag::True ? "</true>" : "</false>")) return fail("text in a boolean");
            return true;
        }
        // A value that holds text: the text runs to the next '<', which must be its end tag.
        std::string_view raw;
        if (!empty) {
            const std::size_t end = in_.find('<', i_);
            if (end == std::string_view::npos) return fail("the request ends inside a value");
            raw = in_.substr(i_, end - i_);
            i_ = end;
            if (!take("</") || !take(name) || !take(">")) {
                if (i_ + 1 < in_.size() && (in_[i_ + 1] == '!' || in_[i_ + 1] == '?')) return markupRefusal();
                return fail("an element inside a value that holds text");
            }
        }
        return leaf(tag, raw, field, pathEntry);
    }

    std::string notAn(const char* what) const { return "\"" + currentName_ + "\" " + what; }
    bool fail(const std::string& why) {
        why_ = why;
        return false;
    }

    bool leaf(Tag tag, std::string_view raw, Field field, bool pathEntry) {
        scratch_.clear();
        switch (tag) {
        case Tag::Key:
            if (!appendText(raw, scratch_, why_)) return false;
            // A NUL would end the key for other readers ("unlockItems\0x" is "unlockItems" to
            // them), so the request would mean one thing here and another there.
            if (scratch_.find('\0') != std::string::npos) return fail("a key with a NUL byte");
            if (depth_ == 2) {
                currentName_ = scratch_;
                current_ = currentName_ == kUnlockItemsKey                       ? Field::Unlock
                           : currentName_ == kPermissionsItemsKey                ? Field::Permissions
                           : currentName_ == kNotTrashedBecauseFolderNotEmptyKey ? Field::NotTrashed
                           : currentName_ == kErasedSizeKey                      ? Field::ErasedSize
                           : currentName_ == kErasedCountKey                     ? Field::ErasedCount
                           : currentName_ == kRestoreUnlockItemsKey              ? Field::RestoreUnlock
                           : currentName_ == kRestoreLockItemsKey                ? Field::RestoreLock
                           : currentName_ == kRestoreMoveItemsKey                ? Field::RestoreMove
                           : currentName_ == kRestoreMoveDestinationsKey         ? Field::RestoreDestinations
                                                                                 : Field::Ignored;
            }
            return true;
        case Tag::Data:
            if (!appendBase64(raw, scratch_)) return fail("data that is not base64");
            break;
        case Tag::Integer:
            if (!appendText(raw, scratch_, why_)) return false;
            if (field == Field::ErasedSize || field == Field::ErasedCount) {
                uint64_t& out = field == Field::ErasedSize ? request_->erasedSize : request_->erasedCount;
                if (!parseCount(scratch_, out)) return fail(notAn("is not an integer"));
            }
            return true;
        default:
            if (!appendText(raw, scratch_, why_)) return false;
            break;
        }
        if (pathEntry && !arrayTarget_->push_back(scratch_)) return fail("the request is too large");
        return true;
    }

    std::string_view in_;
    std::size_t i_ = 0;
    std::string why_;
    HelperRequest* request_ = nullptr;
    std::array<Open, kMaxHelperRequestNesting> stack_{};
    std::size_t depth_ = 0;  // elements open
    bool rootSeen_ = false;
    Field current_ = Field::Ignored;  // the root dictionary's last key
    std::string currentName_;
    PathList* arrayTarget_ = nullptr;  // the list the root's array being read fills
    std::string arrayKey_;
    std::string scratch_;
};

}  // namespace

bool isPropertyListText(std::string_view s) {
    // NUL would end a C string; a CR would come back from an XML reader as LF.
    return files::isXmlText(s, /*allowCarriageReturn=*/false);
}

std::optional<std::string> encodeHelperRequest(const HelperRequest& request) {
    PlistPtr dict(plist_new_dict());
    if (!request.unlockItems.empty())
        plist_dict_set_item(dict.get(), kUnlockItemsKey, pathArray(request.unlockItems));
    if (!request.permissionsItems.empty())
        plist_dict_set_item(dict.get(), kPermissionsItemsKey, pathArray(request.permissionsItems));
    if (!request.notTrashedBecauseFolderNotEmpty.empty())
        plist_dict_set_item(dict.get(), kNotTrashedBecauseFolderNotEmptyKey,
                            pathArray(request.notTrashedBecauseFolderNotEmpty));
    const std::pair<const char*, const PathList*> restoreLists[] = {
        {kRestoreUnlockItemsKey, &request.restoreUnlockItems},
        {kRestoreLockItemsKey, &request.restoreLockItems},
        {kRestoreMoveItemsKey, &request.restoreMoveItems},
        {kRestoreMoveDestinationsKey, &request.restoreMoveDestinations}};
    for (const auto& [key, list] : restoreLists)
        if (!list->empty()) plist_dict_set_item(dict.get(), key, pathArray(*list));
    plist_dict_set_item(dict.get(), kErasedSizeKey, plist_new_uint(request.erasedSize));
    plist_dict_set_item(dict.get(), kErasedCountKey, plist_new_uint(request.erasedCount));
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(dict.get(), &xml, &len);
    if (!xml) return std::nullopt;
    std::string text(xml, len);
    plist_to_xml_free(xml);
    return text;
}

std::optional<HelperRequest> decodeHelperRequest(std::string_view bytes, HelperError* error) {
    auto fail = [&](const std::string& why) -> std::optional<HelperRequest> {
        if (error) *error = HelperError::propertyList(std::string(kCorrupt) + " (" + why + ")");
        return std::nullopt;
    };
    if (bytes.empty()) return fail("no data");
    if (bytes.size() > kMaxHelperRequestBytes) return fail("the request is too large");
    HelperRequest request;
    std::string why;
    if (!RequestReader(bytes).read(request, why)) return fail(why);
    if (error) *error = HelperError();
    return request;
}

}  // namespace quillo::common
