#include "ui/RNProgressWindow.h"

#include "erase/RNMainThread.h"
#include "ui/RNLinearProgressIndicatorView.h"
#include "ui/RNQtStrings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillo::ui {

RNProgressWindow::RNProgressWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle(L("progress_window_title"));
    setObjectName("RNProgressWindow");
    auto* layout = new QVBoxLayout(this);

    mainInfoFieldTxt = new QLabel(L("erasing_default"), this);
    QFont bold = mainInfoFieldTxt->font();
    bold.setBold(true);
    mainInfoFieldTxt->setFont(bold);
    layout->addWidget(mainInfoFieldTxt);

    infoFld = new QLabel(this);
    infoFld->setTextFormat(Qt::PlainText);
    infoFld->setMinimumWidth(360);
    layout->addWidget(infoFld);

    spinner = new RNLinearProgressIndicatorView(this);
    spinner->setAccessibleName(L("progress_bar_name"));
    layout->addWidget(spinner);

    auto* form = new QFormLayout;
    countTxt = new QLabel(L("progress_count_label"), this);
    countFld = new QLabel(this);
    sizeTxt = new QLabel(L("progress_size_label"), this);
    sizeFld = new QLabel(this);
    form->addRow(countTxt, countFld);
    form->addRow(sizeTxt, sizeFld);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(this);
    stopBtn = buttons->addButton(L("stop_btn"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(stopBtn, &QPushButton::clicked, this, &RNProgressWindow::stopRequested);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void RNProgressWindow::reject() { emit stopRequested(); }

RNProgressWindowCntrl::RNProgressWindowCntrl() : window_(new RNProgressWindow), path_(window_) {
    // The layout's count line is the format: items erased, items in all.
    countStr_ = util::RNLocalizedString("progress_count");
    defaultMainText_ = window_->mainInfoFieldTxt->text().toStdString();
    QObject::connect(window_, &RNProgressWindow::stopRequested, window_, [this] {
        stopAction();
        window_->stopBtn->setEnabled(false);
    });
}

RNProgressWindowCntrl::~RNProgressWindowCntrl() {
    // Shown as a sheet, the panel is its window's child: a window closed first took it along,
    // and then there is nothing left to delete.
    RNProgressWindow* w = window_;
    window_ = nullptr;
    path_.run([w] { delete w; });
}

std::string RNProgressWindowCntrl::mainText() const { return defaultMainText_; }
void RNProgressWindowCntrl::setMainText(const std::string& text) {
    if (window_) window_->mainInfoFieldTxt->setText(qstr(text));
}
void RNProgressWindowCntrl::setInfoText(const std::string& text) {
    if (window_) window_->infoFld->setText(qstr(text));
}
void RNProgressWindowCntrl::setCountText(const std::string& text) {
    if (window_) window_->countFld->setText(qstr(text));
}
void RNProgressWindowCntrl::setSizeText(const std::string& text) {
    if (window_) window_->sizeFld->setText(qstr(text));
}

void RNProgressWindowCntrl::hideInfoSizeFields(bool hide) {
    if (!window_) return;
    for (QWidget* w : {static_cast<QWidget*>(window_->countTxt), static_cast<QWidget*>(window_->countFld),
                       static_cast<QWidget*>(window_->sizeTxt), static_cast<QWidget*>(window_->sizeFld)})
        w->setVisible(!hide);
}

void RNProgressWindowCntrl::startIndeterminateAnimation() {
    if (window_) window_->spinner->startIndeterminateAnimation();
}
void RNProgressWindowCntrl::startDeterminateAnimation() {
    if (window_) window_->spinner->startDeterminateAnimation();
}
bool RNProgressWindowCntrl::isIndeterminate() const { return window_ && window_->spinner->isIndeterminate(); }
void RNProgressWindowCntrl::updateProgress(double percent) {
    if (window_) window_->spinner->updateProgress(percent);
}

void RNProgressWindowCntrl::show(erase::RNWindowHandle sheetParent) {
    if (!window_) return;
    if (auto* parent = static_cast<QWidget*>(sheetParent)) {
        window_->setParent(parent, Qt::Sheet | Qt::Dialog);
        window_->setWindowModality(Qt::WindowModal);
    } else {
        window_->setWindowModality(Qt::NonModal);
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void RNProgressWindowCntrl::close() {
    if (window_) window_->hide();
}

erase::RNProgressWindowFactory RNProgressWindowCntrl::factory() {
    return []() -> std::unique_ptr<erase::RNGenericProgressWindowCntrl> {
        // The engine asks for the panel on the main thread; a panel made elsewhere could not be
        // shown, so none is made.
        if (!erase::RNMainThread::onMainThread()) return nullptr;
        return std::make_unique<RNProgressWindowCntrl>();
    };
}

}  // namespace quillo::ui
