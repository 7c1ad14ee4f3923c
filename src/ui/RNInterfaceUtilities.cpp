#include "ui/RNInterfaceUtilities.h"

#include <QFontMetricsF>

namespace quillo::ui {

RNInterfaceUtilities& RNInterfaceUtilities::sharedControl() {
    static RNInterfaceUtilities instance;
    return instance;
}

QSizeF RNInterfaceUtilities::sizeOfString(const QString& string, const QFont& font) const {
    const QFontMetricsF metrics(font);
    return {metrics.horizontalAdvance(string), metrics.height()};
}

}  // namespace quillo::ui
