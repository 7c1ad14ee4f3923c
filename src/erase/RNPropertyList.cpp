#include "erase/RNPropertyList.h"

#include "files/Utf8.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace quillo::erase {

namespace {

// Deeper nesting than this is not a preferences file; refusing it keeps the recursion bounded.
constexpr int kMaxDepth = 128;

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

bool fromNode(plist_t node, RNValue& out, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "nested too deeply";
        return false;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        out = RNValue(b != 0);
        return true;
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        out = RNValue(static_cast<long long>(static_cast<int64_t>(u)));
        return true;
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        out = RNValue(d);
        return true;
    }
    case PLIST_STRING: {
        char* s = nullptr;
        plist_get_string_val(node, &s);
        out = RNValue(std::string(s ? s : ""));
        std::free(s);
        return true;
    }
    case PLIST_DATA: {
        char* d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        RNValue::Data bytes(d, d + (d ? len : 0));
        std::free(d);
        out = RNValue(std::move(bytes));
        return true;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        out = RNValue(double(sec) + double(usec) / 1e6);
        return true;
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        out = RNValue(static_cast<unsigned long long>(u));
        return true;
    }
    case PLIST_ARRAY: {
        RNValue::Array array;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            RNValue item;
            if (!fromNode(plist_array_get_item(node, i), item, depth + 1, error)) return false;
            array.push_back(std::move(item));
        }
        out = RNValue(std::move(array));
        return true;
    }
    case PLIST_DICT: {
        RNValue::Dictionary dict;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = true;
        while (it) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            RNValue v;
            ok = fromNode(value, v, depth + 1, error);
            if (ok) dict[key ? key : ""] = std::move(v);
            std::free(key);
            if (!ok) break;
        }
        std::free(it);
        if (!ok) return false;
        out = RNValue(std::move(dict));
        return true;
    }
    default:
        error = "unknown value type";
        return false;
    }
}

plist_t toNode(const RNValue& v, int depth, std::string& error);

plist_t dictToNode(const RNValue::Dictionary& dict, int depth, std::string& error) {
    PlistPtr node(plist_new_dict());
    for (const auto& [key, value] : dict) {
        if (value.isNull()) continue;
        if (!RNPropertyListStringIsWritable(key)) {
            error = "key \"" + key + "\" is not valid text";
            return nullptr;
        }
        plist_t child = toNode(value, depth + 1, error);
        if (!child) {
            if (error.find("(in ") == std::string::npos) error += " (in \"" + key + "\")";
            return nullptr;
        }
        plist_dict_set_item(node.get(), key.c_str(), child);
    }
    return node.release();
}

plist_t toNode(const RNValue& v, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "nested too deeply";
        return nullptr;
    }
    using T = RNValue::Type;
    switch (v.type()) {
    case T::Null:
        error = "null value in an array";
        return nullptr;
    case T::Bool:
        return plist_new_bool(v.boolValue() ? 1 : 0);
    case T::Int:
        return plist_new_uint(static_cast<uint64_t>(v.intValue()));
    case T::UInt:
        return plist_new_uint(v.uintValue());
    case T::Double:
        return plist_new_real(v.doubleValue());
    case T::String: {
        const std::string& s = *v.stringIf();
        if (!RNPropertyListStringIsWritable(s)) {
            error = "string is not valid text";
            return nullptr;
        }
        return plist_new_string(s.c_str());
    }
    case T::Data: {
        RNValue::Data d = v.dataValue();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case T::Array: {
        PlistPtr node(plist_new_array());
        for (const RNValue& item : *v.arrayIf()) {
            plist_t child = toNode(item, depth + 1, error);
            if (!child) return nullptr;
            plist_array_append_item(node.get(), child);
        }
        return node.release();
    }
    case T::Dictionary:
        return dictToNode(*v.dictionaryIf(), depth, error);
    case T::Object:
        error = "an object cannot be stored";
        return nullptr;
    }
    return nullptr;
}

}  // namespace

bool RNPropertyListStringIsWritable(const std::string& s) {
    return files::isXmlText(s, /*allowCarriageReturn=*/true);
}

std::optional<RNDictionary> RNPropertyListReadDictionary(const std::string& bytes, std::string* error) {
    std::string why;
    if (bytes.empty()) why = "the file is empty";
    if (why.empty() && bytes.size() > std::numeric_limits<uint32_t>::max()) why = "the file is too large";
    if (!why.empty()) {
        if (error) *error = why;
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root) {
        if (error) *error = "not a property list";
        return std::nullopt;
    }
    if (plist_get_node_type(root.get()) != PLIST_DICT) {
        if (error) *error = "the property list is not a dictionary";
        return std::nullopt;
    }
    RNValue value;
    if (!fromNode(root.get(), value, 0, why)) {
        if (error) *error = why;
        return std::nullopt;
    }
    return value.dictionaryValue();
}

std::optional<std::string> RNPropertyListXMLFromDictionary(const RNDictionary& dict, std::string* error) {
    std::string why;
    PlistPtr root(dictToNode(dict, 0, why));
    if (!root) {
        if (error) *error = why;
        return std::nullopt;
    }
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(root.get(), &xml, &len);
    if (!xml) {
        if (error) *error = "the property list could not be written";
        return std::nullopt;
    }
    std::string text(xml, len);
    plist_to_xml_free(xml);
    return text;
}

}  // namespace quillo::erase
