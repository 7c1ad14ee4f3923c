#include "ui/RNQtMainThread.h"

#include <QCoreApplication>
#include <QThread>

namespace quillo::ui {

RNQtMainThread::RNQtMainThread() : context_(std::make_unique<QObject>()) {
    if (QCoreApplication* app = QCoreApplication::instance()) context_->moveToThread(app->thread());
}

RNQtMainThread::~RNQtMainThread() = default;

void RNQtMainThread::post(Task task) {
    if (!task) return;
    // The functor owns the task: if the event is discarded (context gone), the task is
    // destroyed unrun, which releases a waiting runAndWait().
    QMetaObject::invokeMethod(context_.get(), [task = std::move(task)]() { task(); }, Qt::QueuedConnection);
}

bool RNQtMainThread::isMainThread() const { return QThread::currentThread() == context_->thread(); }

std::shared_ptr<RNQtMainThread> RNQtMainThread::install() {
    auto dispatcher = std::make_shared<RNQtMainThread>();
    erase::RNMainThread::setActive(dispatcher);
    return dispatcher;
}

}  // namespace quillo::ui
