// The erase session as the helper client sees it, recording every call (thread-safe).
#pragma once

#include "erase/RNPrivilegedEraser.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillo::test {

class RecordingDelegate : public quillo::erase::RNSecureAccessDelegate {
public:
    void setTotItemsDeleted(uint64_t count) override { note([&] { totItems.push_back(count); }); }
    void setTotSizeDeleted(uint64_t size) override { note([&] { totSizes.push_back(size); }); }
    void writeLogEntryWithPath(const std::string& path, uint64_t size) override {
        note([&] { logged.emplace_back(path, size); });
    }
    void setNotErasedCount(uint64_t count) override { note([&] { notErased.push_back(count); }); }
    void setIsWorking(bool working) override {
        note([&] {
            working ? ++workingTrue : ++ends;
            endThread = std::this_thread::get_id();
        });
    }
    void showErrorWithError(const std::string& text) override { note([&] { errors.push_back(text); }); }

    bool waitForEnd(int ms = 15000) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return ends > 0; });
    }
    bool ended() {
        std::lock_guard lock(mutex);
        return ends > 0;
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<uint64_t> totItems, totSizes, notErased;
    std::vector<std::pair<std::string, uint64_t>> logged;
    std::vector<std::string> errors;
    int ends = 0, workingTrue = 0;
    std::thread::id endThread;

private:
    template <class F>
    void note(F f) {
        {
            std::lock_guard lock(mutex);
            f();
        }
        cv.notify_all();
    }
};

}  // namespace quillo::test
