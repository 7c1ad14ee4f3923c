// Any path given to the acceptance check. An accepted path must name, through the descriptor
// handed back, a folder inside one of the caller's trash files/ folders; nothing else.
//
// The first byte picks a prefix (none, or one of the three trashes) so the fuzzer reaches the
// walk below files/; the trashes live in a temporary folder laid out with symlinks, a
// non-sticky shared trash and nested folders.
#include "helper/PathGuard.h"

#include <sys/stat.h>
#include <unistd.h>

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

std::string fdPath(int fd) {
    char link[64], buf[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// The trashes go when the run ends (libFuzzer ends a run with exit()); the links inside are
// removed, never followed.
void removeRoot() {
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
    files::MountEntry entry;
    entry.mountPoint = vol;
    entry.fsType = "ext4";
    gGuard = new helper::PathGuard(::getuid(), home, {entry});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string path;
    const unsigned pick = data[0] % 4;
    if (pick > 0) path = gFilesDirs[pick - 1] + "/";
    path.append(reinterpret_cast<const char*>(data + 1), size - 1);

    helper::GuardResult result = gGuard->verify(path);
    if (!result) {
        if (result.refusal.empty()) std::abort();
        return 0;
    }
    const std::string parent = fdPath(result.item->parent.get());
    bool inside = false;
    for (const std::string& d : gFilesDirs)
        if (parent == d || parent.rfind(d + "/", 0) == 0) inside = true;
    if (!inside || result.item->name.empty() || result.item->name == "." || result.item->name == ".." ||
        result.item->name.find('/') != std::string::npos) {
        std::fprintf(stderr, "accepted %s with parent %s\n", path.c_str(), parent.c_str());
        std::abort();
    }
    return 0;
}
