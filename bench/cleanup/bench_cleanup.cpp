// Drives the automatic clean-up for bench/cleanup/run.
//   quillo-bench-cleanup generate TRASHDIR COUNT     COUNT files with info files, dates over 100 days
//   quillo-bench-cleanup decide TRASHDIR             times the listing (items, sizes, dates) and the
//                                                    decision on top of it (every rule on)
//   quillo-bench-cleanup passes TRASHDIR PASSES      that many passes, each over freshly trashed old
//                                                    items; resident memory after each
#include "erase/RNAutoCleanup.h"
#include "erase/RNCleanupPlanner.h"
#include "erase/RNPreferences.h"
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "files/TrashLocator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

using namespace quillo;

namespace {

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void plant(const std::string& trash, const std::string& name, long ageSeconds, size_t size) {
    const std::string file = trash + "/files/" + name;
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return std::perror(file.c_str());
    static const std::string data(4096, 'q');
    if (::write(fd, data.data(), size % data.size()) < 0) std::perror("write");
    ::close(fd);
    std::time_t t = std::time(nullptr) - ageSeconds;
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    std::ofstream(trash + "/info/" + name + ".trashinfo")
        << "[Trash Info]\nPath=/home/someone/" << name << "\nDeletionDate=" << date << "\n";
}

int generate(const std::string& trash, long count) {
    ::mkdir(trash.c_str(), 0700);
    ::mkdir((trash + "/files").c_str(), 0700);
    ::mkdir((trash + "/info").c_str(), 0700);
    for (long i = 0; i < count; ++i) plant(trash, "item" + std::to_string(i), (i * 7919) % (100 * 86400), size_t(i));
    return 0;
}

int decide(const std::string& trash) {
    files::refreshTimeZone();
    erase::RNCleanupRules rules;
    rules.olderThanOn = true;
    rules.olderThanDays = 30;
    rules.maxTrashOn = true;
    rules.maxTrashBytes = 1'000'000;
    rules.minFreeOn = true;
    rules.minFreePercent = 10;

    // The listing as the windows make it: items with sizes, then the dates of their info files.
    double t0 = seconds();
    auto listing = files::RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(trash + "/files");
    std::vector<std::string> names;
    for (const auto& i : listing->itemsToErase) names.push_back(files::lastPathComponent(i.url));
    auto dates = files::TrashInfoReader(trash).deletionDates(names);
    double listed = seconds() - t0;

    // The decision on top of it.
    std::vector<erase::RNCleanupItem> items(names.size());
    for (size_t k = 0; k < names.size(); ++k) {
        items[k].path = listing->itemsToErase[k].url;
        items[k].size = listing->itemsToErase[k].size;
        items[k].count = listing->itemsToErase[k].count;
        items[k].deletionDate = dates[k];
    }
    t0 = seconds();
    erase::RNCleanupVolumePlan plan;
    erase::RNCleanupPlanner::decide(rules, std::move(items), erase::RNVolumeSpace{true, 1'000'000'000, 100'000'000'000}, erase::RNCleanupPlanner::currentTime(), plan);
    double decided = seconds() - t0;

    // The whole plan of the volume as a pass makes it (its own listing, statvfs, the identity of
    // what is chosen).
    t0 = seconds();
    auto whole = erase::RNCleanupPlanner::planVolume(rules, trash + "/files", files::volumeOfPath(trash), "bench",
                                                     erase::RNCleanupPlanner::currentTime());
    double planned = seconds() - t0;
    std::printf("items %zu  listing %.3f s  decision %.3f s  whole plan %.3f s (chosen %zu)\n", names.size(), listed,
                decided, planned, whole.items.size());
    return 0;
}

int passes(const std::string& trash, long count) {
    erase::setupDefaultsPreferences();
    erase::RNCleanupRules rules;
    rules.olderThanOn = true;
    rules.olderThanDays = 30;
    erase::RNAutoCleanup::Options options;
    options.volume = files::volumeOfPath(trash);
    long first = 0;
    for (long p = 0; p < count; ++p) {
        for (int i = 0; i < 500; ++i) plant(trash, "pass" + std::to_string(p) + "-" + std::to_string(i), 40 * 86400, 100);
        erase::RNAutoCleanup pass(rules, options);
        const auto r = pass.run();
        const long rss = residentKiB();
        if (p == 0) first = rss;
        std::printf("pass %2ld  erased %4llu  RSS %ld KiB (%+ld)\n", p + 1, (unsigned long long)r.erasedItems(), rss,
                    rss - first);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s generate TRASHDIR COUNT | decide TRASHDIR | passes TRASHDIR PASSES\n", argv[0]);
        return 2;
    }
    const std::string cmd = argv[1], dir = argv[2];
    if (cmd == "generate" && argc == 4) return generate(dir, std::atol(argv[3]));
    if (cmd == "decide") return decide(dir);
    if (cmd == "passes" && argc == 4) return passes(dir, std::atol(argv[3]));
    return 2;
}
