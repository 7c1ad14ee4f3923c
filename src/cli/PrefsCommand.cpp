#include "cli/Commands.h"
#include "erase/RNCleanupRules.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace quillo::cli {

using namespace quillo::erase;

namespace {

std::string show(const RNValue& v) {
    switch (v.type()) {
    case RNValue::Type::Bool: return v.boolValue() ? "yes" : "no";
    case RNValue::Type::String: return "\"" + v.stringValue() + "\"";
    case RNValue::Type::Dictionary: {
        std::string out = "{";
        for (const auto& [k, x] : *v.dictionaryIf()) out += (out.size() > 1 ? ", " : "") + k + ": " + show(x);
        return out + "}";
    }
    default: return v.description();
    }
}

std::optional<RNValue> parseLike(const RNValue& like, const std::string& text, std::string& why) {
    switch (like.type()) {
    case RNValue::Type::Bool:
        if (text == "yes" || text == "true" || text == "1" || text == "on") return RNValue(true);
        if (text == "no" || text == "false" || text == "0" || text == "off") return RNValue(false);
        why = cli::text("cli_pref_expects_yes_no");
        return std::nullopt;
    case RNValue::Type::Int:
    case RNValue::Type::UInt: {
        char* end = nullptr;
        errno = 0;
        long long n = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end || errno == ERANGE || n < 0 || n > 32767) {
            why = cli::text("cli_pref_expects_number");
            return std::nullopt;
        }
        return RNValue(n);
    }
    case RNValue::Type::String: return RNValue(text);
    case RNValue::Type::Dictionary: {
        // A hot key: "KEYCODE,MODIFIERS" as Qt key and modifier values.
        size_t comma = text.find(',');
        char *e1 = nullptr, *e2 = nullptr;
        if (comma != std::string::npos) {
            std::string a = text.substr(0, comma), b = text.substr(comma + 1);
            long long key = std::strtoll(a.c_str(), &e1, 0), mods = std::strtoll(b.c_str(), &e2, 0);
            if (!a.empty() && !b.empty() && !*e1 && !*e2 && key >= 0 && mods >= 0)
                return RNValue(RNDictionary{{kHotKeyCode, key}, {kHotKeyModifierFlags, mods}});
        }
        why = cli::text("cli_pref_expects_hot_key");
        return std::nullopt;
    }
    default: why = cli::text("cli_pref_read_only"); return std::nullopt;
    }
}

}  // namespace

int prefsCommand(const std::vector<std::string>& args) {
    setupDefaultsPreferences();
    auto& defaults = RNUserDefaults::standardUserDefaults();
    const RNDictionary registered = defaultValues();
    if (args.size() > 2) {
        std::cerr << usageLine("quillo-cli prefs [KEY [VALUE]]");
        return 2;
    }
    if (args.empty()) {
        for (const auto& [key, def] : registered) std::cout << key << " = " << show(defaults.objectForKey(key)) << "\n";
        return 0;
    }
    const std::string& key = args[0];
    auto it = registered.find(key);
    if (it == registered.end()) {
        std::cerr << "quillo-cli: " << text("cli_unknown_preference", {key}) << "\n";
        return 2;
    }
    if (args.size() == 1) {
        std::cout << show(defaults.objectForKey(key)) << "\n";
        return 0;
    }
    std::string why;
    std::optional<RNValue> value;
    if (key.ends_with("_bytes")) {
        // The clean-up's sizes: "10G" as well as a plain number of bytes.
        if (auto bytes = parseCleanupBytes(args[1])) value = RNValue(static_cast<long long>(*bytes));
        else why = "expects a size: 10G, 500M or a number of bytes";
    } else {
        value = parseLike(it->second, args[1], why);
    }
    if (!value) {
        std::cerr << "quillo-cli: " << key << " " << why << "\n";
        return 2;
    }
    if (!defaults.setObject(key, *value)) {
        std::cerr << "quillo-cli: " << text("cli_prefs_not_saved", {defaults.path()}) << "\n";
        return 1;
    }
    return 0;
}

}  // namespace quillo::cli
