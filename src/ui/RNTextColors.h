// Text colours taken from the palette in use, never fixed: a secondary line (counts, sizes,
// details, the selection summary) is the palette's own text colour made paler only as far as it
// stays readable on the background it is drawn on. (The palette's PlaceholderText is meant for
// hints in empty fields: Qt derives it at low alpha, and a theme that does not set it leaves the
// light default's near-black, which vanishes on a dark background.)
#pragma once

#include <QColor>
#include <QLabel>
#include <QPalette>

namespace quillo::ui {

// The contrast ratio of two opaque colours (relative luminance, 1 to 21).
double contrastRatio(const QColor& a, const QColor& b);
// `over` with `color` painted on it (alpha blending), as an opaque colour.
QColor blendedColor(const QColor& color, const QColor& over);

// Body text at least this far from its background.
inline constexpr double kMinimumTextContrast = 4.5;

// The secondary text colour: `foreground` of `group` at reduced opacity, but no paler than
// kMinimumTextContrast allows on `background` of the same group (and on `alsoOn`, when given: a
// menu is drawn on Window by some styles and on Base by others). The full colour when even that
// is not enough: then it is the theme's own choice.
QColor secondaryTextColor(const QPalette& palette, QPalette::ColorGroup group,
                          QPalette::ColorRole foreground = QPalette::WindowText,
                          QPalette::ColorRole background = QPalette::Window,
                          QPalette::ColorRole alsoOn = QPalette::NoRole);

// A label drawn in the secondary text colour of its current palette (so it follows palette and
// theme changes); `background` is the role it is drawn on (Base inside a card or a list).
class RNSecondaryLabel : public QLabel {
    Q_OBJECT
public:
    explicit RNSecondaryLabel(QWidget* parent = nullptr, QPalette::ColorRole foreground = QPalette::WindowText,
                              QPalette::ColorRole background = QPalette::Window);
    // The colour the text is drawn in now.
    QColor textColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPalette::ColorRole foreground_;
    QPalette::ColorRole background_;
};

}  // namespace quillo::ui
