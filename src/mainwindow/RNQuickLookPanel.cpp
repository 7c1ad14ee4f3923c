#include "mainwindow/RNQuickLookPanel.h"

#include "mainwindow/RNImages.h"
#include "mainwindow/RNPreview.h"
#include "mainwindow/RNPreviewLoader.h"
#include "ui/RNQtStrings.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace quillo::mainwindow {

RNQuickLookPanel::RNQuickLookPanel(QWidget* keyTarget, QWidget* parent)
    : QWidget(parent, Qt::Tool), keyTarget_(keyTarget) {
    setObjectName(QStringLiteral("quickLookPanel"));
    setAccessibleName(ui::L("large_preview_name"));
    resize(640, 560);
    auto* layout = new QVBoxLayout(this);
    image_ = new QLabel(this);
    image_->setAlignment(Qt::AlignCenter);
    image_->setMinimumSize(320, 320);
    image_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setFocusPolicy(Qt::NoFocus);
    auto* bar = new QHBoxLayout;
    previous_ = new QToolButton(this);
    previous_->setArrowType(Qt::LeftArrow);
    previous_->setFocusPolicy(Qt::NoFocus);
    previous_->setToolTip(ui::L("previous_item"));
    previous_->setAccessibleName(ui::L("previous_item"));
    next_ = new QToolButton(this);
    next_->setArrowType(Qt::RightArrow);
    next_->setFocusPolicy(Qt::NoFocus);
    next_->setToolTip(ui::L("next_item"));
    next_->setAccessibleName(ui::L("next_item"));
    title_ = new RNElidedLabel(this);
    title_->setAlignment(Qt::AlignCenter);
    page_ = new QLabel(this);
    page_->setObjectName(QStringLiteral("quickLookPage"));
    bar->addWidget(previous_);
    bar->addWidget(title_, 1);
    bar->addWidget(page_);
    bar->addWidget(next_);
    layout->addWidget(image_, 1);
    layout->addWidget(text_, 1);
    layout->addLayout(bar);
    text_->hide();
    connect(previous_, &QToolButton::clicked, this, &RNQuickLookPanel::showPrevious);
    connect(next_, &QToolButton::clicked, this, &RNQuickLookPanel::showNext);
}

RNQuickLookPanel::~RNQuickLookPanel() {
    if (cancelled_) cancelled_->store(true);
}

void RNQuickLookPanel::setItems(const std::vector<RNPreviewItemPtr>& items) {
    // The record shown stays shown when it is still selected.
    const RNPreviewItemPtr shown = current_ < items_.size() ? items_[current_] : nullptr;
    auto shownItem = shown ? shown->item.lock() : nullptr;
    items_ = items;
    current_ = 0;
    for (size_t i = 0; shownItem && i < items_.size(); ++i)
        if (items_[i]->item.lock() == shownItem) current_ = i;
    if (isVisible()) refresh();
}

void RNQuickLookPanel::showNext() {
    if (items_.size() < 2) return;
    current_ = (current_ + 1) % items_.size();
    refresh();
}

void RNQuickLookPanel::showPrevious() {
    if (items_.size() < 2) return;
    current_ = (current_ + items_.size() - 1) % items_.size();
    refresh();
}

QString RNQuickLookPanel::titleText() const { return title_->fullText(); }
QString RNQuickLookPanel::pageText() const { return page_->text(); }

void RNQuickLookPanel::refresh() {
    if (cancelled_) cancelled_->store(true);
    cancelled_.reset();
    loaded_ = false;
    const bool paging = items_.size() > 1;
    previous_->setVisible(paging);
    next_->setVisible(paging);
    page_->setVisible(paging);
    page_->setText(paging ? QStringLiteral("%1 / %2").arg(current_ + 1).arg(items_.size()) : QString());
    auto record = current_ < items_.size() ? items_[current_]->item.lock() : nullptr;
    if (!record) {
        image_->clear();
        text_->clear();
        title_->setFullText(QString());
        setWindowTitle(QString());
        return;
    }
    const QString name = record->displayName();
    title_->setFullText(name);
    setWindowTitle(name);
    text_->hide();
    image_->show();
    image_->setPixmap(iconForMimeType(mimeTypeOfItem(record->url, record->mode.load())).pixmap(128, 128));
    cancelled_ = std::make_shared<std::atomic<bool>>(false);
    loadPreviewDetails(record, int(512 * devicePixelRatioF()), false, this, cancelled_,
                       [this](const RNPreviewDetails& d) { showDetails(d); });
}

void RNQuickLookPanel::showDetails(const RNPreviewDetails& d) {
    const bool isText = !d.text.isNull();
    text_->setVisible(isText);
    image_->setVisible(!isText);
    if (isText) {
        text_->setPlainText(d.text);
    } else if (!d.image.isNull()) {
        QPixmap pixmap = QPixmap::fromImage(d.image);
        pixmap.setDevicePixelRatio(devicePixelRatioF());
        image_->setPixmap(pixmap);
    } else {
        image_->setPixmap(iconForMimeType(QMimeDatabase().mimeTypeForName(d.mimeName)).pixmap(256, 256));
    }
    loaded_ = true;
    emit loaded();
}

void RNQuickLookPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    if (items_.size() > 1 && event->modifiers() == Qt::NoModifier) {
        if (event->key() == Qt::Key_Right) return showNext();
        if (event->key() == Qt::Key_Left) return showPrevious();
    }
    if (keyTarget_) {
        QKeyEvent copy(event->type(), event->key(), event->modifiers(), event->text());
        QApplication::sendEvent(keyTarget_, &copy);
        return;
    }
    QWidget::keyPressEvent(event);
}

void RNQuickLookPanel::showEvent(QShowEvent* event) {
    emit visibilityWillChange(true);
    refresh();
    QWidget::showEvent(event);
}

void RNQuickLookPanel::hideEvent(QHideEvent* event) {
    emit visibilityWillChange(false);
    QWidget::hideEvent(event);
}

}  // namespace quillo::mainwindow
