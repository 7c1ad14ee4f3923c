#include "installer/InstallerFiles.h"

// Only the names are taken from the helper protocol's headers (compile-time constants): the
// installer links nothing but the standard library.
#include "common/HelperBus.h"
#include "common/RNCommonHelper.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quillo::installer {

using files::UniqueFd;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::string errnoText(int err) { return std::strerror(err); }

// Why a folder on the way could not be opened.
std::string openFailure(int err) {
    return err == ELOOP || err == ENOTDIR ? "not a folder (a symbolic link is never followed)" : errnoText(err);
}

// The names of a path, without empty ones and ".".
std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(pos, next - pos);
        if (!name.empty() && name != ".") out.push_back(std::move(name));
        pos = next + 1;
    }
    return out;
}

// Nobody but root can change it: root's, not writable by group or others.
bool onlyRootCanChange(const struct stat& st) { return st.st_uid == 0 && !(st.st_mode & 022); }

// A folder on the way to the staging root: root's, and when others may write in it, sticky (so
// that they cannot rename or remove what root owns there, such as the next folder).
bool trustedOnTheWay(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == 0 && (!(st.st_mode & 022) || (st.st_mode & S_ISVTX));
}

std::string ownerText(const struct stat& st) {
    if (st.st_uid != 0) return "owned by uid " + std::to_string(st.st_uid);
    return "writable by group or others";
}

bool readAll(int fd, std::string& out, std::string& why) {
    out.clear();
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = errnoText(errno);
            return false;
        }
        if (n == 0) return true;
        out.append(buf, size_t(n));
    }
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string randomSuffix() {
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::memcpy(bytes, &now, sizeof bytes);
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
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

const char kInstallFirst[] =
    "A helper run as root is taken only from a file that only root can change, in folders only root can "
    "change. Install the build first (sudo cmake --install BUILD_DIR) and run the installed "
    "quillo-install-helper, or give --from a helper binary in such a place";

}  // namespace

std::string eraseActionId() {
    std::string id = common::kEraseRightName;
    for (char& c : id)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return id;
}

std::string serviceFileText(const std::string& helperPath) {
    return std::string("[D-BUS Service]\n") + "Name=" + common::kHelperBusName + "\n" + "Exec=" + helperPath +
           "\n" + "User=root\n";
}

std::string busPolicyText() {
    const std::string name = common::kHelperBusName;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<!-- Quillo's privileged helper: only root may own its name; anyone may call its own\n"
           "     interface (erase requests are checked with polkit by the helper). The helper pings\n"
           "     its callers (org.freedesktop.DBus.Peer, which their bus library answers) to learn\n"
           "     that they have read its progress before it sends more. -->\n"
           "<busconfig>\n"
           "  <policy user=\"root\">\n"
           "    <allow own=\"" + name + "\"/>\n"
           "    <allow send_type=\"method_call\" send_interface=\"org.freedesktop.DBus.Peer\"\n"
           "           send_member=\"Ping\"/>\n"
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
    for (const std::string& candidate : {dir + "/quillo3-helper", parentOf(dir) + "/libexec/quillo/quillo3-helper",
                                         parentOf(dir) + "/helper/quillo3-helper"})
        if (isExecutableFile(candidate)) return candidate;
    return {};
}

bool InstallerFiles::readTrustedFile(const std::string& path, std::string& bytes, std::string& why) {
    std::string absolute = path;
    if (absolute.empty()) {
        why = "no path";
        return false;
    }
    if (absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) {
            why = "no current folder: " + errnoText(errno);
            return false;
        }
        absolute = std::string(cwd) + "/" + absolute;
    }
    const std::vector<std::string> names = components(absolute);
    if (names.empty()) {
        why = "not a file";
        return false;
    }
    UniqueFd dir(::open("/", kFolderFlags));
    std::string sofar = "/";
    struct stat st;
    for (size_t i = 0;; ++i) {
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
            why = sofar + ": " + openFailure(errno);
            return false;
        }
        if (!onlyRootCanChange(st)) {
            why = "the folder " + sofar + " is " + ownerText(st);
            return false;
        }
        if (i + 1 == names.size()) break;
        if (names[i] == "..") {
            why = "\"..\" in the path";
            return false;
        }
        sofar += (sofar == "/" ? "" : "/") + names[i];
        dir.reset(::openat(dir.get(), names[i].c_str(), kFolderFlags));
    }
    UniqueFd file(::openat(dir.get(), names.back().c_str(), kReadFlags));
    struct stat before, after;
    if (!file.valid() || ::fstat(file.get(), &before) != 0) {
        why = errno == ELOOP ? "a symbolic link (never followed)" : errnoText(errno);
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (!onlyRootCanChange(before)) {
        why = "the file is " + ownerText(before);
        return false;
    }
    if (!readAll(file.get(), bytes, why)) return false;
    // What was read is the file as it stood throughout.
    if (::fstat(file.get(), &after) != 0 || after.st_size != before.st_size || off_t(bytes.size()) != before.st_size ||
        after.st_mtim.tv_sec != before.st_mtim.tv_sec || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
        after.st_ctim.tv_sec != before.st_ctim.tv_sec || after.st_ctim.tv_nsec != before.st_ctim.tv_nsec) {
        why = "the file changed while it was read";
        return false;
    }
    return true;
}

