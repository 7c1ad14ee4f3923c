// Every preferences key of the application and its factory default, shared by the tray app and
// the terminal tool, and the process-wide "helper may be used" flag.
#pragma once

#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "erase/RNValue.h"

#include <cstdint>

namespace quillo::erase {

// Preferences keys.
inline constexpr const char* kPrefEmptyTrash = "empty_trash";
inline constexpr const char* kPrefLumoDelete = "lumo_delete";
inline constexpr const char* kPrefLaunchAtLogin = "launch_at_login";
inline constexpr const char* kPrefWriteLog = "write_log";
inline constexpr const char* kPrefHowManyDaysForNewLogFile = "how_many_days_for_new_log_file";
inline constexpr const char* kPrefShowAlert = "show_alert";
inline constexpr const char* kPrefDeleteLocked = "delete_locked";
inline constexpr const char* kPrefLumoDeleteWindow = "lumo_delete_window";
// The trashes (by their files/ folder, in display form) whose list hides the original location.
inline constexpr const char* kPrefLumoHiddenOriginalLocation = "lumo_hidden_original_location";
inline constexpr const char* kPrefShowInstallHelperTool = "show_install_helper_tool";
inline constexpr const char* kPrefNewsletterSubscribed = "newsletter_subscribed";
inline constexpr const char* kPrefIsFirstRun = "is_first_run";
// Automatic clean-up (RNCleanupRules.h). Each rule has its own switch, since 0 is a valid value.
inline constexpr const char* kPrefAutoCleanupOlderThan = "auto_cleanup_older_than";
inline constexpr const char* kPrefAutoCleanupOlderThanDays = "auto_cleanup_older_than_days";
inline constexpr const char* kPrefAutoCleanupMaxTrash = "auto_cleanup_max_trash";
inline constexpr const char* kPrefAutoCleanupMaxTrashBytes = "auto_cleanup_max_trash_bytes";
inline constexpr const char* kPrefAutoCleanupMinFree = "auto_cleanup_min_free";
// true: the target is auto_cleanup_min_free_percent of the volume; false: _bytes.
inline constexpr const char* kPrefAutoCleanupMinFreeByPercent = "auto_cleanup_min_free_by_percent";
inline constexpr const char* kPrefAutoCleanupMinFreePercent = "auto_cleanup_min_free_percent";
inline constexpr const char* kPrefAutoCleanupMinFreeBytes = "auto_cleanup_min_free_bytes";
inline constexpr const char* kPrefAutoCleanupMinimumAgeDays = "auto_cleanup_minimum_age_days";
inline constexpr const char* kPrefAutoCleanupAllowHelper = "auto_cleanup_allow_helper";

// Hot-key dictionary keys.
inline constexpr const char* kHotKeyCode = "keyCode";
inline constexpr const char* kHotKeyModifierFlags = "modifierFlags";

// Hot keys are stored as Qt key and modifier values (the engine includes no Qt header, so the
// values Qt defines are named here). The Command key of the original layout is the Super key,
// Qt's Meta modifier.
inline constexpr std::int64_t kQtKeyBackspace = 0x01000003;  // Qt::Key_Backspace
inline constexpr std::int64_t kQtKeyS = 0x53;                // Qt::Key_S
inline constexpr std::int64_t kQtShiftModifier = 0x02000000;    // Qt::ShiftModifier
inline constexpr std::int64_t kQtControlModifier = 0x04000000;  // Qt::ControlModifier
inline constexpr std::int64_t kQtAltModifier = 0x08000000;      // Qt::AltModifier
inline constexpr std::int64_t kQtMetaModifier = 0x10000000;     // Qt::MetaModifier

// {"keyCode", "modifierFlags"}: Ctrl+Super+Backspace empties all trashes; Shift+Super+S opens
// the Lumo Window.
RNDictionary defaultEmptyTrashHotKey();
RNDictionary defaultLumoDeleteHotKey();

// The factory values of the general preferences (the preferences window resets to these).
void defaultGeneralPreferences(RNDictionary& dict);
// The factory values of the automatic clean-up: every rule off, minimum age 1 day, no helper.
void defaultAutoCleanupPreferences(RNDictionary& dict);
// Every registered default: "show_install_helper_tool", "newsletter_subscribed",
// "is_first_run", the general preferences and the automatic clean-up.
RNDictionary defaultValues();

// Registers defaultValues() and gives the controller its initial values (the one key
// "show_install_helper_tool"). The first form works on the standard defaults and controller.
void setupDefaultsPreferences();
void setupDefaultsPreferences(RNUserDefaults& defaults, RNUserDefaultsController& controller);

// Factory reset of the given keys: each key stored in the persistent domain, and each key of
// the registration domain, takes the given value; no key is added to either domain. Without a
// persistent domain nothing changes.
void revertToInitialValuesInDictionary(const RNDictionary& values);
void revertToInitialValuesInDictionary(const RNDictionary& values, RNUserDefaults& defaults);

// Whether the privileged helper may be used; set once at start-up, read by every erase.
bool IsHelperAuthorized();
void SetIsHelperAuthorized(bool authorized);

}  // namespace quillo::erase
