// quillo-cli-commands: every command of the terminal front end, over the same file core and erase
// engine as the tray app (quillo-cli hands it what it does not answer itself).
#include "cli/Commands.h"
#include "cli/VolumesCommand.h"
#include "files/RNFilesUtilities.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

void usage(std::ostream& out) {
    out << quillo::cli::text("cli_usage");
}

}  // namespace

int main(int argc, char** argv) {
    quillo::files::raiseOpenFileLimit();
    if (argc < 2) {
        usage(std::cerr);
        return 2;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    using namespace quillo::cli;
    if (command == "volumes") return volumesCommand(args);
    if (command == "list") return listCommand(args);
    if (command == "empty") return emptyCommand(args);
    if (command == "erase") return eraseCommand(args);
    if (command == "restore") return restoreCommand(args);
    if (command == "put") return putCommand(args);
    if (command == "prefs") return prefsCommand(args);
    if (command == "purge") return purgeCommand(args);
    if (command == "helper") return helperCommand(args);
    if (command == "help" || command == "--help" || command == "-h") {
        usage(std::cout);
        return 0;
    }
    std::cerr << "quillo-cli: " << text("cli_unknown_command", {command}) << "\n";
    usage(std::cerr);
    return 2;
}
