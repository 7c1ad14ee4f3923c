// The interface's one way back to the main thread from background work.
//
//     runThen(queue, this, [path] { return listTrash(path); },
//             [this](Listing listing) { show(listing); });
//
// `work` runs on `queue` and must use only what it was given (never `context`); `then` runs on
// the main thread with its result, and is dropped, unrun, when `context` has been destroyed by
// then - a window closed, a menu row released. Work that has not started when its context goes
// is skipped; work that takes a `const std::atomic<bool>&` gets the flag that is raised then, to
// stop early.
//
// RNMainThreadPath is the same way back for callbacks that arrive on other threads on their own
// (the engine's notifications, the defaults' observers, an X event): made on the main thread for
// a context, posted to from anywhere; run() is immediate when already on the main thread.
#pragma once

#include "erase/RNOperationQueue.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace quillo::ui {

class RNMainThreadPath {
public:
    // On the main thread: follows `context` until it is destroyed.
    explicit RNMainThreadPath(QObject* context) : gone_(std::make_shared<std::atomic<bool>>(false)) {
        Q_ASSERT(!QCoreApplication::instance() || QThread::currentThread() == QCoreApplication::instance()->thread());
        auto gone = gone_;
        // Direct, from the destructor itself: nothing queued after this can run for it.
        QObject::connect(context, &QObject::destroyed, [gone] { gone->store(true); });
    }

    // The context is gone (any thread may ask; only the main thread's answer is final).
    bool contextGone() const { return gone_->load(); }
    const std::atomic<bool>& goneFlag() const { return *gone_; }

    // From any thread: `fn` runs on the main thread, unless the context is gone by then (or the
    // application is).
    void post(std::function<void()> fn) const {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || gone_->load()) return;
        QMetaObject::invokeMethod(
            app, [gone = gone_, fn = std::move(fn)] {
                if (!gone->load()) fn();
            },
            Qt::QueuedConnection);
    }

    // As post(), but at once when called on the main thread (where nothing else can run
    // between the call and `fn`): for a caller that must see its change take effect before
    // it goes on. Never use it where `fn` could re-enter the caller mid-dispatch.
    void run(std::function<void()> fn) const {
        QCoreApplication* app = QCoreApplication::instance();
        if (app && QThread::currentThread() == app->thread()) {
            if (!gone_->load()) fn();
            return;
        }
        post(std::move(fn));
    }

private:
    std::shared_ptr<std::atomic<bool>> gone_;
};

// Call on the main thread.
template <class Work, class Then>
void runThen(erase::RNOperationQueue& queue, QObject* context, Work work, Then then) {
    RNMainThreadPath path(context);
    queue.addOperation([path, work = std::move(work), then = std::move(then)]() mutable {
        if (path.contextGone()) return;
        if constexpr (std::is_invocable_v<Work&, const std::atomic<bool>&>) {
            using Result = std::invoke_result_t<Work&, const std::atomic<bool>&>;
            if constexpr (std::is_void_v<Result>) {
                work(path.goneFlag());
                path.post([then = std::move(then)]() mutable { then(); });
            } else {
                path.post([then = std::move(then), result = work(path.goneFlag())]() mutable {
                    then(std::move(result));
                });
            }
        } else {
            using Result = std::invoke_result_t<Work&>;
            if constexpr (std::is_void_v<Result>) {
                work();
                path.post([then = std::move(then)]() mutable { then(); });
            } else {
                path.post([then = std::move(then), result = work()]() mutable { then(std::move(result)); });
            }
        }
    });
}

}  // namespace quillo::ui
