// The Lumo Window's split views: a thin divider while both panes are open, a 10-pixel handle
// while one is collapsed so that it can be dragged open again.
#pragma once

#include <QSplitter>

namespace quillo::mainwindow {

class RNSplitView : public QSplitter {
    Q_OBJECT
public:
    static constexpr int kThinDivider = 1;
    static constexpr int kThickDivider = 10;

    explicit RNSplitView(Qt::Orientation orientation, QWidget* parent = nullptr);
    bool isSubviewCollapsed(int index) const;
    // Sets the divider for the panes' current sizes and tells the controllers (the user's drags
    // do this by themselves; a program that sets the sizes calls it).
    void subviewsDidResize();
    int dividerThickness() const { return handleWidth(); }

signals:
    // The panes were resized (by the user or by a collapse); emitted after the divider was set.
    void didResizeSubviews();

protected:
    void resizeEvent(QResizeEvent* event) override;

};

}  // namespace quillo::mainwindow
