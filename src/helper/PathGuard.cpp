#include "helper/PathGuard.h"

#include "files/FolderWalk.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quillo::helper {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string joinComponents(const std::vector<std::string>& components, size_t count) {
    if (count == 0) return "/";
    std::string out;
    for (size_t i = 0; i < count && i < components.size(); ++i) out += "/" + components[i];
    return out;
}

std::string openFailure(int err) {
    return err == ELOOP || err == ENOTDIR ? "a symbolic link or not a folder" : std::strerror(err);
}

std::string resolvedHome(const std::string& home) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(home.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : home;
}

}  // namespace

std::string_view PathComponents::next() {
    while (pos_ < path_.size()) {
        size_t end = path_.find('/', pos_);
        if (end == std::string_view::npos) end = path_.size();
        const std::string_view part = path_.substr(pos_, end - pos_);
        pos_ = end;
        if (!part.empty()) return part;
        ++pos_;
    }
    return {};
}

bool checkAbsolutePath(std::string_view path, std::string& why) {
    if (path.empty() || path[0] != '/') {
        why = "not an absolute path";
        return false;
    }
    if (path.find('\0') != std::string_view::npos) {
        why = "the path holds a NUL byte";
        return false;
    }
    PathComponents components(path);
    for (std::string_view part = components.next(); !part.empty(); part = components.next()) {
        if (part == "." || part == "..") {
            why = "the path holds a \".\" or \"..\" component";
            return false;
        }
        if (part.size() > NAME_MAX) {
            why = "a component of the path is too long";
            return false;
        }
    }
    return true;
}

bool splitAbsolutePath(std::string_view path, std::vector<std::string>& components, std::string& why) {
    components.clear();
    if (!checkAbsolutePath(path, why)) return false;
    PathComponents parts(path);
    for (std::string_view part = parts.next(); !part.empty(); part = parts.next()) components.emplace_back(part);
    return true;
}

PathGuard::PathGuard(uid_t uid, const std::string& home, const std::vector<files::MountEntry>& mounts) : uid_(uid) {
    const std::string uidText = std::to_string(uid);
    if (!home.empty() && home[0] == '/') {
        // A home reached through a symlink the system owns (/home -> /var/home) is walked in its
        // resolved form; the client may name it either way.
        const std::string real = resolvedHome(home);
        addRoot(TrashRoot::Kind::Home, real, real, {".local", "share", "Trash"});
        if (real != home) addRoot(TrashRoot::Kind::Home, home, real, {".local", "share", "Trash"});
    }
    for (const files::MountEntry& mount : mounts) {
        if (files::isSystemMount(mount)) continue;
        addRoot(TrashRoot::Kind::TopdirShared, mount.mountPoint, mount.mountPoint, {".Trash", uidText});
        addRoot(TrashRoot::Kind::TopdirUser, mount.mountPoint, mount.mountPoint, {".Trash-" + uidText});
    }
}

void PathGuard::addRoot(TrashRoot::Kind kind, const std::string& matchDir, const std::string& walkDir,
                        std::vector<std::string> trashComponents) {
    TrashRoot root;
    root.kind = kind;
    std::string why;
    std::vector<std::string> walk;
    if (!splitAbsolutePath(matchDir, root.filesPath, why) || !splitAbsolutePath(walkDir, walk, why)) return;
    for (const std::string& c : trashComponents) {
        root.filesPath.push_back(c);
        walk.push_back(c);
    }
    root.filesPath.push_back("files");
    walk.push_back("files");
    root.walkPath = std::move(walk);
    root.trashIndex = root.walkPath.size() - 2;
    for (const TrashRoot& known : roots_)
        if (known.filesPath == root.filesPath) return;  // a mount point mounted over: once is enough
    roots_.push_back(std::move(root));
}

PathGuard PathGuard::forUser(uid_t uid) {
    std::string home;
    struct passwd pw, *result = nullptr;
    std::string buf(16384, '\0');
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir) home = result->pw_dir;
    return PathGuard(uid, home, files::readMountTable());
}

