// The trash's own records of an erased item, kept up to date the way the application does it,
// but relative to the verified trash folder: root never follows a path the user can change.
#pragma once

#include <string>

namespace quillo::helper {

// Once files/NAME is gone: removes info/NAME.trashinfo and NAME's line in the trash's
// `directorysizes` cache. `trashDirFd` is the trash folder holding files/ and info/. Does
// nothing while files/NAME still exists. True when nothing is left behind.
bool forgetErasedItemAt(int trashDirFd, const std::string& name);

// Removes NAME's line from `directorysizes` (rewritten through a temporary file and an atomic
// rename, keeping the file's owner and mode); true when the cache holds no such line afterwards.
bool removeDirectorySizesEntryAt(int trashDirFd, const std::string& name);

}  // namespace quillo::helper
