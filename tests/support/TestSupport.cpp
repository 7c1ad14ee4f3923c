#include "support/TestSupport.h"

#include "files/RNFilesUtilities.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillo::test {

namespace {


std::string makeTempDir(const std::string& stem) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "XXXXXX";
    std::string buf = pattern;
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
    return buf;
}

}  // namespace

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

std::string isolatedCommand(const std::string& runner, const std::vector<std::string>& keep) {
    std::string command = shellQuote(QUILLO_RUN_ISOLATED);
    for (const auto& k : keep) command += " --keep " + shellQuote(k);
    return command + " -- " + runner + (runner.empty() ? "" : " ");
}

std::vector<std::string> foreignVolumes(const std::vector<std::string>& made) {
    std::vector<std::string> foreign;
    for (const auto& volume : files::RNFilesUtilities::sharedControl().volumesLocationArray()) {
        if (volume.url == "/" || std::find(made.begin(), made.end(), volume.url) != made.end()) continue;
        foreign.push_back(volume.url);
    }
    return foreign;
}

::testing::AssertionResult volumeListIsOurs(const std::vector<std::string>& made) {
    const auto foreign = foreignVolumes(made);
    if (foreign.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure()
                   << "the volume list holds volumes this test did not make; it must not erase "
                      "\"every volume\" here:";
    for (const auto& v : foreign) failure << " '" << v << "'";
    return failure;
}

bool isRoot() { return geteuid() == 0; }

int run(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    std::array<char, 4096> buf{};
    std::string out;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int status = pclose(p);
    if (output) *output = out;
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool haveTool(const std::string& name) {
    return run("command -v " + shellQuote(name) + " >/dev/null 2>&1") == 0;
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            ::close(fd);
            throw std::runtime_error("write failed: " + path);
        }
        done += size_t(w);
    }
    ::fchmod(fd, mode);
    ::close(fd);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void makeDirs(const std::string& path, mode_t mode) {
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        cur = path.substr(0, pos);
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), mode) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + cur + ": " + strerror(errno));
    }
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool makeDeepChain(const std::string& top, size_t depth, const std::string& link, const std::string& leaf) {
    if (::mkdir(top.c_str(), 0755) != 0) return false;
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; fd >= 0 && i < depth; ++i) {
        int next = ::mkdirat(fd, link.c_str(), 0755) == 0
                       ? ::openat(fd, link.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                       : -1;
        ::close(fd);
        fd = next;
    }
    if (fd < 0) return false;
    int file = ::openat(fd, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = file >= 0 && ::write(file, "x", 1) == 1;
    if (file >= 0) ::close(file);
    ::close(fd);
    return ok;
}

std::string deepChainPath(const std::string& top, size_t depth, const std::string& link, const std::string& leaf) {
    std::string path = top;
    path.reserve(top.size() + depth * (link.size() + 1) + leaf.size() + 1);
    for (size_t i = 0; i < depth; ++i) path += "/" + link;
    return path + "/" + leaf;
}

int openDeepChainFolder(const std::string& top, size_t depth, const std::string& link) {
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    for (size_t i = 0; fd >= 0 && i < depth; ++i) {
        const int next = ::openat(fd, link.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

ScopedFileLimit::ScopedFileLimit(uint64_t limit) {
    struct rlimit old;
    if (::getrlimit(RLIMIT_NOFILE, &old) != 0) return;
    oldSoft_ = old.rlim_cur;
    oldHard_ = old.rlim_max;
    struct rlimit want = old;
    want.rlim_cur = rlim_t(limit);
    if (want.rlim_max < want.rlim_cur) want.rlim_max = want.rlim_cur;
    ok_ = ::setrlimit(RLIMIT_NOFILE, &want) == 0;
}

ScopedFileLimit::~ScopedFileLimit() {
    if (!ok_) return;
    struct rlimit old{rlim_t(oldSoft_), rlim_t(oldHard_)};
    ::setrlimit(RLIMIT_NOFILE, &old);
}

void removeTree(const std::string& path) {
    if (path.empty() || path == "/") return;
    if (haveTool("chattr")) run("chattr -R -i -a " + shellQuote(path) + " >/dev/null 2>&1");
    run("rm -rf --one-file-system " + shellQuote(path) + " >/dev/null 2>&1");
}

TempHome::TempHome() {
    root_ = makeTempDir("quillo-test-");
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
        const char* v = std::getenv(name);
        saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    makeDirs(dataHome(), 0700);
    makeDirs(configHome(), 0700);
    makeDirs(stateHome(), 0700);
    ::setenv("HOME", home().c_str(), 1);
    ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    ::setenv("XDG_STATE_HOME", stateHome().c_str(), 1);
}

TempHome::~TempHome() {
    for (auto& [name, value] : saved_) {
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
    removeTree(root_);
}

void TempHome::plantTrashInfo(const std::string& trashDir, const std::string& name,
                              const std::string& deletionDate) {
    makeDirs(trashDir + "/info", 0700);
    writeFile(trashDir + "/info/" + name + ".trashinfo",
              "[Trash Info]\nPath=/somewhere/" + name + "\nDeletionDate=" + deletionDate + "\n");
}

RootOnlyFolder::RootOnlyFolder() {
    std::string pattern = "/run/quillo-test-" + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data())) {
        path_ = pattern;
        ::chmod(path_.c_str(), 0755);  // unprivileged users may read what is in it, not change it
    }
}

RootOnlyFolder::~RootOnlyFolder() {
    if (!path_.empty()) removeTree(path_);
}

bool isMountRoot(const std::string& path) {
    struct statx sx;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    struct stat a, b;
    if (::stat(path.c_str(), &a) != 0 || ::stat((path + "/..").c_str(), &b) != 0) return false;
    return a.st_dev != b.st_dev;
}

ScopedMount::ScopedMount(const std::string& parent, Kind kind, bool readOnly, const std::string& label) {
    if (!isRoot()) {
        error_ = "needs root";
        return;
    }
    std::string base = parent + "/mnt";
    mountPoint_ = base;
    for (int i = 0; exists(mountPoint_); ++i) mountPoint_ = base + std::to_string(i);
    makeDirs(mountPoint_, 0755);
    std::string cmd;
    if (kind == Kind::Tmpfs) {
        cmd = "mount -t tmpfs -o size=64m,mode=0755" + std::string(readOnly ? ",ro" : "") + " quillo-test " +
              shellQuote(mountPoint_);
    } else {
        if (!haveTool("mkfs.ext4")) {
            error_ = "mkfs.ext4 missing";
            return;
        }
        image_ = mountPoint_ + ".img";
        std::string out;
        if (run("truncate -s 64M " + shellQuote(image_) + " && mkfs.ext4 -q -F " +
                    (label.empty() ? std::string() : "-L " + shellQuote(label) + " ") + shellQuote(image_) +
                    " 2>&1",
                &out) != 0) {
            error_ = "mkfs.ext4 failed: " + out;
            return;
        }
        cmd = "mount -o loop" + std::string(readOnly ? ",ro" : "") + " " + shellQuote(image_) + " " +
              shellQuote(mountPoint_);
    }
    std::string out;
    if (run(cmd + " 2>&1", &out) != 0) {
        error_ = "mount failed: " + out;
        return;
    }
    ok_ = isMountRoot(mountPoint_);
    if (!ok_) error_ = "mount did not take effect";
}

bool ScopedMount::remount(bool readOnly) {
    return run("mount -o remount," + std::string(readOnly ? "ro " : "rw ") + shellQuote(mountPoint_) +
               " >/dev/null 2>&1") == 0;
}

ScopedMount::~ScopedMount() {
    if (mountPoint_.empty()) return;
    if (isMountRoot(mountPoint_)) {
        run("chattr -R -i -a " + shellQuote(mountPoint_) + " >/dev/null 2>&1");
        if (::umount2(mountPoint_.c_str(), 0) != 0) ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    if (!isMountRoot(mountPoint_)) ::rmdir(mountPoint_.c_str());
    if (!image_.empty()) ::unlink(image_.c_str());
}

}  // namespace quillo::test

#include <grp.h>
#include <sys/wait.h>

namespace quillo::test {

int runAsNobody(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobodyGid, kNobodyGid, kNobodyGid) != 0 ||
            ::setresuid(kNobodyUid, kNobodyUid, kNobodyUid) != 0)
            ::_exit(126);
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace quillo::test
