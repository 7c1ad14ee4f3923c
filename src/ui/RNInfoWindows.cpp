#include "ui/RNInfoWindows.h"

#include "erase/RNNotificationCenter.h"
#include "erase/RNPreferences.h"
#include "ui/RNQtStrings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>

namespace quillo::ui {

namespace {
QLabel* wrappedLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* headline(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 1.4);
    f.setBold(true);
    label->setFont(f);
    return label;
}
}  // namespace

RNInfoWindow::RNInfoWindow(const void* owner, std::string closeNotification)
    : owner_(owner), closeNotification_(std::move(closeNotification)) {
    setWindowIcon(QApplication::windowIcon());
    setAttribute(Qt::WA_DeleteOnClose, false);
}

void RNInfoWindow::showWindow() {
    show();
    raise();
    activateWindow();
}

void RNInfoWindow::closeEvent(QCloseEvent* event) {
    QDialog::closeEvent(event);
    if (event->isAccepted()) postClose();
}

void RNInfoWindow::done(int result) {
    QDialog::done(result);
    postClose();
}

void RNInfoWindow::postClose() {
    if (posted_) return;
    posted_ = true;
    erase::RNNotificationCenter::defaultCenter().postNotification(closeNotification_, owner_);
}

RNWelcomeCntrl::RNWelcomeCntrl(const void* owner) : RNInfoWindow(owner, "welcomeDidClose") {
    setWindowTitle(L("welcome_title"));
    auto* layout = new QVBoxLayout(this);
    pages_ = new QStackedWidget(this);
    const char* pageKeys[][2] = {{"welcome_page1_title", "welcome_page1_text"},
                                 {"welcome_page2_title", "welcome_page2_text"},
                                 {"welcome_page3_title", "welcome_page3_text"}};
    for (const auto& keys : pageKeys) {
        auto* page = new QWidget(pages_);
        auto* v = new QVBoxLayout(page);
        v->addWidget(headline(L(keys[0]), page));
        v->addWidget(wrappedLabel(L(keys[1]), page));
        v->addStretch(1);
        pages_->addWidget(page);
    }
    layout->addWidget(pages_, 1);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* back = buttons->addButton(L("back_btn"), QDialogButtonBox::ActionRole);
    QPushButton* next = buttons->addButton(L("next_btn"), QDialogButtonBox::AcceptRole);
    next->setDefault(true);
    layout->addWidget(buttons);
    auto refresh = [this, back, next] {
        back->setEnabled(pages_->currentIndex() > 0);
        next->setText(pages_->currentIndex() + 1 == pages_->count() ? L("start_btn") : L("next_btn"));
    };
    connect(back, &QPushButton::clicked, this, [this, refresh] {
        pages_->setCurrentIndex(qMax(0, pages_->currentIndex() - 1));
        refresh();
    });
    connect(next, &QPushButton::clicked, this, [this, refresh] {
        if (pages_->currentIndex() + 1 >= pages_->count()) {
            accept();
            return;
        }
        pages_->setCurrentIndex(pages_->currentIndex() + 1);
        refresh();
    });
    refresh();
    resize(480, 300);
}

int RNWelcomeCntrl::pageCount() const { return pages_->count(); }
int RNWelcomeCntrl::currentPage() const { return pages_->currentIndex(); }

RNSubscribe::RNSubscribe(const void* owner) : RNInfoWindow(owner, "newsletterDidClose") {
    setWindowTitle(L("newsletter_title"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(wrappedLabel(L("newsletter_text"), this));
    email_ = new QLineEdit(this);
    email_->setPlaceholderText(L("newsletter_email_placeholder"));
    layout->addWidget(email_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* subscribe = buttons->addButton(L("subscribe_btn"), QDialogButtonBox::AcceptRole);
    subscribe->setEnabled(false);
    connect(email_, &QLineEdit::textChanged, subscribe, [subscribe](const QString& t) {
        subscribe->setEnabled(t.contains('@') && !t.trimmed().contains(' '));
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(subscribe, &QPushButton::clicked, this, [this] {
        // The subscription page takes the address; the state is remembered.
        QUrl url(QString::fromLatin1(kProjectHomePage) + "/discussions");
        QUrlQuery query;
        query.addQueryItem("email", email_->text().trimmed());
        url.setQuery(query);
        QDesktopServices::openUrl(url);
        erase::RNUserDefaults::standardUserDefaults().setBool(erase::kPrefNewsletterSubscribed, true);
        accept();
    });
    layout->addWidget(buttons);
    resize(420, 160);
}

RNWebPromo::RNWebPromo(const void* owner) : RNInfoWindow(owner, "webPromoDidClose") {
    setWindowTitle(L("info_window_title"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(headline(L("info_window_headline"), this));
    auto* text = wrappedLabel(L("info_window_text"), this);
    layout->addWidget(text);
    auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kProjectHomePage)), this);
    link->setOpenExternalLinks(true);
    layout->addWidget(link);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(420, 180);
}

}  // namespace quillo::ui
