#include "mainwindow/RNFinderLabels.h"

#include "files/RNLabels.h"

#include <QPainter>
#include <QPainterPath>

namespace quillo::mainwindow {

RNFinderLabels& RNFinderLabels::sharedControl() {
    static RNFinderLabels* shared = new RNFinderLabels;
    return *shared;
}

RNFinderLabels::RNFinderLabels() { updateLabels(); }

void RNFinderLabels::updateLabels() {
    // Gray, Green, Purple, Blue, Yellow, Red, Orange: the order of the label numbers.
    static const QColor kColors[8] = {QColor(0, 0, 0, 0),     QColor(0x98, 0x98, 0x9d), QColor(0x33, 0xd1, 0x7a),
                                      QColor(0x91, 0x41, 0xac), QColor(0x35, 0x84, 0xe4), QColor(0xf6, 0xd3, 0x2d),
                                      QColor(0xe0, 0x1b, 0x24), QColor(0xff, 0x78, 0x00)};
    for (size_t i = 0; i < 8; ++i) {
        names_[i] = QString::fromUtf8(files::kLabelNames[i].data(), qsizetype(files::kLabelNames[i].size()));
        colors_[i] = kColors[i];
    }
}

QString RNFinderLabels::name(int index) const { return index >= 0 && index < 8 ? names_[size_t(index)] : QString(); }
QColor RNFinderLabels::color(int index) const { return index >= 0 && index < 8 ? colors_[size_t(index)] : QColor(); }

QPixmap RNFinderLabels::imageLabelWithKey(qint64 key, QSize size) const {
    if (key < 1 || key > 7) return {};
    return createImageWithColor(colors_[size_t(key)], size);
}

QPixmap RNFinderLabels::createImageWithColor(const QColor& color, QSize size) const {
    QPixmap out(size);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF rect(0, 0, size.width(), size.height());
    QPainterPath oval;
    oval.addEllipse(rect);
    p.save();
    p.setClipPath(oval);
    p.fillPath(oval, color);
    QColor rim = QColor::fromRgbF(std::max(0.f, color.redF() - 0.1f), std::max(0.f, color.greenF() - 0.1f),
                                  std::max(0.f, color.blueF() - 0.1f), color.alphaF());
    p.setPen(QPen(rim, 1.5));
    p.drawPath(oval);
    p.restore();
    return out;
}

QPixmap RNFinderLabels::imageAndBackgroundWithImage(const QPixmap& disc, QSize tagSize) const {
    const QSize badge = tagSize + QSize(4, 4);
    QPixmap out(badge);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath oval;
    oval.addEllipse(QRectF(0, 0, badge.width(), badge.height()));
    p.fillPath(oval, Qt::white);
    p.drawPixmap(QPointF((badge.width() - disc.width()) * 0.5, (badge.height() - disc.height()) * 0.5), disc);
    return out;
}

QPixmap RNFinderLabels::imageLabelWithBackgroundWithKey(qint64 key, QSize tagSize) const {
    const QPixmap disc = imageLabelWithKey(key, tagSize);
    if (disc.isNull()) return {};
    return imageAndBackgroundWithImage(disc, tagSize);
}

}  // namespace quillo::mainwindow