const TrashRoot* PathGuard::matchTrash(std::string_view path, std::string_view& below, std::string& why) const {
    if (!checkAbsolutePath(path, why)) return nullptr;
    for (const TrashRoot& root : roots_) {
        PathComponents components(path);
        bool inside = true;
        for (const std::string& expected : root.filesPath) {
            if (components.next() != expected) {
                inside = false;
                break;
            }
        }
        if (!inside) continue;
        const std::string_view rest = components.rest();
        if (PathComponents(rest).next().empty()) continue;  // the files/ folder itself
        below = rest;
        return &root;
    }
    why = "not inside a trash of user " + std::to_string(uid_);
    return nullptr;
}

GuardResult PathGuard::verify(std::string_view path) const {
    GuardResult result;
    std::string_view below;
    const TrashRoot* root = matchTrash(path, below, result.refusal);
    if (!root) return result;

    const size_t trashDepth = root->trashIndex + 1;  // components up to the trash folder
    const size_t trashComponentCount = root->kind == TrashRoot::Kind::Home ? 3
                                     : root->kind == TrashRoot::Kind::TopdirShared ? 2 : 1;
    const size_t topdirDepth = trashDepth - trashComponentCount;
    // From where on nothing may be another mount: below the volume's top folder for a volume
    // trash, below the trash folder for the home trash.
    const size_t baseDepth = root->kind == TrashRoot::Kind::Home ? trashDepth : topdirDepth;
    const std::vector<std::string>& walk = root->walkPath;

    UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid()) {
        result.refusal = std::string("/: ") + std::strerror(errno);
        return result;
    }
    UniqueFd trashDir;
    uint64_t baseDev = baseDepth == 0 ? files::deviceOf(current.get()) : 0;
    for (size_t i = 0; i < walk.size(); ++i) {
        const size_t depth = i + 1;
        UniqueFd next(::openat(current.get(), walk[i].c_str(), kDirFlags));
        if (!next.valid()) {
            result.refusal = joinComponents(walk, depth) + ": " + openFailure(errno);
            return result;
        }
        if (depth > baseDepth && files::isOtherMount(next.get(), baseDev)) {
            result.refusal = joinComponents(walk, depth) + ": on another mounted file system";
            return result;
        }
        struct stat st;
        if (::fstat(next.get(), &st) != 0) {
            result.refusal = joinComponents(walk, depth) + ": " + std::strerror(errno);
            return result;
        }
        if (root->kind == TrashRoot::Kind::TopdirShared && depth == topdirDepth + 1 && !(st.st_mode & S_ISVTX)) {
            result.refusal = joinComponents(walk, depth) + ": a shared trash without the sticky bit";
            return result;
        }
        if (depth == trashDepth) {
            if (st.st_uid != uid_) {
                result.refusal = joinComponents(walk, depth) + ": belongs to another user";
                return result;
            }
            trashDir.reset(::dup(next.get()));
            if (!trashDir.valid()) {
                result.refusal = std::string("dup: ") + std::strerror(errno);
                return result;
            }
        }
        if (depth == baseDepth) baseDev = uint64_t(st.st_dev);
        current = std::move(next);
    }

    // Below files/, the folders on the way are taken one at a time straight from the request,
    // each opened relative to the one before, which is then closed: no system call sees more
    // than one name, so neither PATH_MAX nor the descriptor limit bounds the depth (the
    // request's size does).
    PathComponents components(below);
    std::string_view name = components.next();
    bool topLevel = true;
    for (std::string_view following = components.next(); !following.empty(); following = components.next()) {
        UniqueFd next(::openat(current.get(), std::string(name).c_str(), kDirFlags));
        const int err = next.valid() ? 0 : errno;
        if (err != 0 || files::isOtherMount(next.get(), baseDev)) {
            const size_t end = size_t(name.data() + name.size() - below.data());
            result.refusal = joinComponents(walk, walk.size()) + "/" + std::string(below.substr(0, end)) + ": " +
                             (err != 0 ? openFailure(err) : "on another mounted file system");
            return result;
        }
        current = std::move(next);
        name = following;
        topLevel = false;
    }
    GuardedItem item;
    item.parent = std::move(current);
    item.name = std::string(name);
    item.trashDir = std::move(trashDir);
    item.topLevel = topLevel;
    result.item = std::move(item);
    return result;
}

}  // namespace quillo::helper
