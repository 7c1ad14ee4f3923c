#include "mainwindow/RNLumoWindowSourceViewCntrl.h"

#include "erase/RNMainThread.h"
#include "mainwindow/RNCheckBoxStyle.h"
#include "mainwindow/RNTransparentScroller.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"
#include "ui/RNTextColors.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <cmath>

namespace quillo::mainwindow {

namespace {
QString gSelectedSourceName;
}  // namespace

void setCurrentSelectedSourceName(const QString& name) { gSelectedSourceName = name; }
QString currentSelectedSourceName() { return gSelectedSourceName; }

// ---- The cell ---------------------------------------------------------------------------------

QSize RNSourceTableCellView::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width() > 0 ? option.rect.width() : 240, kRowHeight);
}

QRect RNSourceTableCellView::checkBtnRect(const QRect& cell) {
    return QRect(cell.right() - 30, cell.top() + (cell.height() - 20) / 2, 20, 20);
}

QPixmap RNSourceTableCellView::imageWithString(const QString& text, const QPalette& palette, int maxWidth, bool onSelection) {
    QFont font = QApplication::font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    const QFontMetrics fm(font);
    const int height = fm.height() + 4;
    const int width = std::min(13 + fm.horizontalAdvance(text), maxWidth);
    const qreal dpr = qApp->devicePixelRatio();
    QPixmap image(QSize(width, height) * dpr);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, width - 1, height), height / 2.0, height / 2.0);
    p.fillPath(path, palette.color(onSelection ? QPalette::HighlightedText : QPalette::Highlight));
    p.setPen(palette.color(onSelection ? QPalette::Highlight : QPalette::HighlightedText));
    p.setFont(font);
    const QString shown = fm.elidedText(text, Qt::ElideMiddle, width - 12);
    p.drawText(QRectF(6, height / 2.0 - fm.height() / 2.0, width - 12, fm.height()), Qt::AlignCenter, shown);
    return image;
}

// The rows are laid out left to right below; in a right-to-left layout every part goes to the
// mirrored place of the row.
static QRect visual(const QStyleOptionViewItem& option, const QRect& rect) {
    return QStyle::visualRect(option.direction, option.rect, rect);
}

void RNSourceTableCellView::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    // Background and selection in the platform style. The selection is always drawn in the
    // inactive form, as the row never takes the emphasis from the content list.
    opt.text.clear();
    opt.icon = QIcon();
    if (opt.state & QStyle::State_Selected) opt.palette.setCurrentColorGroup(QPalette::Inactive);
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

    const bool empty = index.data(RNSourceListModel::IsEmptyRole).toBool();
    const bool selected = opt.state & QStyle::State_Selected;
    const QPalette& pal = opt.palette;
    const QColor textColor = pal.color(QPalette::Inactive, selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor dimColor = ui::secondaryTextColor(pal, QPalette::Inactive, selected ? QPalette::HighlightedText : QPalette::Text,
                                                   selected ? QPalette::Highlight : QPalette::Base);

    const QRect r = option.rect;
    const QPixmap icon = index.data(RNSourceListModel::IconRole).value<QPixmap>();
    const QRect iconRect(r.left() + 8, r.top() + (r.height() - 64) / 2, 64, 64);
    painter->drawPixmap(visual(option, iconRect), icon);
    const Qt::Alignment leading = QStyle::visualAlignment(option.direction, Qt::AlignLeft | Qt::AlignVCenter);

    const int textLeft = iconRect.right() + 10;
    const QRect check = checkBtnRect(r);
    const int textWidth = check.left() - 8 - textLeft;
    QFont nameFont = opt.font;
    nameFont.setBold(true);
    const QFontMetrics nfm(nameFont);
    QFont small = opt.font;
    small.setPointSizeF(small.pointSizeF() * 0.9);
    const QFontMetrics sfm(small);

    int y = r.top() + 12;
    painter->setFont(nameFont);
    painter->setPen(textColor);
    painter->drawText(visual(option, QRect(textLeft, y, textWidth, nfm.height())), leading,
                      nfm.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textWidth));
    y += nfm.height() + 2;
    painter->setFont(small);
    painter->setPen(dimColor);
    painter->drawText(visual(option, QRect(textLeft, y, textWidth, sfm.height())), leading,
                      sfm.elidedText(index.data(RNSourceListModel::InfoTextRole).toString(), Qt::ElideRight, textWidth));
    y += sfm.height() + 4;

    if (index.data(RNSourceListModel::GatheringRole).toBool()) {
        // Spinner and gathering label.
        const QRectF spin(visual(option, QRect(textLeft, y + (sfm.height() - 12) / 2, 12, 12)));
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        QPen pen(dimColor, 2);
        pen.setCapStyle(Qt::RoundCap);
        painter->setPen(pen);
        painter->drawArc(spin, -spinnerStep * 30 * 16, 270 * 16);
        painter->restore();
        painter->drawText(visual(option, QRect(textLeft + 18, y, textWidth - 18, sfm.height())), leading,
                          sfm.elidedText(ui::L("gathering_info"), Qt::ElideRight, textWidth - 18));
        y += sfm.height() + 4;
    }
    const QString pill = index.data(RNSourceListModel::PillTextRole).toString();
    if (!pill.isEmpty()) {
        const QPixmap image = imageWithString(pill, opt.palette, textWidth, selected);
        const QSize size = image.deviceIndependentSize().toSize();
        const QRect place(QPoint(textLeft, std::min(y, r.bottom() - size.height() - 4)), size);
        painter->drawPixmap(visual(option, place).topLeft(), image);
    }

    // Keyboard focus on this row: a ring in the accent colour (the selection alone is drawn the
    // same with and without focus).
    const auto* view = qobject_cast<const QAbstractItemView*>(widget);
    const bool current = (option.state & QStyle::State_HasFocus) ||
                         (selected && view && !view->currentIndex().isValid());
    if (current && widget && widget->hasFocus()) {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        // On the selection's own colour the ring takes the selected text's colour.
        painter->setPen(QPen(selected ? textColor : pal.color(QPalette::Active, QPalette::Highlight), 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(r).adjusted(2, 2, -2, -2), 6, 6);
        painter->restore();
    }

    // The tri-state check button.
    QStyleOptionButton box;
    box.rect = visual(option, check);
    box.palette = pal;
    const auto state = Qt::CheckState(index.data(RNSourceListModel::MarkedStatusRole).toInt());
    box.state = empty ? QStyle::State_None : QStyle::State_Enabled;
    box.state |= state == Qt::Checked ? QStyle::State_On : state == Qt::PartiallyChecked ? QStyle::State_NoChange : QStyle::State_Off;
    style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, widget);
}

