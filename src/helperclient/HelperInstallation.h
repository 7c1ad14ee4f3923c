// Where the privileged helper is installed and how the application runs its installer:
// `pkexec quillo-install-helper install|remove` (directly when already root). Process-wide; the
// defaults are the real system's, tests and packagers may replace them.
#pragma once

#include "common/HelperServiceFile.h"
#include "helperclient/HelperClientError.h"

#include <optional>
#include <string>
#include <vector>

namespace quillo::helperclient {

inline constexpr char kInstalledHelperPath[] = "/usr/local/libexec/quillo/quillo3-helper";
inline constexpr char kInstallerName[] = "quillo-install-helper";

struct HelperInstallation {
    // The installed helper binary whose presence means "a copy is installed".
    std::string installedHelperPath = kInstalledHelperPath;
    // The system bus's activation file for the helper: it names the helper the bus starts.
    std::string serviceFilePath = common::kHelperServiceFilePath;
    // The installer; empty: quillo-install-helper next to this program, in PREFIX/libexec/quillo
    // of this program's prefix, in the build tree's installer folder beside this program's, then
    // on $PATH.
    std::string installerPath;
    // The program (and its arguments) that runs the installer as root; unset: pkexec, or nothing
    // when this process is root already.
    std::optional<std::vector<std::string>> elevate;

    static HelperInstallation current();
    static void setCurrent(HelperInstallation installation);

    // The helper a system package installed: the program the activation file starts when that
    // is not the installer's copy. Empty when the installer's copy (or nothing) is in place. A
    // packaged helper is updated and removed with its package, never by the installer.
    std::string packagedHelperPath() const;
    // The helper in use: the packaged one, else the installer's.
    std::string helperPath() const;

    // The installer to run, or empty when none is found.
    std::string resolvedInstallerPath() const;
    std::vector<std::string> elevation() const;

    // Runs the installer with `verb` ("install" or "remove") and waits for it. Through pkexec,
    // exit status 126 (the user dismissed the dialog) is -60006 and 127 (not authorized, or no
    // authentication agent) is -60005; any other failure is an Install error with the
    // installer's last line of error output.
    HelperClientError runInstaller(const std::string& verb) const;
};

}  // namespace quillo::helperclient
