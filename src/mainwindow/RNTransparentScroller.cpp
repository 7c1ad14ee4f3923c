#include "mainwindow/RNTransparentScroller.h"

#include <QPainter>
#include <QStyleOptionSlider>

namespace quillo::mainwindow {

RNTransparentScroller::RNTransparentScroller(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void RNTransparentScroller::paintEvent(QPaintEvent*) {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect knob = style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this);
    if (knob.isEmpty() || maximum() == minimum()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor color = palette().color(QPalette::Text);
    color.setAlphaF(underMouse() || isSliderDown() ? 0.5f : 0.3f);
    const QRectF r = QRectF(knob).adjusted(3, 2, -3, -2);
    const qreal radius = std::min(r.width(), r.height()) / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(r, radius, radius);
}

}  // namespace quillo::mainwindow
