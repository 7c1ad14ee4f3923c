#include "cli/Commands.h"
#include "cli/ListCore.h"
#include "cli/VolumesCommand.h"
#include "util/RNDateUtilities.h"
#include "util/RNNumberUtilities.h"

#include <cstdio>
#include <iostream>

namespace quillo::cli {

using files::RNFilesUtilities;

static const char* kListUsage = "quillo-cli list [--json|--paths] [--match GLOB] [--volume VOLUME] [VOLUME]";

int listCommand(const std::vector<std::string>& args) {
    // The machine-readable forms need no formatters.
    if (auto done = listWithoutFormatters(args)) return *done;
    const std::optional<ListOptions> options = parseListArgs(args);
    if (!options) {
        std::cerr << usageLine(kListUsage);
        return 2;
    }
    auto trashes = RNFilesUtilities::sharedControl().trashesAndVolumesLocations();
    if (options->volume) {
        auto t = findTrash(trashes, *options->volume);
        if (!t) {
            std::cerr << "quillo-cli: " << text("cli_no_trash_named", {displayText(*options->volume)}) << "\n";
            return 2;
        }
        trashes = {*t};
    }
    // The text listing: sizes and dates in the user's language.
    const util::RNNumberUtilities& numbers = util::RNNumberUtilities::sharedControl();
    util::RNDateUtilities& dates = util::RNDateUtilities::sharedControl();
    std::string out;
    size_t total = 0;
    forEachListedItem(trashes, options->globs, [&](const ListedItem& item) {
        ++total;
        const std::string date = item.dateAdded == 0 ? "--" : dates.stringWithSeconds(item.dateAdded, 1, true, true);
        out += displayText(item.name) + "\t" + numbers.sizeToFormatString(item.size, 4, true) + "\t" + date + "\t" +
               displayText(*item.path) + "\t" + (item.originalPath ? displayText(*item.originalPath) : std::string("--")) +
               "\n";
        if (out.size() > (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    });
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (total == 0) std::cerr << "quillo-cli: " << text("cli_trash_is_empty") << "\n";
    return 0;
}

}  // namespace quillo::cli
