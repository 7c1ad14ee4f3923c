// Whether Quillo can reach the places it must manage. Outside a sandbox it always can. Inside a
// Flatpak it can only when the sandbox grants host file-system access ("filesystems=host"); inside
// a strictly confined Snap it cannot (the removable-media and home interfaces do not reach other
// users' mounts and the trash folders at every volume's root). The status is worked out anew on
// every call: it changes when the user grants the permission and restarts.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace quillo::shell {

class RNFullDiskAuthorization {
public:
    enum Status : int { NotDetermined = 0, Denied = 1, Authorized = 2 };
    enum class Sandbox { None, Flatpak, Snap };

    static RNFullDiskAuthorization& sharedControl();

    int authorizationStatus();
    // There is no settings pane to open on Linux: the message shown afterwards says how to
    // grant the access. The completion gets the status as it is now.
    void requestAuthorizationWithCompletion(const std::function<void(int)>& completion);
    // The user's real home folder: the password database's inside a sandbox, else $HOME.
    std::string userHomeFolderPath();

    Sandbox sandbox() const;
    // Tests point these at planted files.
    void setFlatpakInfoPath(std::string path) { flatpakInfoPath_ = std::move(path); }

    // From the text of a .flatpak-info file: does its [Context] grant the host file system?
    static bool flatpakGrantsHost(const std::string& flatpakInfo);

private:
    std::mutex mutex_;
    std::string flatpakInfoPath_ = "/.flatpak-info";
};

}  // namespace quillo::shell
