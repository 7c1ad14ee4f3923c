// Removal of an item and everything below it, relative to directory descriptors: symlinks are
// removed, never followed, and a file system mounted inside a folder is never entered (its
// mount point stays and reports EBUSY). Iterative, with a bounded number of open descriptors,
// whatever the depth of the tree.
#pragma once

#include <system_error>
#include <string>

namespace quillo::files {

// Removes `name` inside the open directory `parentFd`. Goes on past failures so that as much
// as possible is removed, and answers the first error (0 when everything went).
int removeItemAt(int parentFd, const char* name);

// The same for an absolute path.
std::error_code removeItemAtPath(const std::string& path);

}  // namespace quillo::files
