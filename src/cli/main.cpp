// quillo-cli: the terminal front end. The machine-readable listings are answered here with the
// file core alone; everything else (and any listing that has something to say in the user's
// language) is the work of quillo-cli-commands, which this program becomes.
#include "cli/ListCore.h"
#include "files/RNFilesUtilities.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Beside this program in a build tree; where it is installed otherwise.
std::string commandsProgram() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, size_t(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "quillo-cli-commands";
        if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    return QUILLO_CLI_COMMANDS_PATH;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "list") == 0) {
        quillo::files::raiseOpenFileLimit();
        if (auto done = quillo::cli::listWithoutFormatters(std::vector<std::string>(argv + 2, argv + argc))) return *done;
    }
    const std::string program = commandsProgram();
    ::execv(program.c_str(), argv);
    const int error = errno;
    std::string message = "quillo-cli: cannot run " + program + ": " + std::strerror(error) + "\n";
    (void)!::write(STDERR_FILENO, message.data(), message.size());
    return 127;
}
