// quillo-cli: the terminal front end over the same file core and erase engine as the tray app.
#include "cli/Commands.h"
#include "cli/VolumesCommand.h"
#include "files/RNFilesUtilities.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

void usage(std::ostream& out) {
    out << "usage: quillo-cli COMMAND [ARGS]\n\n"
           "commands:\n"
           "  volumes [--json]            every usable trash: volume, mount point, items and size\n"
           "  volumes --names             only the volume names and mount points, one a line\n"
           "  list [--json] [--match GLOB] [--volume VOLUME] [VOLUME]\n"
           "                              the trashed items of one or every trash, with where each came from\n"
           "  restore [--to DIR] [--rename|--replace|--skip] [--dry-run] [--json] ITEM...\n"
           "  restore [OPTIONS] --match GLOB\n"
           "                              put trashed items back (ITEM: original path or path in the trash)\n"
           "  put [-v] PATH...            put files and folders in the trash of their volume\n"
           "  empty [--yes] --all         erase the trashes of all volumes\n"
           "  empty [--yes] VOLUME...     erase one volume's trash (volume name or mount point)\n"
           "  erase [--yes] PATH...       erase chosen trashed items\n"
           "  purge [--older-than DAYS] [--max-size SIZE] [--min-free SIZE|PERCENT%] [--volume VOLUME]\n"
           "        [--dry-run] [--json]  erase what the clean-up rules say; --dry-run only shows it\n"
           "  purge --from-preferences    the same with the rules of the preferences (the systemd timer)\n"
           "  prefs [KEY [VALUE]]         read or change a preference\n"
           "  helper status|install|remove  the privileged helper: its state, install it, remove it\n"
           "  help                        this text\n\n"
           "--yes answers the erase confirmation. Exit status: 0 all erased, 1 something not erased or\n"
           "nothing to erase, 2 bad usage, 130 stopped (Ctrl-C is the stop button). restore and put\n"
           "exit 1 when an item was not restored or not trashed, and say why on standard error.\n"
           "JSON output writes bytes of a file name that are not valid UTF-8 as \\udc80-\\udcff.\n";
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
    std::cerr << "quillo-cli: unknown command '" << command << "'\n";
    usage(std::cerr);
    return 2;
}
