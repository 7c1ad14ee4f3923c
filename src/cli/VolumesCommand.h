// `quillo-cli volumes [--json]`: one row per usable trash, as the status menu shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/RNFilesUtilities.h"
#include "files/Utf8.h"

namespace quillo::cli {

struct MeasuredTrash {
    files::TrashLocation location;
    uint64_t count = 0;  // every entry, nested ones included
    uint64_t size = 0;
    uint64_t items = 0;  // the trashed items themselves
    int readError = 0;   // errno: the trash folder could not be read
};

// Lists every usable trash and measures each, volumes in parallel.
std::vector<MeasuredTrash> measureAllTrashes();

// Byte paths are shown with invalid UTF-8 bytes as U+FFFD, so a terminal is never fed garbage.
using files::displayText;

int volumesCommand(const std::vector<std::string>& args);

}  // namespace quillo::cli
