#include "mainwindow/RNQuickLookPanel.h"

#include "mainwindow/RNPreview.h"

#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace quillo::mainwindow {

RNQuickLookPanel::RNQuickLookPanel(QWidget* keyTarget, QWidget* parent)
    : QWidget(parent, Qt::Tool), keyTarget_(keyTarget) {
    setObjectName(QStringLiteral("quickLookPanel"));
    resize(640, 560);
    auto* layout = new QVBoxLayout(this);
    image_ = new QLabel(this);
    image_->setAlignment(Qt::AlignCenter);
    image_->setMinimumSize(320, 320);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setFocusPolicy(Qt::NoFocus);
    title_ = new QLabel(this);
    title_->setAlignment(Qt::AlignCenter);
    title_->setWordWrap(true);
    layout->addWidget(image_, 1);
    layout->addWidget(text_, 1);
    layout->addWidget(title_);
    text_->hide();
}

void RNQuickLookPanel::setItems(const std::vector<RNPreviewItemPtr>& items) {
    items_ = items;
    if (isVisible()) refresh();
}

void RNQuickLookPanel::refresh() {
    auto record = items_.empty() ? nullptr : items_.front()->item.lock();
    if (!record) {
        image_->clear();
        text_->clear();
        title_->clear();
        setWindowTitle(QString());
        return;
    }
    QPixmap pixmap;
    QString text;
    livePreviewOfItem(*record, 512, &pixmap, &text);
    const bool isText = !text.isNull();
    text_->setVisible(isText);
    image_->setVisible(!isText);
    if (isText) text_->setPlainText(text);
    else image_->setPixmap(pixmap);
    title_->setText(record->displayName());
    setWindowTitle(record->displayName());
}

void RNQuickLookPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
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
