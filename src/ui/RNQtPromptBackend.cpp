#include "ui/RNQtPromptBackend.h"

#include "ui/RNQtStrings.h"
#include "ui/RNSpinner.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace quillo::ui {

using erase::RNPromptRequest;
using erase::RNPromptResult;

namespace {

QMessageBox::Icon iconFor(RNPromptRequest::Style style) {
    switch (style) {
        case RNPromptRequest::Style::Informational: return QMessageBox::Information;
        case RNPromptRequest::Style::Critical: return QMessageBox::Critical;
        case RNPromptRequest::Style::Warning: break;
    }
    return QMessageBox::Warning;
}

// The live line's text, fitted into its reserved two lines: a text that would need more (a
// very long volume name) is shortened in the middle, and the whole of it is the tool tip.
void setLiveText(QLabel* label, const QString& text) {
    const QFontMetrics fm(label->font());
    const int width = label->width() > 0 ? label->width() : label->minimumWidth();
    auto lines = [&](const QString& t) {
        return fm.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, t).height() / qMax(1, fm.lineSpacing());
    };
    QString shown = text;
    for (int budget = width * 2; budget > 0 && lines(shown) > 2; budget -= fm.averageCharWidth() * 2)
        shown = fm.elidedText(text, Qt::ElideMiddle, budget);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

// The size line under the text: a spinner while counting and the text the request gives,
// polled every 0.05 s (the count arrives from a worker thread). Its size is reserved from the
// start, as wide as the confirmation's line has room for and two lines high, so that the count
// arriving ("Counting the items…" becoming "160,473 items, 39.89 MB, in all Trashes") wraps
// inside it instead of widening the dialog: the buttons never move under the pointer.
void addLiveLine(QMessageBox* box, const std::function<std::string()>& liveText) {
    auto* grid = qobject_cast<QGridLayout*>(box->layout());
    auto* buttonBox = box->findChild<QDialogButtonBox*>();
    if (!grid || !buttonBox) return;
    auto* line = new QWidget(box);
    auto* row = new QHBoxLayout(line);
    row->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new RNSpinner(line, 16);
    // A stopped spinner keeps its place: the text does not jump left.
    QSizePolicy keep = spinner->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    spinner->setSizePolicy(keep);
    auto* label = new QLabel(line);
    label->setObjectName("liveText");
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const QFontMetrics fm(label->font());
    // 435 points of text in the original layout; about 62 average characters.
    label->setFixedSize(qMax(435, fm.averageCharWidth() * 62), fm.lineSpacing() * 2);
    row->addWidget(spinner, 0, Qt::AlignTop);
    row->addWidget(label, 1);

    // The line goes where the buttons were; the buttons move one row down.
    const int index = grid->indexOf(buttonBox);
    int r = 0, c = 0, rs = 1, cs = 1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    // Under the texts, in their column.
    int textColumn = 1;
    if (auto* text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        int tr = 0, tc = 0, trs = 1, tcs = 1;
        grid->getItemPosition(grid->indexOf(text), &tr, &tc, &trs, &tcs);
        textColumn = tc;
    }
    grid->removeWidget(buttonBox);
    grid->addWidget(line, r, textColumn, 1, grid->columnCount() - textColumn);
    grid->addWidget(buttonBox, r + 1, c, rs, cs);

    auto* timer = new QTimer(box);
    auto refresh = [box, label, spinner, liveText, timer] {
        const QString text = qstr(liveText());
        if (label->property("fullText").toString() != text) {
            label->setProperty("fullText", text);
            setLiveText(label, text);
        }
        // The spinner turns while the line still says the items are being counted.
        const bool counting = text == L("gathering_info");
        if (counting && !spinner->spinnerIsWorking()) spinner->startAnimation();
        if (!counting) {
            spinner->stopAnimation();
            timer->stop();
        }
        Q_UNUSED(box);
    };
    QObject::connect(timer, &QTimer::timeout, box, refresh);
    refresh();
    if (spinner->spinnerIsWorking()) timer->start(RNQtPromptBackend::kLiveTextIntervalMs);
}

}  // namespace

QMessageBox* RNQtPromptBackend::makeBox(const RNPromptRequest& request, QWidget* parent,
                                        std::vector<QAbstractButton*>* buttons) {
    auto* box = new QMessageBox(parent);
    box->setWindowTitle(QStringLiteral("Quillo"));
    box->setIcon(iconFor(request.style));
    box->setText(qstr(request.title));
    box->setTextFormat(Qt::PlainText);
    if (!request.message.empty()) box->setInformativeText(qstr(request.message));

    std::vector<QAbstractButton*> made;
    for (size_t i = 0; i < request.buttons.size() && i < 3; ++i) {
        const QString text = qstr(request.buttons[i]);
        if (text.isEmpty()) {
            // A blank button would answer something nobody can read; it is left out.
            made.push_back(nullptr);
            continue;
        }
        // Roles put the buttons in the desktop's order: the first goes where "OK" goes, the
        // second where "Cancel" goes; Escape answers the second.
        const QMessageBox::ButtonRole role = i == 0   ? QMessageBox::AcceptRole
                                             : i == 1 ? QMessageBox::RejectRole
                                                      : QMessageBox::ActionRole;
        QPushButton* b = box->addButton(text, role);
        if (i == 0) box->setDefaultButton(b);
        if (i == 1) box->setEscapeButton(b);
        made.push_back(b);
    }
    if (request.checkBoxTitle) box->setCheckBox(new QCheckBox(qstr(*request.checkBoxTitle), box));
    if (request.liveText) addLiveLine(box, request.liveText);
    if (buttons) *buttons = std::move(made);
    return box;
}

RNPromptResult RNQtPromptBackend::resultOf(QMessageBox* box, const std::vector<QAbstractButton*>& buttons) {
    RNPromptResult result;
    QAbstractButton* clicked = box->clickedButton();
    for (size_t i = 0; i < buttons.size(); ++i)
        if (clicked && buttons[i] == clicked) result.answer = erase::kAlertFirstButtonReturn + int64_t(i);
    if (QCheckBox* check = box->checkBox()) result.checkBox = check->isChecked();
    return result;
}

RNPromptResult RNQtPromptBackend::runModal(const RNPromptRequest& request) {
    std::vector<QAbstractButton*> buttons;
    QMessageBox* box = makeBox(request, nullptr, &buttons);
    box->setWindowModality(Qt::ApplicationModal);
    // A tray application has no window in front: the question must come to the front itself.
    QTimer::singleShot(0, box, [box] {
        box->raise();
        box->activateWindow();
    });
    box->exec();
    RNPromptResult result = resultOf(box, buttons);
    delete box;
    return result;
}

void RNQtPromptBackend::beginSheet(const RNPromptRequest& request, erase::RNWindowHandle parent,
                                   std::function<void(RNPromptResult)> completion) {
    auto* parentWidget = static_cast<QWidget*>(parent);
    if (!parentWidget) {
        RNPromptResult r = runModal(request);
        if (completion) completion(r);
        return;
    }
    auto buttons = std::make_shared<std::vector<QAbstractButton*>>();
    QMessageBox* box = makeBox(request, parentWidget, buttons.get());
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, completion](int) {
        if (completion) completion(resultOf(box, *buttons));
    });
    box->open();
}

}  // namespace quillo::ui
