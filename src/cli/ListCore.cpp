#include "cli/ListCore.h"

#include "cli/Json.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "files/TrashLocator.h"
#include "files/Utf8.h"

#include <fnmatch.h>

#include <cstdio>

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

std::optional<ListOptions> parseListArgs(const std::vector<std::string>& args) {
    ListOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") o.json = true;
        else if (a == "--paths") o.pathsOnly = true;
        else if (a == "--match" && i + 1 < args.size()) o.globs.push_back(args[++i]);
        else if (a == "--volume" && i + 1 < args.size() && !o.volume) o.volume = args[++i];
        else if (!a.empty() && a[0] == '-') return std::nullopt;
        else if (!o.volume) o.volume = a;
        else return std::nullopt;
    }
    if (o.pathsOnly) o.json = false;
    return o;
}

void forEachListedItem(const std::vector<files::TrashLocation>& trashes, const std::vector<std::string>& globs,
                       const std::function<void(const ListedItem&)>& each) {
    const std::string homeTrash =
        files::canonicalPath(RNFilesUtilities::sharedControl().trashLocator().homeTrashDir());
    for (const auto& t : trashes) {
        const std::string trashDir = files::deletingLastPathComponent(t.trashURL);
        const bool isHomeTrash = files::canonicalPath(trashDir) == homeTrash;
        // The date each item was trashed and where it came from, read with the listing.
        auto listing = RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(t.trashURL, true);
        if (!listing) continue;
        for (size_t index = 0; index < listing->itemsToErase.size(); ++index) {
            const auto& item = listing->itemsToErase[index];
            const files::TrashInfoFields& info = listing->info[index];
            ListedItem listed;
            listed.name = files::lastPathComponent(item.url);
            listed.path = &item.url;
            listed.size = item.size;
            listed.count = item.count;
            listed.dateAdded = info.deletionDate;
            listed.volumePath = &t.volumePath;
            std::string why;
            if (info.path) listed.originalPath = files::originalPathFromTrashInfo(*info.path, t.volumeURL, isHomeTrash, why);
            if (!globs.empty()) {
                bool matched = false;
                for (const auto& glob : globs) {
                    if (!listed.originalPath) break;
                    const bool byName = glob.find('/') == std::string::npos;
                    const std::string subject = byName ? files::lastPathComponent(*listed.originalPath) : *listed.originalPath;
                    matched = matched || ::fnmatch(glob.c_str(), subject.c_str(), 0) == 0;
                }
                if (!matched) continue;
            }
            each(listed);
        }
    }
}

std::optional<int> listWithoutFormatters(const std::vector<std::string>& args) {
    const std::optional<ListOptions> options = parseListArgs(args);
    if (!options || (!options->json && !options->pathsOnly)) return std::nullopt;
    auto trashes = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    if (options->volume) {
        auto t = findTrash(trashes, *options->volume);
        if (!t) return std::nullopt;  // the message is the whole front end's
        trashes = {*t};
    }
    std::string out = options->json ? "[" : "";
    bool first = true;
    forEachListedItem(trashes, options->globs, [&](const ListedItem& item) {
        if (options->pathsOnly) {
            if (item.originalPath) out += files::displayText(*item.originalPath) + "\n";
        } else {
            out += first ? "\n " : ",\n ";
            JsonObject()
                .add("name", item.name)
                .add("path", *item.path)
                .add("size", item.size)
                .add("count", item.count)
                .add("dateAdded", item.dateAdded)
                .add("volumePath", *item.volumePath)
                .add("originalPath", item.originalPath ? std::string_view(*item.originalPath) : std::string_view())
                .appendTo(out);
            first = false;
        }
        if (out.size() > (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    });
    if (options->json) out += first ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace quillo::cli
