#include "erase/RNCleanupRules.h"

#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace quillo::erase {

uint64_t RNCleanupRules::minFreeTarget(uint64_t totalBytes) const {
    if (!minFreeByPercent) return minFreeBytes;
    const double p = std::clamp(minFreePercent, 0.0, 100.0);
    return uint64_t(std::ceil(double(totalBytes) * p / 100.0));
}

RNCleanupRules RNCleanupRules::fromPreferences() { return fromPreferences(RNUserDefaults::standardUserDefaults()); }

RNCleanupRules RNCleanupRules::fromPreferences(const RNUserDefaults& d) {
    RNCleanupRules r;
    auto nonNegative = [](int64_t v) { return v < 0 ? uint64_t(0) : uint64_t(v); };
    r.olderThanOn = d.boolForKey(kPrefAutoCleanupOlderThan);
    r.olderThanDays = uint32_t(std::min<uint64_t>(nonNegative(d.integerForKey(kPrefAutoCleanupOlderThanDays)),
                                                  std::numeric_limits<uint32_t>::max()));
    r.maxTrashOn = d.boolForKey(kPrefAutoCleanupMaxTrash);
    r.maxTrashBytes = nonNegative(d.integerForKey(kPrefAutoCleanupMaxTrashBytes));
    r.minFreeOn = d.boolForKey(kPrefAutoCleanupMinFree);
    r.minFreeByPercent = d.boolForKey(kPrefAutoCleanupMinFreeByPercent);
    r.minFreePercent = std::clamp(d.doubleForKey(kPrefAutoCleanupMinFreePercent), 0.0, 100.0);
    r.minFreeBytes = nonNegative(d.integerForKey(kPrefAutoCleanupMinFreeBytes));
    // A negative or unreadable minimum age must not take the protection away entirely: the
    // preferences file may be edited by hand.
    const double age = d.doubleForKey(kPrefAutoCleanupMinimumAgeDays);
    r.minimumAgeDays = std::isfinite(age) && age >= 0 ? age : 1;
    r.allowHelper = d.boolForKey(kPrefAutoCleanupAllowHelper);
    return r;
}

void RNCleanupRules::saveToPreferences(RNUserDefaults& d) const {
    d.setBool(kPrefAutoCleanupOlderThan, olderThanOn);
    d.setInteger(kPrefAutoCleanupOlderThanDays, olderThanDays);
    d.setBool(kPrefAutoCleanupMaxTrash, maxTrashOn);
    d.setInteger(kPrefAutoCleanupMaxTrashBytes, int64_t(std::min<uint64_t>(maxTrashBytes, INT64_MAX)));
    d.setBool(kPrefAutoCleanupMinFree, minFreeOn);
    d.setBool(kPrefAutoCleanupMinFreeByPercent, minFreeByPercent);
    d.setObject(kPrefAutoCleanupMinFreePercent, RNValue(minFreePercent));
    d.setInteger(kPrefAutoCleanupMinFreeBytes, int64_t(std::min<uint64_t>(minFreeBytes, INT64_MAX)));
    d.setObject(kPrefAutoCleanupMinimumAgeDays, RNValue(minimumAgeDays));
    d.setBool(kPrefAutoCleanupAllowHelper, allowHelper);
}

namespace {

// A non-negative decimal number and the rest of the text.
std::optional<double> leadingNumber(std::string_view text, std::string_view& rest) {
    std::string s(text);
    if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.')) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || !std::isfinite(v) || v < 0) return std::nullopt;
    rest = text.substr(size_t(end - s.c_str()));
    return v;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace

std::optional<uint32_t> parseCleanupDays(std::string_view text) {
    std::string_view unit;
    auto v = leadingNumber(text, unit);
    if (!v) return std::nullopt;
    double days;
    if (unit.empty() || unit == "d") days = *v;
    else if (unit == "h") days = std::ceil(*v / 24.0);
    else if (unit == "w") days = *v * 7;
    else return std::nullopt;
    if (days > 1'000'000 || days != std::floor(days)) return std::nullopt;
    return uint32_t(days);
}

std::optional<uint64_t> parseCleanupBytes(std::string_view text) {
    std::string_view unit;
    auto v = leadingNumber(text, unit);
    if (!v) return std::nullopt;
    static constexpr struct {
        const char* name;
        double factor;
    } kUnits[] = {{"", 1},         {"b", 1},         {"k", 1e3},          {"kb", 1e3},        {"m", 1e6},
                  {"mb", 1e6},     {"g", 1e9},       {"gb", 1e9},         {"t", 1e12},        {"tb", 1e12},
                  {"kib", 1024.0}, {"mib", 1048576.0}, {"gib", 1073741824.0}, {"tib", 1099511627776.0}};
    for (const auto& u : kUnits) {
        if (!equalsIgnoringCase(unit, u.name)) continue;
        const double bytes = std::round(*v * u.factor);
        if (bytes >= 9.2e18) return std::nullopt;
        return uint64_t(bytes);
    }
    return std::nullopt;
}

std::optional<RNFreeTarget> parseFreeTarget(std::string_view text) {
    RNFreeTarget t;
    if (!text.empty() && text.back() == '%') {
        std::string_view rest;
        auto v = leadingNumber(text.substr(0, text.size() - 1), rest);
        if (!v || !rest.empty() || *v > 100) return std::nullopt;
        t.byPercent = true;
        t.percent = *v;
        return t;
    }
    auto bytes = parseCleanupBytes(text);
    if (!bytes) return std::nullopt;
    t.bytes = *bytes;
    return t;
}

}  // namespace quillo::erase
