#include "erase/RNMainThread.h"

#include <condition_variable>
#include <mutex>

namespace quillo::erase {

namespace {
std::mutex gActiveMutex;
std::shared_ptr<RNMainThread> gActive;

// Shared between a waiting caller and its task. The task's copy of the guard marks the wait
// as over when the task is destroyed, whether it ran or was dropped.
struct WaitState {
    std::mutex mutex;
    std::condition_variable cv;
    bool over = false;
    bool ran = false;
};

struct WaitGuard {
    explicit WaitGuard(std::shared_ptr<WaitState> s) : state(std::move(s)) {}
    WaitGuard(const WaitGuard&) = delete;
    WaitGuard& operator=(const WaitGuard&) = delete;
    std::shared_ptr<WaitState> state;
    ~WaitGuard() {
        if (!state) return;
        std::lock_guard lock(state->mutex);
        state->over = true;
        state->cv.notify_all();
    }
};
}  // namespace

bool RNMainThread::runAndWait(Task task) {
    if (!task) return false;
    if (isMainThread()) {
        task();
        return true;
    }
    auto state = std::make_shared<WaitState>();
    auto guard = std::make_shared<WaitGuard>(state);
    post([task = std::move(task), guard, state]() mutable {
        task();
        std::lock_guard lock(state->mutex);
        state->ran = true;
        state->over = true;
        state->cv.notify_all();
    });
    guard.reset();  // only the queued task keeps the guard now
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->over; });
    return state->ran;
}

void RNMainThread::setActive(std::shared_ptr<RNMainThread> dispatcher) {
    std::lock_guard lock(gActiveMutex);
    gActive = std::move(dispatcher);
}

std::shared_ptr<RNMainThread> RNMainThread::active() {
    std::lock_guard lock(gActiveMutex);
    return gActive;
}

void RNMainThread::postToMain(Task task) {
    if (auto main = active())
        main->post(std::move(task));
    else if (task)
        task();
}

bool RNMainThread::runOnMainAndWait(Task task) {
    if (auto main = active()) return main->runAndWait(std::move(task));
    if (!task) return false;
    task();
    return true;
}

bool RNMainThread::onMainThread() {
    auto main = active();
    return !main || main->isMainThread();
}

}  // namespace quillo::erase
