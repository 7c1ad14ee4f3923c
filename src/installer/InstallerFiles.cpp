#include "installer/InstallerFiles.h"

// Only the names are taken from the helper protocol's headers (compile-time constants): the
// installer links nothing but the standard library.
#include "common/HelperBus.h"
#include "common/RNCommonHelper.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quillo::installer {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

bool readWholeFile(const std::string& path, std::string& out, std::string& why, bool followLinks) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        why = errnoText(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ::close(fd);
        return false;
    }
    out.clear();
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = errnoText(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111);
}

}  // namespace

std::string eraseActionId() {
    std::string id = common::kEraseRightName;
    for (char& c : id)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return id;
}

std::string serviceFileText() {
    return std::string("[D-BUS Service]\n") + "Name=" + common::kHelperBusName + "\n" + "Exec=" + kInstalledHelperPath +
           "\n" + "User=root\n";
}

std::string busPolicyText() {
    const std::string name = common::kHelperBusName;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<!-- Quillo's privileged helper: only root may own its name; anyone may call its own\n"
           "     interface (erase requests are checked with polkit by the helper). -->\n"
           "<busconfig>\n"
           "  <policy user=\"root\">\n"
           "    <allow own=\"" + name + "\"/>\n"
           "  </policy>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"" + name + "\"\n"
           "           send_interface=\"" + std::string(common::kHelperInterface) + "\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

std::string polkitActionText() {
    const std::string rule = "auth_admin";  // the right's default rule "is-admin"
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE policyconfig PUBLIC \"-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd\">\n"
           "<policyconfig>\n"
           "  <vendor>Quillo</vendor>\n"
           "  <action id=\"" + eraseActionId() + "\">\n"
           "    <description>Erase trashed items with administrator rights</description>\n"
           "    <message>" + std::string(common::kEraseRightDescription) + "</message>\n"
           "    <defaults>\n"
           "      <allow_any>" + rule + "</allow_any>\n"
           "      <allow_inactive>" + rule + "</allow_inactive>\n"
           "      <allow_active>" + rule + "</allow_active>\n"
           "    </defaults>\n"
           "  </action>\n"
           "</policyconfig>\n";
}

InstallerFiles::InstallerFiles(InstallerOptions options) : options_(std::move(options)) {
    while (options_.root.size() > 1 && options_.root.back() == '/') options_.root.pop_back();
    if (options_.root == "/") options_.root.clear();
}

std::string InstallerFiles::defaultHelperSource(const std::string& installerExecutable) {
    const std::string dir = parentOf(installerExecutable);
    for (const std::string& candidate : {dir + "/quillo3-helper", parentOf(dir) + "/helper/quillo3-helper"})
        if (isExecutableFile(candidate)) return candidate;
    return {};
}

bool InstallerFiles::makeDirectories(const std::string& path) {
    std::string sofar;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        sofar = path.substr(0, next);
        pos = next + 1;
        if (sofar.empty()) continue;
        struct stat st;
        if (::stat(sofar.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errors_.push_back(sofar + " is not a folder");
                return false;
            }
            continue;
        }
        if (::mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST) {
            errors_.push_back("cannot create " + sofar + ": " + errnoText(errno));
            return false;
        }
    }
    return true;
}

bool InstallerFiles::writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode) {
    const std::string dir = parentOf(path);
    if (!makeDirectories(dir)) return false;

    struct stat st;
    std::string existing, why;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_gid == 0 &&
        (st.st_mode & 07777) == mode && readWholeFile(path, existing, why, false) && existing == bytes) {
        log_.push_back("unchanged " + path);
        return true;
    }

    std::string tmpl = dir + "/.quillo-install.XXXXXX";
    int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        errors_.push_back("cannot write in " + dir + ": " + errnoText(errno));
        return false;
    }
    bool ok = writeAll(fd, bytes) && ::fchown(fd, 0, 0) == 0 && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (ok && ::rename(tmpl.c_str(), path.c_str()) == 0) {
        log_.push_back("installed " + path);
        return true;
    }
    errors_.push_back("cannot write " + path + ": " + errnoText(ok ? errno : err));
    ::unlink(tmpl.c_str());
    return false;
}

bool InstallerFiles::removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0) {
        log_.push_back("removed " + path);
        return true;
    }
    if (errno == ENOENT) return true;
    errors_.push_back("cannot remove " + path + ": " + errnoText(errno));
    return false;
}