bool RNSourceTableCellView::editorEvent(QEvent* event, QAbstractItemModel*, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) {
    if (event->type() != QEvent::MouseButtonRelease && event->type() != QEvent::MouseButtonPress &&
        event->type() != QEvent::MouseButtonDblClick)
        return false;
    auto* me = static_cast<QMouseEvent*>(event);
    if (!visual(option, checkBtnRect(option.rect)).contains(me->position().toPoint())) return false;
    if (index.data(RNSourceListModel::IsEmptyRole).toBool()) return true;
    if (event->type() == QEvent::MouseButtonRelease && me->button() == Qt::LeftButton) emit checkBtnAction(index.row());
    return true;  // a click on the button does not change the selection
}

// ---- The controller ---------------------------------------------------------------------------

RNLumoWindowSourceViewCntrl::RNLumoWindowSourceViewCntrl(QWidget* parentWidget) : QObject(parentWidget) {
    model_ = new RNSourceListModel(this);
    tableView_ = new QListView(parentWidget);
    tableView_->setObjectName(QStringLiteral("sourceList"));
    tableView_->setModel(model_);
    tableView_->setStyle(new RNCheckBoxStyle(tableView_));
    tableView_->setSelectionMode(QAbstractItemView::SingleSelection);
    tableView_->setUniformItemSizes(true);
    tableView_->setMinimumWidth(220);
    tableView_->setVerticalScrollBar(new RNTransparentScroller(Qt::Vertical, tableView_));
    tableView_->setAccessibleName(ui::L("source_list_name"));
    tableView_->installEventFilter(this);
    cell_ = new RNSourceTableCellView(tableView_);
    tableView_->setItemDelegate(cell_);
    connect(cell_, &RNSourceTableCellView::checkBtnAction, this, &RNLumoWindowSourceViewCntrl::checkBtnAction);
    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RNLumoWindowSourceViewCntrl::tableViewSelectionDidChange);
    spinnerTimer_.setInterval(80);
    connect(&spinnerTimer_, &QTimer::timeout, this, &RNLumoWindowSourceViewCntrl::animateSpinners);
    // The first trash with items is shown as soon as it is listed.
    connect(model_, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
        if (lastSelectedRow_ == -1)
            for (int row = first; row <= last; ++row)
                if (!model_->sourceAt(row)->trashIsEmpty) {
                    selectRow(row);
                    break;
                }
        if (!spinnerTimer_.isActive()) spinnerTimer_.start();
    });
    auto showFirstFilled = [this](RNSourceItem* source) {
        if (lastSelectedRow_ == -1 && !source->trashIsEmpty) selectRow(int(source->row));
    };
    connect(model_, &RNSourceListModel::childrenChanged, this, showFirstFilled);
    connect(model_, &RNSourceListModel::childrenAppended, this, showFirstFilled);
    connect(model_, &RNSourceListModel::sourceAboutToBeRemoved, this, [this](int row) {
        if (row != lastSelectedRow_) return;
        // The shown trash goes away: another one is shown first.
        for (int r = 0; r < model_->rowCount(); ++r)
            if (r != row && !model_->sourceAt(r)->trashIsEmpty) {
                selectRow(r);
                return;
            }
        lastSelectedRow_ = -1;
    });
    connect(model_, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first, int) {
        if (lastSelectedRow_ > first) --lastSelectedRow_;
    });
}

