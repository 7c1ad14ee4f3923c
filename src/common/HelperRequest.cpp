#include "common/HelperRequest.h"

#include "files/Utf8.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace quillo::common {

namespace {

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

constexpr char kCorrupt[] = "The data couldn't be read because it isn't in the correct format.";

plist_t pathArray(const std::vector<std::string>& paths) {
    plist_t array = plist_new_array();
    for (const std::string& path : paths) {
        plist_t item = isPropertyListText(path) ? plist_new_string(path.c_str())
                                                : plist_new_data(path.data(), path.size());
        plist_array_append_item(array, item);
    }
    return array;
}

bool readPathArray(plist_t dict, const char* key, std::vector<std::string>& out, std::string& why) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node) return true;
    if (plist_get_node_type(node) != PLIST_ARRAY) {
        why = std::string("\"") + key + "\" is not an array";
        return false;
    }
    const uint32_t n = plist_array_get_size(node);
    out.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        plist_t item = plist_array_get_item(node, i);
        switch (item ? plist_get_node_type(item) : PLIST_NONE) {
        // The pointer accessors, not the copying getters: the library's string getter asserts
        // (aborts the process) on a string holding a NUL byte, which crafted XML can produce.
        // Such a path is kept whole here and refused later like any malformed path.
        case PLIST_STRING: {
            uint64_t len = 0;
            const char* s = plist_get_string_ptr(item, &len);
            out.emplace_back(s ? std::string(s, len) : std::string());
            break;
        }
        case PLIST_DATA: {
            uint64_t len = 0;
            const char* d = plist_get_data_ptr(item, &len);
            out.emplace_back(d ? std::string(d, len) : std::string());
            break;
        }
        default:
            why = std::string("an entry of \"") + key + "\" is not a path";
            return false;
        }
    }
    return true;
}

bool readCount(plist_t dict, const char* key, uint64_t& out, std::string& why) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node) return true;
    if (plist_get_node_type(node) != PLIST_UINT) {
        why = std::string("\"") + key + "\" is not an integer";
        return false;
    }
    plist_get_uint_val(node, &out);
    return true;
}

// Whether the element nesting of `xml` stays within `limit`, by a scan of its tags that reads
// the markup the way the property-list reader does: comments end at the first "-->", CDATA at
// the first "]]>", processing instructions at the first "?>", a tag at the first '>' (empty when
// the character before it is '/'). Anything the reader would read differently is refused rather
// than guessed at: a document type with an internal subset and any other "<!" construct. An
// unterminated construct is refused too (the reader fails on it anyway).
bool nestingWithin(std::string_view xml, size_t limit, std::string& why) {
    size_t depth = 0;
    size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        const size_t at = xml.find(end, i);
        if (at == std::string_view::npos) return false;
        i = at + end.size();
        return true;
    };
    auto startsWith = [&](std::string_view s) { return xml.substr(i, s.size()) == s; };
    while ((i = xml.find('<', i)) != std::string_view::npos) {
        ++i;
        bool closed = true;
        if (startsWith("?")) {
            closed = skipPast("?>");
        } else if (startsWith("!--")) {
            i += 3;
            closed = skipPast("-->");
        } else if (startsWith("![CDATA[")) {
            i += 8;
            closed = skipPast("]]>");
        } else if (startsWith("!DOCTYPE")) {
            const size_t end = xml.find_first_of("[>", i);
            if (end == std::string_view::npos || xml[end] == '[') {
                why = "a document type with an internal subset is not accepted";
                return false;
            }
            i = end + 1;
        } else if (startsWith("!")) {
            why = "unknown markup";
            return false;
        } else if (startsWith("/")) {
            if (depth > 0) --depth;
            closed = skipPast(">");
        } else {
            const size_t end = xml.find_first_of("<>", i);
            if (end == std::string_view::npos || xml[end] == '<') {
                closed = false;
            } else {
                if (xml[end - 1] != '/' && ++depth > limit) {
                    why = "the request is nested too deeply";
                    return false;
                }
                i = end + 1;
            }
        }
        if (!closed) {
            why = "unterminated markup";
            return false;
        }
    }
    return true;
}

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
    // Only the XML form is read: the request is always written as XML, and the binary reader
    // is attack surface a root process does not need.
    if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())))
        return fail("not an XML property list");
    if (std::string why; !nestingWithin(bytes, kMaxHelperRequestNesting, why)) return fail(why);
    // The reader gets its own NUL-terminated copy, so nothing past the end can ever be read.
    const std::string text(bytes);
    plist_t raw = nullptr;
    plist_from_xml(text.c_str(), static_cast<uint32_t>(text.size()), &raw);
    PlistPtr root(raw);
    if (!root) return fail("not a property list");
    if (plist_get_node_type(root.get()) != PLIST_DICT) return fail("the root is not a dictionary");

    HelperRequest request;
    std::string why;
    if (!readPathArray(root.get(), kUnlockItemsKey, request.unlockItems, why) ||
        !readPathArray(root.get(), kPermissionsItemsKey, request.permissionsItems, why) ||
        !readPathArray(root.get(), kNotTrashedBecauseFolderNotEmptyKey, request.notTrashedBecauseFolderNotEmpty, why) ||
        !readCount(root.get(), kErasedSizeKey, request.erasedSize, why) ||
        !readCount(root.get(), kErasedCountKey, request.erasedCount, why))
        return fail(why);
    if (error) *error = HelperError();
    return request;
}

}  // namespace quillo::common
