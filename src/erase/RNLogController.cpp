#include "erase/RNLogController.h"

#include "erase/RNErrorDelegate.h"

#include "files/Utf8.h"

#include "files/RNFilesUtilities.h"
#include "util/Localization.h"
#include "util/RNDateUtilities.h"
#include "util/RNNumberUtilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace quillo::erase {

namespace {

constexpr const char* kLogsFolderName = "Quillo 3";
constexpr int16_t kDefaultGapDays = 7;
// Enough for any number of erases within one second; a folder that still has no free name is
// not one we should keep filling.
constexpr int kMaxNameAttempts = 1000;

std::string homeFolder() {
    const char* h = std::getenv("HOME");
    if (h && h[0]) return h;
    struct passwd pw, *result = nullptr;
    std::string buf(16384, '\0');
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return {};
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsAt(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// mkdir -p: every folder it has to make gets mode 0700 (the log names the user's files). A
// component that exists but is no folder makes the next mkdir fail, and so the whole call.
bool makeFolderWithParents(const std::string& path) {
    if (path.empty()) return false;
    size_t pos = 0;
    while (true) {
        pos = path.find('/', pos + 1);
        std::string cur = path.substr(0, pos);
        if (!cur.empty() && cur.back() != '/' && ::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (pos == std::string::npos) break;
    }
    return isDirectory(path);
}

// A name must stay one path component: a "/" (some locales write dates with it) would point
// into a folder that does not exist.
std::string withoutSlashes(std::string text) {
    for (char& c : text)
        if (c == '/') c = '-';
    return text;
}

// "name.log" -> "name 2.log"; a name without a short extension gets the number at its end.
std::string numberedName(const std::string& name, int n) {
    std::string suffix = " " + std::to_string(n);
    size_t dot = name.rfind('.');
    bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < name.size() &&
                        name.size() - dot - 1 <= 10;
    if (hasExtension) {
        for (size_t i = dot + 1; i < name.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(name[i]);
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
                hasExtension = false;
                break;
            }
        }
    }
    if (!hasExtension) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

std::optional<double> creationDate(int dirfd, const char* path) {
    struct statx stx;
    if (::statx(dirfd, path, AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &stx) == 0) {
        const struct statx_timestamp& ts = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime;
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    }
    if (errno != ENOSYS) return std::nullopt;
    struct stat st;
    if (::fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
}

int16_t readDays(const RNValue& value) {
    if (value.isNull()) return kDefaultGapDays;
    // Clamped rather than wrapped: 40000 days means "practically never", not a negative limit.
    int64_t days = value.intValue(kDefaultGapDays);
    if (days > std::numeric_limits<int16_t>::max()) return std::numeric_limits<int16_t>::max();
    if (days < std::numeric_limits<int16_t>::min()) return std::numeric_limits<int16_t>::min();
    return static_cast<int16_t>(days);
}

}  // namespace

RNLogController::RNLogController(const RNDictionary& info) : infoDict_(info) {}

RNLogController::~RNLogController() {
    flushPending();
    if (currLogHandle_ >= 0) ::close(currLogHandle_);
}

double RNLogController::now() const {
    if (clock_) return clock_();
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string RNLogController::logsBaseFolder() {
    std::string state;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    // Relative values are to be ignored, as the base-directory convention says.
    if (xdg && xdg[0] == '/')
        state = xdg;
    else
        state = files::appendPathComponent(homeFolder(), ".local/state");
    return files::appendPathComponent(state, kLogsFolderName);
}

std::optional<double> RNLogController::creationDateOfFile(const std::string& path) {
    return creationDate(AT_FDCWD, path.c_str());
}

std::string RNLogController::escapedPathForLog(std::string_view s) {
    // A line per entry: controls are escaped as well as bytes that are not text.
    return files::escapedText(s, true);
}

std::optional<std::string> RNLogController::urlWithFolderName(const std::string& name) {
    std::string base = logsBaseFolder();
    // On a fresh system ~/.local/state often does not exist yet: make the missing parents too,
    // or no erase could ever start.
    if (!existsAt(base) && !makeFolderWithParents(base)) return std::nullopt;
    std::string sub = files::appendPathComponent(base, withoutSlashes(name));
    if (existsAt(sub)) return sub;
    if (::mkdir(sub.c_str(), 0700) != 0 && !(errno == EEXIST && existsAt(sub))) return std::nullopt;
    return sub;
}

bool RNLogController::searchLogFileWithURL(const std::string& folder, int16_t days) {
    int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return false;
    DIR* dir = ::fdopendir(dirfd);
    if (!dir) {
        ::close(dirfd);
        return false;
    }
    std::optional<double> best;
    std::string bestName;
    while (struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.') continue;
        // Only plain files: appending must never follow a link out of the folder or block on
        // a FIFO someone left here.
        struct stat st;
        if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        std::optional<double> date = creationDate(dirfd, name);
        if (!date) continue;
        if (!best || *date > *best) {
            best = date;
            bestName = name;
        }
    }
    ::closedir(dir);
    if (!best) return false;
    currLogURL_ = files::appendPathComponent(folder, bestName);
    // A file dated in the future (the clock was set back) is as young as can be, but no
    // younger: with a limit of 0 days every erase must still start a new file.
    double age = std::max(0.0, now() - *best);
    return age < double(days) * 24.0 * 60.0 * 60.0;
}

bool RNLogController::createNewLogFile(const std::string& folder, const std::string& name) {
    // The date goes into the "log_name" text's placeholder. Only that text is a format: a "%"
    // in the kind's name or in the folder path is kept as it stands.
    std::string date = util::RNDateUtilities::sharedControl().stringWithSeconds(
        now() - util::RNDateUtilities::kReferenceDateUnixSeconds, 3, true, true);
    std::string fileName =
        withoutSlashes(name) + util::RNFormat(util::RNLocalizedString("log_name"), {withoutSlashes(date)});
    // O_EXCL: a new log never truncates an existing one; two erases within the same second
    // (a day limit of 0) get "name 2.log", "name 3.log", ...
    for (int n = 1; n <= kMaxNameAttempts; ++n) {
        std::string path = files::appendPathComponent(folder, n == 1 ? fileName : numberedName(fileName, n));
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            if (currLogHandle_ >= 0) ::close(currLogHandle_);
            currLogHandle_ = fd;
            currLogURL_ = path;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

void RNLogController::takeOverPreviousFolder(const std::string& name, const std::string& previous) {
    if (previous.empty() || withoutSlashes(previous) == withoutSlashes(name)) return;
    const std::string base = logsBaseFolder();
    const std::string now = files::appendPathComponent(base, withoutSlashes(name));
    const std::string before = files::appendPathComponent(base, withoutSlashes(previous));
    struct stat st;
    // Only a real folder of our own making, and only while the new name is free: a log is never
    // moved over another one.
    if (existsAt(now) || ::lstat(before.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    ::renameat2(AT_FDCWD, before.c_str(), AT_FDCWD, now.c_str(), RENAME_NOREPLACE);
}

bool RNLogController::openLogFile() {
    std::string name = util::RNLocalizedString(RNValue::lookup(infoDict_, "partialLogName").stringValue());
    // The kind's folder had another name before: its files are the kind's newest, appended to.
    takeOverPreviousFolder(name, util::RNLocalizedString(RNValue::lookup(infoDict_, "previousLogName").stringValue()));
    std::optional<std::string> folder = urlWithFolderName(name);
    if (!folder) return false;

    if (currLogHandle_ >= 0) {
        ::close(currLogHandle_);
        currLogHandle_ = -1;
    }
    if (searchLogFileWithURL(*folder, readDays(RNValue::lookup(infoDict_, "gapTime")))) {
        // A file that cannot be opened for writing still counts as ready: this erase then
        // simply writes no log.
        currLogHandle_ = ::open(currLogURL_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    } else {
        currLogURL_.clear();
        if (!createNewLogFile(*folder, name)) return false;
    }
    totSize_ = 0;
    itemsCount_ = 0;
    return true;
}

void RNLogController::flushPending() {
    std::lock_guard lock(entryMutex_);
    flushPendingLocked();
}

void RNLogController::flushPendingLocked() {
    if (pending_.empty() || currLogHandle_ < 0) return;
    std::string lines;
    lines.swap(pending_);
    writeLine(lines);
    lastFlush_ = std::chrono::steady_clock::now();
}

void RNLogController::writeLine(const std::string& line) {
    if (writeFailed_.load()) return;
    // One write() per batch on an O_APPEND descriptor: whole lines land at the end of file.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(currLogHandle_, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            // A full disk loses the rest of the log, never the erase. Later batches are not
            // tried: a line cut short must not be followed by others. The user is told once.
            const int err = w < 0 ? errno : ENOSPC;
            if (!writeFailed_.exchange(true) && !RNValue::lookup(infoDict_, "quiet").boolValue())
                RNErrorDelegate::sharedControl().showError("log_write_error", "log_write_error_mess",
                                                           {std::strerror(err)});
            return;
        }
        p += w;
        left -= size_t(w);
    }
}

void RNLogController::writeStartSession() {
    if (currLogHandle_ < 0) return;
    std::string date = util::RNDateUtilities::sharedControl().stringWithSeconds(
        now() - util::RNDateUtilities::kReferenceDateUnixSeconds, 4, true, true);
    std::string start = util::RNLocalizedString(RNValue::lookup(infoDict_, "startStr").stringValue());
    writeLine(util::RNFormat("%@ %@\n", {date, start}));
}

void RNLogController::writeEntryWithPath(const std::string& path, uint64_t size) {
    // The path is made printable before the lock: the two workers of an erase only wait for
    // each other for the number and the append.
    const std::string printable = escapedPathForLog(path);
    std::lock_guard lock(entryMutex_);
    if (currLogHandle_ < 0) return;
    totSize_ += size;
    ++itemsCount_;
    std::string number = util::RNNumberUtilities::sharedControl().countToFormatString(itemsCount_);
    // Item lines are gathered and written a batch at a time (at most a quarter of a second
    // late): one write per erased file would cost the erase a third of its speed.
    pending_ += number;
    pending_ += ' ';
    pending_ += printable;
    pending_ += '\n';
    if (pending_.size() >= kFlushBytes || std::chrono::steady_clock::now() - lastFlush_ >= kFlushInterval)
        flushPendingLocked();
}

void RNLogController::writeEndSessionAndCloseFile() {
    if (currLogHandle_ < 0) return;
    std::string size = util::RNNumberUtilities::sharedControl().sizeToFormatString(totSize_, 4, true);
    std::string date = util::RNDateUtilities::sharedControl().stringWithSeconds(
        now() - util::RNDateUtilities::kReferenceDateUnixSeconds, 4, true, true);
    std::string end = util::RNLocalizedString(RNValue::lookup(infoDict_, "endStr").stringValue());
    flushPending();
    // Restores and puts keep their own closing text; an erase has none in its dictionary.
    const RNValue endFormat = RNValue::lookup(infoDict_, "endFormat");
    const std::string format = endFormat.isString() ? endFormat.stringValue() : std::string("items_erased");
    writeLine(util::RNFormat(util::RNLocalizedString(format), {size, date, end}));
    closeLogFile();
}

void RNLogController::closeLogFile() {
    if (currLogHandle_ < 0) return;
    flushPending();
    ::close(currLogHandle_);
    currLogHandle_ = -1;
    currLogURL_.clear();
    infoDict_.clear();
}

}  // namespace quillo::erase
