#include "helper/TrashBookkeeping.h"

#include "helper/UniqueFd.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace quillo::helper {

namespace {

constexpr char kInfoSuffix[] = ".trashinfo";
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
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out += char(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
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

bool removeDirectorySizesEntryAt(int trashDirFd, const std::string& name) {
    UniqueFd cache(::openat(trashDirFd, kDirectorySizes, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!cache.valid()) return errno == ENOENT;
    struct stat st;
    if (::fstat(cache.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxCacheBytes) return false;
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
    // The cache stays the user's: same owner, same permissions (never set-id bits).
    bool ok = ::fchown(tmp.get(), st.st_uid, st.st_gid) == 0;
    ok = ok && ::fchmod(tmp.get(), st.st_mode & 0666) == 0;
    ok = ok && writeAll(tmp.get(), kept);
    ok = ok && ::fsync(tmp.get()) == 0;
    tmp.reset();
    if (ok) ok = ::renameat(trashDirFd, tmpName.c_str(), trashDirFd, kDirectorySizes) == 0;
    if (!ok) ::unlinkat(trashDirFd, tmpName.c_str(), 0);
    return ok;
}

bool forgetErasedItemAt(int trashDirFd, const std::string& name) {
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
    if (!removeDirectorySizesEntryAt(trashDirFd, name)) ok = false;
    return ok;
}

}  // namespace quillo::helper
