#include "ui/RNLinearProgressIndicatorView.h"

#include <algorithm>
#include <cmath>

namespace quillo::ui {

RNLinearProgressIndicatorView::RNLinearProgressIndicatorView(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    setRange(0, kSteps);
    setValue(0);
}

void RNLinearProgressIndicatorView::startIndeterminateAnimation() {
    indeterminate_ = true;
    setRange(0, 0);  // the style's busy marker
}

void RNLinearProgressIndicatorView::startDeterminateAnimation() {
    indeterminate_ = false;
    setRange(0, kSteps);
    setValue(int(std::lround(percent_ * kSteps / 100.0)));
}

void RNLinearProgressIndicatorView::updateProgress(double percent) {
    if (indeterminate_) return;
    if (!std::isfinite(percent)) percent = 0;
    percent_ = std::clamp(percent, 0.0, 100.0);
    setValue(int(std::lround(percent_ * kSteps / 100.0)));
}

}  // namespace quillo::ui
