#include "cli/Commands.h"
#include "cli/EraseRunner.h"
#include "cli/VolumesCommand.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashLocator.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"
#include "helperclient/HelperInstallation.h"
#include "helperclient/RNSecureAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>

namespace quillo::cli {

using files::RNFilesUtilities;

namespace {

bool takeYes(std::vector<std::string>& args) {
    bool yes = false;
    std::vector<std::string> rest;
    for (auto& a : args) {
        if (a == "--yes" || a == "-y") yes = true;
        else rest.push_back(a);
    }
    args = rest;
    return yes;
}

void reportOutcome(const EraseOutcome& o) {
    if (o.stoppedByUser) std::cerr << "quillo-cli: " << text("cli_stopped") << "\n";
    // A cancelled erase, or one with nothing to erase, leaves nothing to say: the prompts said
    // why. Whatever stayed behind is always said, on the last line.
    if (o.abandoned && o.itemsLeft.empty()) return;
    auto& numbers = util::RNNumberUtilities::sharedControl();
    if (o.abandoned) std::cerr << "quillo-cli: " << text("cli_nothing_erased");
    else {
        const std::string size = numbers.sizeToFormatString(o.erasedSize, 4, true);
        std::cerr << "quillo-cli: "
                  << util::RNLocalizedMessage("cli_erased", {{"count", uint64_t(o.erasedCount)}, {"size", size}});
    }
    const uint64_t notErased = std::max<uint64_t>(o.notErasedCount, o.itemsLeft.size());
    if (notErased) std::cerr << "; " << util::RNLocalizedMessage("cli_not_erased", {{"count", notErased}});
    if (!o.itemsLeft.empty()) std::cerr << ": " << erase::RNDeleteItems::namesOfFirstItems(o.itemsLeft);
    std::cerr << "\n";
}

}  // namespace

int emptyCommand(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    const bool yes = takeYes(args);
    bool all = false;
    std::vector<std::string> volumes;
    for (const auto& a : args) {
        if (a == "--all") all = true;
        else if (!a.empty() && a[0] == '-') {
            std::cerr << "quillo-cli empty: " << text("cli_unknown_option", {displayText(a)}) << "\n"
                      << usageLine("quillo-cli empty [--yes] (--all | VOLUME...)");
            return 2;
        } else volumes.push_back(a);
    }
    if (all == !volumes.empty()) {
        std::cerr << usageLine("quillo-cli empty [--yes] (--all | VOLUME...)");
        return 2;
    }
    if (all) {
        EraseRunner runner(yes);
        EraseOutcome o = runner.emptyAllTrashes();
        reportOutcome(o);
        return exitStatusFor(o);
    }
    auto trashes = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    std::vector<files::TrashLocation> chosen;
    for (const auto& v : volumes) {
        auto t = findTrash(trashes, v);
        if (!t) {
            std::cerr << "quillo-cli: " << text("cli_no_trash_named", {displayText(v)}) << "\n";
            return 2;
        }
        chosen.push_back(*t);
    }
    int status = 0;
    EraseRunner runner(yes);
    for (const auto& t : chosen) {
        EraseOutcome o = runner.emptyVolumeTrash(t);
        reportOutcome(o);
        int s = exitStatusFor(o);
        if (s == 130) return s;
        status = std::max(status, s);
    }
    return status;
}

int eraseCommand(const std::vector<std::string>& argsIn) {
    std::vector<std::string> args = argsIn;
    const bool yes = takeYes(args);
    if (args.empty()) {
        std::cerr << usageLine("quillo-cli erase [--yes] PATH...");
        return 2;
    }
    // Only items directly inside one of the user's trashes can be erased.
    auto trashes = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    erase::RNItemList items;
    auto& files = RNFilesUtilities::sharedControl();
    for (const auto& raw : args) {
        std::string path = raw;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (!path.empty() && path[0] != '/') {
            char cwd[4096];
            if (::getcwd(cwd, sizeof cwd)) path = files::appendPathComponent(cwd, path);
        }
        const std::string name = files::lastPathComponent(path);
        const std::string parent = files::canonicalPath(files::deletingLastPathComponent(path));
        bool inTrash = false;
        for (const auto& t : trashes)
            if (files::canonicalPath(t.trashURL) == parent) inTrash = true;
        struct stat st;
        if (!inTrash || name == "." || name == ".." || ::lstat(path.c_str(), &st) != 0) {
            std::cerr << "quillo-cli: " << text("cli_not_in_trash", {displayText(raw)}) << "\n";
            return 2;
        }
        files::RNItemToErase item = files::RNItemToErase::newItem();
        item.url = files::appendPathComponent(parent, name);
        if (S_ISDIR(st.st_mode)) {
            uint64_t entries = 0;
            item.size = files.iterateFolderForSize(item.url, &entries).totalSize;
            // The folder itself counts too (as in a trash listing): an empty folder stands for one
            // item, and a count of 0 would read as "still measuring" to the session.
            item.count = 1 + entries;
        } else {
            item.size = uint64_t(st.st_size);
            item.count = 1;
        }
        items.push_back(std::move(item));
    }
    EraseRunner runner(yes);
    EraseOutcome o = runner.eraseItems(items);
    reportOutcome(o);
    return exitStatusFor(o);
}

int helperCommand(const std::vector<std::string>& args) {
    using helperclient::HelperClientError;
    using helperclient::RNSecureAccess;
    const std::string usage = usageLine("quillo-cli helper status|install|remove");
    if (args.size() != 1) {
        std::cerr << usage;
        return 2;
    }
    RNSecureAccess access(nullptr);
    if (args[0] == "status") {
        bool installed = false;
        const bool current = access.isHelperNeedBeInstalled(&installed);
        const auto installation = helperclient::HelperInstallation::current();
        const bool packaged = !installation.packagedHelperPath().empty();
        std::cout << text("cli_helper_path", {installation.helperPath()})
                  << (packaged ? text("cli_helper_packaged") : installed ? "" : text("cli_helper_absent")) << "\n";
        if (installed)
            std::cout << text("cli_helper_version", {displayText(RNSecureAccess::helperVersion()),
                                                     helperclient::kExpectedHelperVersion})
                      << "\n";
        // A packaged helper is repaired by reinstalling its package, never by `helper install`.
        const char* state = current     ? "cli_helper_current"
                            : packaged  ? "cli_helper_broken_package"
                            : installed ? "cli_helper_needs_update"
                                        : "cli_helper_not_installed";
        std::cout << text("cli_helper_status", {text(state)}) << "\n";
        return current ? 0 : 1;
    }
    if (args[0] == "install") {
        HelperClientError error;
        if (!access.blessHelperWithLabel(common::kHelperLabel, &error)) {
            std::cerr << "quillo-cli: " << error.localizedDescription() << "\n";
            return 1;
        }
        std::cerr << "quillo-cli: " << text("cli_helper_installed") << "\n";
        return 0;
    }
    if (args[0] == "remove") {
        if (HelperClientError error = access.removeHelper()) {
            std::cerr << "quillo-cli: " << error.localizedDescription() << "\n";
            return 1;
        }
        std::cerr << "quillo-cli: " << text("cli_helper_removed") << "\n";
        return 0;
    }
    std::cerr << usage;
    return 2;
}

}  // namespace quillo::cli
