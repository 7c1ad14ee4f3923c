// Saving pictures of windows for scripts/screenshots: the window with its frame as the screen
// shows it, or the widget's own rendering where the platform cannot grab the screen.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QPixmap>
#include <QScreen>
#include <QString>
#include <QWidget>

#include <cstdio>

namespace quillo::test {

// Lets the event loop run for `ms` (the pictures are taken after layouts and fades settle).
inline void pump(int ms) {
    QDeadlineTimer d(ms);
    while (!d.hasExpired()) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Saves `w` as DIR/NAME.png and says where.
inline void save(QWidget* w, const QString& dir, const QString& name) {
    pump(300);
    QPixmap shot = w->screen()->grabWindow(0, w->frameGeometry().x(), w->frameGeometry().y(),
                                           w->frameGeometry().width(), w->frameGeometry().height());
    if (shot.isNull() || shot.toImage().allGray()) shot = w->grab();
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    shot.save(path);
    std::printf("screenshots: %s\n", qPrintable(path));
}

}  // namespace quillo::test
