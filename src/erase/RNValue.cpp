#include "erase/RNValue.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <strings.h>

namespace quillo::erase {

bool RNValue::isNumber() const {
    switch (type()) {
    case Type::Bool:
    case Type::Int:
    case Type::UInt:
    case Type::Double:
        return true;
    default:
        return false;
    }
}

bool RNValue::boolValue(bool def) const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_);
    case Type::Int:
        return std::get<std::int64_t>(v_) != 0;
    case Type::UInt:
        return std::get<std::uint64_t>(v_) != 0;
    case Type::Double:
        return std::get<double>(v_) != 0;
    case Type::String: {
        const std::string& s = std::get<std::string>(v_);
        if (strcasecmp(s.c_str(), "yes") == 0 || strcasecmp(s.c_str(), "true") == 0 || s == "1")
            return true;
        if (strcasecmp(s.c_str(), "no") == 0 || strcasecmp(s.c_str(), "false") == 0 || s == "0")
            return false;
        return def;
    }
    default:
        return def;
    }
}

std::int64_t RNValue::intValue(std::int64_t def) const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Type::Int:
        return std::get<std::int64_t>(v_);
    case Type::UInt: {
        std::uint64_t u = std::get<std::uint64_t>(v_);
        return u > std::uint64_t(std::numeric_limits<std::int64_t>::max()) ? def : std::int64_t(u);
    }
    case Type::Double: {
        double d = std::get<double>(v_);
        // Out-of-range conversion is undefined behaviour; NaN and huge values give the default.
        if (!(d >= -9.2e18 && d <= 9.2e18)) return def;
        return std::int64_t(d);
    }
    default:
        return def;
    }
}

std::uint64_t RNValue::uintValue(std::uint64_t def) const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Type::Int: {
        std::int64_t i = std::get<std::int64_t>(v_);
        return i < 0 ? def : std::uint64_t(i);
    }
    case Type::UInt:
        return std::get<std::uint64_t>(v_);
    case Type::Double: {
        double d = std::get<double>(v_);
        if (!(d >= 0 && d <= 1.8e19)) return def;
        return std::uint64_t(d);
    }
    default:
        return def;
    }
}

double RNValue::doubleValue(double def) const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Type::Int:
        return double(std::get<std::int64_t>(v_));
    case Type::UInt:
        return double(std::get<std::uint64_t>(v_));
    case Type::Double:
        return std::get<double>(v_);
    default:
        return def;
    }
}

std::string RNValue::stringValue(const std::string& def) const {
    const std::string* s = stringIf();
    return s ? *s : def;
}

RNValue::Data RNValue::dataValue() const {
    if (auto d = std::get_if<Data>(&v_)) return *d;
    if (auto s = stringIf()) return Data(s->begin(), s->end());
    return {};
}

RNValue::Array RNValue::arrayValue() const {
    const Array* a = arrayIf();
    return a ? *a : Array{};
}

RNValue::Dictionary RNValue::dictionaryValue() const {
    const Dictionary* d = dictionaryIf();
    return d ? *d : Dictionary{};
}

const RNValue& RNValue::null() {
    static const RNValue kNull;
    return kNull;
}

const RNValue& RNValue::lookup(const Dictionary& dict, const std::string& key) {
    auto it = dict.find(key);
    return it == dict.end() ? null() : it->second;
}

const RNValue& RNValue::operator[](const std::string& key) const {
    const Dictionary* d = dictionaryIf();
    return d ? lookup(*d, key) : null();
}

bool operator==(const RNValue& a, const RNValue& b) {
    using T = RNValue::Type;
    T ta = a.type(), tb = b.type();
    if ((ta == T::Int && tb == T::UInt) || (ta == T::UInt && tb == T::Int)) {
        std::int64_t i = ta == T::Int ? std::get<std::int64_t>(a.v_) : std::get<std::int64_t>(b.v_);
        std::uint64_t u = ta == T::UInt ? std::get<std::uint64_t>(a.v_) : std::get<std::uint64_t>(b.v_);
        return i >= 0 && std::uint64_t(i) == u;
    }
    if (ta != tb) return false;
    if (ta == T::Object)
        return std::get<std::shared_ptr<std::any>>(a.v_) == std::get<std::shared_ptr<std::any>>(b.v_);
    return a.v_ == b.v_;
}

std::string RNValue::description() const {
    std::ostringstream out;
    switch (type()) {
    case Type::Null:
        out << "null";
        break;
    case Type::Bool:
        out << (std::get<bool>(v_) ? "YES" : "NO");
        break;
    case Type::Int:
        out << std::get<std::int64_t>(v_);
        break;
    case Type::UInt:
        out << std::get<std::uint64_t>(v_) << "u";
        break;
    case Type::Double:
        out << std::get<double>(v_);
        break;
    case Type::String:
        out << '"' << std::get<std::string>(v_) << '"';
        break;
    case Type::Data:
        out << "<" << std::get<Data>(v_).size() << " bytes>";
        break;
    case Type::Array: {
        out << "(";
        const char* sep = "";
        for (const RNValue& v : std::get<Array>(v_)) {
            out << sep << v.description();
            sep = ", ";
        }
        out << ")";
        break;
    }
    case Type::Dictionary: {
        out << "{";
        const char* sep = "";
        for (const auto& [k, v] : std::get<Dictionary>(v_)) {
            out << sep << k << " = " << v.description();
            sep = "; ";
        }
        out << "}";
        break;
    }
    case Type::Object:
        out << "<object>";
        break;
    }
    return out.str();
}

}  // namespace quillo::erase
