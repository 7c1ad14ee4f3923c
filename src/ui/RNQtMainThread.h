// The engine's main thread in the tray app: tasks run on the Qt event loop of the GUI thread.
// Make it on the GUI thread after QApplication exists.
#pragma once

#include "erase/RNMainThread.h"

#include <QObject>

#include <memory>

namespace quillo::ui {

class RNQtMainThread : public erase::RNMainThread {
public:
    RNQtMainThread();
    ~RNQtMainThread() override;

    // Queued as an event for the GUI thread. A task still queued when the dispatcher goes away
    // is dropped, so runAndWait() callers get false instead of hanging.
    void post(Task task) override;
    bool isMainThread() const override;

    // Makes one, installs it as the active dispatcher and gives it back.
    static std::shared_ptr<RNQtMainThread> install();

private:
    std::unique_ptr<QObject> context_;
};

}  // namespace quillo::ui
