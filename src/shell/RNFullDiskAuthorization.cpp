#include "shell/RNFullDiskAuthorization.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillo::shell {

RNFullDiskAuthorization& RNFullDiskAuthorization::sharedControl() {
    static RNFullDiskAuthorization instance;
    return instance;
}

RNFullDiskAuthorization::Sandbox RNFullDiskAuthorization::sandbox() const {
    if (::access(flatpakInfoPath_.c_str(), F_OK) == 0) return Sandbox::Flatpak;
    const char* snap = std::getenv("SNAP_NAME");
    const char* confinement = std::getenv("SNAP_CONFINEMENT");
    if (snap && *snap && !(confinement && std::string(confinement) == "classic")) return Sandbox::Snap;
    return Sandbox::None;
}

bool RNFullDiskAuthorization::flatpakGrantsHost(const std::string& info) {
    std::istringstream in(info);
    std::string line, section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[') {
            section = line;
            continue;
        }
        if (section != "[Context]" || line.rfind("filesystems=", 0) != 0) continue;
        std::istringstream list(line.substr(12));
        std::string entry;
        while (std::getline(list, entry, ';'))
            if (entry == "host" || entry == "host:rw") return true;
    }
    return false;
}

int RNFullDiskAuthorization::authorizationStatus() {
    std::lock_guard lock(mutex_);
    switch (sandbox()) {
        case Sandbox::None: return Authorized;
        case Sandbox::Snap: return Denied;
        case Sandbox::Flatpak: {
            std::ifstream file(flatpakInfoPath_);
            if (!file) return NotDetermined;
            std::stringstream text;
            text << file.rdbuf();
            return flatpakGrantsHost(text.str()) ? Authorized : Denied;
        }
    }
    return NotDetermined;
}

void RNFullDiskAuthorization::requestAuthorizationWithCompletion(const std::function<void(int)>& completion) {
    if (completion) completion(authorizationStatus());
}

std::string RNFullDiskAuthorization::userHomeFolderPath() {
    std::lock_guard lock(mutex_);
    if (sandbox() != Sandbox::None) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    }
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

}  // namespace quillo::shell
