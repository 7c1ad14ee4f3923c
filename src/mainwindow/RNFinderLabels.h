// Colour labels drawn as small round badges. Linux has no system-wide label set-up, so the eight
// names and colours are our own table (index 0 stands for no label); the names are those the
// file core recognises in the `user.xdg.tags` attribute.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <array>

namespace quillo::mainwindow {

class RNFinderLabels {
public:
    static RNFinderLabels& sharedControl();

    void updateLabels();
    QString name(int index) const;
    QColor color(int index) const;

    // The disc of a label 1-7 on a white disc 4 points larger; null for any other number.
    QPixmap imageLabelWithBackgroundWithKey(qint64 key, QSize tagSize) const;
    QPixmap imageLabelWithKey(qint64 key, QSize size) const;
    QPixmap createImageWithColor(const QColor& color, QSize size) const;
    QPixmap imageAndBackgroundWithImage(const QPixmap& disc, QSize tagSize) const;

private:
    RNFinderLabels();
    std::array<QString, 8> names_;
    std::array<QColor, 8> colors_;
};

}  // namespace quillo::mainwindow
