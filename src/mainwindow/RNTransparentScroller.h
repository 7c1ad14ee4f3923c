// A scroll bar that draws only its knob, no track, over the list it scrolls.
#pragma once

#include <QScrollBar>

namespace quillo::mainwindow {

class RNTransparentScroller : public QScrollBar {
    Q_OBJECT
public:
    RNTransparentScroller(Qt::Orientation orientation, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace quillo::mainwindow
