// Lists a trash folder as erase records and removes single items.
#pragma once

#include "files/RNItemToErase.h"
#include "files/TrashInfo.h"

#include <cstdint>
#include <functional>
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
    // The errno that kept the trash folder itself from being read (0: it was read, or it does
    // not exist, which is an empty trash). Its figures are then unknown, not zero.
    int readError = 0;
    // When asked for: each item's info file (info/NAME.trashinfo), in the order of the items.
    std::vector<TrashInfoFields> info;
};

// The direct entries of the trash folder `url`, a record each with the sizes of files (a folder is
// known by its entry's type, everything else takes one statx), and then its folders measured on
// up to `threads` threads: `measureFolder` gets the open folder, how many threads it may use
// inside it, and its record to fill. A folder on another mount keeps count 1, size 0. With
// `withInfo`, the info file of each item is read too (`info`). nullopt for an empty URL; a folder
// that cannot be read lists as empty, with its `readError`.
using MeasureFolder = std::function<void(int folderFd, unsigned threadsInside, RNItemToErase& item)>;
std::optional<TrashListing> listTrashFolder(const std::string& url, unsigned threads, const MeasureFolder& measureFolder,
                                            bool withInfo = false);

class RNQuilloFileUtilities {
public:
    static RNQuilloFileUtilities& sharedControl();

    // nullopt for an empty URL. A folder entry is measured whole (count = 1 + entries below it);
    // folders are measured on up to `measureThreads()` threads at once. A folder that cannot be
    // read lists as empty. With `withInfo`, each item's info file is read as well.
    std::optional<TrashListing> binItemsAndInfoWithURL(const std::string& url, bool withInfo = false) const;

    // Removes one item (a folder with everything in it); an empty error code on success.
    std::error_code deleteItemWithURL(const std::string& url) const;

    unsigned measureThreads() const { return measureThreads_; }
    void setMeasureThreads(unsigned n) { measureThreads_ = n ? n : 1; }

private:
    RNQuilloFileUtilities();
    unsigned measureThreads_;
};

}  // namespace quillo::files
