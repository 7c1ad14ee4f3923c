#include "ui/RNInfoWindows.h"

#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "ui/RNQtStrings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QWizardPage>

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

// About 60 characters of the dialog's font: wide enough for a paragraph to read as one, narrow
// enough that no line runs across the screen.
int paragraphWidth(const QWidget* w) { return QFontMetrics(w->font()).averageCharWidth() * 60; }

}  // namespace

void showInFront(QDialog* dialog) {
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

// ---- Welcome ------------------------------------------------------------------------------------

RNWelcomeCntrl::RNWelcomeCntrl(const QString& emptyAllKey, const QString& lumoKey, QWidget* parent)
    : QWizard(parent) {
    setObjectName(QStringLiteral("welcome"));
    setWindowTitle(L("welcome_title"));
    setWindowIcon(QApplication::windowIcon());
    // The pages introduce; there is nothing to cancel. Closing the window ends them too.
    setOption(QWizard::NoCancelButton, true);
    setOption(QWizard::NoBackButtonOnStartPage, true);
    setButtonText(QWizard::FinishButton, L("start_btn"));
    setButtonText(QWizard::NextButton, L("next_btn"));
    setButtonText(QWizard::BackButton, L("back_btn"));

    QString keys;
    if (!emptyAllKey.isEmpty() && !lumoKey.isEmpty())
        keys = qstr(util::RNFormat(util::RNLocalizedString("welcome_hot_keys"),
                                   {emptyAllKey.toStdString(), lumoKey.toStdString()}));
    const struct {
        const char* title;
        const char* text;
        QString extra;
    } pages[] = {{"welcome_page1_title", "welcome_page1_text", keys},
                 {"welcome_page2_title", "welcome_page2_text", {}},
                 {"welcome_page3_title", "welcome_page3_text", {}}};
    const int width = paragraphWidth(this);
    for (const auto& p : pages) {
        auto* page = new QWizardPage(this);
        page->setTitle(L(p.title));
        auto* v = new QVBoxLayout(page);
        QString body = L(p.text);
        if (!p.extra.isEmpty()) body += QStringLiteral("\n\n") + p.extra;
        QLabel* label = wrappedLabel(body, page);
        // QWizard lays its pages out by their minimum sizes, which know nothing of wrapping:
        // the paragraph's height at its width is asked for explicitly.
        label->setMinimumWidth(width);
        label->setMinimumHeight(label->heightForWidth(width));
        v->addWidget(label);
        v->addStretch(1);
        addPage(page);
    }
    // As large as the largest page needs and no larger: no page is left half empty.
    adjustSize();
}

// The pages' labels set the width (a paragraph) and so the height: the least the wizard needs
// is what its largest page fills.
QSize RNWelcomeCntrl::sizeHint() const { return minimumSizeHint(); }

// ---- Newsletter ---------------------------------------------------------------------------------

RNSubscribe::RNSubscribe(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("newsletter"));
    setWindowIcon(QApplication::windowIcon());
    setWindowTitle(L("newsletter_title"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(wrappedLabel(L("newsletter_text"), this));
    email_ = new QLineEdit(this);
    email_->setPlaceholderText(L("newsletter_email_placeholder"));
    // No label beside it: the placeholder names it for screen readers too.
    email_->setAccessibleName(L("newsletter_email_placeholder"));
    email_->setMinimumWidth(paragraphWidth(this) * 2 / 3);
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
}

// ---- Quillo is running --------------------------------------------------------------------------

RNWebPromo::RNWebPromo(const QString& text, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("infoWindow"));
    setWindowIcon(QApplication::windowIcon());
    setWindowTitle(L("info_window_title"));
    auto* layout = new QVBoxLayout(this);
    // A note of a few lines, not a window to arrange: of a fixed size, a tiling compositor (sway)
    // floats it instead of stretching it over the screen.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(headline(L("info_window_headline"), this));
    QLabel* body = wrappedLabel(text, this);
    body->setObjectName(QStringLiteral("text"));
    body->setMinimumWidth(paragraphWidth(this));
    body->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(body);
    auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kProjectHomePage)), this);
    link->setOpenExternalLinks(true);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);  // the link is reached with Tab too
    layout->addWidget(link);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

}  // namespace quillo::ui
