#include "files/BatchedReads.h"

#include "files/UniqueFd.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/stat.h>
#include <liburing.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quillo::files {

namespace {

constexpr unsigned kRingEntries = 256;
// Files open at once in the ring (its own table, no process descriptors): each takes an open,
// a read and a close, so three requests per file fit the ring.
constexpr unsigned kHeadSlots = 64;
constexpr unsigned kStatMask = STATX_TYPE | STATX_SIZE;
constexpr int kStatFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

bool switchedOff() {
    const char* v = std::getenv("QUILLO_NO_IO_URING");
    return v && *v && std::strcmp(v, "0") != 0;
}

NameStat fromStatx(const struct statx& sx) {
    NameStat s;
    s.ok = true;
    s.isDirectory = S_ISDIR(sx.stx_mode);
    s.size = uint64_t(sx.stx_size);
    return s;
}

}  // namespace

struct BatchedReads::Ring {
    struct io_uring ring {};
    bool initialized = false;
    bool directFiles = false;  // the file table for reads is registered
    ~Ring() {
        if (initialized) io_uring_queue_exit(&ring);
    }

    // Submits what is queued and hands every one of `expected` completions to `onCompletion`;
    // false when the ring failed (what did not complete is then done one call at a time).
    template <typename F>
    bool submitAndReap(unsigned expected, F&& onCompletion) {
        // A signal before anything was submitted leaves the requests queued: submit them again.
        int submitted;
        while ((submitted = io_uring_submit_and_wait(&ring, expected)) == -EINTR) {
        }
        if (submitted < 0) return false;
        unsigned received = 0;
        while (received < expected) {
            struct io_uring_cqe* cqe = nullptr;
            const int waited = io_uring_wait_cqe(&ring, &cqe);
            if (waited == -EINTR) continue;
            if (waited < 0) return false;
            unsigned head, seen = 0;
            io_uring_for_each_cqe(&ring, head, cqe) {
                onCompletion(io_uring_cqe_get_data64(cqe), cqe->res);
                ++seen;
            }
            io_uring_cq_advance(&ring, seen);
            received += seen;
        }
        return true;
    }
};

BatchedReads::BatchedReads() : switchedOff_(switchedOff()) {
    if (switchedOff_) return;
    auto ring = std::make_unique<Ring>();
    // SUBMIT_ALL (Linux 5.18): a request refused at submission does not hold back the others,
    // so every queued request gives exactly one completion.
    if (io_uring_queue_init(kRingEntries, &ring->ring, IORING_SETUP_SUBMIT_ALL) != 0) return;
    ring->initialized = true;
    struct io_uring_probe* probe = io_uring_get_probe_ring(&ring->ring);
    if (!probe) return;
    const bool supported = io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                           io_uring_opcode_supported(probe, IORING_OP_READ) &&
                           io_uring_opcode_supported(probe, IORING_OP_CLOSE);
    io_uring_free_probe(probe);
    if (!supported) return;
    ring->directFiles = io_uring_register_files_sparse(&ring->ring, kHeadSlots) == 0;
    ring_ = std::move(ring);
}

BatchedReads::~BatchedReads() = default;

namespace {

// A forked child shares the ring's memory with its parent: what one queues would upset the
// other's view of it. A thread's ring is therefore only used in the process that made it.
std::atomic<unsigned> gForks{0};

unsigned forkCount() {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { gForks.fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    return gForks.load(std::memory_order_relaxed);
}

}  // namespace

BatchedReads& BatchedReads::forThisThread() {
    thread_local std::unique_ptr<BatchedReads> reads;
    thread_local unsigned madeAfterForks = 0;
    const unsigned forks = forkCount();
    if (reads && forks != madeAfterForks) {
        // Made before a fork: left alone (its memory and descriptor are the parent's too).
        (void)reads.release();
    }
    if (!reads || reads->switchedOff_ != switchedOff()) {
        madeAfterForks = forks;
        reads.reset();
        reads = std::make_unique<BatchedReads>();
    }
    return *reads;
}

void BatchedReads::giveUp() { ring_.reset(); }

NameStat BatchedReads::statName(int dirFd, const char* name) {
    struct statx sx;
    if (::statx(dirFd, name, kStatFlags, kStatMask, &sx) != 0) return {};
    return fromStatx(sx);
}

bool BatchedReads::readHead(int dirFd, const char* name, char* buffer, size_t limit, size_t& length) {
    UniqueFd fd(::openat(dirFd, name, kOpenFlags | O_CLOEXEC));
    if (!fd.valid()) return false;
    const ssize_t n = ::read(fd.get(), buffer, limit);
    if (n <= 0) return false;
    length = size_t(n);
    return true;
}

void BatchedReads::readHeads(int dirFd, const std::vector<std::string>& names, size_t limit, const HeadHandler& done) {
    // Kept with the thread's instance and never cleared: a listing reads in many calls, and a
    // fresh buffer each time cost page faults for every call.
    if (headBuffersSize_ < size_t(kHeadSlots) * limit) {
        headBuffersSize_ = size_t(kHeadSlots) * limit;
        headBuffers_ = std::make_unique_for_overwrite<char[]>(headBuffersSize_);
    }
    char* const buffers = headBuffers_.get();
    std::vector<int> opened, read;
    for (size_t start = 0; start < names.size();) {
        const size_t count = std::min<size_t>(kHeadSlots, names.size() - start);
        bool ok = false;
        if (ring_ && ring_->directFiles) {
            opened.assign(count, -ECANCELED);
            read.assign(count, -ECANCELED);
            // Per file: open into a slot of the ring's own table, read, close the slot. The read
            // runs only after a successful open; the close runs whatever the read gave.
            for (size_t k = 0; k < count; ++k) {
                struct io_uring_sqe* sqe = io_uring_get_sqe(&ring_->ring);
                io_uring_prep_openat_direct(sqe, dirFd, names[start + k].c_str(), kOpenFlags, 0, unsigned(k));
                sqe->flags |= IOSQE_IO_LINK;
                io_uring_sqe_set_data64(sqe, k * 3);
                sqe = io_uring_get_sqe(&ring_->ring);
                io_uring_prep_read(sqe, int(k), buffers + k * limit, unsigned(limit), 0);
                sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
                io_uring_sqe_set_data64(sqe, k * 3 + 1);
                sqe = io_uring_get_sqe(&ring_->ring);
                io_uring_prep_close_direct(sqe, unsigned(k));
                io_uring_sqe_set_data64(sqe, k * 3 + 2);
            }
            ok = ring_->submitAndReap(unsigned(count * 3), [&](uint64_t data, int res) {
                const uint64_t k = data / 3;
                if (k >= count) return;
                if (data % 3 == 0) opened[k] = res;
                else if (data % 3 == 1) read[k] = res;
            });
            if (!ok) giveUp();
        }
        for (size_t k = 0; k < count; ++k) {
            char* buffer = buffers + k * limit;
            if (ok && opened[k] >= 0 && read[k] >= 0) {
                if (read[k] > 0) done(start + k, std::string_view(buffer, size_t(read[k])));
                continue;
            }
            // A missing file is missing either way; anything else is asked again plainly.
            if (ok && opened[k] == -ENOENT) continue;
            size_t length = 0;
            if (readHead(dirFd, names[start + k].c_str(), buffer, limit, length))
                done(start + k, std::string_view(buffer, length));
        }
        start += count;
    }
}

}  // namespace quillo::files
