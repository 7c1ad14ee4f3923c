// Lists a trash folder as erase records and removes single items.
#pragma once

#include "files/RNItemToErase.h"

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace quillo::files {

// The listing of one folder: a record per direct entry, in directory order, and the totals.
struct TrashListing {
    std::vector<RNItemToErase> itemsToErase;
    uint64_t size = 0;
    uint64_t count = 0;
};

class RNQuilloFileUtilities {
public:
    static RNQuilloFileUtilities& sharedControl();

    // nullopt for an empty URL. A folder entry is measured whole (count = 1 + entries below it);
    // folders are measured on up to `measureThreads()` threads at once. A folder that cannot be
    // read lists as empty.
    std::optional<TrashListing> binItemsAndInfoWithURL(const std::string& url) const;

    // Removes one item (a folder with everything in it); an empty error code on success.
    std::error_code deleteItemWithURL(const std::string& url) const;

    unsigned measureThreads() const { return measureThreads_; }
    void setMeasureThreads(unsigned n) { measureThreads_ = n ? n : 1; }

private:
    RNQuilloFileUtilities();
    unsigned measureThreads_;
};

}  // namespace quillo::files
