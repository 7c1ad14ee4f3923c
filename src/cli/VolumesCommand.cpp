#include "cli/VolumesCommand.h"

#include "cli/Commands.h"
#include "cli/Json.h"
#include "files/RNQuilloFileUtilities.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"
#include "files/Utf8.h"

#include <cstdio>
#include <future>
#include <iostream>

namespace quillo::cli {

using files::RNFilesUtilities;
using files::RNQuilloFileUtilities;
using util::RNNumberUtilities;

std::vector<MeasuredTrash> measureAllTrashes() {
    auto locations = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    std::vector<std::future<MeasuredTrash>> pending;
    for (auto& loc : locations) {
        pending.push_back(std::async(std::launch::async, [loc] {
            MeasuredTrash m{loc, 0, 0};
            if (auto listing = RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(loc.trashURL)) {
                m.count = listing->count;
                m.items = listing->itemsToErase.size();
                m.size = listing->size;
                m.readError = listing->readError;
            }
            return m;
        }));
    }
    std::vector<MeasuredTrash> result;
    for (auto& p : pending) result.push_back(p.get());
    return result;
}

int volumesCommand(const std::vector<std::string>& args) {
    bool json = false, names = false;
    for (const auto& a : args) {
        if (a == "--json") {
            json = true;
        } else if (a == "--names") {
            names = true;
        } else {
            std::cerr << "quillo-cli volumes: " << text("cli_unknown_argument", {displayText(a)}) << "\n"
                      << usageLine("quillo-cli volumes [--json | --names]");
            return 2;
        }
    }
    if (names) {
        // For shell completion: what `empty` accepts, unmeasured, so a tab never waits on a walk.
        for (const auto& loc : RNFilesUtilities::sharedControl().trashesAndVolumesLocations()) {
            std::fwrite(loc.volumeName.data(), 1, loc.volumeName.size(), stdout);
            std::fputc('\n', stdout);
            std::fwrite(loc.volumePath.data(), 1, loc.volumePath.size(), stdout);
            std::fputc('\n', stdout);
        }
        return 0;
    }
    auto trashes = measureAllTrashes();
    if (trashes.empty()) {
        std::cerr << "quillo-cli: " << text("cli_no_usable_trash") << "\n";
        return 1;
    }
    if (json) {
        std::string out = "[";
        for (size_t i = 0; i < trashes.size(); ++i) {
            const auto& t = trashes[i];
            out += (i ? ",\n " : "\n ") + JsonObject()
                                              .add("volumeName", t.location.volumeName)
                                              .add("volumePath", t.location.volumePath)
                                              .add("trashURL", t.location.trashURL)
                                              .add("trashIsEmpty", t.count == 0 && !t.readError)
                                              .add("count", t.count)
                                              .add("size", t.size)
                                              .add("items", t.items)
                                              .add("readable", t.readError == 0)
                                              .str();
        }
        out += "\n]\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    }
    auto& numbers = RNNumberUtilities::sharedControl();
    size_t nameWidth = 0, pathWidth = 0;
    for (const auto& t : trashes) {
        nameWidth = std::max(nameWidth, displayText(t.location.volumeName).size());
        pathWidth = std::max(pathWidth, displayText(t.location.volumePath).size());
    }
    for (const auto& t : trashes) {
        std::string name = displayText(t.location.volumeName), path = displayText(t.location.volumePath);
        // The trashed items, as the tray's rows and the Lumo Window count them; every file and
        // folder below them is the JSON's "count". A trash that cannot be read says so.
        const std::string sizeText = numbers.sizeToFormatString(t.size, 4, true);
        std::string text = t.readError ? util::RNLocalizedString("trash_unreadable")
                                       : util::RNLocalizedMessage("items_size", {{"count", t.items}, {"size", sizeText}});
        std::printf("%-*s  %-*s  %s\n", int(nameWidth), name.c_str(), int(pathWidth), path.c_str(), text.c_str());
    }
    return 0;
}

}  // namespace quillo::cli
