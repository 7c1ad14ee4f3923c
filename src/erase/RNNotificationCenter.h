// Notifications between components: observers register by name and, optionally, by the
// posting object; a post calls every matching observer synchronously on the posting thread.
//
// Posting, adding and removing are safe from any thread and from inside a callback. Once
// removeObserver() returns, that observer's callback is not running on any other thread and will
// not be called again; the one exception is removing an observer from inside its own callback
// (directly or further down the same call stack), which returns at once and lets that call end.
// As with any such guarantee, two callbacks that remove each other from two threads at the same
// moment wait for each other; observers must not do that.
#pragma once

#include "erase/RNValue.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillo::erase {

struct RNNotification {
    std::string name;
    const void* object = nullptr;                // the sender, only compared, never used
    std::optional<RNDictionary> userInfo;        // absent and empty are different answers

    const RNValue& info(const std::string& key) const {
        return userInfo ? RNValue::lookup(*userInfo, key) : RNValue::null();
    }
};

using RNObserverToken = std::uint64_t;  // 0 is never a valid token

class RNNotificationCenter {
public:
    using Callback = std::function<void(const RNNotification&)>;

    RNNotificationCenter() = default;
    ~RNNotificationCenter() = default;
    RNNotificationCenter(const RNNotificationCenter&) = delete;
    RNNotificationCenter& operator=(const RNNotificationCenter&) = delete;

    // The process-wide centre; never destroyed, so observers may outlive static destruction.
    static RNNotificationCenter& defaultCenter();

    // An empty name observes every name; a null object accepts every sender.
    RNObserverToken addObserver(const std::string& name, const void* object, Callback callback);
    void removeObserver(RNObserverToken token);

    void postNotification(const std::string& name, const void* object = nullptr,
                          std::optional<RNDictionary> userInfo = std::nullopt);
    void postNotification(const RNNotification& notification);

    std::size_t observerCount() const;

private:
    struct Entry;
    mutable std::mutex mutex_;
    std::condition_variable callEnded_;
    std::vector<std::shared_ptr<Entry>> entries_;  // in registration order
    RNObserverToken nextToken_ = 1;
};

}  // namespace quillo::erase
