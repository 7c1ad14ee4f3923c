// What one erase run has to tell its caller, gathered as the run goes and sent in batches: the
// latest totals, the items to list, and the run's end.
//
// The run (its own thread) reports item by item; the loop takes a batch at most every 0.1 s and
// only when the caller has read what it was sent before, so what waits for one caller is bounded
// here and on the bus: erased items are listed up to kMaxWaitingBytes of paths, failures (a
// refused path, a failed unlock or removal) only the first kListedFailures of the run; the rest
// are counted as "not listed". A failed item is one whose report leaves the erased count as it
// was.
#pragma once

#include "common/RNHelperToolProtocol.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quillo::helper {

class ProgressReport : public common::RNHelperToolProtocolProgress {
public:
    static constexpr std::size_t kMaxWaitingBytes = 4u << 20;
    static constexpr std::uint64_t kListedFailures = 8;

    // `startCount`: the request's erased count, the totals the first item is compared with.
    // `news` is called (on the run's thread, outside the report's lock) when something arrives
    // in a report that the loop has emptied: the loop need not wait for its next tick.
    explicit ProgressReport(std::uint64_t startCount, std::function<void()> news = {})
        : count_(startCount), news_(std::move(news)) {}

    // The run's side (any thread).
    void itemsErased(std::uint64_t count, std::uint64_t totSize, std::uint64_t itemSize,
                     const std::string& path) override;
    void finishedWithNonErasedCount(std::uint64_t count) override;

    using Item = common::ListedItem;
    struct Batch {
        std::uint64_t count = 0, totSize = 0;
        std::vector<Item> items;  // in run order
        std::uint64_t unlisted = 0;  // items handled since the last batch and not in `items`
        bool hasProgress = false;    // anything since the last batch
        bool finished = false;       // the run's end: nothing follows
        std::uint64_t notErased = 0;
    };
    // The loop's side: what is new, with items of at most `maxBytes` of paths (at least one item
    // when any waits). The end comes once, in the batch that empties the report.
    Batch take(std::size_t maxBytes);
    // Forgets the waiting items (counted as not listed) and lists no more: the caller reads
    // nothing.
    void dropItems();
    bool ended() const;  // the end has been taken

private:
    void add(std::uint64_t count, std::uint64_t totSize, std::uint64_t itemSize, const std::string& path);
    void tellNews();

    mutable std::mutex mutex_;
    std::uint64_t count_ = 0, totSize_ = 0;
    std::deque<Item> items_;
    std::size_t waitingBytes_ = 0;
    std::uint64_t unlisted_ = 0;
    std::uint64_t failuresListed_ = 0;
    bool changed_ = false;
    bool listing_ = true;
    bool finished_ = false, endTaken_ = false;
    bool armed_ = true;  // the next news calls news_
    std::function<void()> news_;
    std::uint64_t notErased_ = 0;
};

}  // namespace quillo::helper
