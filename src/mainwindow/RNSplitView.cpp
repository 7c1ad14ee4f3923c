#include "mainwindow/RNSplitView.h"

namespace quillo::mainwindow {

RNSplitView::RNSplitView(Qt::Orientation orientation, QWidget* parent) : QSplitter(orientation, parent) {
    setHandleWidth(kThinDivider);
    setChildrenCollapsible(true);
    connect(this, &QSplitter::splitterMoved, this, &RNSplitView::subviewsDidResize);
}

bool RNSplitView::isSubviewCollapsed(int index) const {
    const QList<int> s = sizes();
    return index < s.size() && s[index] == 0;
}

void RNSplitView::subviewsDidResize() {
    const bool collapsed = isSubviewCollapsed(0) || isSubviewCollapsed(1);
    setHandleWidth(collapsed ? kThickDivider : kThinDivider);
    emit didResizeSubviews();
}

void RNSplitView::resizeEvent(QResizeEvent* event) {
    QSplitter::resizeEvent(event);
    subviewsDidResize();
}

}  // namespace quillo::mainwindow
