// What the root helper spends on the largest requests, each measured in a child process of its
// own (peak memory is the process's high-water mark, reset once the request is in memory):
//   decode  — peak memory of decoding a request of the largest size the bus carries (32 MiB):
//             3.7 million empty paths, and paths of typical length; goal < 4x the request.
//   run     — time and work-list copies of the run of 246,691 entries that cannot be unlocked
//             followed by 931,946 other paths: as copies of one entry (the reported request) and
//             as distinct entries; the work must grow linearly (compare to half the size).
// Usage: quillo-bench-helper [decode|run]... (both by default). The run's trash lives under a
// temporary home (TMPDIR), never the user's.
#include "common/HelperRequest.h"
#include "helper/PathGuard.h"
#include "helper/RNHelperTool.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

using namespace quillo;

namespace {

uint64_t statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
    return 0;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Runs `body` in a child; its printed line goes to our standard output.
void inChild(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

void decodeCase(const char* label, size_t count, const std::string& path) {
    inChild([&] {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                          "<key>permissionsItems</key><array>";
        const std::string entry = path.empty() ? std::string("<string/>") : "<string>" + path + "</string>";
        xml.reserve(xml.size() + count * entry.size() + 64);
        for (size_t i = 0; i < count; ++i) xml += entry;
        xml += "</array></dict></plist>";
        const uint64_t before = statusKiB("VmRSS:");
        resetPeak();
        const auto t0 = std::chrono::steady_clock::now();
        common::HelperError error;
        std::optional<common::HelperRequest> request = common::decodeHelperRequest(xml, &error);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const uint64_t peak = statusKiB("VmHWM:");
        std::printf("decode %-28s %9zu paths, request %6.1f MiB: peak %6.1f MiB (%.2fx the request), "
                    "of which decoding %6.1f MiB (%.2fx), %.2f s%s\n",
                    label, count, xml.size() / 1048576.0, peak / 1024.0, peak * 1024.0 / double(xml.size()),
                    (peak - before) / 1024.0, (peak - before) * 1024.0 / double(xml.size()), secs,
                    request ? "" : (" FAILED: " + error.message).c_str());
    });
}

class NoProgress : public helper::RNHelperToolProgress {
public:
    void itemsErased(uint64_t, uint64_t, uint64_t, const std::string&) override { ++items; }
    void finishedWithNonErasedCount(uint64_t n) override { notErased = n; }
    uint64_t items = 0, notErased = 0;
};

void runCase(const char* label, size_t failures, size_t others, bool distinct) {
    inChild([&] {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillo-bench-helper-XXXXXX";
        if (!::mkdtemp(base.data())) return;
        const std::string home = base + "/home", files = home + "/.local/share/Trash/files";
        for (const std::string& d : {home, home + "/.local", home + "/.local/share", home + "/.local/share/Trash", files,
                                     home + "/.local/share/Trash/info"})
            ::mkdir(d.c_str(), 0700);
        // A symbolic link cannot be unlocked (neither a file nor a folder).
        common::HelperRequest request;
        for (size_t i = 0; i < failures; ++i) {
            const std::string link = files + "/l" + std::to_string(distinct ? i : 0);
            if (distinct || i == 0) (void)::symlink("nowhere", link.c_str());
            request.unlockItems.push_back(link);
        }
        for (size_t i = 0; i < others; ++i) request.unlockItems.push_back("/elsewhere/other-" + std::to_string(i));
        helper::RNHelperTool tool;
        const helper::PathGuard guard(::getuid(), home, {});
        NoProgress progress;
        const uint64_t moves = helper::RNHelperTool::workItemMoves();
        const auto t0 = std::chrono::steady_clock::now();
        tool.doErase(request, guard, progress);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("run    %-28s %7zu failures + %7zu others: %7.2f s, %9llu work-list copies, %zu reported, "
                    "%llu not erased\n",
                    label, failures, others, secs,
                    (unsigned long long)(helper::RNHelperTool::workItemMoves() - moves), size_t(progress.items),
                    (unsigned long long)progress.notErased);
        std::system(("rm -rf '" + base + "'").c_str());
    });
}

}  // namespace

int main(int argc, char** argv) {
    bool decode = argc < 2, run = argc < 2;
    for (int i = 1; i < argc; ++i) {
        decode = decode || std::string_view(argv[i]) == "decode";
        run = run || std::string_view(argv[i]) == "run";
    }
    if (decode) {
        decodeCase("empty paths", 3700000, "");
        const std::string path = "/home/someone/.local/share/Trash/files/f";
        decodeCase("paths of 40 bytes", (32u << 20) / (path.size() + 17), path);
    }
    if (run) {
        runCase("copies of one entry", 246691, 931946, false);
        runCase("distinct entries, half", 123346, 465973, true);
        runCase("distinct entries", 246691, 931946, true);
    }
    return 0;
}
