// quillo-cli restore and put: items back to where they came from, and items into the trash.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/TerminalPromptBackend.h"
#include "cli/VolumesCommand.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNPreferences.h"
#include "erase/RNRestoreItems.h"
#include "helperclient/RNSecureAccess.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <set>

namespace quillo::cli {

using erase::RNRestoreItems;
using files::RestoreStatus;

namespace {

std::atomic<bool> gStop{false};

void onInterrupt(int) { gStop.store(true); }

// Ctrl-C stops between items and between chunks of a copy; the item being copied stays in the trash.
struct InterruptScope {
    struct sigaction old {};
    InterruptScope() {
        gStop.store(false);
        struct sigaction sa {};
        sa.sa_handler = onInterrupt;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &old);
    }
    ~InterruptScope() { ::sigaction(SIGINT, &old, nullptr); }
};

std::string currentFolder() {
    // Asked once: a put of thousands of relative paths would ask for each.
    static const std::string folder = [] {
        char buf[8192];
        return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
    }();
    return folder;
}

}  // namespace

// An absolute path for a path given on the command line, "." and ".." taken away by name (as
// the shell's cd does), no symlink resolved.
std::string absoluteCommandPath(const std::string& given) {
    std::string path = !given.empty() && given[0] == '/' ? given : currentFolder() + "/" + given;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

// The path the kernel would reach for a path given to put: up to its last ".." resolved by the
// system (where "link/.." is the link target's parent), the rest taken as written, so that the
// last component is never resolved (a symlink is trashed itself).
static std::string physicalCommandPath(const std::string& given) {
    const std::string path = !given.empty() && given[0] == '/' ? given : currentFolder() + "/" + given;
    size_t cut = std::string::npos;
    for (size_t at = path.find(".."); at != std::string::npos; at = path.find("..", at + 1)) {
        const bool starts = at > 0 && path[at - 1] == '/';
        const bool ends = at + 2 == path.size() || path[at + 2] == '/';
        if (starts && ends) cut = at + 2;
    }
    if (cut == std::string::npos) return absoluteCommandPath(path);
    const std::string resolved = files::canonicalPath(path.substr(0, cut));
    return absoluteCommandPath(resolved + path.substr(cut));
}


static const char* statusName(RestoreStatus s) {
    switch (s) {
    case RestoreStatus::Restored: return "restored";
    case RestoreStatus::Skipped: return "skipped";
    case RestoreStatus::Refused: return "refused";
    case RestoreStatus::Failed: return "failed";
    case RestoreStatus::Stopped: return "stopped";
    }
    return "failed";
}

int restoreCommand(const std::vector<std::string>& args) {
    RNRestoreItems::Options options;
    bool json = false;
    std::vector<std::string> wanted, globs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--json") json = true;
        else if (a == "--dry-run" || a == "-n") options.dryRun = true;
        else if (a == "--rename") options.conflicts = RNRestoreItems::ConflictPolicy::KeepBoth;
        else if (a == "--replace") options.conflicts = RNRestoreItems::ConflictPolicy::Replace;
        else if (a == "--skip") options.conflicts = RNRestoreItems::ConflictPolicy::Skip;
        else if (a == "--to" && value(v)) options.toDir = absoluteCommandPath(v);
        else if (a == "--match" && value(v)) globs.push_back(v);
        else if (a == "--") {
            wanted.insert(wanted.end(), args.begin() + long(i) + 1, args.end());
            break;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "quillo-cli restore: " << text("cli_unknown_option_or_value", {displayText(a)}) << "\n"
                      << text("cli_restore_usage");
            return 2;
        } else wanted.push_back(a);
    }
    if (wanted.empty() && globs.empty()) {
        std::cerr << text("cli_restore_usage");
        return 2;
    }
    if (options.toDir) {
        struct stat st;
        if (::stat(options.toDir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::cerr << "quillo-cli restore: " << text("cli_to_not_a_folder", {displayText(*options.toDir)}) << "\n";
            return 2;
        }
    }

    erase::setupDefaultsPreferences();
    erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<TerminalPromptBackend>(false));
    const std::vector<files::TrashedItem> all = RNRestoreItems::allTrashedItems();
    std::vector<std::string> trashedPaths;
    trashedPaths.reserve(all.size());
    for (const auto& item : all)
        trashedPaths.push_back(files::appendPathComponent(files::canonicalPath(item.trashDir) + "/files", item.name));

    int status = 0;
    std::vector<files::TrashedItem> chosen;
    std::set<size_t> taken;
    auto take = [&](size_t index) {
        if (taken.insert(index).second) chosen.push_back(all[index]);
    };
    for (const auto& w : wanted) {
        const std::string path = absoluteCommandPath(w);
        const std::string inTrash =
            files::appendPathComponent(files::canonicalPath(files::deletingLastPathComponent(path)), files::lastPathComponent(path));
        std::optional<size_t> found;
        for (size_t i = 0; i < all.size() && !found; ++i)
            if (trashedPaths[i] == inTrash) found = i;
        // By original path: the most recently trashed of the items that came from there.
        if (!found) {
            for (size_t i = 0; i < all.size(); ++i) {
                if (!all[i].originalPath || *all[i].originalPath != path) continue;
                if (!found || all[i].deletionDate > all[*found].deletionDate) found = i;
            }
        }
        if (!found) {
            std::cerr << "quillo-cli: " << text("cli_not_restored", {displayText(w), text("cli_nothing_came_from_there")})
                      << "\n";
            status = 1;
            continue;
        }
        take(*found);
    }
    for (const auto& glob : globs) {
        // A pattern without a slash is matched against the name alone.
        const bool byName = glob.find('/') == std::string::npos;
        bool any = false;
        for (size_t i = 0; i < all.size(); ++i) {
            if (!all[i].originalPath) continue;
            const std::string subject = byName ? files::lastPathComponent(*all[i].originalPath) : *all[i].originalPath;
            if (::fnmatch(glob.c_str(), subject.c_str(), 0) == 0) {
                take(i);
                any = true;
            }
        }
        if (!any) {
            std::cerr << "quillo-cli: " << text("cli_nothing_matches", {displayText(glob)}) << "\n";
            status = 1;
        }
    }

    InterruptScope interrupt;
    options.stop = &gStop;
    const bool showProgress = ::isatty(2) && !json;
    auto lastShown = std::chrono::steady_clock::now();
    if (showProgress)
        options.progress = [&lastShown](uint64_t bytes, uint64_t items) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastShown < std::chrono::milliseconds(200)) return;
            lastShown = now;
            auto& numbers = util::RNNumberUtilities::sharedControl();
            const std::string size = numbers.sizeToFormatString(bytes, 4, true);
            std::cerr << "\r" << util::RNLocalizedMessage("cli_copying", {{"count", items}, {"size", size}}) << "   "
                      << std::flush;
        };
    // Locked items and other users' folders: the helper, asked on the terminal.
    RNRestoreItems::setPrivilegedRestorerFactory(
        []() -> std::unique_ptr<erase::RNPrivilegedRestorer> { return helperclient::RNSecureAccess::initWithDelegate(nullptr); });
    RNRestoreItems restorer(options);
    const auto outcomes = restorer.restore(chosen);
    if (showProgress) std::cerr << "\r\033[K" << std::flush;

    std::string out = json ? "[" : "";
    bool first = true;
    for (const auto& o : outcomes) {
        const bool restored = o.result.status == RestoreStatus::Restored;
        if (json) {
            JsonObject obj;
            obj.add("trashedPath", o.item.trashedPath());
            if (o.item.originalPath) obj.add("originalPath", *o.item.originalPath);
            obj.add("destination", o.result.destination)
                .add("status", statusName(o.result.status))
                .add("copied", o.result.copied)
                .add("dryRun", options.dryRun);
            if (!o.result.error.empty()) obj.add("error", o.result.error);
            out += (first ? "\n " : ",\n ") + obj.str();
            first = false;
        } else if (restored) {
            out += text(options.dryRun ? "cli_would_restore" : "cli_restored", {displayText(o.result.destination)}) + "\n";
        }
        if (!restored) {
            status = 1;
            std::cerr << "quillo-cli: "
                      << text("cli_not_restored",
                              {displayText(o.item.originalPath ? *o.item.originalPath : o.item.trashedPath()),
                               displayText(o.result.error)})
                      << "\n";
        } else if (!o.result.error.empty()) {
            std::cerr << "quillo-cli: " << displayText(o.result.destination) << ": " << displayText(o.result.error) << "\n";
        }
    }
    if (json) out += first ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (gStop.load()) return 130;
    return status;
}

