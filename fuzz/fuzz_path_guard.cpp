// Any path given to the acceptance check. An accepted path must name, through the descriptor
// handed back, a folder inside one of the caller's trash files/ folders; nothing else.
//
// The first byte picks a prefix (none, one of the three trashes, or the bottom of a chain of
// folders in the home trash deep enough for its paths to pass PATH_MAX) so the fuzzer reaches
// the walk below files/; the trashes live in a temporary folder laid out with symlinks, a
// non-sticky shared trash, nested folders, and links at the bottom of the deep chain.
#include "helper/PathGuard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace quillo;

namespace {

std::string gRoot;
std::vector<std::string> gFilesDirs;  // resolved files/ folders of the caller's trashes
helper::PathGuard* gGuard = nullptr;

void mkdirs(const std::string& path, mode_t mode = 0755) {
    std::string cur;
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        ::mkdir(cur.c_str(), mode);
    }
}

// Folders of the deep chain below the home trash's files/, each named kDeepName: its bottom's
// path is about 4.3 kB long. Long names keep the levels, and so each input's walk, few.
constexpr int kDeepLevels = 250;
constexpr char kDeepName[] = "dddddddddddddddd";
std::string gDeepBottom;

struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId&) const = default;
};
std::vector<FileId> gFilesIds;

bool idOf(int fd, const char* name, FileId& id) {
    struct stat st;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH)) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// Whether the folder open as `fd` is one of the files/ folders or below one, found by going up
// through ".." (paths of the deep chain are too long for /proc/self/fd to name).
bool insideFiles(int fd) {
    int cur = ::dup(fd);
    bool inside = false;
    for (int steps = 0; cur >= 0 && steps < kDeepLevels + 64; ++steps) {
        FileId here, up;
        if (!idOf(cur, "", here) || !idOf(cur, "..", up)) break;
        for (const FileId& f : gFilesIds) inside = inside || f == here;
        if (inside || here == up) break;
        const int next = ::openat(cur, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(cur);
        cur = next;
    }
    if (cur >= 0) ::close(cur);
    return inside;
}

// The trashes go when the run ends (libFuzzer ends a run with exit()); the links inside are
// removed, never followed.
void removeRoot() {
    // The deep chain first, too deep for path-based removal: each step lifts the chain below the
    // top folder one level up and removes that folder, so it ends after kDeepLevels renames.
    if (!gFilesDirs.empty()) {
        const int top = ::open(gFilesDirs[0].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int guard = 0; top >= 0 && guard <= kDeepLevels; ++guard) {
            const int d = ::openat(top, kDeepName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (d < 0) break;
            const bool more = ::renameat(d, kDeepName, top, "next") == 0;
            ::unlinkat(d, "a", AT_REMOVEDIR);
            ::unlinkat(d, "out", 0);
            ::unlinkat(d, "up", 0);
            ::close(d);
            ::unlinkat(top, kDeepName, AT_REMOVEDIR);
            if (!more || ::renameat(top, "next", top, kDeepName) != 0) break;
        }
        if (top >= 0) ::close(top);
    }
    std::error_code ignored;
    if (!gRoot.empty()) std::filesystem::remove_all(gRoot, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillo-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    gRoot = pattern;
    std::atexit(removeRoot);
    const std::string uid = std::to_string(::getuid());
    const std::string home = gRoot + "/home";
    const std::string vol = gRoot + "/vol";
    gFilesDirs = {home + "/.local/share/Trash/files", vol + "/.Trash-" + uid + "/files",
                  vol + "/.Trash/" + uid + "/files"};
    for (const std::string& d : gFilesDirs) {
        mkdirs(d + "/a/b");
        ::symlink("/etc", (d + "/etc").c_str());
        ::symlink("..", (d + "/up").c_str());
        ::symlink((gRoot + "/outside").c_str(), (d + "/a/out").c_str());
    }
    ::chmod((vol + "/.Trash").c_str(), 01777);
    mkdirs(gRoot + "/outside/x");
    for (const std::string& d : gFilesDirs) {
        FileId id;
        if (!idOf(AT_FDCWD, d.c_str(), id)) std::abort();
        gFilesIds.push_back(id);
    }
    // The deep chain, made relative to descriptors; at its bottom a folder, a link out of the
    // trashes and a link back up.
    int fd = ::open(gFilesDirs[0].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    gDeepBottom = gFilesDirs[0];
    for (int i = 0; fd >= 0 && i < kDeepLevels; ++i) {
        ::mkdirat(fd, kDeepName, 0755);
        const int next = ::openat(fd, kDeepName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
        gDeepBottom += std::string("/") + kDeepName;
    }
    if (fd < 0) std::abort();
    ::mkdirat(fd, "a", 0755);
    ::symlinkat((gRoot + "/outside").c_str(), fd, "out");
    ::symlinkat("..", fd, "up");
    ::close(fd);
    if (gDeepBottom.size() <= PATH_MAX) std::abort();
    gDeepBottom += "/";
    files::MountEntry entry;
    entry.mountPoint = vol;
    entry.fsType = "ext4";
    gGuard = new helper::PathGuard(::getuid(), home, {entry});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string path;
    const unsigned pick = data[0] % 5;
    if (pick == 4) path = gDeepBottom;
    else if (pick > 0) path = gFilesDirs[pick - 1] + "/";
    path.append(reinterpret_cast<const char*>(data + 1), size - 1);

    helper::GuardResult result = gGuard->verify(path);
    if (!result) {
        if (result.refusal.empty()) std::abort();
        return 0;
    }
    if (!insideFiles(result.item->parent.get()) || result.item->name.empty() || result.item->name == "." ||
        result.item->name == ".." || result.item->name.find('/') != std::string::npos) {
        std::fprintf(stderr, "accepted %s outside the trashes' files/ folders\n", path.c_str());
        std::abort();
    }
    return 0;
}
