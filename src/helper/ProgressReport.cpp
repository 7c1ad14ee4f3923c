#include "helper/ProgressReport.h"

namespace quillo::helper {

void ProgressReport::itemsErased(std::uint64_t count, std::uint64_t totSize, std::uint64_t itemSize,
                                 const std::string& path) {
    add(count, totSize, itemSize, path);
    tellNews();
}

void ProgressReport::tellNews() {
    bool tell = false;
    {
        std::lock_guard lock(mutex_);
        tell = armed_;
        armed_ = false;
    }
    if (tell && news_) news_();
}

void ProgressReport::add(std::uint64_t count, std::uint64_t totSize, std::uint64_t itemSize, const std::string& path) {
    std::lock_guard lock(mutex_);
    const bool failed = count == count_;
    count_ = count;
    totSize_ = totSize;
    changed_ = true;
    const bool listed = listing_ && (failed ? failuresListed_ < kListedFailures
                                            : waitingBytes_ + path.size() <= kMaxWaitingBytes);
    if (!listed) {
        ++unlisted_;
        return;
    }
    if (failed) ++failuresListed_;
    waitingBytes_ += path.size();
    items_.push_back(Item{count, totSize, itemSize, path});
}

void ProgressReport::finishedWithNonErasedCount(std::uint64_t count) {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        notErased_ = count;
    }
    tellNews();
}

ProgressReport::Batch ProgressReport::take(std::size_t maxBytes) {
    std::lock_guard lock(mutex_);
    Batch batch;
    batch.count = count_;
    batch.totSize = totSize_;
    std::size_t bytes = 0;
    while (!items_.empty() && (batch.items.empty() || bytes + items_.front().path.size() <= maxBytes)) {
        bytes += items_.front().path.size();
        batch.items.push_back(std::move(items_.front()));
        items_.pop_front();
    }
    waitingBytes_ -= bytes;
    batch.unlisted = unlisted_;
    unlisted_ = 0;
    batch.hasProgress = changed_;
    changed_ = false;
    armed_ = true;
    if (finished_ && !endTaken_ && items_.empty()) {
        batch.finished = true;
        batch.notErased = notErased_;
        endTaken_ = true;
    }
    return batch;
}

void ProgressReport::dropItems() {
    std::lock_guard lock(mutex_);
    unlisted_ += items_.size();
    std::deque<Item>().swap(items_);
    waitingBytes_ = 0;
    listing_ = false;
}

bool ProgressReport::ended() const {
    std::lock_guard lock(mutex_);
    return endTaken_;
}

}  // namespace quillo::helper
