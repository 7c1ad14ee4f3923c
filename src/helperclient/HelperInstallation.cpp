#include "helperclient/HelperInstallation.h"

#include "files/SystemLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace quillo::helperclient {

namespace {

std::mutex gMutex;
HelperInstallation gCurrent;

bool isExecutable(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string selfDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    return parentOf(std::string(buf, size_t(n)));
}

std::string lastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    auto nl = text.find_last_of('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

}  // namespace

HelperInstallation HelperInstallation::current() {
    std::lock_guard lock(gMutex);
    return gCurrent;
}

void HelperInstallation::setCurrent(HelperInstallation installation) {
    std::lock_guard lock(gMutex);
    gCurrent = std::move(installation);
}

std::string HelperInstallation::packagedHelperPath() const {
    std::ifstream in(serviceFilePath, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    std::string exec = common::serviceFileExec(text.str());
    return exec == installedHelperPath ? std::string() : exec;
}

std::string HelperInstallation::helperPath() const {
    std::string packaged = packagedHelperPath();
    return packaged.empty() ? installedHelperPath : packaged;
}

std::string HelperInstallation::resolvedInstallerPath() const {
    if (!installerPath.empty()) return isExecutable(installerPath) ? installerPath : std::string();
    const std::string dir = selfDirectory();
    if (!dir.empty()) {
        for (const std::string& candidate :
             {dir + "/" + kInstallerName, parentOf(dir) + "/libexec/quillo/" + kInstallerName,
              parentOf(dir) + "/installer/" + kInstallerName})
            if (isExecutable(candidate)) return candidate;
    }
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            const std::string folder = list.substr(start, end - start);
            if (!folder.empty() && folder[0] == '/' && isExecutable(folder + "/" + kInstallerName))
                return folder + "/" + kInstallerName;
            start = end + 1;
        }
    }
    return {};
}

std::vector<std::string> HelperInstallation::elevation() const {
    if (elevate) return *elevate;
    if (::geteuid() == 0) return {};
    return {"pkexec"};
}

HelperClientError HelperInstallation::runInstaller(const std::string& verb) const {
    const std::string installer = resolvedInstallerPath();
    if (installer.empty())
        return HelperClientError::install(ENOENT, std::string(kInstallerName) + " not found");
    std::vector<std::string> args = elevation();
    const bool elevated = !args.empty();
    args.push_back(installer);
    args.push_back(verb);

    int err[2], execStatus[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return HelperClientError::install(errno, std::strerror(errno));
    if (::pipe2(execStatus, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(err[0]);
        ::close(err[1]);
        return HelperClientError::install(e, std::strerror(e));
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        // The installer's report goes to our error output; standard input stays, so that pkexec
        // can ask for the password on the terminal.
        ::dup2(2, 1);
        ::dup2(err[1], 2);
        ::execvp(argv[0], argv.data());
        const int e = errno;
        ssize_t ignored = ::write(execStatus[1], &e, sizeof e);
        (void)ignored;
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(err[1]);
    ::close(execStatus[1]);
    if (pid < 0) {
        ::close(err[0]);
        ::close(execStatus[0]);
        return HelperClientError::install(forkErrno, std::strerror(forkErrno));
    }
    std::string output;
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(err[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (output.size() < 65536) output.append(buf, size_t(n));
    }
    ::close(err[0]);
    int execErrno = 0;
    const bool execFailed = ::read(execStatus[0], &execErrno, sizeof execErrno) == sizeof execErrno;
    ::close(execStatus[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!output.empty()) files::systemLog(std::string(kInstallerName) + " " + verb + ": " + lastLine(output));

    if (execFailed)
        return HelperClientError::install(execErrno, std::string("cannot run ") + argv[0] + ": " + std::strerror(execErrno));
    if (WIFSIGNALED(status))
        return HelperClientError::install(128 + WTERMSIG(status), std::string(kInstallerName) + " was killed by signal " +
                                                                      std::to_string(WTERMSIG(status)));
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    if (code == 0) return {};
    if (elevated && code == 126) return HelperClientError::osStatus(common::kErrAuthorizationCanceled, "canceled by the user");
    if (elevated && code == 127) return HelperClientError::osStatus(common::kErrAuthorizationDenied, "not authorized");
    std::string text = lastLine(output);
    if (text.empty()) text = std::string(kInstallerName) + " " + verb + " failed with status " + std::to_string(code);
    return HelperClientError::install(code, text);
}

}  // namespace quillo::helperclient
