// The kernel's table of mounted file systems, read from /proc/self/mountinfo.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillo::files {

struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;  // decoded: "\040" and friends turned back into bytes
    std::string fsType;
    std::string source;
    std::string mountOptions;  // per-mount options ("rw,relatime")
    std::string superOptions;  // per-superblock options
    bool hasOption(const std::string& option) const;  // looks in both option lists
};

// Entries in the kernel's order; empty when the table cannot be read.
std::vector<MountEntry> readMountTable(const std::string& path = "/proc/self/mountinfo");

// Parses one line of mountinfo; false for a malformed line.
bool parseMountInfoLine(const std::string& line, MountEntry& out);

// Pseudo and system-internal mounts that never hold a user's trash: kernel file systems and
// mount points under /proc, /sys, /dev, /run (except /run/media), /snap and /boot.
bool isSystemMount(const MountEntry& entry);

// The entry whose mount point is the longest prefix of `canonicalPath` (a path without
// symlinks, "." or ".."); the last such entry wins when a mount point is mounted over.
const MountEntry* mountContaining(const std::vector<MountEntry>& table, const std::string& canonicalPath);

}  // namespace quillo::files
