#include "files/TreeWalk.h"

#include "files/FolderWalk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace quillo::files {

namespace {

bool isDots(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

}  // namespace

TreeWalk::TreeWalk(int rootFd, size_t maxOpen) : maxOpen_(std::max<size_t>(maxOpen, 3)) {
    const int fd = ::dup(rootFd);
    if (fd < 0) return;
    struct stat st;
    DIR* dir = ::fstat(fd, &st) == 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        ::close(fd);
        return;
    }
    ::rewinddir(dir);  // the shared file offset may not be at the start
    Frame root;
    root.dir = dir;
    root.dev = st.st_dev;
    root.ino = st.st_ino;
    stack_.push_back(std::move(root));
    openCount_ = maxOpenSeen_ = 1;
}

TreeWalk::~TreeWalk() {
    for (Frame& frame : stack_) closeFrame(frame);
}

void TreeWalk::closeFrame(Frame& frame) {
    if (frame.dir) {
        ::closedir(frame.dir);
        frame.dir = nullptr;
        --openCount_;
    } else if (frame.fd.valid()) {
        frame.fd.reset();
        --openCount_;
    }
}

bool TreeWalk::readEntry(Frame& frame, std::string& name, unsigned char& type) {
    if (frame.dir) {
        while (dirent* e = ::readdir(frame.dir)) {
            if (isDots(e->d_name)) continue;
            name = e->d_name;
            type = e->d_type;
            return true;
        }
        return false;
    }
    if (frame.nextPending >= frame.pending.size()) return false;
    auto& entry = frame.pending[frame.nextPending++];
    name = std::move(entry.first);
    type = entry.second;
    return true;
}

void TreeWalk::release(Frame& frame) {
    if (frame.dir) {
        // What is left to read is kept by name: the position of a folder stream cannot be
        // trusted across a close on every file system.
        std::vector<std::pair<std::string, unsigned char>> rest;
        while (dirent* e = ::readdir(frame.dir))
            if (!isDots(e->d_name)) rest.emplace_back(e->d_name, e->d_type);
        if (frame.released) {
            frame.pending.erase(frame.pending.begin(), frame.pending.begin() + long(frame.nextPending));
            frame.nextPending = 0;
            frame.pending.insert(frame.pending.end(), std::make_move_iterator(rest.begin()),
                                 std::make_move_iterator(rest.end()));
        } else {
            frame.pending = std::move(rest);
        }
    }
    closeFrame(frame);
    frame.released = true;
}

bool TreeWalk::reopenParent(size_t index) {
    Frame& parent = stack_[index - 1];
    UniqueFd fd(::openat(stack_[index].descriptor(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || st.st_dev != parent.dev || st.st_ino != parent.ino) return false;
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
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (isOtherMount(fd.get(), uint64_t(parentDev))) return EXDEV;
    if (expectedIno && uint64_t(st.st_ino) != expectedIno) return ESTALE;
    DIR* dir = ::fdopendir(fd.get());
    if (!dir) return errno;
    (void)fd.release();
    Frame frame;
    frame.dir = dir;
    frame.dev = st.st_dev;
    frame.ino = st.st_ino;
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
