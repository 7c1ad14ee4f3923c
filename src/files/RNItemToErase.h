// One item to be erased: a trashed file or folder with the bytes and entries it stands for.
#pragma once

#include <cstdint>
#include <string>

namespace quillo::files {

struct RNItemToErase {
    std::string url;
    uint64_t size = 0;
    // Entries the item stands for: 1 for a file; for a folder from a trash listing, 1 plus all
    // entries below it; for one made from a main-window row, the row's count (folder left out).
    uint64_t count = 0;

    static RNItemToErase newItem() { return {}; }
    bool isDirectory() const;  // asked of the file system on every read
    const std::string& path() const { return url; }
};

}  // namespace quillo::files
