#include "shell/RNDiskMenuItemView.h"

#include "erase/RNNotificationCenter.h"
#include "erase/RNOperationQueue.h"
#include "files/RNQuilloFileUtilities.h"
#include "mainwindow/RNVolumeListModel.h"
#include "shell/RNVolumeIcons.h"
#include "ui/RNInterfaceUtilities.h"
#include "ui/RNQtStrings.h"
#include "ui/RNSpinner.h"
#include "ui/RNTextColors.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QStyle>

namespace quillo::shell {

using namespace quillo::erase;
using ui::L;

namespace {
constexpr int kRowHeight = 56;
constexpr int kTextX = 64;

QString formatInfo(uint64_t size, uint64_t items) {
    const std::string sizeText = util::RNNumberUtilities::sharedControl().sizeToFormatString(size, 4, true);
    return ui::qstr(util::RNLocalizedMessage("items_size", {{"count", items}, {"size", sizeText}}));
}
}  // namespace

RNDiskMenuItemView::RNDiskMenuItemView(RNDiskMenuItem* item)
    : item_(item), spinner_(new ui::RNSpinner(this, 16)) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover);
    // A coarse timer may fire 5 % early: the blink is a visible rhythm, keep it to the millisecond.
    blinkTimer_.setTimerType(Qt::PreciseTimer);
    blinkTimer_.setInterval(kBlinkIntervalMs);
    connect(&blinkTimer_, &QTimer::timeout, this, &RNDiskMenuItemView::animateDismiss);
    resize(sizeHint());
}

RNDiskMenuItemView::~RNDiskMenuItemView() {
    if (stopObserver_) RNNotificationCenter::defaultCenter().removeObserver(stopObserver_);
}

void RNDiskMenuItemView::setDiskDict(const files::TrashLocation& dict) {
    const bool wasMeasured = info_.has_value();
    const bool measuredEmpty = wasMeasured && itemsCount_ == 0;
    if (dict.volumeURL != diskDict_.volumeURL || icon_.isNull()) icon_ = iconForVolume(dict.volumeURL);
    diskDict_ = dict;
    // A measurement says more than the volume list's quick look.
    if (wasMeasured) diskDict_.trashIsEmpty = measuredEmpty;
    updateViewSizeIfNeeded();
    syncAction();
    update();
}

QString RNDiskMenuItemView::title() const {
    const QString name = diskDict_.volumeName.empty() ? L("Hard Drive") : ui::displayPath(diskDict_.volumeName);
    return name + QChar(0x2026);
}

QString RNDiskMenuItemView::infoText() const {
    if (diskDict_.trashIsEmpty) return L("trash_empty");
    if (info_) return *info_;
    return L("gathering_info");
}

QIcon RNDiskMenuItemView::volumeIcon() const { return icon_; }

bool RNDiskMenuItemView::isMenuItemEnabled() const { return item_ && item_->isEnabled(); }

QFont RNDiskMenuItemView::nameFont() const {
    QFont f = font();
    f.setBold(true);
    return f;
}

void RNDiskMenuItemView::updateViewSizeIfNeeded() {
    const qreal w = ui::RNInterfaceUtilities::sharedControl().sizeOfString(title(), nameFont()).width();
    const int width = w > kNameWidth ? int(w - kNameWidth + kBaseWidth + 15) : kBaseWidth;
    if (width == width_) return;
    width_ = width;
    updateGeometry();
    resize(sizeHint());
}

QSize RNDiskMenuItemView::sizeHint() const { return {width_, kRowHeight}; }

void RNDiskMenuItemView::syncAction() {
    if (!item_) return;
    // What an exported menu shows: the name and the info line in the text, the volume icon.
    QString text = title() + QStringLiteral(" \u2014 ") + infoText();
    text.replace('&', "&&");
    item_->setText(text);
    item_->setIcon(volumeIcon());
    // The files and folders below the items, where there is room for them.
    const QString entries = info_ && !readError_ && !diskDict_.trashIsEmpty
                                ? ui::qstr(util::RNLocalizedMessage("entries_count", {{"entries", itemsCount_}}))
                                : QString();
    item_->setToolTip(entries);
    setToolTip(entries);
}

