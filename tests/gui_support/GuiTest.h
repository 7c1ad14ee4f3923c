// Helpers for the Qt tests: waiting with the event loop running, and answering the next modal
// dialog from inside its own event loop.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace quillo::test {

// Processes events until `done` holds or `ms` pass; gives `done`'s last answer.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return done();
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Delivers what other threads have posted to the main thread so far (results of work that is
// known to have ended), without waiting for anything else.
inline void drainPostedEvents() {
    QCoreApplication::sendPostedEvents();
    QApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Calls `handle` with the application-modal dialog once one is up (polled every 10 ms, for up
// to `ms`); the dialog is left to `handle` to answer. The limit is generous: a dialog that comes
// after it is answered by no one and its event loop never returns, so on a loaded machine a
// short limit turns a slow start into a hang.
inline void onNextModal(std::function<void(QWidget*)> handle, int ms = 120000) {
    auto* timer = new QTimer;
    auto started = std::make_shared<QDeadlineTimer>(ms);
    QObject::connect(timer, &QTimer::timeout, [timer, handle, started] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w && !started->hasExpired()) return;
        timer->stop();
        timer->deleteLater();
        if (w) handle(w);
    });
    timer->start(10);
}

}  // namespace quillo::test
