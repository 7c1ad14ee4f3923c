// Many small, independent reads relative to one open folder -- the head of each info file --
// batched through io_uring so that thousands of them cost a few system calls instead of three
// each (and the statx of a name, one call). Where io_uring is refused (an old kernel, the
// kernel.io_uring_disabled setting, a seccomp filter) or QUILLO_NO_IO_URING is set, each read is
// its own system call; the answers are the same either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::files {

// What one statx (type and size, never following a symlink) tells of a name.
struct NameStat {
    bool ok = false;  // false: vanished or unreadable
    bool isDirectory = false;
    uint64_t size = 0;  // st_size
};

class BatchedReads {
public:
    // Sets up a ring unless io_uring is refused or switched off by the environment.
    BatchedReads();
    ~BatchedReads();
    BatchedReads(const BatchedReads&) = delete;
    BatchedReads& operator=(const BatchedReads&) = delete;

    // This thread's instance, made on first use and kept, so that repeated walks and listings
    // do not set up a ring each (a ring serves one thread). Made afresh when QUILLO_NO_IO_URING
    // changed since.
    static BatchedReads& forThisThread();

    // Whether requests go through io_uring (false: one system call each).
    bool batched() const { return ring_ != nullptr; }

    // Reads the first `limit` bytes of every regular file named below `dirFd` (opened without
    // following a symlink and without blocking) and calls `done(index, bytes)` for each one that
    // gave at least one byte. Called on this thread, in no particular order.
    using HeadHandler = std::function<void(size_t index, std::string_view bytes)>;
    void readHeads(int dirFd, const std::vector<std::string>& names, size_t limit, const HeadHandler& done);

    // One statx of a name below `dirFd`. Not batched: a ring hands statx to its kernel workers,
    // which costs more than the call itself once the calling threads fill the cores.
    static NameStat statName(int dirFd, const char* name);
    // One head the plain way (what the batched path falls back on).
    static bool readHead(int dirFd, const char* name, char* buffer, size_t limit, size_t& length);

private:
    struct Ring;
    void giveUp();  // a ring that misbehaved is not used again
    std::unique_ptr<Ring> ring_;
    bool switchedOff_ = false;
    std::unique_ptr<char[]> headBuffers_;  // readHeads' buffers, reused
    size_t headBuffersSize_ = 0;
};

}  // namespace quillo::files
