// The commands of quillo-cli. Each takes the arguments after its name and answers the exit
// status: 0 done, 1 something not erased or nothing to do, 2 bad usage, 130 stopped.
#pragma once

#include "cli/ListCore.h"

#include "files/RNFilesUtilities.h"
#include "util/Localization.h"

#include <initializer_list>
#include <string_view>

#include <optional>
#include <string>
#include <vector>

namespace quillo::cli {

int listCommand(const std::vector<std::string>& args);
int emptyCommand(const std::vector<std::string>& args);
int eraseCommand(const std::vector<std::string>& args);
// restore: trashed items back to their original place (or --to a folder); put: into the trash.
int restoreCommand(const std::vector<std::string>& args);
int putCommand(const std::vector<std::string>& args);
// A command-line path made absolute, "." and ".." taken away by name.
std::string absoluteCommandPath(const std::string& given);
int prefsCommand(const std::vector<std::string>& args);
// purge: the automatic clean-up's rules applied once (or only shown, with --dry-run).
int purgeCommand(const std::vector<std::string>& args);
// helper status|install|remove: the privileged helper's state, and installing or removing it.
int helperCommand(const std::vector<std::string>& args);

// A message of the terminal front end in the user's language: the text for `key` with its "%@"
// slots filled from `args`.
inline std::string text(std::string_view key, std::initializer_list<std::string_view> args = {}) {
    return util::RNFormat(util::localizedText(key), args);
}

// "usage: SYNTAX" and a line end.
inline std::string usageLine(std::string_view syntax) { return text("cli_usage_line", {syntax}) + "\n"; }


}  // namespace quillo::cli
