#include "shell/RNLumoWindowPlaceholder.h"

#include "erase/RNNotificationCenter.h"
#include "ui/RNQtStrings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace quillo::shell {

RNLumoWindowPlaceholder::RNLumoWindowPlaceholder() {
    setWindowTitle(ui::L("lumo_window_title"));
    setWindowIcon(QApplication::windowIcon());
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(ui::L("lumo_window_placeholder"), this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    layout->addWidget(buttons);
    resize(420, 160);
}

void RNLumoWindowPlaceholder::showWindow() {
    show();
    raise();
    activateWindow();
}

void RNLumoWindowPlaceholder::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    erase::RNNotificationCenter::defaultCenter().postNotification("lumoWindowDidClose", this);
}

}  // namespace quillo::shell
