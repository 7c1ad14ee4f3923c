// The rules of the automatic clean-up, as the preferences hold them, and the terminal's way of
// writing their values ("30d", "10G", "10%").
//
// GUI side: read the rules with RNCleanupRules::fromPreferences() (any thread; the defaults are
// registered by setupDefaultsPreferences()) and write single keys with RNUserDefaults as for any
// other preference. The preferences section edits the keys named in RNPreferences.h
// (kPrefAutoCleanup...); nothing here caches them, so a pass always sees the current values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::erase {

class RNUserDefaults;

struct RNCleanupRules {
    // Erase items trashed more than `olderThanDays` days ago.
    bool olderThanOn = false;
    uint32_t olderThanDays = 30;
    // Keep each volume's trash at or under `maxTrashBytes` (0 is a valid limit: nothing old
    // enough stays).
    bool maxTrashOn = false;
    uint64_t maxTrashBytes = 10'000'000'000ULL;
    // Keep at least this much free on each volume with a trash: `minFreePercent` of the volume
    // when `minFreeByPercent`, else `minFreeBytes`.
    bool minFreeOn = false;
    bool minFreeByPercent = true;
    double minFreePercent = 10;
    uint64_t minFreeBytes = 5'000'000'000ULL;
    // Under the size and free-space rules nothing younger than this goes.
    double minimumAgeDays = 1;
    // Items only the privileged helper could remove (and locked items) are erased through it
    // instead of being skipped.
    bool allowHelper = false;

    bool anyRuleOn() const { return olderThanOn || maxTrashOn || minFreeOn; }
    // The free space wanted on a volume of `totalBytes`.
    uint64_t minFreeTarget(uint64_t totalBytes) const;

    static RNCleanupRules fromPreferences();
    static RNCleanupRules fromPreferences(const RNUserDefaults& defaults);
    // Writes every rule value to the preferences (the terminal's `purge` never does; the
    // preferences section and tests may).
    void saveToPreferences(RNUserDefaults& defaults) const;
};

// "30d", "30" (days), "12h", "2w": whole days (hours round up to a day); nullopt when malformed.
std::optional<uint32_t> parseCleanupDays(std::string_view text);
// "10G", "500M", "1.5T", "4096", "10GB", "10GiB": bytes. Decimal units as the sizes shown
// everywhere else (1G = 10^9); "GiB" and friends are binary. nullopt when malformed or too big.
std::optional<uint64_t> parseCleanupBytes(std::string_view text);
// A free-space target: "5G" (bytes) or "10%" (of the volume, 0 to 100).
struct RNFreeTarget {
    bool byPercent = false;
    double percent = 0;
    uint64_t bytes = 0;
};
std::optional<RNFreeTarget> parseFreeTarget(std::string_view text);

}  // namespace quillo::erase
