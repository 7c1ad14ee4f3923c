#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/VolumesCommand.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "util/RNDateUtilities.h"
#include "util/RNNumberUtilities.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace quillo::cli {

using files::RNFilesUtilities;
using files::RNQuilloFileUtilities;

std::optional<files::TrashLocation> findTrash(const std::vector<files::TrashLocation>& trashes,
                                              const std::string& volume) {
    std::string path = volume;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (const auto& t : trashes)
        if (t.volumePath == path) return t;
    for (const auto& t : trashes)
        if (t.volumeName == volume) return t;
    return std::nullopt;
}

static const char* kListUsage = "quillo-cli list [--json|--paths] [--match GLOB] [--volume VOLUME] [VOLUME]";

int listCommand(const std::vector<std::string>& args) {
    bool json = false;
    std::optional<std::string> volume;
    std::vector<std::string> globs;
    bool pathsOnly = false;  // one original location a line, for completions
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") json = true;
        else if (a == "--paths") pathsOnly = true;
        else if (a == "--match" && i + 1 < args.size()) globs.push_back(args[++i]);
        else if (a == "--volume" && i + 1 < args.size() && !volume) volume = args[++i];
        else if (!a.empty() && a[0] == '-') {
            std::cerr << usageLine(kListUsage);
            return 2;
        } else if (!volume) volume = a;
        else {
            std::cerr << usageLine(kListUsage);
            return 2;
        }
    }
    auto trashes = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    if (volume) {
        auto t = findTrash(trashes, *volume);
        if (!t) {
            std::cerr << "quillo-cli: " << text("cli_no_trash_named", {displayText(*volume)}) << "\n";
            return 2;
        }
        trashes = {*t};
    }
    // The formatters load ICU's data: only the text listing needs them.
    if (pathsOnly) json = false;
    util::RNNumberUtilities* numbers = json || pathsOnly ? nullptr : &util::RNNumberUtilities::sharedControl();
    util::RNDateUtilities* dates = json || pathsOnly ? nullptr : &util::RNDateUtilities::sharedControl();
    std::string out = json ? "[" : "";
    bool first = true;
    size_t total = 0;
    const std::string homeTrash =
        files::canonicalPath(RNFilesUtilities::sharedControl().trashLocator().homeTrashDir());
    for (const auto& t : trashes) {
        const std::string trashDir = files::deletingLastPathComponent(t.trashURL);
        const bool isHomeTrash = files::canonicalPath(trashDir) == homeTrash;
        // The date each item was trashed and where it came from, read with the listing.
        auto listing = RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(t.trashURL, true);
        if (!listing) continue;
        const std::vector<files::TrashInfoFields>& info = listing->info;
        for (size_t index = 0; index < listing->itemsToErase.size(); ++index) {
            const auto& item = listing->itemsToErase[index];
            const std::string name = files::lastPathComponent(item.url);
            const double added = info[index].deletionDate;
            std::string why;
            std::optional<std::string> original =
                info[index].path ? files::originalPathFromTrashInfo(*info[index].path, t.volumeURL, isHomeTrash, why)
                                 : std::nullopt;
            if (!globs.empty()) {
                bool matched = false;
                for (const auto& glob : globs) {
                    if (!original) break;
                    const bool byName = glob.find('/') == std::string::npos;
                    const std::string subject = byName ? files::lastPathComponent(*original) : *original;
                    matched = matched || ::fnmatch(glob.c_str(), subject.c_str(), 0) == 0;
                }
                if (!matched) continue;
            }
            ++total;
            if (pathsOnly) {
                if (original) out += displayText(*original) + "\n";
            } else if (json) {
                out += first ? "\n " : ",\n ";
                JsonObject()
                    .add("name", name)
                    .add("path", item.url)
                    .add("size", item.size)
                    .add("count", item.count)
                    .add("dateAdded", added)
                    .add("volumePath", t.volumePath)
                    .add("originalPath", original ? std::string_view(*original) : std::string_view())
                    .appendTo(out);
                first = false;
            } else {
                std::string date = added == 0 ? "--" : dates->stringWithSeconds(added, 1, true, true);
                out += displayText(name) + "\t" + numbers->sizeToFormatString(item.size, 4, true) + "\t" + date +
                       "\t" + displayText(item.url) + "\t" +
                       (original ? displayText(*original) : std::string("--")) + "\n";
            }
            if (out.size() > (1 << 16)) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        }
    }
    if (json) out += first ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (!json && !pathsOnly && total == 0) std::cerr << "quillo-cli: " << text("cli_trash_is_empty") << "\n";
    return 0;
}

}  // namespace quillo::cli
