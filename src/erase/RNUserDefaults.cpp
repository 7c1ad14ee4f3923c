#include "erase/RNUserDefaults.h"

#include "erase/RNPropertyList.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace quillo::erase {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

void report(const std::string& message) {
    // One whole line in one write, so that concurrent output cannot split it.
    std::string line = message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool makeDirs(const std::string& dir, std::string& error) {
    if (dir.empty() || dir == "/" || dir == ".") return true;
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        error = "\"" + dir + "\" is not a folder";
        return false;
    }
    if (!makeDirs(parentOf(dir), error)) return false;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create \"" + dir + "\": " + errnoText(errno);
        return false;
    }
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// Renames without ever replacing an existing file.
// Holds an exclusive lock on the preferences folder while a change is read in, applied and
// written, so that two processes saving at the same instant both keep their change. (The folder
// itself is locked: a lock file would be one more file beside the preferences.) When the folder
// cannot be made or opened, the change goes on unlocked: the save will then fail and say so.
class SaveLock {
public:
    explicit SaveLock(const std::string& plistPath) {
        std::string ignored;
        const std::string dir = parentOf(plistPath);
        if (!makeDirs(dir, ignored)) return;
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~SaveLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

private:
    int fd_ = -1;
};

int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

std::mutex gStandardMutex;
RNUserDefaults* gStandard = nullptr;
std::vector<std::unique_ptr<RNUserDefaults>>* gRetired = nullptr;

}  // namespace

RNUserDefaults::RNUserDefaults(std::string plistPath) : path_(std::move(plistPath)) {}

std::string RNUserDefaults::standardPlistPath() {
    std::string config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // Relative values are to be ignored, as the base-directory convention says.
    if (xdg && xdg[0] == '/') {
        config = xdg;
    } else {
        std::string home;
        const char* h = std::getenv("HOME");
        if (h && h[0]) {
            home = h;
        } else if (struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
            home = pw->pw_dir;
        }
        config = home + "/.config";
    }
    return config + "/quillo/" + kApplicationIdentifier + ".plist";
}

RNUserDefaults& RNUserDefaults::standardUserDefaults() {
    std::lock_guard lock(gStandardMutex);
    if (!gStandard) gStandard = new RNUserDefaults(standardPlistPath());
    return *gStandard;
}

void RNUserDefaults::resetStandardUserDefaults() {
    std::lock_guard lock(gStandardMutex);
    if (!gStandard) return;
    if (!gRetired) gRetired = new std::vector<std::unique_ptr<RNUserDefaults>>;
    gRetired->emplace_back(gStandard);
    gStandard = nullptr;
}

// ---- Loading ----------------------------------------------------------------------------------

void RNUserDefaults::ensureLoadedLocked() const {
    if (loaded_) return;
    loaded_ = true;
    loadLocked();
}

RNUserDefaults::FileStamp RNUserDefaults::currentStampLocked() const {
    FileStamp s;
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) return s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtimeNs = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

void RNUserDefaults::loadLocked() const {
    persistent_.reset();
    stamp_ = FileStamp{};
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return;  // no preferences saved yet
        if (errno == ENOTDIR) {
            // A file where a folder of the path should be: nothing of ours can be there.
            return;
        }
        moveAsideLocked(errnoText(errno));
        return;
    }
    struct stat st;
    std::string bytes;
    std::string failure;
    if (::fstat(fd, &st) != 0) {
        failure = errnoText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        failure = S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file";
    } else {
        char buf[16384];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                failure = errnoText(errno);
                break;
            }
            if (n == 0) break;
            bytes.append(buf, size_t(n));
        }
    }
    ::close(fd);
    if (failure.empty()) {
        std::string why;
        auto dict = RNPropertyListReadDictionary(bytes, &why);
        if (!dict) {
            failure = why;
        } else {
            persistent_ = std::move(*dict);
            stamp_ = FileStamp{true, st.st_dev, st.st_ino, st.st_size,
                               std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
            return;
        }
    }
    moveAsideLocked(failure);
}

void RNUserDefaults::moveAsideLocked(const std::string& reason) const {
    char stampText[32] = "unknown-time";
    std::time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) std::strftime(stampText, sizeof stampText, "%Y%m%d-%H%M%S", &local);
    const std::string base = path_ + ".corrupt-" + stampText;

    std::string aside = base;
    int err = 0;
    for (int n = 1; n < 1000; ++n) {
        err = renameNoReplace(path_, aside);
        if (err != EEXIST) break;
        aside = base + "-" + std::to_string(n);
    }
    persistent_.reset();
    stamp_ = FileStamp{};
    damage_ = Damage{path_, err == 0 ? aside : std::string(), reason};
    if (err == 0) {
        report("Quillo: the preferences file \"" + path_ + "\" could not be read (" + reason +
               "); it was moved to \"" + aside + "\" and the default preferences are used.");
        return;
    }
    // Left in place, it must not be overwritten by our next save either.
    writesBlocked_ = true;
    stamp_ = currentStampLocked();
    report("Quillo: the preferences file \"" + path_ + "\" could not be read (" + reason +
           ") nor moved aside (" + errnoText(err) +
           "); the default preferences are used and changes will not be saved.");
}

