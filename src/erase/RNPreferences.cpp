#include "erase/RNPreferences.h"

#include <atomic>

namespace quillo::erase {

namespace {
std::atomic<bool> gIsHelperAuthorized{false};

RNDictionary hotKey(std::int64_t keyCode, std::int64_t modifierFlags) {
    return {{kHotKeyCode, RNValue(static_cast<long long>(keyCode))},
            {kHotKeyModifierFlags, RNValue(static_cast<long long>(modifierFlags))}};
}
}  // namespace

RNDictionary defaultEmptyTrashHotKey() {
    return hotKey(kQtKeyBackspace, kQtControlModifier | kQtMetaModifier);
}

RNDictionary defaultLumoDeleteHotKey() { return hotKey(kQtKeyS, kQtShiftModifier | kQtMetaModifier); }

void defaultGeneralPreferences(RNDictionary& dict) {
    dict[kPrefEmptyTrash] = defaultEmptyTrashHotKey();
    dict[kPrefLumoDelete] = defaultLumoDeleteHotKey();
    dict[kPrefLaunchAtLogin] = false;
    dict[kPrefWriteLog] = true;
    dict[kPrefHowManyDaysForNewLogFile] = 7;
    dict[kPrefShowAlert] = true;
    dict[kPrefDeleteLocked] = false;
    dict[kPrefLumoDeleteWindow] = "";
}

void defaultAutoCleanupPreferences(RNDictionary& dict) {
    dict[kPrefAutoCleanupOlderThan] = false;
    dict[kPrefAutoCleanupOlderThanDays] = 30;
    dict[kPrefAutoCleanupMaxTrash] = false;
    dict[kPrefAutoCleanupMaxTrashBytes] = RNValue(static_cast<long long>(10'000'000'000LL));
    dict[kPrefAutoCleanupMinFree] = false;
    dict[kPrefAutoCleanupMinFreeByPercent] = true;
    dict[kPrefAutoCleanupMinFreePercent] = 10;
    dict[kPrefAutoCleanupMinFreeBytes] = RNValue(static_cast<long long>(5'000'000'000LL));
    dict[kPrefAutoCleanupMinimumAgeDays] = 1;
    dict[kPrefAutoCleanupAllowHelper] = false;
}

RNDictionary defaultValues() {
    RNDictionary dict;
    dict[kPrefShowInstallHelperTool] = false;
    dict[kPrefNewsletterSubscribed] = false;
    dict[kPrefIsFirstRun] = true;
    defaultGeneralPreferences(dict);
    defaultAutoCleanupPreferences(dict);
    return dict;
}

void setupDefaultsPreferences(RNUserDefaults& defaults, RNUserDefaultsController& controller) {
    RNDictionary values = defaultValues();
    defaults.registerDefaults(values);
    controller.setInitialValues({{kPrefShowInstallHelperTool, values[kPrefShowInstallHelperTool]}});
}

void setupDefaultsPreferences() {
    setupDefaultsPreferences(RNUserDefaults::standardUserDefaults(),
                             RNUserDefaultsController::sharedUserDefaultsController());
}

void revertToInitialValuesInDictionary(const RNDictionary& values, RNUserDefaults& defaults) {
    std::optional<RNDictionary> persistent = defaults.persistentDomain();
    if (!persistent) return;
    RNDictionary registration = defaults.registrationDomain();
    for (const auto& [key, value] : values) {
        if (auto it = persistent->find(key); it != persistent->end()) it->second = value;
        if (auto it = registration.find(key); it != registration.end()) it->second = value;
    }
    defaults.setPersistentDomain(*persistent);
    defaults.setRegistrationDomain(registration);
}

void revertToInitialValuesInDictionary(const RNDictionary& values) {
    revertToInitialValuesInDictionary(values, RNUserDefaults::standardUserDefaults());
}

bool IsHelperAuthorized() { return gIsHelperAuthorized.load(); }

void SetIsHelperAuthorized(bool authorized) { gIsHelperAuthorized.store(authorized); }

}  // namespace quillo::erase
