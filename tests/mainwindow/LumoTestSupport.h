// Planted trashes for the Lumo Window tests: plain folders under the temporary home laid out as
// freedesktop.org trashes, handed to the window in place of the volume list.
#pragma once

#include "files/RNFilesUtilities.h"
#include "support/TestSupport.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillo::test {

// The source list's workers are waited for on destruction, so that none of them reads the
// planted trashes (or the temporary home) after the test.
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
    std::string filesDir(size_t volume) const;
    std::string trashDir(size_t volume) const;
    std::string volumePath(size_t volume) const;
    // The volume disappears from the list (as on unmount).
    void removeVolume(size_t volume);

    std::vector<files::TrashLocation> locations();

private:
    // Shared with the providers handed to the models: a listing already running when the test
    // ends still reads a list that exists.
    struct Volumes {
        std::mutex mutex;
        std::vector<files::TrashLocation> list;
        std::vector<bool> removed;
        std::vector<files::TrashLocation> current();
    };
    std::string root_;
    std::shared_ptr<Volumes> volumes_ = std::make_shared<Volumes>();
};

}  // namespace quillo::test
