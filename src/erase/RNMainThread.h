// The engine's only way to the main thread, where questions, alerts and windows live. The tray
// application installs a dispatcher backed by its event loop; the terminal front end and the
// tests use RNRunLoopMainThread.
#pragma once

#include <functional>
#include <memory>

namespace quillo::erase {

class RNMainThread {
public:
    using Task = std::function<void()>;

    virtual ~RNMainThread() = default;

    // Queues the task for the main thread and returns at once.
    virtual void post(Task task) = 0;
    virtual bool isMainThread() const = 0;

    // Runs the task on the main thread and waits until it has run. On the main thread itself
    // it runs inline, so there is no deadlock. Returns false when the task was dropped unrun
    // (the dispatcher went away with the task still queued), so a waiting worker never hangs.
    virtual bool runAndWait(Task task);

    // The dispatcher of this process (none until one is installed).
    static void setActive(std::shared_ptr<RNMainThread> dispatcher);
    static std::shared_ptr<RNMainThread> active();

    // Through the active dispatcher. Without one (a headless tool that never installed one)
    // the task runs on the calling thread: there is no other thread it could belong to.
    static void postToMain(Task task);
    static bool runOnMainAndWait(Task task);
    static bool onMainThread();
};

}  // namespace quillo::erase
