// The small round spinner of the disk rows and the confirmation's size line: twelve rays whose
// brightness turns around. Its colour is the palette's text colour, or the highlighted-text
// colour while it sits on a selected row, so it reads on light and dark themes.
#pragma once

#include <QTimer>
#include <QWidget>

namespace quillo::ui {

class RNSpinner : public QWidget {
    Q_OBJECT
public:
    explicit RNSpinner(QWidget* parent = nullptr, int diameter = 16);

    void startAnimation();
    void stopAnimation();
    bool spinnerIsWorking() const { return timer_.isActive(); }
    // Repaints with the current colour (the container's selection or the palette changed).
    void updateMarkerColor();
    void setContainerViewIsSelected(bool selected);
    bool containerViewIsSelected() const { return selected_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int step_ = 0;
    int diameter_;
    bool selected_ = false;
};

}  // namespace quillo::ui
