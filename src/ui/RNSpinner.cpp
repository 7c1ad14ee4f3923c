#include "ui/RNSpinner.h"

#include <QPainter>

namespace quillo::ui {

namespace {
constexpr int kRays = 12;
}

RNSpinner::RNSpinner(QWidget* parent, int diameter) : QWidget(parent), diameter_(diameter) {
    setFixedSize(diameter, diameter);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % kRays;
        update();
    });
    hide();
}

void RNSpinner::startAnimation() {
    show();
    if (!timer_.isActive()) timer_.start();
    update();
}

void RNSpinner::stopAnimation() {
    timer_.stop();
    hide();
}

void RNSpinner::updateMarkerColor() { update(); }

void RNSpinner::setContainerViewIsSelected(bool selected) {
    if (selected_ == selected) return;
    selected_ = selected;
    update();
}

QSize RNSpinner::sizeHint() const { return {diameter_, diameter_}; }

void RNSpinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor base = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                        selected_ ? QPalette::HighlightedText : QPalette::WindowText);
    const qreal r = diameter_ / 2.0;
    p.translate(r, r);
    QPen pen;
    pen.setCapStyle(Qt::RoundCap);
    pen.setWidthF(qMax(1.5, diameter_ / 10.0));
    for (int i = 0; i < kRays; ++i) {
        // The ray at the current step is the brightest; the ones behind it fade out.
        const int age = (step_ - i + kRays) % kRays;
        QColor c = base;
        c.setAlphaF(1.0 - 0.8 * age / kRays);
        pen.setColor(c);
        p.setPen(pen);
        p.save();
        p.rotate(i * 360.0 / kRays);
        p.drawLine(QPointF(0, -r * 0.45), QPointF(0, -r * 0.85));
        p.restore();
    }
}

}  // namespace quillo::ui
