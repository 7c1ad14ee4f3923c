// The part of `quillo-cli list` that needs no formatters: finding trashes, reading each item with
// its info file, and the machine-readable outputs (--json, --paths). The quillo-cli executable
// runs it without loading ICU or sd-bus, so that a listing (and a shell completion, which lists
// at every Tab) pays for the file system and nothing else.
#pragma once

#include "files/RNFilesUtilities.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillo::cli {

// The usable trash of the volume named by its display name or mount point.
std::optional<files::TrashLocation> findTrash(const std::vector<files::TrashLocation>& trashes,
                                              const std::string& volume);

struct ListOptions {
    bool json = false;
    bool pathsOnly = false;  // one original location a line, for completions
    std::optional<std::string> volume;
    std::vector<std::string> globs;
};

// nullopt: the arguments are not a valid listing request.
std::optional<ListOptions> parseListArgs(const std::vector<std::string>& args);

// One listed item: what every output form is made of.
struct ListedItem {
    std::string name;
    const std::string* path = nullptr;  // the item in the trash's files/ folder
    uint64_t size = 0;
    uint64_t count = 0;
    double dateAdded = 0;  // seconds since 2001-01-01 UTC; 0 when unknown
    const std::string* volumePath = nullptr;
    std::optional<std::string> originalPath;
};

// Calls `each` for every item of the given trashes whose original location matches one of
// `globs` (all items when there are none).
void forEachListedItem(const std::vector<files::TrashLocation>& trashes, const std::vector<std::string>& globs,
                       const std::function<void(const ListedItem&)>& each);

// Runs `quillo-cli list` when it asks for --json or --paths and nothing needs a message; nullopt
// when the request needs the whole front end (text output, a usage error, an unknown volume).
std::optional<int> listWithoutFormatters(const std::vector<std::string>& args);

}  // namespace quillo::cli
