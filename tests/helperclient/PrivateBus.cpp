#include "helperclient/PrivateBus.h"

#include "support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace quillo::test {

namespace {

std::map<pid_t, pid_t> parentTable() {
    std::map<pid_t, pid_t> parents;
    DIR* proc = ::opendir("/proc");
    if (!proc) return parents;
    while (dirent* e = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0) continue;
        std::ifstream in("/proc/" + std::string(e->d_name) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (state == 'Z') continue;  // already gone, only waiting to be reaped
        parents[pid_t(pid)] = pid_t(ppid);
    }
    ::closedir(proc);
    return parents;
}

bool alive(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;  // our child, reaped now
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

const char kDefaultPolicy[] = R"(  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
)";

const char kOpenPolicy[] = R"(  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
)";

}  // namespace

void stopProcesses(const std::vector<pid_t>& pids, int sig, int waitMs) {
    for (pid_t p : pids) ::kill(p, sig);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        bool any = false;
        for (pid_t p : pids) any = alive(p) || any;
        if (!any) return;
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (pid_t p : pids) {
        ::kill(p, SIGKILL);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(p, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string PrivateBus::polkitServiceFile() {
    return "[D-BUS Service]\nName=org.freedesktop.PolicyKit1\nExec=/usr/lib/polkit-1/polkitd --no-debug\nUser=root\n";
}

PrivateBus::PrivateBus(Options options) {
    // Activated services outlive a killed babysitter; as a subreaper we still own them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillo-bus-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);  // unprivileged clients reach the socket through it
    makeDirs(dir_ + "/services", 0755);
    for (const auto& [name, text] : options.services) writeFile(dir_ + "/services/" + name, text, 0644);

    const std::string socket = dir_ + "/socket";
    std::string conf =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>system</type>\n"
        "  <listen>unix:path=" + socket + "</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <servicedir>" + dir_ + "/services</servicedir>\n" +
        (options.openPolicy ? kOpenPolicy : kDefaultPolicy);
    for (const std::string& include : options.includes) conf += "  <include>" + include + "</include>\n";
    for (const auto& [name, value] : options.limits) conf += "  <limit name=\"" + name + "\">" + value + "</limit>\n";
    conf += "</busconfig>\n";
    writeFile(dir_ + "/bus.conf", conf, 0644);
    address_ = "unix:path=" + socket;

    const std::string log = dir_ + "/daemon.log";
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        for (const auto& [k, v] : options.environment) ::setenv(k.c_str(), v.c_str(), 1);
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        const std::string confArg = "--config-file=" + dir_ + "/bus.conf";
        ::execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile", confArg.c_str(), (char*)nullptr);
        ::_exit(127);
    }
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return;
    }
    // The socket file appears at bind(), a moment before the daemon listens: wait until a
    // connection is really accepted (under load that moment is long enough to fail a client).
    auto accepting = [&socket] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket.c_str());
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    };
    bool ready = false;
    for (int i = 0; i < 500 && !ready; ++i) {
        ready = exists(socket) && accepting();
        if (ready || !alive(pid_)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ready) {
        error_ = "dbus-daemon did not start: " + daemonLog();
        stop();
        return;
    }
    if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) savedAddress_ = old;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    ok_ = true;
}

PrivateBus::~PrivateBus() {
    stop();
    if (ok_) {
        if (savedAddress_) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", savedAddress_->c_str(), 1);
        else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    if (!dir_.empty()) removeTree(dir_);
}

std::string PrivateBus::daemonLog() const { return dir_.empty() ? std::string() : readFile(dir_ + "/daemon.log"); }

std::vector<pid_t> PrivateBus::descendants() const {
    std::vector<pid_t> out;
    if (pid_ <= 0) return out;
    const auto parents = parentTable();
    std::set<pid_t> tree{pid_};
    // Services re-parented to us (the subreaper) when their babysitter went are still ours if
    // they are not our own direct children of another kind; the tree walk finds the rest.
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto& [pid, ppid] : parents)
            if (tree.count(ppid) && !tree.count(pid)) {
                tree.insert(pid);
                out.push_back(pid);
                grew = true;
            }
    }
    return out;
}

void PrivateBus::stop() {
    if (pid_ <= 0) return;
    const std::vector<pid_t> services = descendants();
    stopProcesses(services, SIGTERM, 3000);
    stopProcesses({pid_}, SIGTERM, 3000);
    pid_ = -1;
    // With their babysitters gone the services' remains are re-parented to us (the subreaper):
    // reap them, or they would linger as zombies once this process ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::set<pid_t> left(services.begin(), services.end());
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
        for (auto it = left.begin(); it != left.end();) {
            int status = 0;
            const pid_t r = ::waitpid(*it, &status, WNOHANG);
            const bool gone = r == *it || (r < 0 && !exists("/proc/" + std::to_string(*it)));
            it = gone ? left.erase(it) : std::next(it);
        }
        if (!left.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace quillo::test
