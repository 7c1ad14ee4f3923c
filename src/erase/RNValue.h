// The values that cross components: notification user info, erase requests, preferences.
// A small tagged union of the property-list kinds (null, bool, integers, double, string, data,
// array, dictionary) plus an opaque shared object, for records and windows that travel inside a
// dictionary but are never written to disk.
//
// Strings are byte strings: a path that is not valid UTF-8 is carried unchanged.
#pragma once

#include <any>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillo::erase {

class RNValue {
public:
    enum class Type { Null, Bool, Int, UInt, Double, String, Data, Array, Dictionary, Object };

    using Array = std::vector<RNValue>;
    using Dictionary = std::map<std::string, RNValue>;
    using Data = std::vector<std::uint8_t>;

    RNValue() = default;
    RNValue(std::nullptr_t) {}
    RNValue(bool v) : v_(v) {}
    RNValue(int v) : v_(std::int64_t(v)) {}
    RNValue(long v) : v_(std::int64_t(v)) {}
    RNValue(long long v) : v_(std::int64_t(v)) {}
    RNValue(unsigned v) : v_(std::uint64_t(v)) {}
    RNValue(unsigned long v) : v_(std::uint64_t(v)) {}
    RNValue(unsigned long long v) : v_(std::uint64_t(v)) {}
    RNValue(double v) : v_(v) {}
    RNValue(const char* v) : v_(std::string(v ? v : "")) {}
    RNValue(char* v) : RNValue(static_cast<const char*>(v)) {}
    // Any other pointer would silently turn into a bool; carry objects with object().
    template <class T>
    RNValue(T*) = delete;
    RNValue(std::string v) : v_(std::move(v)) {}
    RNValue(Data v) : v_(std::move(v)) {}
    RNValue(Array v) : v_(std::move(v)) {}
    RNValue(Dictionary v) : v_(std::move(v)) {}

    // An opaque object (a record, a window handle). Copies share the object; two object values
    // are equal only when they hold the very same object.
    template <class T>
    static RNValue object(T value) {
        RNValue r;
        r.v_ = std::make_shared<std::any>(std::move(value));
        return r;
    }

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isNumber() const;  // Bool, Int, UInt or Double
    bool isString() const { return type() == Type::String; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed reads. Numbers convert between each other (a bool reads as 0/1, a non-zero number
    // as true); a string "YES"/"true"/"1" reads as true, as in property lists written by hand.
    // Anything else gives the default.
    bool boolValue(bool def = false) const;
    std::int64_t intValue(std::int64_t def = 0) const;
    std::uint64_t uintValue(std::uint64_t def = 0) const;  // negative numbers give the default
    double doubleValue(double def = 0) const;
    std::string stringValue(const std::string& def = {}) const;
    Data dataValue() const;  // data, or a string's bytes; empty otherwise

    // Pointers into the value, nullptr when it is of another kind.
    const std::string* stringIf() const { return std::get_if<std::string>(&v_); }
    const Array* arrayIf() const { return std::get_if<Array>(&v_); }
    const Dictionary* dictionaryIf() const { return std::get_if<Dictionary>(&v_); }
    Array* arrayIf() { return std::get_if<Array>(&v_); }
    Dictionary* dictionaryIf() { return std::get_if<Dictionary>(&v_); }
    template <class T>
    const T* objectIf() const {
        auto p = std::get_if<std::shared_ptr<std::any>>(&v_);
        return p && *p ? std::any_cast<T>(p->get()) : nullptr;
    }

    // Copies (empty when of another kind).
    Array arrayValue() const;
    Dictionary dictionaryValue() const;

    // Dictionary member, or a null value when this is not a dictionary or has no such key.
    const RNValue& operator[](const std::string& key) const;
    // The same for a plain dictionary.
    static const RNValue& lookup(const Dictionary& dict, const std::string& key);
    static const RNValue& null();

    // Numbers compare by value across Int/UInt (5 == 5u): a value read back from a file must
    // equal the one that was written.
    friend bool operator==(const RNValue& a, const RNValue& b);
    friend bool operator!=(const RNValue& a, const RNValue& b) { return !(a == b); }

    // A short readable form for logs and test failures.
    std::string description() const;

private:
    std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Data, Array,
                 Dictionary, std::shared_ptr<std::any>>
        v_;
};

using RNDictionary = RNValue::Dictionary;
using RNArray = RNValue::Array;

}  // namespace quillo::erase
