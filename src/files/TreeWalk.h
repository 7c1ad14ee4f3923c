// A depth-first walk below an open folder, relative to directory descriptors, that reaches the
// bottom of any tree with a bounded number of open descriptors and no recursion.
//
// Every entry is met as an Item in the folder that holds it (open, so the caller works with
// faccessat/fchmodat/statx/unlinkat relative to it, never with a path). A folder the caller
// enters is followed by its entries, then by its FolderEnd, met again in the folder holding it
// (where it can be removed). Past a fixed number of open folders the shallowest ones are
// released -- what they have left to read is kept by name -- and reopened on the way back up
// through "..", checked against the device and inode recorded on the way down. A folder moved
// meanwhile is never followed: what lies between it and the nearest open folder is abandoned
// and reported as moved. The number of system calls is linear in the number of entries.
#pragma once

#include "files/UniqueFd.h"

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillo::files {

class TreeWalk {
public:
    static constexpr size_t kDefaultMaxOpen = 48;

    enum class Kind { Item, FolderEnd };
    struct Event {
        Kind kind = Kind::Item;
        int dirFd = -1;           // the open folder holding `name`
        const char* name = "";    // valid until the next call to next()
        unsigned char type = DT_UNKNOWN;  // the directory entry's type (Item), DT_DIR (FolderEnd)
        size_t depth = 0;         // 1 for the entries of the walk's own folder
        // FolderEnd: something below could not be removed or was kept (see keep()), or the walk
        // had to abandon the folder because it was moved.
        bool kept = false;
        bool moved = false;
    };

    // Walks below `rootFd` (not closed by the walk; its own entries have depth 1).
    explicit TreeWalk(int rootFd, size_t maxOpen = kDefaultMaxOpen);
    ~TreeWalk();
    TreeWalk(const TreeWalk&) = delete;
    TreeWalk& operator=(const TreeWalk&) = delete;

    // The next event; false at the end (or when the walk's own folder could not be read).
    bool next(Event& event);

    // After an Item: goes into that folder (its entries follow, then its FolderEnd). 0, or the
    // error: ENOTDIR (not a folder, or a symlink), EXDEV (another mounted file system, never
    // entered), ESTALE (not the folder with inode `expectedIno` that was looked at, when given),
    // or what openat answered.
    int enter(uint64_t expectedIno = 0);

    // Marks the folder holding the last event's entry as not emptied: its FolderEnd (and those
    // of the folders above it) then says kept.
    void keep();

    // The path of the last event's entry relative to the walk's folder ("a/b/c").
    std::string relativePath() const;
    size_t movedCount() const { return moved_; }
    // After the end: whether anything was kept in the walk's own folder (see keep()).
    bool keptAny() const { return rootKept_; }
    size_t openFolders() const { return openCount_; }
    size_t maxOpenSeen() const { return maxOpenSeen_; }

private:
    struct Frame {
        UniqueFd fd;  // open (or not: released)
        // Entries read with getdents64 and not yet handed out (while never released).
        std::unique_ptr<char[]> buffer;
        size_t bufferPos = 0, bufferLength = 0;
        bool endOfFolder = false;
        std::vector<std::pair<std::string, unsigned char>> pending;  // left to read once released
        size_t nextPending = 0;
        bool released = false;
        dev_t dev = 0;
        ino_t ino = 0;
        std::string name;    // in the parent
        size_t prefixLength = 0;  // length of prefix_ before this frame's name was added
        bool kept = false;
        int descriptor() const { return fd.get(); }
        bool isOpen() const { return fd.valid(); }
    };
    // Opens the frame's reading state for the open folder `fd`; false (with errno) when it is
    // not a folder, or (EXDEV) another mount than `parentDev` when that is given.
    static bool openFrame(Frame& frame, UniqueFd fd, const dev_t* parentDev);

    bool readEntry(Frame& frame, std::string& name, unsigned char& type);
    void release(Frame& frame);
    void closeFrame(Frame& frame);
    bool reopenParent(size_t index);  // frame `index` - 1 from frame `index`'s descriptor
    void popFrame();

    std::vector<Frame> stack_;
    size_t maxOpen_;
    size_t openCount_ = 0;
    size_t maxOpenSeen_ = 0;
    size_t firstOpen_ = 1;  // frames [1, firstOpen_) are released
    size_t moved_ = 0;
    std::string prefix_;    // names of the frames below the root, each followed by '/'
    std::string current_;   // the last event's name
    int currentFd_ = -1;
    size_t currentFrame_ = 0;  // index of the frame holding the last event's entry
    bool lastWasItem_ = false;
    bool rootKept_ = false;
};

}  // namespace quillo::files