void RNDiskMenuItemView::gatherTrashInfo() {
    if (diskDict_.trashIsEmpty && !sizeIsWorking_) {
        spinner_->stopAnimation();
        return;
    }
    if (spinner_->spinnerIsWorking()) spinner_->updateMarkerColor();
    else if (!info_) spinner_->startAnimation();
    if (sizeIsWorking_) return;
    sizeIsWorking_ = true;
    itemsSize_ = 0;
    itemsCount_ = 0;
    // The trash is listed once for everything that shows it, by the volume model; the figures
    // come back here (and not at all once this row is gone).
    auto& volumes = mainwindow::RNVolumeListModel::sharedModel();
    if (!measuredConnection_)
        measuredConnection_ = connect(&volumes, &mainwindow::RNVolumeListModel::trashMeasured, this,
                                      [this](const std::string& trashURL) {
                                          if (trashURL == diskDict_.trashURL) takeMeasurement();
                                      });
    if (volumes.measurement(diskDict_.trashURL)) takeMeasurement();
    else volumes.measure(diskDict_.trashURL);
}

void RNDiskMenuItemView::takeMeasurement() {
    const auto* m = mainwindow::RNVolumeListModel::sharedModel().measurement(diskDict_.trashURL);
    if (!m || info_) return;
    // An erase of this trash that started before the figures were known learns them here.
    if (isWorking_->load())
        RNNotificationCenter::defaultCenter().postNotification(
            kUpdateCountAndSizeToDelete, nullptr,
            RNDictionary{{"size", m->size}, {"count", m->count}, {"itemsToErase", itemListValue(m->itemsToErase)},
                         {"topLevelCount", uint64_t(m->itemsToErase.size())}});
    // A trash that cannot be read says so: its zeros would be a lie.
    const QString info = m->readError ? L("trash_unreadable") : formatInfo(m->size, m->itemsToErase.size());
    measurementDone(m->size, m->count, info, m->itemsToErase, m->readError);
}

void RNDiskMenuItemView::measurementDone(uint64_t size, uint64_t count, const QString& info, RNItemList items,
                                          int readError) {
    itemsSize_ = size;
    itemsCount_ = count;
    itemsToErase_ = std::move(items);
    readError_ = readError;
    info_ = info;
    spinner_->stopAnimation();
    diskDict_.trashIsEmpty = count == 0 && !readError;
    if (item_ && (count == 0 || readError)) item_->setEnabled(false);
    syncAction();
    update();
    emit measured();
}

void RNDiskMenuItemView::setMenuItemIsSelected(bool selected) {
    if (menuItemIsSelected_ == selected) return;
    menuItemIsSelected_ = selected;
    spinner_->setContainerViewIsSelected(selected);
    update();
}

void RNDiskMenuItemView::chosenItemAction() {
    if (!isMenuItemEnabled()) {
        for (QWidget* popup = QApplication::activePopupWidget(); popup; popup = QApplication::activePopupWidget())
            popup->close();
        return;
    }
    if (blinkTimer_.isActive()) return;
    fireTimes_ = 0;
    setMenuItemIsSelected(!menuItemIsSelected_);
    blinkTimer_.start();
}

void RNDiskMenuItemView::animateDismiss() {
    if (fireTimes_ > 1) {
        blinkTimer_.stop();
        sendAction();
    } else {
        setMenuItemIsSelected(!menuItemIsSelected_);
    }
    fireTimes_ += 1;
}

void RNDiskMenuItemView::sendAction() {
    // Close the whole menu chain.
    for (QWidget* popup = QApplication::activePopupWidget(); popup; popup = QApplication::activePopupWidget())
        popup->close();
    setMenuItemIsSelected(false);
    isWorking_->store(true);
    if (!stopObserver_) {
        // Only a flag the row shares with its measurement: set from the erase's thread as it is.
        auto working = isWorking_;
        stopObserver_ = RNNotificationCenter::defaultCenter().addObserver(
            kStopWorking, nullptr, [working](const RNNotification&) { working->store(false); });
    }
    QPointer<RNDiskMenuItem> item(item_);
    QTimer::singleShot(kSendDelayMs, Qt::PreciseTimer, this, [this, item] {
        if (item) item->trigger();
        emit actionSent();
    });
}

