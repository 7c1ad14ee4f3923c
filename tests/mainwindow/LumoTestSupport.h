// Planted trashes for the Lumo Window tests: plain folders under the temporary home laid out as
// freedesktop.org trashes, handed to the window in place of the volume list.
#pragma once

#include "files/RNFilesUtilities.h"
#include "support/TestSupport.h"

#include <mutex>
#include <string>
#include <vector>

namespace quillo::test {

class PlantedTrashes {
public:
    explicit PlantedTrashes(const TempHome& home);
    ~PlantedTrashes();

    // A new volume folder "volN" with an empty trash; gives its index.
    size_t addVolume(const std::string& name);
    // files/NAME with `bytes` and its info file (dated unless `date` is empty).
    void addFile(size_t volume, const std::string& name, const std::string& bytes = "12345",
                 const std::string& date = "2024-05-01T10:20:30");
    // A trashed folder holding `files` files of 10 bytes.
    void addFolder(size_t volume, const std::string& name, int files, const std::string& date = "2024-05-01T10:20:30");
    std::string filesDir(size_t volume) const { return volumes_[volume].trashURL; }
    std::string trashDir(size_t volume) const;
    std::string volumePath(size_t volume) const { return volumes_[volume].volumePath; }
    // The volume disappears from the list (as on unmount).
    void removeVolume(size_t volume);

    std::vector<files::TrashLocation> locations();

private:
    std::string root_;
    std::mutex mutex_;
    std::vector<files::TrashLocation> volumes_;
    std::vector<bool> removed_;
};

}  // namespace quillo::test
