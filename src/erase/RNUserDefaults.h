// The application's preferences: an in-memory registration domain (the factory defaults, given
// at start-up) under a persistent domain kept in
// $XDG_CONFIG_HOME/quillo/org.quillo.quillo-3.plist (an XML property list). Reads fall back from
// the persistent domain to the registration domain.
//
// The file is read on first use and rewritten atomically (temporary file in the same folder,
// fsync, rename) on every change, so a crash leaves either the old or the new file. Before a
// change the file is read again if another process (the tray app and the terminal tool share it)
// has replaced it since, so that its changes are not overwritten.
//
// A file that cannot be read or parsed is never lost and never silently replaced: it is moved
// aside to "<file>.corrupt-YYYYMMDD-HHMMSS" (never over an older one), one message naming both
// paths goes to standard error, and the defaults are used. The application tells the user once
// (takeDamage()): the settings were reset, and where the damaged file is kept.
//
// Thread-safe. Key observers run on the thread that made the change, after it, without any
// lock held (they may read and write the defaults).
#pragma once

#include "erase/RNNotificationCenter.h"
#include "erase/RNValue.h"

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillo::erase {

class RNUserDefaults {
public:
    static constexpr const char* kApplicationIdentifier = "org.quillo.quillo-3";

    using KeyObserver = std::function<void(const std::string& key, const RNValue& newValue)>;

    // Defaults kept in the given file; nothing is read until first use.
    explicit RNUserDefaults(std::string plistPath);
    RNUserDefaults(const RNUserDefaults&) = delete;
    RNUserDefaults& operator=(const RNUserDefaults&) = delete;

    // The application's defaults at standardPlistPath(), made on first use.
    static RNUserDefaults& standardUserDefaults();
    // Tests: the next standardUserDefaults() is a fresh object on the path the environment
    // names now. References to the previous one stay valid (it is kept, unused).
    static void resetStandardUserDefaults();
    // $XDG_CONFIG_HOME/quillo/org.quillo.quillo-3.plist; XDG_CONFIG_HOME defaults to ~/.config.
    static std::string standardPlistPath();

    const std::string& path() const { return path_; }

    // Registration domain: merged into (registerDefaults) or replaced; never saved.
    void registerDefaults(const RNDictionary& defaults);
    RNDictionary registrationDomain() const;
    void setRegistrationDomain(const RNDictionary& domain);

    // Persistent domain: nullopt when there is no file (or it was moved aside).
    std::optional<RNDictionary> persistentDomain() const;
    // Replaces the whole domain and saves it; false when it could not be saved (the message
    // went to standard error) or holds values a property list cannot keep (nothing changes).
    bool setPersistentDomain(const RNDictionary& domain);
    // Deletes the domain and its file.
    bool removePersistentDomain();

    // The effective value: persistent, else registered, else null.
    RNValue objectForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::string stringForKey(const std::string& key) const;  // "" when none or not a string
    std::optional<RNDictionary> dictionaryForKey(const std::string& key) const;
    std::optional<RNArray> arrayForKey(const std::string& key) const;

    // Stores in the persistent domain and saves. A null value removes the key. False when the
    // value cannot be stored in a property list (nothing changes) or the file could not be
    // written (the value is kept in memory and saved with the next change or synchronize()).
    bool setObject(const std::string& key, const RNValue& value);
    bool setBool(const std::string& key, bool value) { return setObject(key, RNValue(value)); }
    bool setInteger(const std::string& key, std::int64_t value) {
        return setObject(key, RNValue(static_cast<long long>(value)));
    }
    bool setString(const std::string& key, const std::string& value) {
        return setObject(key, RNValue(value));
    }
    bool removeObjectForKey(const std::string& key);

    // Saves what could not be saved yet, or else takes in a file changed by another process.
    bool synchronize();

    // A preferences file that could not be read: where it was, where it is kept now (empty when
    // it could not be moved and stays in place, never overwritten) and why.
    struct Damage {
        std::string path;
        std::string keptAt;
        std::string reason;
    };
    // The last damage met since the previous call, once; nullopt when the file was fine.
    std::optional<Damage> takeDamage();

    // Called after the effective value of `key` changed (a null value: no value any more).
    RNObserverToken addObserverForKey(const std::string& key, KeyObserver observer);
    void removeObserver(RNObserverToken token);

private:
    struct FileStamp {
        bool exists = false;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        std::int64_t mtimeNs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    using Changes = std::vector<std::pair<std::string, RNValue>>;

    void ensureLoadedLocked() const;
    void loadLocked() const;
    void moveAsideLocked(const std::string& reason) const;
    FileStamp currentStampLocked() const;
    void refreshIfChangedLocked() const;
    bool writeLocked();
    RNDictionary effectiveLocked() const;
    static Changes diff(const RNDictionary& before, const RNDictionary& after);
    void notify(const Changes& changes);

    const std::string path_;
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    mutable std::optional<RNDictionary> persistent_;
    mutable FileStamp stamp_;
    mutable std::optional<Damage> damage_;
    mutable bool writesBlocked_ = false;  // an unreadable file stayed in place: never overwrite it
    bool dirty_ = false;                  // the last save failed
    RNDictionary registration_;
    RNNotificationCenter observers_;
};

}  // namespace quillo::erase
