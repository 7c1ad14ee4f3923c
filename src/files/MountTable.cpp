#include "files/MountTable.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <string_view>

namespace quillo::files {

namespace {

// mountinfo escapes space, tab, newline and backslash as three octal digits.
std::string decodeOctalEscapes(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' &&
            s[i + 3] <= '7') {
            out += char(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool hasListItem(const std::string& list, const std::string& item) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        if (list.compare(start, end - start, item) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool isUnder(const std::string& path, std::string_view dir) {
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/');
}

}  // namespace

bool MountEntry::hasOption(const std::string& option) const {
    return hasListItem(mountOptions, option) || hasListItem(superOptions, option);
}

bool parseMountInfoLine(const std::string& line, MountEntry& out) {
    // id parent major:minor root mountpoint options [optional fields...] - fstype source superoptions
    std::istringstream in(line);
    std::string id, parent, devs, root, mountPoint, options, field;
    if (!(in >> id >> parent >> devs >> root >> mountPoint >> options)) return false;
    while (in >> field && field != "-") {
    }
    if (field != "-") return false;
    std::string fsType, source, superOptions;
    if (!(in >> fsType)) return false;
    in >> source >> superOptions;
    size_t colon = devs.find(':');
    if (colon == std::string::npos) return false;
    try {
        out.major = unsigned(std::stoul(devs.substr(0, colon)));
        out.minor = unsigned(std::stoul(devs.substr(colon + 1)));
    } catch (...) {
        return false;
    }
    out.mountPoint = decodeOctalEscapes(mountPoint);
    out.fsType = decodeOctalEscapes(fsType);
    out.source = decodeOctalEscapes(source);
    out.mountOptions = options;
    out.superOptions = superOptions;
    return !out.mountPoint.empty() && out.mountPoint[0] == '/';
}

std::vector<MountEntry> readMountTable(const std::string& path) {
    std::vector<MountEntry> table;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        MountEntry e;
        if (parseMountInfoLine(line, e)) table.push_back(std::move(e));
    }
    return table;
}

bool isSystemMount(const MountEntry& e) {
    static constexpr std::array<std::string_view, 22> kPseudo = {
        "proc",   "sysfs",  "cgroup", "cgroup2",     "devpts",    "devtmpfs",    "mqueue",  "debugfs",
        "tracefs", "securityfs", "pstore", "bpf", "autofs", "fusectl", "configfs", "hugetlbfs",
        "binfmt_misc", "nsfs", "rpc_pipefs", "efivarfs", "ramfs", "squashfs"};
    if (e.mountPoint == "/") return false;
    if (std::find(kPseudo.begin(), kPseudo.end(), e.fsType) != kPseudo.end()) return true;
    for (std::string_view dir : {"/proc", "/sys", "/dev", "/snap", "/boot"})
        if (isUnder(e.mountPoint, dir)) return true;
    if (isUnder(e.mountPoint, "/run") && !isUnder(e.mountPoint, "/run/media")) return true;
    return false;
}

const MountEntry* mountContaining(const std::vector<MountEntry>& table, const std::string& path) {
    const MountEntry* best = nullptr;
    for (const auto& e : table) {
        if (!(e.mountPoint == "/" || isUnder(path, e.mountPoint))) continue;
        if (!best || e.mountPoint.size() >= best->mountPoint.size()) best = &e;
    }
    return best;
}

}  // namespace quillo::files
