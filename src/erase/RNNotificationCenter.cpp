#include "erase/RNNotificationCenter.h"

#include <algorithm>
#include <thread>

namespace quillo::erase {

struct RNNotificationCenter::Entry {
    RNObserverToken token;
    std::string name;
    const void* object;
    Callback callback;
    bool removed = false;
    // Threads inside this callback right now (a thread may appear more than once when a
    // callback posts a notification that reaches itself again).
    std::vector<std::thread::id> callers;
};

RNNotificationCenter& RNNotificationCenter::defaultCenter() {
    static RNNotificationCenter* center = new RNNotificationCenter;
    return *center;
}

RNObserverToken RNNotificationCenter::addObserver(const std::string& name, const void* object,
                                                  Callback callback) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->object = object;
    entry->callback = std::move(callback);
    std::lock_guard lock(mutex_);
    entry->token = nextToken_++;
    entries_.push_back(entry);
    return entry->token;
}

void RNNotificationCenter::removeObserver(RNObserverToken token) {
    if (token == 0) return;
    std::unique_lock lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const auto& e) { return e->token == token; });
    if (it == entries_.end()) return;
    std::shared_ptr<Entry> entry = *it;
    entries_.erase(it);
    entry->removed = true;
    // Wait for calls on other threads; calls on this thread are below us on the stack.
    const auto self = std::this_thread::get_id();
    callEnded_.wait(lock, [&] {
        return std::all_of(entry->callers.begin(), entry->callers.end(),
                           [&](const std::thread::id& id) { return id == self; });
    });
}

void RNNotificationCenter::postNotification(const std::string& name, const void* object,
                                            std::optional<RNDictionary> userInfo) {
    postNotification(RNNotification{name, object, std::move(userInfo)});
}

void RNNotificationCenter::postNotification(const RNNotification& note) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (!e->name.empty() && e->name != note.name) continue;
            if (e->object && e->object != note.object) continue;
            targets.push_back(e);
        }
    }
    const auto self = std::this_thread::get_id();
    for (const auto& e : targets) {
        {
            std::lock_guard lock(mutex_);
            // An earlier callback of this very post may have removed it.
            if (e->removed) continue;
            e->callers.push_back(self);
        }
        // The entry's callback is never changed after registration, so it is read unlocked.
        struct CallEnd {
            RNNotificationCenter* center;
            Entry* entry;
            std::thread::id self;
            ~CallEnd() {
                std::lock_guard lock(center->mutex_);
                auto& c = entry->callers;
                c.erase(std::find(c.begin(), c.end(), self));
                center->callEnded_.notify_all();
            }
        } end{this, e.get(), self};
        e->callback(note);
    }
}

std::size_t RNNotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace quillo::erase
