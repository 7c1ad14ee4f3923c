// The helper's D-Bus activation file, read by the client (which helper does the system bus
// start?) and by the installer (whose file is it?). Header-only, standard C++: the installer
// links nothing else.
#pragma once

#include <string>
#include <string_view>

namespace quillo::common {

// Where the system bus looks for the helper's activation file; the package and
// quillo-install-helper both put it there.
inline constexpr char kHelperServiceFilePath[] = "/usr/share/dbus-1/system-services/org.quillo.Quillo3Helper.service";

// The program named by the `Exec=` key of the `[D-BUS Service]` group, without its arguments;
// empty when there is none.
inline std::string serviceFileExec(std::string_view text) {
    bool inGroup = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inGroup = line == "[D-BUS Service]";
            continue;
        }
        if (!inGroup || line.substr(0, 4) != "Exec") continue;
        line.remove_prefix(4);
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        if (line.empty() || line.front() != '=') continue;
        line.remove_prefix(1);
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        return std::string(line.substr(0, line.find_first_of(" \t")));
    }
    return {};
}

}  // namespace quillo::common
