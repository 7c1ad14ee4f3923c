// quillo-install-helper: installs or removes Quillo's privileged helper. Run as root, normally
// through pkexec by the application or quillo-cli.
#include "installer/InstallerFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: quillo-install-helper install [--from HELPER] [--root DIR] [--no-reload]\n"
                 "       quillo-install-helper remove [--root DIR] [--no-reload]\n\n"
                 "install  puts the helper binary in /usr/local/libexec/quillo/, its D-Bus activation file,\n"
                 "         its bus policy and its polkit action in place, then asks the system bus to reload\n"
                 "remove   takes all of them away\n"
                 "--from   the helper binary to install (default: quillo3-helper next to this program, in\n"
                 "         PREFIX/libexec/quillo, or in the build tree); it and every folder above it must be\n"
                 "         root's and not writable by group or others: install a build tree first with\n"
                 "         sudo cmake --install BUILD_DIR\n"
                 "--root   install below DIR instead of / (a staging tree; the bus is not reloaded)\n");
}

std::string selfPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, size_t(n));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillo::installer;
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string_view verb = argv[1];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        usage(stdout);
        return 0;
    }
    if (verb != "install" && verb != "remove") {
        std::fprintf(stderr, "quillo-install-helper: unknown command '%s'\n", argv[1]);
        usage(stderr);
        return 2;
    }
    InstallerOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--from" && verb == "install" && i + 1 < argc) {
            options.helperFrom = argv[++i];
        } else if (arg == "--root" && i + 1 < argc && argv[i + 1][0] == '/') {
            options.root = argv[++i];
        } else if (arg == "--no-reload") {
            options.reloadBus = false;
        } else {
            std::fprintf(stderr, "quillo-install-helper: unexpected argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr,
                     "quillo-install-helper: must be run as root; it writes system files. Run it through "
                     "pkexec: pkexec %s %s\n",
                     argv[0], argv[1]);
        return 1;
    }
    ::umask(022);
    if (options.helperFrom.empty() && verb == "install") options.helperFrom = InstallerFiles::defaultHelperSource(selfPath());

    InstallerFiles files(options);
    const bool ok = verb == "install" ? files.install() : files.remove();
    for (const std::string& line : files.log()) std::printf("%s\n", line.c_str());
    for (const std::string& line : files.errors()) std::fprintf(stderr, "quillo-install-helper: %s\n", line.c_str());
    return ok ? 0 : 1;
}
