#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/VolumesCommand.h"
#include "files/RNQuilloFileUtilities.h"
#include "files/TrashInfo.h"
#include "util/RNDateUtilities.h"
#include "util/RNNumberUtilities.h"

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

// The date each item was trashed, from its info file (read in batches: thousands of small files).
static std::vector<double> readDatesAdded(const std::string& trashURL, const std::vector<files::RNItemToErase>& items) {
    const files::TrashInfoReader info(files::deletingLastPathComponent(trashURL));
    std::vector<std::string> names;
    names.reserve(items.size());
    for (const auto& item : items) names.push_back(files::lastPathComponent(item.url));
    return info.deletionDates(names);
}

int listCommand(const std::vector<std::string>& args) {
    bool json = false;
    std::optional<std::string> volume;
    for (const auto& a : args) {
        if (a == "--json") json = true;
        else if (!a.empty() && a[0] == '-') {
            std::cerr << "usage: quillo-cli list [--json] [VOLUME]\n";
            return 2;
        } else if (!volume) volume = a;
        else {
            std::cerr << "usage: quillo-cli list [--json] [VOLUME]\n";
            return 2;
        }
    }
    auto trashes = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    if (volume) {
        auto t = findTrash(trashes, *volume);
        if (!t) {
            std::cerr << "quillo-cli: no usable trash on a volume named '" << displayText(*volume) << "'\n";
            return 2;
        }
        trashes = {*t};
    }
    // The formatters load ICU's data: only the text listing needs them.
    util::RNNumberUtilities* numbers = json ? nullptr : &util::RNNumberUtilities::sharedControl();
    util::RNDateUtilities* dates = json ? nullptr : &util::RNDateUtilities::sharedControl();
    std::string out = json ? "[" : "";
    bool first = true;
    size_t total = 0;
    for (const auto& t : trashes) {
        auto listing = RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(t.trashURL);
        if (!listing) continue;
        const std::vector<double> datesAdded = readDatesAdded(t.trashURL, listing->itemsToErase);
        for (size_t index = 0; index < listing->itemsToErase.size(); ++index) {
            const auto& item = listing->itemsToErase[index];
            ++total;
            const std::string name = files::lastPathComponent(item.url);
            const double added = datesAdded[index];
            if (json) {
                out += (first ? "\n " : ",\n ") + JsonObject()
                                                       .add("name", name)
                                                       .add("path", item.url)
                                                       .add("size", item.size)
                                                       .add("count", item.count)
                                                       .add("dateAdded", added)
                                                       .add("volumePath", t.volumePath)
                                                       .str();
                first = false;
            } else {
                std::string date = added == 0 ? "--" : dates->stringWithSeconds(added, 1, true, true);
                out += displayText(name) + "\t" + numbers->sizeToFormatString(item.size, 4, true) + "\t" + date +
                       "\t" + displayText(item.url) + "\n";
            }
            if (out.size() > (1 << 16)) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        }
    }
    if (json) out += first ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (!json && total == 0) std::cerr << "quillo-cli: the trash is empty\n";
    return 0;
}

}  // namespace quillo::cli
