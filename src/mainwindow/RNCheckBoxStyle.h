// The style of the Lumo Window's lists: the application's style, with the frame of every check
// box drawn in a colour taken from the palette's text and base, so that an unchecked box reads
// on any palette (Fusion outlines it in a shade of the window colour, which on a dark palette is
// nearly the colour of the list behind it).
#pragma once

#include <QProxyStyle>

namespace quillo::mainwindow {

class RNCheckBoxStyle : public QProxyStyle {
    Q_OBJECT
public:
    // A proxy of a new instance of the application's current style; `parent` owns it.
    explicit RNCheckBoxStyle(QObject* parent);

    // The frame colour: the text colour mixed into the base colour.
    static QColor frameColor(const QPalette& palette);

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace quillo::mainwindow
