#include "ui/RNWorkingProgressView.h"

#include "ui/RNSpinner.h"

#include <QGridLayout>

namespace quillo::ui {

RNWorkingProgressView::RNWorkingProgressView(QWidget* parent) : QWidget(parent), spinner_(new RNSpinner(this, 32)) {
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto* layout = new QGridLayout(this);
    layout->addWidget(spinner_, 0, 0, Qt::AlignCenter);
}

void RNWorkingProgressView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    spinner_->startAnimation();
}

void RNWorkingProgressView::hideEvent(QHideEvent* event) {
    spinner_->stopAnimation();
    QWidget::hideEvent(event);
}

}  // namespace quillo::ui
