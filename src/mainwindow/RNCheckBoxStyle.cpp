#include "mainwindow/RNCheckBoxStyle.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

namespace quillo::mainwindow {

RNCheckBoxStyle::RNCheckBoxStyle(QObject* parent) : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {
    setParent(parent);
}

QColor RNCheckBoxStyle::frameColor(const QPalette& palette) {
    const QColor text = palette.color(QPalette::Text), base = palette.color(QPalette::Base);
    constexpr float share = 0.45f;
    return QColor::fromRgbF(text.redF() * share + base.redF() * (1 - share), text.greenF() * share + base.greenF() * (1 - share),
                            text.blueF() * share + base.blueF() * (1 - share));
}

void RNCheckBoxStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                    const QWidget* widget) const {
    // The lists draw their own ring round the keyboard's current row.
    if (element == PE_FrameFocusRect && qobject_cast<const QAbstractItemView*>(widget)) return;
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    if (element != PE_IndicatorCheckBox && element != PE_IndicatorItemViewItemCheck) return;
    if (option->state & (QStyle::State_On | QStyle::State_NoChange)) return;  // the mark shows it
    if ((option->state & QStyle::State_HasFocus) && (option->state & QStyle::State_KeyboardFocusChange)) return;
    // The same square the style outlines, half a pixel in, so that the line is sharp.
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->translate(0.5, 0.5);
    QColor color = frameColor(option->palette);
    if (!(option->state & QStyle::State_Enabled)) color.setAlphaF(0.5f);
    painter->setPen(QPen(color, 1));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QRectF(option->rect.adjusted(0, 0, -1, -1)));
    painter->restore();
}

}  // namespace quillo::mainwindow