bool InstallerFiles::install() {
    if (options_.helperFrom.empty()) {
        errors_.push_back("no helper binary to install (quillo3-helper not found next to the installer; use --from)");
        return false;
    }
    std::string helper, why;
    if (!readWholeFile(options_.helperFrom, helper, why, true) || helper.empty()) {
        errors_.push_back("cannot read the helper binary " + options_.helperFrom + ": " +
                          (why.empty() ? std::string("empty file") : why));
        return false;
    }
    // The helper's folder holds what the bus runs as root: it must be root's alone.
    const std::string dir = staged(kHelperInstallDir);
    if (!makeDirectories(dir)) return false;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errors_.push_back(dir + " is not a folder");
        return false;
    }
    if ((st.st_uid != 0 || (st.st_mode & 022)) && (::chown(dir.c_str(), 0, 0) != 0 || ::chmod(dir.c_str(), 0755) != 0)) {
        errors_.push_back("cannot make " + dir + " root's own: " + errnoText(errno));
        return false;
    }

    bool ok = writeFileAtomically(staged(kInstalledHelperPath), helper, 0755);
    ok = ok && writeFileAtomically(staged(kServiceFilePath), serviceFileText(), 0644);
    ok = ok && writeFileAtomically(staged(kBusPolicyPath), busPolicyText(), 0644);
    ok = ok && writeFileAtomically(staged(kPolkitActionPath), polkitActionText(), 0644);
    // A half-done install leaves an activation file that would start a helper the bus may not
    // let own its name; the next install completes it, and reloading is harmless either way.
    reloadBusConfiguration();
    return ok;
}

bool InstallerFiles::remove() {
    bool ok = true;
    // The activation file first: from then on the bus starts no new helper.
    for (const char* path : {kServiceFilePath, kBusPolicyPath, kPolkitActionPath, kInstalledHelperPath})
        ok = removeFile(staged(path)) && ok;
    const std::string dir = staged(kHelperInstallDir);
    if (::rmdir(dir.c_str()) == 0) log_.push_back("removed " + dir);
    else if (errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST) errors_.push_back("cannot remove " + dir + ": " + errnoText(errno));
    reloadBusConfiguration();
    // A helper still running keeps serving from the deleted binary until its idle exit: end it.
    if (options_.reloadBus && options_.root.empty()) {
        if (size_t stopped = stopProcessesRunning(kInstalledHelperPath))
            log_.push_back("stopped the running helper (" + std::to_string(stopped) + " process" +
                           (stopped == 1 ? ")" : "es)"));
    }
    return ok;
}

size_t InstallerFiles::stopProcessesRunning(const std::string& executable) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return 0;
    size_t stopped = 0;
    const std::string deleted = executable + " (deleted)";
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 1 || *end != '\0' || pid == long(::getpid())) continue;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(("/proc/" + std::string(e->d_name) + "/exe").c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string exe(target, size_t(n));
        if ((exe == executable || exe == deleted) && ::kill(pid_t(pid), SIGTERM) == 0) ++stopped;
    }
    ::closedir(proc);
    return stopped;
}

void InstallerFiles::reloadBusConfiguration() {
    // A staged tree is not what the running bus reads.
    if (!options_.reloadBus || !options_.root.empty()) return;
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    pid_t pid = ::fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
        }
        ::dup2(err[1], 2);
        const char* argv[] = {"dbus-send", "--system", "--print-reply", "--reply-timeout=5000",
                              "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus.ReloadConfig", nullptr};
        ::execvp(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(err[1]);
    if (pid < 0) {
        ::close(err[0]);
        return;
    }
    std::string message;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    bool reaped = false;
    for (;;) {
        pollfd p{err[0], POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[512];
            ssize_t n = ::read(err[0], buf, sizeof buf);
            if (n > 0 && message.size() < 4096) message.append(buf, size_t(n));
        }
        pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            reaped = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
    }
    ::close(err[0]);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    if (reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        log_.push_back("asked the system bus to reload its configuration");
    } else if (reaped && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        log_.push_back("dbus-send missing: the system bus reads the new configuration when it next starts");
    } else {
        // No system bus (a container without one): it reads the files when it starts.
        log_.push_back("the system bus was not reloaded" + (message.empty() ? std::string() : ": " + message));
    }
}

}  // namespace quillo::installer