std::optional<RNUserDefaults::Damage> RNUserDefaults::takeDamage() {
    std::lock_guard lock(mutex_);
    ensureLoadedLocked();
    return std::exchange(damage_, std::nullopt);
}

void RNUserDefaults::refreshIfChangedLocked() const {
    ensureLoadedLocked();
    if (writesBlocked_) return;
    if (currentStampLocked() == stamp_) return;
    loadLocked();
}

// ---- Saving -----------------------------------------------------------------------------------

bool RNUserDefaults::writeLocked() {
    if (writesBlocked_) {
        dirty_ = true;
        return false;
    }
    // Keep a symbolic link (dotfiles kept elsewhere) and replace the file it points to.
    std::string target = path_;
    struct stat lst;
    if (::lstat(path_.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path_.c_str(), resolved)) target = resolved;
    }

    if (!persistent_) {
        if (::unlink(target.c_str()) != 0 && errno != ENOENT) {
            report("Quillo: the preferences file \"" + target + "\" could not be removed: " +
                   errnoText(errno));
            dirty_ = true;
            return false;
        }
        stamp_ = currentStampLocked();
        dirty_ = false;
        return true;
    }

    std::string why;
    auto xml = RNPropertyListXMLFromDictionary(*persistent_, &why);
    std::string failure;
    const std::string dir = parentOf(target);
    if (!xml) {
        failure = why;
    } else if (!makeDirs(dir, failure)) {
        // failure set
    } else {
        std::string tmp = dir + "/." + target.substr(dir.size() + 1) + ".tmp-XXXXXX";
        std::vector<char> name(tmp.begin(), tmp.end());
        name.push_back('\0');
        int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            failure = "cannot create a temporary file in \"" + dir + "\": " + errnoText(errno);
        } else {
            tmp = name.data();
            bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, *xml) && ::fsync(fd) == 0;
            int err = ok ? 0 : errno;
            if (::close(fd) != 0 && ok) {
                ok = false;
                err = errno;
            }
            if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
                ok = false;
                err = errno;
            }
            if (!ok) {
                ::unlink(tmp.c_str());
                failure = errnoText(err);
            } else {
                // The rename itself must reach the disk too.
                int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (dfd >= 0) {
                    ::fsync(dfd);
                    ::close(dfd);
                }
            }
        }
    }
    if (!failure.empty()) {
        report("Quillo: the preferences could not be saved to \"" + target + "\": " + failure);
        dirty_ = true;
        return false;
    }
    stamp_ = currentStampLocked();
    dirty_ = false;
    return true;
}

// ---- Domains and values -----------------------------------------------------------------------

RNDictionary RNUserDefaults::effectiveLocked() const {
    RNDictionary merged = registration_;
    if (persistent_)
        for (const auto& [k, v] : *persistent_) merged[k] = v;
    return merged;
}

RNUserDefaults::Changes RNUserDefaults::diff(const RNDictionary& before, const RNDictionary& after) {
    Changes changes;
    std::set<std::string> keys;
    for (const auto& kv : before) keys.insert(kv.first);
    for (const auto& kv : after) keys.insert(kv.first);
    for (const auto& key : keys) {
        const RNValue& a = RNValue::lookup(before, key);
        const RNValue& b = RNValue::lookup(after, key);
        if (a != b) changes.emplace_back(key, b);
    }
    return changes;
}

void RNUserDefaults::notify(const Changes& changes) {
    // The value as it is now, not as the change left it: two threads changing one key may
    // notify in either order, and the last call must not report the older value.
    for (const auto& change : changes)
        observers_.postNotification(change.first, nullptr, RNDictionary{{"value", objectForKey(change.first)}});
}

void RNUserDefaults::registerDefaults(const RNDictionary& defaults) {
    Changes changes;
    {
        std::lock_guard lock(mutex_);
        ensureLoadedLocked();
        RNDictionary before = effectiveLocked();
        for (const auto& [k, v] : defaults) {
            if (v.isNull())
                registration_.erase(k);
            else
                registration_[k] = v;
        }
        changes = diff(before, effectiveLocked());
    }
    notify(changes);
}

RNDictionary RNUserDefaults::registrationDomain() const {
    std::lock_guard lock(mutex_);
    return registration_;
}