RNLumoWindowSourceViewCntrl::~RNLumoWindowSourceViewCntrl() {
    for (auto t : observers_) erase::RNNotificationCenter::defaultCenter().removeObserver(t);
    model_->stop();
}

void RNLumoWindowSourceViewCntrl::viewDidLoad() {
    lastSelectedRow_ = -1;
    model_->setupSources();
}

void RNLumoWindowSourceViewCntrl::windowWillClose() { model_->stop(); }

void RNLumoWindowSourceViewCntrl::restart() {
    lastSelectedRow_ = -1;
    model_->restart();
}

void RNLumoWindowSourceViewCntrl::refreshAction() { model_->refreshAction(); }

void RNLumoWindowSourceViewCntrl::setCollapsed(bool collapsed) {
    if (collapsed == isCollapsed_) return;
    isCollapsed_ = collapsed;
    for (const auto& s : model_->sourceItems()) s->isCollapsed = collapsed;
    tableView_->viewport()->update();
}

void RNLumoWindowSourceViewCntrl::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    tableView_->selectionModel()->setCurrentIndex(model_->index(row), QItemSelectionModel::ClearAndSelect);
}

void RNLumoWindowSourceViewCntrl::tableViewSelectionDidChange() {
    if (adjustingSelection_) return;
    const QModelIndexList rows = tableView_->selectionModel()->selectedRows();
    int proposed = rows.isEmpty() ? -1 : rows.first().row();
    RNSourceItemPtr source = model_->sourceAt(proposed);
    if (proposed == -1 || (source && source->trashIsEmpty)) {
        // No deselection, and an empty trash cannot be selected: back to the last row.
        adjustingSelection_ = true;
        if (lastSelectedRow_ >= 0 && lastSelectedRow_ < model_->rowCount())
            tableView_->selectionModel()->setCurrentIndex(model_->index(int(lastSelectedRow_)),
                                                          QItemSelectionModel::ClearAndSelect);
        else
            tableView_->selectionModel()->clearSelection();
        adjustingSelection_ = false;
        return;
    }
    if (proposed != lastSelectedRow_) {
        lastSelectedRow_ = proposed;
        setCurrentSelectedSourceName(ui::displayPath(source->name));
        postShowNotificationWithSource(source);
    }
}

void RNLumoWindowSourceViewCntrl::postShowNotificationWithSource(const RNSourceItemPtr& source) {
    emit showSelectedItems(source);
}

void RNLumoWindowSourceViewCntrl::checkBtnAction(int row) {
    RNSourceItemPtr source = model_->sourceAt(row);
    if (!source || source->trashIsEmpty) return;
    const int64_t state = model_->toggleMarksOfSource(source);
    if (row == lastSelectedRow_) emit sourceCheckBtnDidClick(source.get(), state == 1);
}

void RNLumoWindowSourceViewCntrl::updateMarkedInfo(const RNSourceItemPtr& source) { model_->updateMarkedItems(source); }

void RNLumoWindowSourceViewCntrl::animateSpinners() {
    bool any = false;
    for (const auto& s : model_->sourceItems())
        if (s->lockedGathering() > 0) any = true;
    cell_->spinnerStep = (cell_->spinnerStep + 1) % 12;
    tableView_->viewport()->update();
    if (!any && model_->listingFinished()) spinnerTimer_.stop();
}

bool RNLumoWindowSourceViewCntrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tableView_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            // The keyboard's way to the row's check button.
            checkBtnAction(int(lastSelectedRow_));
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace quillo::mainwindow