bool InstallerFiles::openRoot() {
    if (root_.valid()) return true;
    const std::string path = options_.root.empty() ? std::string("/") : options_.root;
    UniqueFd dir(::open("/", kFolderFlags));
    std::string sofar = "/";
    const std::vector<std::string> names = components(path);
    struct stat st;
    for (size_t i = 0;; ++i) {
        if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
            errors_.push_back("cannot open " + sofar + ": " + openFailure(errno));
            return false;
        }
        if (!trustedOnTheWay(st)) {
            errors_.push_back("refusing the root " + path + ": the folder " + sofar + " is " + ownerText(st) +
                              " (every folder up to the root must be root's own)");
            return false;
        }
        if (i == names.size()) break;
        if (names[i] == "..") {
            errors_.push_back("refusing the root " + path + ": \"..\" in the path");
            return false;
        }
        sofar += (sofar == "/" ? "" : "/") + names[i];
        dir.reset(::openat(dir.get(), names[i].c_str(), kFolderFlags));
    }
    root_ = std::move(dir);
    return true;
}

UniqueFd InstallerFiles::openFolder(const std::string& path, bool create, bool* missing) {
    if (missing) *missing = false;
    UniqueFd dir(::openat(root_.get(), ".", kFolderFlags));
    std::string sofar = options_.root;
    for (const std::string& name : components(path)) {
        sofar += "/" + name;
        if (name == "..") {
            errors_.push_back("cannot open " + sofar);
            return {};
        }
        UniqueFd next(::openat(dir.get(), name.c_str(), kFolderFlags));
        if (!next.valid() && errno == ENOENT && create) {
            if (::mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
                errors_.push_back("cannot create " + sofar + ": " + errnoText(errno));
                return {};
            }
            next.reset(::openat(dir.get(), name.c_str(), kFolderFlags));
        }
        if (!next.valid()) {
            if (errno == ENOENT && missing) *missing = true;
            else errors_.push_back("cannot open " + sofar + ": " + openFailure(errno));
            return {};
        }
        dir = std::move(next);
    }
    return dir;
}

bool InstallerFiles::writeFileAtomically(const std::string& path, const std::string& bytes, unsigned mode) {
    UniqueFd dir = openFolder(parentOf(path), true);
    if (!dir.valid()) return false;
    const std::string name = baseName(path);
    const std::string shown = staged(path);

    struct stat st;
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
        st.st_gid == 0 && (st.st_mode & 07777) == mode) {
        UniqueFd existing(::openat(dir.get(), name.c_str(), kReadFlags));
        std::string text, why;
        if (existing.valid() && readAll(existing.get(), text, why) && text == bytes) {
            log_.push_back("unchanged " + shown);
            return true;
        }
    }

    // The staging file: made here, by root, never through a link, and checked before the rename
    // puts it in place.
    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        temp = ".quillo-install." + randomSuffix();
        fd.reset(::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() && errno != EEXIST) break;
    }
    if (!fd.valid()) {
        errors_.push_back("cannot write in " + staged(parentOf(path)) + ": " + errnoText(errno));
        return false;
    }
    bool ok = writeAll(fd.get(), bytes) && ::fchown(fd.get(), 0, 0) == 0 && ::fchmod(fd.get(), mode) == 0 &&
              ::fsync(fd.get()) == 0;
    int err = errno;
    if (ok && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
               st.st_size != off_t(bytes.size()))) {
        ok = false;
        err = EIO;
    }
    fd.reset();
    if (ok && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) == 0) {
        log_.push_back("installed " + shown);
        return true;
    }
    errors_.push_back("cannot write " + shown + ": " + errnoText(ok ? errno : err));
    ::unlinkat(dir.get(), temp.c_str(), 0);
    return false;
}

