#include "files/TrashInfo.h"

#include "files/RNFilesUtilities.h"
#include "files/UniqueFd.h"
#include "files/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

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

std::string percentDecode(const std::string& s) {
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

double parseTrashInfoDeletionDate(const std::string& contents) {
    std::istringstream in(contents);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        if (key != "DeletionDate") continue;
        std::string value = line.substr(eq + 1);
        size_t lead = value.find_first_not_of(" \t");
        value = lead == std::string::npos ? "" : value.substr(lead);
        struct tm tm {};
        int consumed = 0;
        if (std::sscanf(value.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &consumed) != 6 || consumed < 19)
            return 0;
        if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
            tm.tm_min > 59 || tm.tm_sec > 60)
            return 0;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        tm.tm_isdst = -1;
        // Some writers append a "Z": that one time is UTC rather than local.
        bool utc = consumed < int(value.size()) && value[size_t(consumed)] == 'Z';
        time_t t = utc ? ::timegm(&tm) : ::mktime(&tm);
        if (t == time_t(-1)) return 0;
        return double(t) - kReferenceDateOffset;  // first occurrence wins
    }
    return 0;
}

double deletionDateForItem(const std::string& itemPath) {
    auto ref = trashItemRefForPath(itemPath);
    return ref ? TrashInfoReader(ref->trashDir).deletionDate(ref->name) : 0;
}

TrashInfoReader::TrashInfoReader(const std::string& trashDir)
    : infoFd_(::open(appendPathComponent(trashDir, "info").c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {}

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

bool removeDirectorySizesEntryAt(int trashDirFd, const std::string& name, uid_t caller) {
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
    ok = ok && ::fsync(tmp.get()) == 0;
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
