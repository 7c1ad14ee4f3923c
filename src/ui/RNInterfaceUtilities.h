// Small measuring helpers for the widgets.
#pragma once

#include <QFont>
#include <QSizeF>
#include <QString>

namespace quillo::ui {

class RNInterfaceUtilities {
public:
    static RNInterfaceUtilities& sharedControl();
    // Width and height of the string drawn in `font` (one line).
    QSizeF sizeOfString(const QString& string, const QFont& font) const;
};

}  // namespace quillo::ui