int putCommand(const std::vector<std::string>& args) {
    std::vector<std::string> paths;
    bool verbose = false, afterOptions = false;
    for (const auto& a : args) {
        if (!afterOptions && a == "--") afterOptions = true;
        else if (!afterOptions && (a == "-v" || a == "--verbose")) verbose = true;
        else if (!afterOptions && !a.empty() && a[0] == '-' && a != "-") {
            std::cerr << "quillo-cli put: " << text("cli_unknown_option", {displayText(a)}) << "\n"
                      << usageLine("quillo-cli put [-v] PATH...");
            return 2;
        } else paths.push_back(physicalCommandPath(a));
    }
    if (paths.empty()) {
        std::cerr << usageLine("quillo-cli put [-v] PATH...");
        return 2;
    }
    erase::setupDefaultsPreferences();
    InterruptScope interrupt;
    RNRestoreItems::Options options;
    options.stop = &gStop;
    RNRestoreItems putter(options);
    int status = 0;
    for (const auto& r : putter.put(paths)) {
        if (r.ok) {
            if (verbose)
                std::cout << text("cli_trashed",
                                  {displayText(r.path), displayText(files::appendPathComponent(r.trashDir + "/files", r.name))})
                          << "\n";
            continue;
        }
        std::cerr << "quillo-cli: " << text("cli_not_trashed", {displayText(r.path), displayText(r.error)}) << "\n";
        status = 1;
    }
    if (gStop.load()) return 130;
    return status;
}

}  // namespace quillo::cli
