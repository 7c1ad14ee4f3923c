#include "files/TrashInfo.h"

#include "files/BatchedReads.h"
#include "files/RNFilesUtilities.h"
#include "files/UniqueFd.h"
#include "files/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace quillo::files {

namespace {

constexpr const char* kInfoSuffix = ".trashinfo";
constexpr char kDirectorySizes[] = "directorysizes";
// The cache is one short line per trashed folder; anything larger is not ours to rewrite.
constexpr off_t kMaxCacheBytes = 16 << 20;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        int hi, lo;
        if (s[i] == '%' && i + 2 < s.size() && (hi = hexValue(s[i + 1])) >= 0 && (lo = hexValue(s[i + 2])) >= 0) {
            out += char(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool readAll(int fd, std::string& out, off_t size) {
    out.resize(size_t(size));
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += size_t(n);
    }
    out.resize(done);
    return true;
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}


}  // namespace

std::string TrashItemRef::infoPath() const {
    return appendPathComponent(appendPathComponent(trashDir, "info"), name + kInfoSuffix);
}

std::optional<TrashItemRef> trashItemRefForPath(const std::string& itemPath) {
    if (itemPath.empty() || itemPath[0] != '/') return std::nullopt;
    std::string name = lastPathComponent(itemPath);
    std::string filesDir = deletingLastPathComponent(itemPath);
    if (name.empty() || name == "/" || lastPathComponent(filesDir) != "files") return std::nullopt;
    std::string trashDir = deletingLastPathComponent(filesDir);
    struct stat st;
    if (::lstat(appendPathComponent(trashDir, "info").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return TrashItemRef{trashDir, name};
}

namespace {

// Local time to seconds since 1970 without mktime: mktime re-reads the time zone (a stat of
// /etc/localtime) and takes glibc's time-zone lock on every call, which a listing of thousands
// of info files on two threads pays for each one. The offset from UTC is found with localtime_r
// and kept per hour, per thread.
std::atomic<unsigned> gZoneGeneration{0};

struct ZoneCache {
    unsigned generation = ~0u;
    std::string tz;
    std::unordered_map<int64_t, long> offsetByHour;
};

time_t localToUnix(const struct tm& local) {
    struct tm copy = local;
    const time_t asUtc = ::timegm(&copy);
    if (asUtc == time_t(-1)) return asUtc;
    thread_local ZoneCache cache;
    // The cache holds while neither TZ nor the zone read at the start of a listing changes.
    const char* tzEnv = std::getenv("TZ");
    const std::string_view tz = tzEnv ? std::string_view(tzEnv) : std::string_view("\x01unset");
    const unsigned generation = gZoneGeneration.load(std::memory_order_relaxed);
    if (cache.generation != generation || cache.tz != tz) {
        if (cache.tz != tz) ::tzset();
        cache.generation = generation;
        cache.tz = std::string(tz);
        cache.offsetByHour.clear();
    }
    auto& offsetByHour = cache.offsetByHour;
    auto offsetAt = [&offsetByHour](time_t t) {
        const int64_t hour = int64_t(t) / 3600;
        auto it = offsetByHour.find(hour);
        if (it != offsetByHour.end()) return it->second;
        struct tm lt;
        const time_t at = time_t(hour * 3600);
        const long offset = ::localtime_r(&at, &lt) ? lt.tm_gmtoff : 0;
        if (offsetByHour.size() > 4096) offsetByHour.clear();
        offsetByHour.emplace(hour, offset);
        return offset;
    };
    // Two steps settle on the offset in force at the result (as mktime would outside the
    // hour a clock change skips or repeats).
    time_t t = asUtc - offsetAt(asUtc);
    t = asUtc - offsetAt(t);
    return t;
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
    return v;
}

}  // namespace

double parseTrashInfoDeletionDate(const std::string& contents) {
    std::string_view text(contents);
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (trimmed(line.substr(0, eq)) != "DeletionDate") continue;
        std::string_view value = line.substr(eq + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        const std::string v(value.substr(0, 64));
        struct tm tm {};
        int consumed = 0;
        if (std::sscanf(v.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &consumed) != 6 || consumed < 19)
            return 0;
        if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
            tm.tm_min > 59 || tm.tm_sec > 60)
            return 0;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;
        // Some writers append a "Z": that one time is UTC rather than local.
        const bool utc = consumed < int(v.size()) && v[size_t(consumed)] == 'Z';
        const time_t t = utc ? ::timegm(&tm) : localToUnix(tm);
        if (t == time_t(-1)) return 0;
        return double(t) - kReferenceDateOffset;  // first occurrence wins
    }
    return 0;
}

double deletionDateForItem(const std::string& itemPath) {
    auto ref = trashItemRefForPath(itemPath);
    return ref ? TrashInfoReader(ref->trashDir).deletionDate(ref->name) : 0;
}

void refreshTimeZone() {
    ::tzset();
    gZoneGeneration.fetch_add(1, std::memory_order_relaxed);
}

TrashInfoReader::TrashInfoReader(const std::string& trashDir)
    : infoFd_(::open(appendPathComponent(trashDir, "info").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    refreshTimeZone();  // once per listing: the zone may have changed since the last one
}

TrashInfoReader::~TrashInfoReader() {
    if (infoFd_ >= 0) ::close(infoFd_);
}

double TrashInfoReader::deletionDate(const std::string& name) const {
    if (infoFd_ < 0) return 0;
    int fd = ::openat(infoFd_, (name + kInfoSuffix).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return 0;
    char buf[4096];  // the key sits near the top; an info file this size holds it
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return n > 0 ? parseTrashInfoDeletionDate(std::string(buf, size_t(n))) : 0;
}

TrashInfoFields TrashInfoReader::fieldsOf(const std::string& name) const {
    if (infoFd_ < 0) return {};
    int fd = ::openat(infoFd_, (name + kInfoSuffix).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {};
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return n > 0 ? parseTrashInfo(std::string_view(buf, size_t(n))) : TrashInfoFields{};
}

std::vector<double> TrashInfoReader::deletionDates(const std::vector<std::string>& names) const {
    std::vector<double> dates;
    dates.reserve(names.size());
    for (const auto& f : fields(names)) dates.push_back(f.deletionDate);
    return dates;
}

std::vector<TrashInfoFields> TrashInfoReader::fieldsOnThisThread(const std::vector<std::string>& names) const {
    std::vector<TrashInfoFields> out(names.size());
    if (infoFd_ < 0 || names.empty()) return out;
    // Through this thread's ring where io_uring is allowed (the opens and reads of cached files
    // run right in the submitting thread), else one call at a time.
    BatchedReads& reads = BatchedReads::forThisThread();
    if (!reads.batched()) {
        for (size_t i = 0; i < names.size(); ++i) out[i] = fieldsOf(names[i]);
        return out;
    }
    constexpr size_t kHead = 4096;  // the key sits near the top; an info file this size holds it
    std::vector<std::string> infoNames;
    infoNames.reserve(names.size());
    for (const auto& name : names) infoNames.push_back(name + kInfoSuffix);
    reads.readHeads(infoFd_, infoNames, kHead, [&](size_t i, std::string_view bytes) { out[i] = parseTrashInfo(bytes); });
    return out;
}

std::vector<TrashInfoFields> TrashInfoReader::fields(const std::vector<std::string>& names) const {
    std::vector<TrashInfoFields> dates(names.size());
    if (infoFd_ < 0 || names.empty()) return dates;
    // Thousands of small files are bound by system calls, so the reads are shared between the
    // cores.
    auto readRange = [&](size_t begin, size_t end) {
        if (begin >= end) return;
        std::vector<TrashInfoFields> part =
            fieldsOnThisThread(std::vector<std::string>(names.begin() + ptrdiff_t(begin), names.begin() + ptrdiff_t(end)));
        std::move(part.begin(), part.end(), dates.begin() + ptrdiff_t(begin));
    };
    const size_t threads = names.size() < 512 ? 1 : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
    const size_t chunk = (names.size() + threads - 1) / threads;
    std::vector<std::thread> pool;
    try {
        for (size_t t = 1; t < threads; ++t)
            pool.emplace_back(readRange, std::min(names.size(), t * chunk), std::min(names.size(), (t + 1) * chunk));
    } catch (const std::system_error&) {
        readRange(std::min(names.size(), chunk * (pool.size() + 1)), names.size());  // no more threads: this one reads the rest
    }
    readRange(0, std::min(names.size(), chunk));
    for (auto& th : pool) th.join();
    return dates;
}

bool removeDirectorySizesEntryAt(int trashDirFd, const std::string& name, uid_t caller, bool durable) {
    UniqueFd cache(::openat(trashDirFd, kDirectorySizes, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!cache.valid()) return errno == ENOENT;
    struct stat st, trash;
    if (::fstat(cache.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxCacheBytes) return false;
    // Only the caller's own cache in the caller's own trash is rewritten. A cache with another
    // name (a hard link) or another owner is someone else's file: rewriting it would leave a
    // file of theirs in this trash, or hand this trash's data to them.
    if (::fstat(trashDirFd, &trash) != 0 || trash.st_uid != caller || st.st_uid != caller || st.st_nlink != 1)
        return false;
    std::string text;
    if (!readAll(cache.get(), text, st.st_size)) return false;
    cache.reset();

    std::string kept;
    bool found = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        // size mtime percent-encoded-name
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b != std::string::npos && percentDecode(line.substr(b + 1)) == name) {
            found = true;
            continue;
        }
        if (!line.empty()) kept += line + "\n";
    }
    if (!found) return true;

    std::string tmpName;
    UniqueFd tmp;
    for (int attempt = 0; attempt < 16 && !tmp.valid(); ++attempt) {
        uint64_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != sizeof random) return false;
        char buf[48];
        std::snprintf(buf, sizeof buf, ".%s.%016llx", kDirectorySizes, static_cast<unsigned long long>(random));
        tmpName = buf;
        tmp.reset(::openat(trashDirFd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!tmp.valid() && errno != EEXIST) return false;
    }
    if (!tmp.valid()) return false;
    // The cache belongs to the trash's owner, with its former permissions (never set-id bits).
    bool ok = ::geteuid() != 0 || ::fchown(tmp.get(), trash.st_uid, trash.st_gid) == 0;
    ok = ok && ::fchmod(tmp.get(), st.st_mode & 0666) == 0;
    ok = ok && writeAll(tmp.get(), kept);
    ok = ok && (!durable || ::fsync(tmp.get()) == 0);
    tmp.reset();
    if (ok) ok = ::renameat(trashDirFd, tmpName.c_str(), trashDirFd, kDirectorySizes) == 0;
    if (!ok) ::unlinkat(trashDirFd, tmpName.c_str(), 0);
    return ok;
}

bool forgetErasedTrashItemAt(int trashDirFd, const std::string& name, uid_t caller) {
    UniqueFd files(::openat(trashDirFd, "files", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (files.valid()) {
        struct stat st;
        if (::fstatat(files.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return false;
    }
    bool ok = true;
    UniqueFd info(::openat(trashDirFd, "info", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (info.valid()) {
        const std::string infoName = name + kInfoSuffix;
        if (::unlinkat(info.get(), infoName.c_str(), 0) != 0 && errno != ENOENT) ok = false;
    } else if (errno != ENOENT) {
        ok = false;
    }
    if (!removeDirectorySizesEntryAt(trashDirFd, name, caller)) ok = false;
    return ok;
}

bool removeDirectorySizesEntry(const std::string& trashDir, const std::string& name) {
    UniqueFd dir(::open(trashDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && removeDirectorySizesEntryAt(dir.get(), name, ::geteuid());
}

bool forgetErasedTrashItem(const std::string& itemPath) {
    auto ref = trashItemRefForPath(itemPath);
    if (!ref) return true;  // not a trash item: nothing kept beside it
    UniqueFd dir(::open(ref->trashDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && forgetErasedTrashItemAt(dir.get(), ref->name, ::geteuid());
}

std::string percentEncodeTrashPath(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.' || c == '~' || c == '/';
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string percentDecodeTrashPath(std::string_view text) { return percentDecode(text); }

TrashInfoFields parseTrashInfo(std::string_view text) {
    TrashInfoFields fields;
    bool dateSeen = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (trimmed(line) == "[Trash Info]") {
            fields.hasGroup = true;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trimmed(line.substr(0, eq));
        std::string_view value = line.substr(eq + 1);
        if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
        if (key == "Path" && !fields.path) {
            fields.path = std::string(value);
        } else if (key == "DeletionDate" && !dateSeen) {
            dateSeen = true;
            fields.deletionDate = parseTrashInfoDeletionDate(std::string(line) + "\n");
        }
    }
    return fields;
}

bool readTrashInfoAt(int trashDirFd, const std::string& name, TrashInfoFields& out, std::string& error) {
    // An info file is a few lines; a larger one is not an info file.
    constexpr off_t kMaxInfoBytes = 64 * 1024;
    UniqueFd info(::openat(trashDirFd, "info", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    UniqueFd fd(info.valid() ? ::openat(info.get(), (name + kInfoSuffix).c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                             : -1);
    struct stat st;
    if (!fd.valid()) {
        error = errno == ENOENT ? "it has no info file" : std::string("its info file cannot be read: ") + std::strerror(errno);
        return false;
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxInfoBytes) {
        error = "its info file is not a plain text file";
        return false;
    }
    std::string text;
    if (!readAll(fd.get(), text, st.st_size)) {
        error = std::string("its info file cannot be read: ") + std::strerror(errno);
        return false;
    }
    out = parseTrashInfo(text);
    return true;
}

std::optional<std::string> originalPathFromTrashInfo(std::string_view encodedPath, const std::string& topdir,
                                                     bool homeTrash, std::string& error) {
    const std::string raw = percentDecode(encodedPath);
    if (raw.empty()) {
        error = "its info file gives no original location";
        return std::nullopt;
    }
    if (raw.find('\0') != std::string::npos) {
        error = "its original location holds a NUL byte";
        return std::nullopt;
    }
    const bool absolute = raw[0] == '/';
    if (homeTrash && !absolute) {
        error = "its original location is relative, which the home trash does not allow";
        return std::nullopt;
    }
    // The components, without "." and empty ones; ".." is never resolved: it could name any place.
    std::vector<std::string_view> parts;
    std::string_view rest(raw);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            error = "its original location holds \"..\" components";
            return std::nullopt;
        }
        parts.push_back(part);
    }
    std::string path;
    for (auto part : parts) {
        path += '/';
        path += part;
    }
    if (homeTrash) {
        if (path.empty()) {
            error = "its original location is the root folder";
            return std::nullopt;
        }
        return path;
    }
    std::string top = topdir;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    if (top == "/") top.clear();
    if (absolute) {
        // Accepted only inside this volume: stored that way by tools that write absolute paths.
        if (path.size() <= top.size() || path.compare(0, top.size(), top) != 0 || path[top.size()] != '/') {
            error = "its original location lies outside the volume of its trash";
            return std::nullopt;
        }
        return path;
    }
    if (path.empty()) {
        error = "its original location is the volume's top folder itself";
        return std::nullopt;
    }
    return top + path;
}

size_t removeOrphanedTrashInfo(const std::string& trashDir) {
    const std::string infoDir = appendPathComponent(trashDir, "info");
    const std::string filesDir = appendPathComponent(trashDir, "files");
    int dfd = ::open(infoDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) return 0;
    int ffd = ::open(filesDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (ffd < 0 && errno != ENOENT) {  // cannot tell which items exist: keep every info file
        ::close(dfd);
        return 0;
    }
    DirHandle dir(::fdopendir(dfd));
    if (!dir) {
        ::close(dfd);
        if (ffd >= 0) ::close(ffd);
        return 0;
    }
    size_t removed = 0;
    const size_t suffixLen = std::strlen(kInfoSuffix);
    while (dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        if (name.size() <= suffixLen || name.compare(name.size() - suffixLen, suffixLen, kInfoSuffix) != 0) continue;
        std::string item = name.substr(0, name.size() - suffixLen);
        struct stat st;
        bool itemExists = ffd >= 0 && (::fstatat(ffd, item.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT);
        if (itemExists) continue;
        if (::unlinkat(::dirfd(dir.get()), name.c_str(), 0) == 0) {
            ++removed;
            removeDirectorySizesEntry(trashDir, item);
        }
    }
    if (ffd >= 0) ::close(ffd);
    return removed;
}

}  // namespace quillo::files
