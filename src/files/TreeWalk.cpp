#include "files/TreeWalk.h"

#include "files/FolderWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <linux/stat.h>

#include <algorithm>
#include <cerrno>

namespace quillo::files {

namespace {

bool isDots(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

}  // namespace

namespace {

constexpr size_t kBufferSize = 8192;

// Device and inode of an open folder from one statx, and whether it is the root of a mount.
bool folderIdentity(int fd, dev_t& dev, ino_t& ino, bool& mountRoot, bool& isDir) {
    struct statx sx;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &sx) != 0) return false;
    dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    ino = ino_t(sx.stx_ino);
    mountRoot = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    isDir = S_ISDIR(sx.stx_mode);
    return true;
}

}  // namespace

bool TreeWalk::openFrame(Frame& frame, UniqueFd fd, const dev_t* parentDev) {
    bool mountRoot = false, isDir = false;
    if (!folderIdentity(fd.get(), frame.dev, frame.ino, mountRoot, isDir)) return false;
    if (!isDir) {
        errno = ENOTDIR;
        return false;
    }
    // A bind mount of the same file system keeps the device number; the mount-root flag tells.
    if (parentDev && (frame.dev != *parentDev || mountRoot)) {
        errno = EXDEV;
        return false;
    }
    frame.fd = std::move(fd);
    frame.buffer.reset(new char[kBufferSize]);
    return true;
}

TreeWalk::TreeWalk(int rootFd, size_t maxOpen) : maxOpen_(std::max<size_t>(maxOpen, 3)) {
    // A description of its own: reading it moves no offset the caller shares.
    UniqueFd fd(::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    Frame root;
    if (!fd.valid() || !openFrame(root, std::move(fd), nullptr)) return;
    stack_.push_back(std::move(root));
    openCount_ = maxOpenSeen_ = 1;
}

TreeWalk::~TreeWalk() {
    for (Frame& frame : stack_) closeFrame(frame);
}

void TreeWalk::closeFrame(Frame& frame) {
    if (frame.fd.valid()) {
        frame.fd.reset();
        --openCount_;
    }
    frame.buffer.reset();
}

bool TreeWalk::readEntry(Frame& frame, std::string& name, unsigned char& type) {
    if (!frame.released) {
        for (;;) {
            if (frame.bufferPos >= frame.bufferLength) {
                if (frame.endOfFolder || !frame.fd.valid()) return false;
                const ssize_t n = ::getdents64(frame.fd.get(), frame.buffer.get(), kBufferSize);
                if (n <= 0) {
                    frame.endOfFolder = true;
                    return false;
                }
                frame.bufferPos = 0;
                frame.bufferLength = size_t(n);
            }
            const auto* e = reinterpret_cast<const struct dirent64*>(frame.buffer.get() + frame.bufferPos);
            frame.bufferPos += e->d_reclen;
            if (isDots(e->d_name)) continue;
            name = e->d_name;
            type = e->d_type;
            return true;
        }
    }
    if (frame.nextPending >= frame.pending.size()) return false;
    auto& entry = frame.pending[frame.nextPending++];
    name = std::move(entry.first);
    type = entry.second;
    return true;
}

void TreeWalk::release(Frame& frame) {
    if (!frame.released) {
        // What is left to read is kept by name: the position in a folder cannot be trusted
        // across a close on every file system.
        std::string name;
        unsigned char type = DT_UNKNOWN;
        while (readEntry(frame, name, type)) frame.pending.emplace_back(std::move(name), type);
        frame.nextPending = 0;
        frame.released = true;
    }
    closeFrame(frame);
}

bool TreeWalk::reopenParent(size_t index) {
    Frame& parent = stack_[index - 1];
    UniqueFd fd(::openat(stack_[index].descriptor(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    dev_t dev = 0;
    ino_t ino = 0;
    bool mountRoot = false, isDir = false;
    if (!fd.valid() || !folderIdentity(fd.get(), dev, ino, mountRoot, isDir) || dev != parent.dev ||
        ino != parent.ino)
        return false;
    parent.fd = std::move(fd);
    ++openCount_;
    firstOpen_ = index - 1;
    return true;
}

void TreeWalk::popFrame() {
    Frame& frame = stack_.back();
    closeFrame(frame);
    prefix_.resize(frame.prefixLength);
    stack_.pop_back();
    firstOpen_ = std::min(firstOpen_, std::max<size_t>(stack_.size(), 1));
}

bool TreeWalk::next(Event& event) {
    while (!stack_.empty()) {
        const size_t top = stack_.size() - 1;
        Frame& frame = stack_[top];
        unsigned char type = DT_UNKNOWN;
        if (readEntry(frame, current_, type)) {
            currentFd_ = frame.descriptor();
            currentFrame_ = top;
            lastWasItem_ = true;
            event = Event{Kind::Item, currentFd_, current_.c_str(), type, top + 1, false, false};
            return true;
        }
        lastWasItem_ = false;
        if (top == 0) {
            rootKept_ = frame.kept;
            popFrame();
            return false;
        }
        if (!stack_[top - 1].isOpen() && !reopenParent(top)) {
            // The way back up is not the way down: something above was moved. Nothing between
            // here and the walk's own folder is followed any further.
            ++moved_;
            current_ = stack_[1].name;
            while (stack_.size() > 1) popFrame();
            stack_[0].kept = true;
            currentFd_ = stack_[0].descriptor();
            currentFrame_ = 0;
            event = Event{Kind::FolderEnd, currentFd_, current_.c_str(), DT_DIR, 1, true, true};
            return true;
        }
        const bool kept = frame.kept;
        current_ = frame.name;
        popFrame();
        Frame& parent = stack_.back();
        parent.kept = parent.kept || kept;
        currentFd_ = parent.descriptor();
        currentFrame_ = stack_.size() - 1;
        event = Event{Kind::FolderEnd, currentFd_, current_.c_str(), DT_DIR, stack_.size(), kept, false};
        return true;
    }
    return false;
}

int TreeWalk::enter(uint64_t expectedIno) {
    if (!lastWasItem_ || currentFrame_ + 1 != stack_.size()) return EINVAL;
    lastWasItem_ = false;
    const dev_t parentDev = stack_[currentFrame_].dev;
    UniqueFd fd(openDirectoryNoFollow(currentFd_, current_.c_str()));
    if (!fd.valid()) return errno == ELOOP ? ENOTDIR : errno;
    Frame frame;
    if (!openFrame(frame, std::move(fd), &parentDev)) return errno;
    if (expectedIno && uint64_t(frame.ino) != expectedIno) return ESTALE;
    frame.name = current_;
    frame.prefixLength = prefix_.size();
    prefix_ += current_;
    prefix_ += '/';
    stack_.push_back(std::move(frame));
    ++openCount_;
    if (openCount_ > maxOpen_) {
        release(stack_[firstOpen_]);
        ++firstOpen_;
    }
    maxOpenSeen_ = std::max(maxOpenSeen_, openCount_);
    return 0;
}

void TreeWalk::keep() {
    if (currentFrame_ < stack_.size()) stack_[currentFrame_].kept = true;
}

std::string TreeWalk::relativePath() const {
    const size_t length = currentFrame_ + 1 < stack_.size() ? stack_[currentFrame_ + 1].prefixLength : prefix_.size();
    return prefix_.substr(0, length) + current_;
}

}  // namespace quillo::files
