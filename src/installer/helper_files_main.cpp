// quillo-helper-files DIR HELPER: writes the helper's activation file, bus policy and polkit
// action into DIR for a package whose helper is installed as HELPER. Run at build time, so that
// the packaged files are exactly what quillo-install-helper writes.
#include "installer/InstallerFiles.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out) return true;
    std::fprintf(stderr, "quillo-helper-files: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || argv[2][0] != '/') {
        std::fprintf(stderr, "usage: quillo-helper-files DIR /ABSOLUTE/PATH/OF/quillo3-helper\n");
        return 2;
    }
    using namespace quillo::installer;
    const std::string dir = argv[1];
    const bool ok = writeText(dir + "/" + baseName(kServiceFilePath), serviceFileText(argv[2])) &&
                    writeText(dir + "/" + baseName(kBusPolicyPath), busPolicyText()) &&
                    writeText(dir + "/" + baseName(kPolkitActionPath), polkitActionText());
    return ok ? 0 : 1;
}