void RNUserDefaults::setRegistrationDomain(const RNDictionary& domain) {
    Changes changes;
    {
        std::lock_guard lock(mutex_);
        ensureLoadedLocked();
        RNDictionary before = effectiveLocked();
        registration_.clear();
        for (const auto& [k, v] : domain)
            if (!v.isNull()) registration_[k] = v;
        changes = diff(before, effectiveLocked());
    }
    notify(changes);
}

std::optional<RNDictionary> RNUserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    ensureLoadedLocked();
    return persistent_;
}

bool RNUserDefaults::setPersistentDomain(const RNDictionary& domain) {
    RNDictionary clean;
    for (const auto& [k, v] : domain)
        if (!v.isNull()) clean[k] = v;
    std::string why;
    if (!RNPropertyListXMLFromDictionary(clean, &why)) {
        report("Quillo: the preferences were not changed: " + why);
        return false;
    }
    Changes changes;
    bool ok;
    {
        std::lock_guard lock(mutex_);
        ensureLoadedLocked();
        RNDictionary before = effectiveLocked();
        persistent_ = std::move(clean);
        ok = writeLocked();
        changes = diff(before, effectiveLocked());
    }
    notify(changes);
    return ok;
}

bool RNUserDefaults::removePersistentDomain() {
    Changes changes;
    bool ok;
    {
        std::lock_guard lock(mutex_);
        ensureLoadedLocked();
        RNDictionary before = effectiveLocked();
        persistent_.reset();
        ok = writeLocked();
        changes = diff(before, effectiveLocked());
    }
    notify(changes);
    return ok;
}

RNValue RNUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    ensureLoadedLocked();
    if (persistent_) {
        auto it = persistent_->find(key);
        if (it != persistent_->end()) return it->second;
    }
    return RNValue::lookup(registration_, key);
}

bool RNUserDefaults::boolForKey(const std::string& key) const { return objectForKey(key).boolValue(); }

std::int64_t RNUserDefaults::integerForKey(const std::string& key) const {
    return objectForKey(key).intValue();
}

double RNUserDefaults::doubleForKey(const std::string& key) const {
    return objectForKey(key).doubleValue();
}

std::string RNUserDefaults::stringForKey(const std::string& key) const {
    return objectForKey(key).stringValue();
}

std::optional<RNDictionary> RNUserDefaults::dictionaryForKey(const std::string& key) const {
    RNValue v = objectForKey(key);
    if (const RNDictionary* d = v.dictionaryIf()) return *d;
    return std::nullopt;
}

std::optional<RNArray> RNUserDefaults::arrayForKey(const std::string& key) const {
    RNValue v = objectForKey(key);
    if (const RNArray* a = v.arrayIf()) return *a;
    return std::nullopt;
}

bool RNUserDefaults::setObject(const std::string& key, const RNValue& value) {
    if (!value.isNull()) {
        std::string why;
        if (!RNPropertyListXMLFromDictionary(RNDictionary{{key, value}}, &why)) {
            report("Quillo: the preference \"" + key + "\" was not changed: " + why);
            return false;
        }
    }
    Changes changes;
    bool ok = true;
    {
        std::lock_guard lock(mutex_);
        SaveLock saveLock(path_);
        ensureLoadedLocked();
        RNDictionary before = effectiveLocked();
        // Take in another process's save first, unless ours is still waiting to be written.
        if (!dirty_) refreshIfChangedLocked();
        bool changed;
        if (value.isNull()) {
            changed = persistent_ && persistent_->erase(key) > 0;
        } else {
            if (!persistent_) persistent_ = RNDictionary{};
            auto it = persistent_->find(key);
            changed = it == persistent_->end() || it->second != value || it->second.type() != value.type();
            (*persistent_)[key] = value;
        }
        if (changed || dirty_) ok = writeLocked();
        changes = diff(before, effectiveLocked());
    }
    notify(changes);
    return ok;
}

bool RNUserDefaults::removeObjectForKey(const std::string& key) { return setObject(key, RNValue()); }

bool RNUserDefaults::synchronize() {
    Changes changes;
    bool ok = true;
    {
        std::lock_guard lock(mutex_);
        ensureLoadedLocked();
        RNDictionary before = effectiveLocked();
        if (dirty_)
            ok = writeLocked();
        else
            refreshIfChangedLocked();
        changes = diff(before, effectiveLocked());
    }
    notify(changes);
    return ok;
}

RNObserverToken RNUserDefaults::addObserverForKey(const std::string& key, KeyObserver observer) {
    if (key.empty() || !observer) return 0;  // an empty name would observe every key
    return observers_.addObserver(key, nullptr, [observer = std::move(observer)](const RNNotification& n) {
        observer(n.name, n.info("value"));
    });
}

void RNUserDefaults::removeObserver(RNObserverToken token) { observers_.removeObserver(token); }

}  // namespace quillo::erase
