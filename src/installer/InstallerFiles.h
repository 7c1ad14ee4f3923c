// What quillo-install-helper puts on the system for the privileged helper, and how it puts it
// there and takes it away: the helper binary, its D-Bus activation file, its bus policy and its
// polkit action. Standard C++ and POSIX only: this runs as root through pkexec.
//
// Every path is below an optional staging root (empty for the real system); the files' contents
// always name the real paths, so a staged tree can be copied into place as it is.
//
// Nothing is done by path: the root is reached from "/" one folder at a time, each opened without
// following a symbolic link and each owned by root (a folder others may change must be sticky),
// and every folder below it is opened (or made) relative to its parent, again never through a
// link; files are written, re-owned and removed relative to their folder's descriptor. So a
// tree someone else can change (symbolic links, folders swapped while the installer runs) never
// makes the installer write, re-own or remove anything outside it.
#pragma once

#include "common/HelperServiceFile.h"
#include "files/UniqueFd.h"

#include <string>
#include <vector>

namespace quillo::installer {

// Where the installed files live (without the staging root).
inline constexpr char kHelperInstallDir[] = "/usr/local/libexec/quillo";
inline constexpr char kInstalledHelperPath[] = "/usr/local/libexec/quillo/quillo3-helper";
inline constexpr const char* kServiceFilePath = common::kHelperServiceFilePath;
inline constexpr char kBusPolicyPath[] = "/etc/dbus-1/system.d/org.quillo.Quillo3Helper.conf";
inline constexpr char kPolkitActionPath[] = "/usr/share/polkit-1/actions/org.quillo.quillo-3.policy";

// The polkit action id of the erase right (polkit ids are lower case).
std::string eraseActionId();

// The files' contents. The activation file starts `helperPath`: the installer's copy, or the
// one a package installs (quillo-helper-files writes the package's files at build time).
std::string serviceFileText(const std::string& helperPath = kInstalledHelperPath);
std::string busPolicyText();
std::string polkitActionText();

struct InstallerOptions {
    std::string root;        // staging root; empty: the real system
    std::string helperFrom;  // the helper binary to install (install only)
    bool reloadBus = true;   // ask the system bus to re-read its configuration afterwards
};

class InstallerFiles {
public:
    explicit InstallerFiles(InstallerOptions options);

    // Installs (or replaces) all four files; true when every one is in place. Both refuse to
    // touch anything when the activation file in place starts another helper than the
    // installer's: that one came with the system's package, whose files the package manager
    // replaces and removes. Lines describing
    // what was done go to `log`, failures to `errors`.
    bool install();
    // Removes all four files and the helper's folder when empty; true when none is left.
    bool remove();

    const std::vector<std::string>& log() const { return log_; }
    const std::vector<std::string>& errors() const { return errors_; }

    // Ends (SIGTERM) every process running the program at `executable` (also once that file is
    // deleted); gives how many were signalled. remove() does it for the installed helper, which
    // the bus would otherwise leave running until its idle exit.
    static size_t stopProcessesRunning(const std::string& executable);

    // The helper binary an install without --from takes: quillo3-helper next to the installer,
    // else the installed one of the same prefix (PREFIX/libexec/quillo), else the one in the
    // build tree's helper folder beside the installer's. Empty when none.
    static std::string defaultHelperSource(const std::string& installerExecutable);

    // Reads the helper binary to install from `path`, which must be a regular file that only
    // root can change: owned by root, not writable by group or others, in folders (every one up
    // to "/") of which the same holds, none of them a symbolic link. False with the reason in
    // `why` otherwise.
    static bool readTrustedFile(const std::string& path, std::string& bytes, std::string& why);

private:
    std::string staged(const std::string& path) const { return options_.root + path; }
    // Opens the staging root (or "/"), checking every folder on the way.
    bool openRoot();
    // Opens the folder `path` (a real path, below the root) one component at a time without
    // following links; creates missing folders (root's, 0755) when `create`. An invalid
    // descriptor when it is missing (and not created) or cannot be opened; `missing` tells which.
    files::UniqueFd openFolder(const std::string& path, bool create, bool* missing = nullptr);
    // Writes `bytes` as `path` (a real path) through a temporary file in the same folder and a
    // rename, owned by root with `mode`; nothing is written when the file already holds exactly
    // that.
    bool writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode);
    bool removeFile(const std::string& path);
    // True (with the reason in errors_) when the activation file in place names another helper.
    bool packageOwnsTheHelper();
    void reloadBusConfiguration();

    InstallerOptions options_;
    files::UniqueFd root_;
    std::vector<std::string> log_;
    std::vector<std::string> errors_;
};

}  // namespace quillo::installer
