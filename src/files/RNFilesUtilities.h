// Shared file services: volumes and the user's trash on each, and the attributes and folder
// measurements the erase engine and the windows decide with. Every answer is read from the file
// system at the moment of the call; nothing is cached but the list of failed volumes.
//
// Paths are bytes (std::string) and need not be valid UTF-8. A "URL" is an absolute path here.
#pragma once

#include "files/TrashLocator.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace quillo::files {

// One mounted volume, or an item that is not a volume root (isDisk false, no capacities).
struct VolumeInfo {
    std::string url;   // the volume's root (a symlink given as input is resolved)
    std::string name;  // display name
    std::string path;  // the path as it was given
    bool isDisk = false;
    bool isLocked = false;  // read-only, or the state could not be read
    uint64_t totSize = 0;
    uint64_t freeSize = 0;
    bool isPhotosLib = false;  // only for non-volumes; always false
};

// The user's trash on one usable volume.
struct TrashLocation {
    std::string trashURL;  // the trash's files/ folder: its entries are the trashed items
    std::string volumeURL;
    std::string volumeName;
    std::string volumePath;
    bool trashIsEmpty = true;
};

// Result of a folder walk; folders themselves add nothing.
struct ItemSizeInfo {
    uint64_t totalSize = 0;
    uint64_t fileSize = 0;
};

class RNFilesUtilities {
public:
    static RNFilesUtilities& sharedControl();

    // Volumes and trashes.
    std::vector<TrashLocation> trashesAndVolumesLocations();
    std::vector<VolumeInfo> volumesLocationArray(const std::vector<std::string>* urls = nullptr);
    std::optional<VolumeInfo> directoryInfoForURL(const std::string& url);
    std::optional<std::string> trashURLForItemURL(const std::string& url);
    bool trashAtURLIsEmpty(const std::string& trashURL);
    static constexpr size_t kNotFound = size_t(-1);
    static size_t indexOfNewMountedDiskInArray(const std::vector<TrashLocation>& array, const std::string& path);
    std::vector<std::string> trashErrors() const;

    // Small queries; each gives a fixed default when the value cannot be read.
    std::optional<std::string> itemNameWithURL(const std::string& url);
    std::string itemDisplayNameWithURL(const std::string& url);
    std::optional<std::string> pathWithURL(const std::string& url, std::error_code* error = nullptr);
    bool isAliasWithURL(const std::string& url);
    // Linux has no bundles shown as single files: nothing is a package here.
    bool isPackageWithURL(const std::string&) { return false; }
    static bool isASupportedPackage(const std::string& path);
    bool isVolumeWithURL(const std::string& url);
    bool isVolumeLockedWithURL(const std::string& url);
    uint64_t volumeCapacityWithURL(const std::string& url);
    uint64_t volumeFreeCapacityWithURL(const std::string& url);

    // Attributes of single items.
    bool isDirectoryWithURL(const std::string& url);
    bool isHiddenWithURL(const std::string& url);
    bool isLockedWithURL(const std::string& url);
    bool unlockWithURL(const std::string& url);
    bool itemAtPathExists(const std::string& path);
    int16_t systemLabelNumberWithURL(const std::string& url);
    bool isAnEmptyFolder(const std::string& url);

    // Measures everything below a folder: sizes by st_size, entries counted into *itemsFound
    // (only ever increased). Never follows symlinks, never crosses into another mounted file
    // system, passes over what it cannot read; memory is bounded by the depth of the tree.
    ItemSizeInfo iterateFolderForSize(const std::string& url, uint64_t* itemsFound);

    // The trash lookup in use (tests replace it to point at planted trashes).
    void setTrashLocator(TrashLocator locator);
    TrashLocator trashLocator() const;

private:
    RNFilesUtilities();
    // The mounted volumes, never leaving out the one that holds the home trash.
    std::vector<VolumeInfo> mountedVolumes(const std::string& homeVolume);
    bool isKnownTrashError(const std::string& url) const;
    void addTrashError(const std::string& url);

    mutable std::mutex mutex_;
    std::optional<std::vector<std::string>> trashErrors_;
    std::optional<TrashLocator> locator_;
};

// The same attributes relative to an open folder, for work below a trashed item whose path may
// be longer than the system takes: hidden (a dot name, or listed in the folder's .hidden file)
// and locked (immutable or append-only).
bool isHiddenItemAt(int dirFd, const std::string& name);
bool isLockedItemAt(int dirFd, const std::string& name);

// Last path component ("/" for the root).
std::string lastPathComponent(const std::string& path);
// dir + "/" + name without doubling the slash.
std::string appendPathComponent(const std::string& dir, const std::string& name);
// Everything before the last component ("/" for a top-level item).
std::string deletingLastPathComponent(const std::string& path);

// Every walk keeps a bounded number of folders open, but many run at once (each disk row, each
// trash, two workers apiece): give the process all the descriptors it may have.
void raiseOpenFileLimit();

}  // namespace quillo::files
