// The entry point of the Lumo Window (the main window). Until the window itself exists this is a
// small window that names the trashes and points to the tray menu; it posts
// "lumoWindowDidClose" when it closes, like the real one will.
#pragma once

#include <QWidget>

namespace quillo::shell {

class RNLumoWindowPlaceholder : public QWidget {
    Q_OBJECT
public:
    RNLumoWindowPlaceholder();
    void showWindow();

protected:
    void closeEvent(QCloseEvent* event) override;
};

}  // namespace quillo::shell