bool InstallerFiles::removeFile(const std::string& path) {
    bool missing = false;
    UniqueFd dir = openFolder(parentOf(path), false, &missing);
    if (!dir.valid()) return missing;
    const std::string name = baseName(path);
    if (::unlinkat(dir.get(), name.c_str(), 0) == 0) {
        log_.push_back("removed " + staged(path));
        return true;
    }
    if (errno == ENOENT) return true;
    errors_.push_back("cannot remove " + staged(path) + ": " + errnoText(errno));
    return false;
}

bool InstallerFiles::packageOwnsTheHelper() {
    bool missing = false;
    UniqueFd dir = openFolder(parentOf(kServiceFilePath), false, &missing);
    if (!dir.valid()) return false;
    UniqueFd file(::openat(dir.get(), baseName(kServiceFilePath).c_str(), kReadFlags));
    std::string text, why;
    if (!file.valid() || !readAll(file.get(), text, why)) return false;
    const std::string exec = common::serviceFileExec(text);
    if (exec.empty() || exec == kInstalledHelperPath) return false;
    errors_.push_back("the helper is installed by the system's package (the bus starts " + exec + " through " +
                      staged(kServiceFilePath) + "); it is updated and removed with the package, not by this installer");
    return true;
}

bool InstallerFiles::install() {
    if (options_.helperFrom.empty()) {
        errors_.push_back("no helper binary to install (quillo3-helper not found next to the installer; use --from)");
        return false;
    }
    std::string helper, why;
    if (!readTrustedFile(options_.helperFrom, helper, why)) {
        errors_.push_back("will not install the helper binary " + options_.helperFrom + ": " + why + ". " +
                          kInstallFirst);
        return false;
    }
    if (helper.empty()) {
        errors_.push_back("cannot read the helper binary " + options_.helperFrom + ": empty file");
        return false;
    }
    if (!openRoot() || packageOwnsTheHelper()) return false;
    // The helper's folder holds what the bus runs as root: it must be root's alone.
    UniqueFd dir = openFolder(kHelperInstallDir, true);
    if (!dir.valid()) return false;
    struct stat st;
    if (::fstat(dir.get(), &st) != 0) {
        errors_.push_back("cannot look at " + staged(kHelperInstallDir) + ": " + errnoText(errno));
        return false;
    }
    if ((st.st_uid != 0 || st.st_gid != 0 || (st.st_mode & 07777) != 0755) &&
        (::fchown(dir.get(), 0, 0) != 0 || ::fchmod(dir.get(), 0755) != 0)) {
        errors_.push_back("cannot make " + staged(kHelperInstallDir) + " root's own: " + errnoText(errno));
        return false;
    }

    bool ok = writeFileAtomically(kInstalledHelperPath, helper, 0755);
    ok = ok && writeFileAtomically(kServiceFilePath, serviceFileText(), 0644);
    ok = ok && writeFileAtomically(kBusPolicyPath, busPolicyText(), 0644);
    ok = ok && writeFileAtomically(kPolkitActionPath, polkitActionText(), 0644);
    // A half-done install leaves an activation file that would start a helper the bus may not
    // let own its name; the next install completes it, and reloading is harmless either way.
    reloadBusConfiguration();
    return ok;
}

bool InstallerFiles::remove() {
    if (!openRoot() || packageOwnsTheHelper()) return false;
    bool ok = true;
    // The activation file first: from then on the bus starts no new helper.
    for (const char* path : {kServiceFilePath, kBusPolicyPath, kPolkitActionPath, kInstalledHelperPath})
        ok = removeFile(path) && ok;
    bool missing = false;
    UniqueFd parent = openFolder(parentOf(kHelperInstallDir), false, &missing);
    const std::string name = baseName(kHelperInstallDir);
    if (parent.valid()) {
        if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0) log_.push_back("removed " + staged(kHelperInstallDir));
        else if (errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
            errors_.push_back("cannot remove " + staged(kHelperInstallDir) + ": " + errnoText(errno));
    } else if (!missing) {
        ok = false;
    }
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
