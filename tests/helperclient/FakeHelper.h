// An in-process stand-in for quillo3-helper on a private bus: answers the version, accepts or
// refuses erase requests as scripted, sends scripted progress to the caller, can leave the bus
// in the middle of a run, and records what it was sent.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct sd_bus sd_bus;
typedef struct sd_event sd_event;

namespace quillo::test {

class FakeHelper {
public:
    struct Item {
        uint64_t count, totSize, itemSize;
        std::string path;
    };
    struct Script {
        std::string version = "2.1.0";
        // Refuse the erase with this D-Bus error (name, message).
        std::optional<std::pair<std::string, std::string>> eraseError;
        std::vector<Item> items;
        uint64_t notErased = 0;
        // Leave the bus after the first item instead of finishing.
        bool vanishAfterFirstItem = false;
        // Another connection sends a made-up item to the caller after the reply.
        bool spoofFromOtherConnection = false;
    };

    explicit FakeHelper(Script script);
    ~FakeHelper();

    bool ok() const { return ok_; }
    int eraseCalls() const { return eraseCalls_.load(); }
    std::vector<bool> stops() const;
    std::string authorization() const;
    std::string request() const;

private:

    Script script_;
    std::atomic<bool> ok_{false};
    std::atomic<int> eraseCalls_{0};
    mutable std::mutex mutex_;
    std::vector<bool> stops_;
    std::string authorization_, request_;
    sd_bus* bus_ = nullptr;
    sd_event* event_ = nullptr;
    int quitFd_ = -1;
    std::thread thread_;

    friend struct FakeHelperHandlers;
};

}  // namespace quillo::test