void RNDiskMenuItemView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const bool enabled = isMenuItemEnabled();
    const bool empty = diskDict_.trashIsEmpty;
    const QPalette::ColorGroup group = enabled && !empty ? QPalette::Active : QPalette::Disabled;
    QColor nameColor = palette().color(group, QPalette::WindowText);
    // Styles draw menus on Window or on Base: the info line reads on either.
    QColor infoColor = group == QPalette::Disabled
                           ? palette().color(group, QPalette::WindowText)
                           : ui::secondaryTextColor(palette(), group, QPalette::WindowText, QPalette::Window, QPalette::Base);
    if (isDrawnAsCurrent()) {
        QColor accent = palette().color(QPalette::Active, QPalette::Highlight);
        p.fillRect(rect(), accent);
        nameColor = infoColor = palette().color(QPalette::Active, QPalette::HighlightedText);
    }
    const QIcon& icon = icon_;
    const QIcon::Mode mode = enabled && !empty ? QIcon::Normal : QIcon::Disabled;  // the ghost icon
    // Laid out left to right; a right-to-left menu gets the mirror image.
    const auto visual = [this](const QRect& r) { return QStyle::visualRect(layoutDirection(), rect(), r); };
    const Qt::Alignment leading = QStyle::visualAlignment(layoutDirection(), Qt::AlignLeft | Qt::AlignVCenter);
    icon.paint(&p, visual(QRect(8, (height() - kIconSize) / 2, kIconSize, kIconSize)), Qt::AlignCenter, mode);

    const int textWidth = width() - kTextX - 28;
    p.setFont(nameFont());
    p.setPen(nameColor);
    const QFontMetrics nameMetrics(nameFont());
    p.drawText(visual(QRect(kTextX, 8, textWidth, nameMetrics.height())), leading,
               nameMetrics.elidedText(title(), Qt::ElideMiddle, textWidth));
    p.setFont(font());
    p.setPen(infoColor);
    const QFontMetrics infoMetrics(font());
    p.drawText(visual(QRect(kTextX, height() - 8 - infoMetrics.height(), textWidth, infoMetrics.height())), leading,
               infoMetrics.elidedText(infoText(), Qt::ElideRight, textWidth));
    spinner_->move(visual(QRect(width() - 24, (height() - spinner_->height()) / 2, spinner_->width(), spinner_->height()))
                       .topLeft());
}

bool RNDiskMenuItemView::isDrawnAsCurrent() const {
    if (menuItemIsSelected_) return true;
    auto* menu = qobject_cast<QMenu*>(parentWidget());
    return menu && item_ && menu->activeAction() == item_ && isMenuItemEnabled();
}

void RNDiskMenuItemView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (auto* menu = qobject_cast<QMenu*>(parentWidget()); menu && menu != followedMenu_) {
        // Every change of the menu's current item redraws the rows: one row is drawn current.
        followedMenu_ = menu;
        connect(menu, &QMenu::hovered, this, [this](QAction* action) {
            if (action != item_ && !blinkTimer_.isActive()) setMenuItemIsSelected(false);
            update();
        });
    }
    spinner_->stopAnimation();
    if (!diskDict_.trashIsEmpty && !info_) gatherTrashInfo();
}

void RNDiskMenuItemView::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (isMenuItemEnabled() && !blinkTimer_.isActive()) {
        setMenuItemIsSelected(true);
        // The menu's current item follows the pointer, so the arrow keys go on from here.
        if (auto* menu = qobject_cast<QMenu*>(parentWidget()); menu && menu->activeAction() != item_)
            menu->setActiveAction(item_);
    }
}

void RNDiskMenuItemView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (!blinkTimer_.isActive()) setMenuItemIsSelected(false);
}

void RNDiskMenuItemView::mousePressEvent(QMouseEvent* event) {
    mouseDownInside_ = true;
    event->accept();
}

void RNDiskMenuItemView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    chosenItemAction();
    mouseDownInside_ = false;
}

void RNDiskMenuItemView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            chosenItemAction();
            event->accept();
            return;
        default:
            // Arrows, Escape and the rest belong to the menu.
            event->ignore();
    }
}

void RNDiskMenuItemView::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    if (!isMenuItemEnabled()) return;
    if (auto* menu = qobject_cast<QMenu*>(parentWidget()))
        for (auto* other : menu->findChildren<RNDiskMenuItemView*>())
            if (other != this) other->setMenuItemIsSelected(false);
    setMenuItemIsSelected(true);
}

void RNDiskMenuItemView::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    if (!blinkTimer_.isActive()) setMenuItemIsSelected(false);
}

void RNDiskMenuItemView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange) {
        spinner_->updateMarkerColor();
        update();
    }
}

RNDiskMenuItem::RNDiskMenuItem(const files::TrashLocation& dict, QObject* parent)
    : QWidgetAction(parent), view_(new RNDiskMenuItemView(this)) {
    setDefaultWidget(view_);
    view_->setDiskDict(dict);
}

}  // namespace quillo::shell
