// The progress panel's bar: determinate (0 to 100 per cent) or indeterminate (a moving marker,
// while the items are still being counted). Drawn by the platform style.
#pragma once

#include <QProgressBar>

namespace quillo::ui {

class RNLinearProgressIndicatorView : public QProgressBar {
    Q_OBJECT
public:
    static constexpr int kSteps = 1000;

    explicit RNLinearProgressIndicatorView(QWidget* parent = nullptr);

    void startIndeterminateAnimation();
    void startDeterminateAnimation();
    bool isIndeterminate() const { return indeterminate_; }
    // Per cent, clamped to 0..100; ignored while indeterminate.
    void updateProgress(double percent);
    double progress() const { return percent_; }

private:
    bool indeterminate_ = false;
    double percent_ = 0;
};

}  // namespace quillo::ui
