#include "ui/RNTextColors.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>
#include <cmath>
#include <vector>

namespace quillo::ui {

namespace {
double channel(double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double luminance(const QColor& c) {
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}
}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor blendedColor(const QColor& color, const QColor& over) {
    const double a = color.alphaF();
    return QColor::fromRgbF(float(color.redF() * a + over.redF() * (1 - a)),
                            float(color.greenF() * a + over.greenF() * (1 - a)),
                            float(color.blueF() * a + over.blueF() * (1 - a)));
}

QColor secondaryTextColor(const QPalette& palette, QPalette::ColorGroup group, QPalette::ColorRole foreground,
                          QPalette::ColorRole background, QPalette::ColorRole alsoOn) {
    const QColor text = palette.color(group, foreground);
    std::vector<QColor> backs{blendedColor(palette.color(group, background), Qt::white)};
    if (alsoOn != QPalette::NoRole) backs.push_back(blendedColor(palette.color(group, alsoOn), Qt::white));
    // A little paler than the main text, as far as the contrast allows.
    for (double alpha = 0.7; alpha < 1.0; alpha += 0.05) {
        QColor c = text;
        c.setAlphaF(float(text.alphaF() * alpha));
        const bool readable = std::all_of(backs.begin(), backs.end(), [&](const QColor& back) {
            return contrastRatio(blendedColor(c, back), back) >= kMinimumTextContrast;
        });
        if (readable) return c;
    }
    return text;
}

RNSecondaryLabel::RNSecondaryLabel(QWidget* parent, QPalette::ColorRole foreground, QPalette::ColorRole background)
    : QLabel(parent), foreground_(foreground), background_(background) {}

QColor RNSecondaryLabel::textColor() const {
    const QPalette::ColorGroup group = !isEnabled() ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    if (group == QPalette::Disabled) return palette().color(QPalette::Disabled, foreground_);
    return secondaryTextColor(palette(), group, foreground_, background_);
}

void RNSecondaryLabel::paintEvent(QPaintEvent*) {
    // Plain text the way QLabel draws it, in our colour.
    QPainter p(this);
    QStyleOption opt;
    opt.initFrom(this);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, textColor());
    int flags = int(alignment());
    if (wordWrap()) flags |= Qt::TextWordWrap;
    const QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&p, r, flags, pal, true, text(), QPalette::WindowText);
}

}  // namespace quillo::ui
