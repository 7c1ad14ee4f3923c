// Fixtures shared by every test suite: a private home with its XDG folders, real mounts for
// the root-only cases, and small file helpers. Nothing here touches the real user's files.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillo::test {

bool isRoot();

// Runs a shell command; gives its exit status (-1 when it could not run) and, if asked, its
// standard output.
int run(const std::string& command, std::string* output = nullptr);
bool haveTool(const std::string& name);
// A word for sh: the text in single quotes, with its own single quotes escaped.
std::string shellQuote(const std::string& s);
// The start of a command line that runs a program in a private mount namespace (scripts/run-isolated,
// root only) where every mount but /, the system's own and `keep` is out of sight, so that nothing
// a test erases can reach another volume's trash. Append the program and its arguments; `runner`
// (e.g. a setpriv call) goes in front of the program. When a volume of the machine stays visible
// the program is not run and the command ends with status 3.
std::string isolatedCommand(const std::string& runner = "", const std::vector<std::string>& keep = {});

// The volumes the file core lists (as the tray and "every volume" erases see them) other than /
// and the mount points in `made`: empty where the volume list is the one the test made.
std::vector<std::string> foreignVolumes(const std::vector<std::string>& made = {});
// The guard in front of every test that erases "every volume": fails, naming them, when the
// volume list holds anything the test did not make.
//   ASSERT_TRUE(volumeListIsOurs({mount.mountPoint()}));
::testing::AssertionResult volumeListIsOurs(const std::vector<std::string>& made = {});

void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);
std::string readFile(const std::string& path);
void makeDirs(const std::string& path, mode_t mode = 0755);
bool exists(const std::string& path);  // lstat: a dangling link exists too
// The names in a folder, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> listFolder(const std::string& path);

// Makes `top` (which must not exist) and a chain of `depth` folders named `link` below it, one
// per level, with a file `leaf` at the bottom; built relative to descriptors, so its paths may
// be far longer than PATH_MAX. False when it could not be made.
bool makeDeepChain(const std::string& top, size_t depth, const std::string& link = "d",
                   const std::string& leaf = "leaf");
// The path of the leaf of such a chain (longer than PATH_MAX from a depth of about 2,000).
std::string deepChainPath(const std::string& top, size_t depth, const std::string& link = "d",
                          const std::string& leaf = "leaf");
// An open descriptor of the folder `depth` levels below `top` in such a
// chain, reached without following symlinks; -1 when it cannot be opened. The caller closes it.
int openDeepChainFolder(const std::string& top, size_t depth, const std::string& link = "d");
// Lowers or raises the soft (and, as root, hard) limit of open descriptors; the old limit
// comes back on destruction.
class ScopedFileLimit {
public:
    explicit ScopedFileLimit(uint64_t limit);
    ~ScopedFileLimit();
    bool ok() const { return ok_; }

private:
    uint64_t oldSoft_ = 0, oldHard_ = 0;
    bool ok_ = false;
};

// Removes a tree made by a test, clearing immutable/append-only flags first.
void removeTree(const std::string& path);

// A fresh folder under $TMPDIR (or /tmp) with HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and
// XDG_STATE_HOME pointing inside it. The previous environment comes back on destruction.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& root() const { return root_; }
    std::string home() const { return root_ + "/home"; }
    std::string dataHome() const { return root_ + "/home/.local/share"; }
    std::string configHome() const { return root_ + "/home/.config"; }
    std::string stateHome() const { return root_ + "/home/.local/state"; }
    std::string homeTrash() const { return dataHome() + "/Trash"; }

    // Writes info/NAME.trashinfo into a trash folder (the one holding files/ and info/) with
    // the given deletion date text; the item files/NAME is the caller's.
    static void plantTrashInfo(const std::string& trashDir, const std::string& name,
                               const std::string& deletionDate = "2024-05-01T10:20:30");

private:
    std::string root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// A fresh folder that only root can change, all the way up (under /run, root's and not writable
// by others, unlike $TMPDIR): where the helper's installer will take a helper binary from.
// Root only; `path()` is empty when it could not be made. Removed on destruction.
class RootOnlyFolder {
public:
    RootOnlyFolder();
    ~RootOnlyFolder();
    RootOnlyFolder(const RootOnlyFolder&) = delete;
    RootOnlyFolder& operator=(const RootOnlyFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A real mount (root only) at a unique folder under `parent`; unmounted on every way out.
// `ok()` is false when mounting failed: the test must then not write below mountPoint().
class ScopedMount {
public:
    enum class Kind { Tmpfs, Ext4Loop };
    ScopedMount(const std::string& parent, Kind kind, bool readOnly = false,
                const std::string& label = "");
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool ok() const { return ok_; }
    const std::string& mountPoint() const { return mountPoint_; }
    const std::string& error() const { return error_; }
    // Remounts read-only or read-write.
    bool remount(bool readOnly);

private:
    std::string mountPoint_;
    std::string image_;
    std::string error_;
    bool ok_ = false;
};

// True when `path` is the root of a mount.
bool isMountRoot(const std::string& path);

// Unprivileged user for permission cases: nobody.
constexpr uid_t kNobodyUid = 65534;
constexpr gid_t kNobodyGid = 65534;

}  // namespace quillo::test

namespace quillo::test {
// Runs `body` in a child process as the unprivileged user nobody (no capabilities, no
// supplementary groups); gives the child's exit status, or -1 when it could not be started.
// Needs root.
int runAsNobody(const std::function<int()>& body);
}  // namespace quillo::test
