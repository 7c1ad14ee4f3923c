// A complete dark palette for the pictures and tests that check a window reads on a dark theme
// (the offscreen and Xvfb platforms have no desktop theme to borrow one from).
#pragma once

#include <QColor>
#include <QImage>
#include <QPalette>

#include <algorithm>
#include <cmath>
#include <map>

inline QPalette darkPalette() {
    QPalette p;
    const QColor window(0x2b, 0x2d, 0x31), base(0x1f, 0x21, 0x24), text(0xe8, 0xe8, 0xea);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x26, 0x28, 0x2c));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x35, 0x37, 0x3c));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0xa0));
    p.setColor(QPalette::Light, QColor(0x4a, 0x4c, 0x52));
    p.setColor(QPalette::Midlight, QColor(0x3c, 0x3e, 0x43));
    p.setColor(QPalette::Mid, QColor(0x44, 0x46, 0x4b));
    p.setColor(QPalette::Dark, QColor(0x16, 0x17, 0x19));
    p.setColor(QPalette::Shadow, QColor(0x0c, 0x0c, 0x0d));
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x70, 0x70, 0x76));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x70, 0x70, 0x76));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x70, 0x70, 0x76));
    return p;
}

// A dark palette as many desktop themes hand it to Qt: the classic roles set, PlaceholderText
// not (it keeps the light default's, black at half opacity), and the grey of Breeze Dark.
inline QPalette themeDarkPalette(const QPalette& light) {
    QPalette p = light;
    const QColor window(0x20, 0x23, 0x26), base(0x1d, 0x20, 0x23), text(0xfc, 0xfc, 0xfc);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, base);
        p.setColor(group, QPalette::AlternateBase, QColor(0x23, 0x26, 0x29));
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::Button, QColor(0x29, 0x2c, 0x30));
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
        p.setColor(group, QPalette::HighlightedText, text);
    }
    p.setColor(QPalette::Disabled, QPalette::Window, window);
    p.setColor(QPalette::Disabled, QPalette::Base, base);
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6e, 0x71, 0x73));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6e, 0x71, 0x73));
    return p;
}

// A high-contrast palette as the desktops' "high contrast" themes give it: white on black, a
// bright cyan selection with black text on it, green for what is disabled.
inline QPalette highContrastPalette() {
    QPalette p;
    const QColor black(0, 0, 0), white(0xff, 0xff, 0xff);
    for (auto role : {QPalette::Window, QPalette::Base, QPalette::AlternateBase, QPalette::Button, QPalette::ToolTipBase})
        p.setColor(role, black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText,
                      QPalette::PlaceholderText, QPalette::BrightText})
        p.setColor(role, white);
    p.setColor(QPalette::Highlight, QColor(0x1a, 0xeb, 0xff));
    p.setColor(QPalette::HighlightedText, black);
    p.setColor(QPalette::Light, white);
    p.setColor(QPalette::Midlight, QColor(0xc0, 0xc0, 0xc0));
    p.setColor(QPalette::Mid, QColor(0x80, 0x80, 0x80));
    p.setColor(QPalette::Dark, QColor(0x40, 0x40, 0x40));
    p.setColor(QPalette::Shadow, black);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x3f, 0xf2, 0x3f));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x3f, 0xf2, 0x3f));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x3f, 0xf2, 0x3f));
    return p;
}

// The contrast of the text in `image` (a picture of one line or block of text): between the
// most frequent colour (the background) and the pixel farthest from it in luminance (the cores
// of the glyphs). 1 when there is no text.
inline double textContrastIn(const QImage& picture) {
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    auto lum = [](QRgb c) {
        auto ch = [](int v) {
            const double x = v / 255.0;
            return x <= 0.03928 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * ch(qRed(c)) + 0.7152 * ch(qGreen(c)) + 0.0722 * ch(qBlue(c));
    };
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) ++counts[image.pixel(x, y)];
    if (counts.empty()) return 1;
    QRgb back = counts.begin()->first;
    int most = 0;
    for (const auto& [c, n] : counts)
        if (n > most) most = n, back = c;
    const double lb = lum(back);
    double best = 1;
    for (const auto& [c, n] : counts) {
        const double lc = lum(c);
        best = std::max(best, (std::max(lb, lc) + 0.05) / (std::min(lb, lc) + 0.05));
    }
    return best;
}
