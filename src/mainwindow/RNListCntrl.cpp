#include "mainwindow/RNListCntrl.h"

#include "erase/RNAutoCleanup.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "erase/RNRestoreItems.h"
#include "erase/RNUserDefaults.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashLocator.h"
#include "mainwindow/RNCheckBoxStyle.h"
#include "mainwindow/RNContentListAccessible.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNVolumeListModel.h"
#include "ui/RNLayoutDirection.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"
#include "ui/RNTextColors.h"
#include "util/Localization.h"
#include "util/RNDateUtilities.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <QAccessible>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStackedWidget>

#include <sys/stat.h>

#include <map>
#include <unordered_map>
#include <unordered_set>

namespace quillo::mainwindow {

using erase::RNDictionary;
using erase::RNNotification;
using erase::RNNotificationCenter;
using erase::RNValue;

erase::RNOperationQueue& listOperationQueue() { return erase::RNOperationQueue::named("listOperationQueue"); }

// ---- Cells and table ----------------------------------------------------------------------------

QString RNDateCellView::drawDate(double seconds, int w) {
    if (seconds == 0) return QStringLiteral("--");
    unsigned style;
    bool withTime;
    if (w >= 250) style = 4, withTime = true;
    else if (w >= 210) style = 3, withTime = true;
    else if (w >= 160) style = 3, withTime = false;
    else if (w >= 100) style = 1, withTime = true;
    else style = 1, withTime = false;
    return QString::fromStdString(util::RNDateUtilities::sharedControl().stringWithSeconds(seconds, style, true, withTime));
}

void RNDateCellView::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = drawDate(index.data(RNContentListModel::SecondsRole).toDouble(), option->rect.width());
}

void RNContentTableView::reloadVisibleRows() {
    const int first = rowAt(0) < 0 ? 0 : rowAt(0);
    for (int r = first; r < first + 30 && r < model()->rowCount(); ++r)
        for (int c = 0; c < model()->columnCount(); ++c) update(model()->index(r, c));
}

void RNContentTableView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        if (selectionModel()->hasSelection()) emit quickLookAction();
        else QApplication::beep();
        return;
    }
    QTableView::keyPressEvent(event);
}

void RNContentTableView::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    // The style's own focus frame goes round one cell in a shade that a dark palette all but
    // hides (the list's style leaves it out); the current row gets a ring in the accent colour,
    // in the selected text's colour on a selected row.
    const QModelIndex current = currentIndex();
    if (!hasFocus() || !current.isValid()) return;
    const int row = current.row();
    const QRect rect(-horizontalOffset(), rowViewportPosition(row), horizontalHeader()->length(), rowHeight(row));
    const bool selected = selectionModel()->isRowSelected(row, {});
    QPainter p(viewport());
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(palette().color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Highlight), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(rect).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
}

void RNContentTableView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    viewport()->update();  // the ring spans the row, not only the cells Qt repaints
}

void RNContentTableView::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    viewport()->update();
}

void RNContentTableView::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    viewport()->update();
}

void RNContentTableView::keyboardSearch(const QString& search) {
    if (search == QLatin1String(" ")) return;  // the space bar belongs to the preview panel
    // Type-to-select looks in the name column.
    const QModelIndex current = currentIndex();
    const QModelIndexList hits = model()->match(model()->index(current.isValid() ? current.row() : 0, RNContentListModel::NameColumn),
                                                Qt::DisplayRole, search, 1, Qt::MatchStartsWith | Qt::MatchWrap);
    if (!hits.isEmpty()) {
        selectionModel()->setCurrentIndex(hits.first(), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(hits.first());
    }
}

// ---- The controller ---------------------------------------------------------------------------

RNListCntrl::RNListCntrl(RNContentViewCntrl* contentCntrl, RNSourceListModel* sources, RNContentTableView* tableView,
                         QStackedWidget* listStack, QLabel* infoFld, RNItemPreviewCntrl* previewCntrl)
    : QObject(tableView),
      contentCntrl_(contentCntrl),
      sources_(sources),
      model_(new RNContentListModel(this)),
      tableView_(tableView),
      listStack_(listStack),
      infoFld_(infoFld),
      previewCntrl_(previewCntrl) {
    // Page 2 of the list's stack: when every trash turned out empty there is nothing to show,
    // and a spinner would promise items that never come.
    if (listStack_) {
        auto* allEmpty = new ui::RNSecondaryLabel(listStack_);
        allEmpty->setObjectName(QStringLiteral("allTrashesEmpty"));
        allEmpty->setText(ui::L("all_trashes_empty"));
        allEmpty->setAlignment(Qt::AlignCenter);
        allEmpty->setWordWrap(true);
        listStack_->addWidget(allEmpty);
    }
    showProgressView(true);
    infoFld_->clear();
    tableView_->setModel(model_);
    tableView_->setStyle(new RNCheckBoxStyle(tableView_));
    tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tableView_->setAlternatingRowColors(true);
    tableView_->setShowGrid(false);
    tableView_->setWordWrap(false);
    tableView_->setIconSize(QSize(24, 24));
    tableView_->verticalHeader()->hide();
    tableView_->verticalHeader()->setDefaultSectionSize(30);
    tableView_->setItemDelegateForColumn(RNContentListModel::DateColumn, new RNDateCellView(tableView_));
    tableView_->setItemDelegateForColumn(RNContentListModel::OriginalColumn, new RNPlaceCellView(tableView_));
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the list for the erase button (rows are walked with the arrows).
    tableView_->setTabKeyNavigation(false);
    tableView_->setTextElideMode(Qt::ElideMiddle);
    // Columns: a fixed check column, the name taking what is left, size and date.
    QHeaderView* header = tableView_->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setHighlightSections(false);
    header->setMinimumSectionSize(44);
    header->setSectionResizeMode(RNContentListModel::CheckColumn, QHeaderView::Fixed);
    header->resizeSection(RNContentListModel::CheckColumn, 44);
    // The name takes what the others leave but never less than its minimum (the list scrolls
    // sideways then); size and date are the user's to resize, within their limits.
    header->setStretchLastSection(false);
    header->setSectionResizeMode(RNContentListModel::NameColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(RNContentListModel::SizeColumn, QHeaderView::Interactive);
    header->resizeSection(RNContentListModel::SizeColumn, 110);
    header->setSectionResizeMode(RNContentListModel::DateColumn, QHeaderView::Interactive);
    header->resizeSection(RNContentListModel::DateColumn, 200);
    // The original location shares the name's width (it is as long as a path gets).
    header->setSectionResizeMode(RNContentListModel::OriginalColumn, QHeaderView::Fixed);
    header->resizeSection(RNContentListModel::OriginalColumn, kOriginalMinWidth);
    // The header's own menu shows or hides where the items came from, per trash.
    headerMenu_ = new QMenu(header);
    QAction* originalAction = headerMenu_->addAction(ui::L("original_location_col"));
    originalAction->setCheckable(true);
    connect(headerMenu_, &QMenu::aboutToShow, this, [this, originalAction] { originalAction->setChecked(originalLocationShown()); });
    connect(originalAction, &QAction::triggered, this, [this](bool checked) { setOriginalLocationShown(checked); });
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this,
            [this, header](const QPoint& pos) { headerMenu_->popup(header->mapToGlobal(pos)); });
    connect(header, &QHeaderView::sectionResized, this, [this] { fitColumns(); });
    tableView_->viewport()->installEventFilter(this);
    fitColumns(true);
    header->setSortIndicator(RNContentListModel::NameColumn, Qt::AscendingOrder);
    connect(header, &QHeaderView::sectionClicked, this, &RNListCntrl::sortByColumn);
    connect(tableView_, &RNContentTableView::quickLookAction, this, [this] { contentCntrl_->quickLookAction(); });

    connect(model_, &RNContentListModel::checkBtnInListDidClick, this, [this](RNLumoWindowItem*) { writeMarkedInfo(); });
    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &RNListCntrl::prepareToShowPreview);
    connect(sources_, &RNSourceListModel::childrenChanged, this, [this](RNSourceItem* source) {
        if (source != model_->source().get()) return;
        // Items came or went (a refresh): the rows are read again, and the items that stay
        // keep their selection and the current row.
        std::vector<RNLumoWindowItemPtr> selected;
        for (const QModelIndex& i : tableView_->selectionModel()->selectedRows())
            if (auto item = model_->itemAt(i.row())) selected.push_back(item);
        const QModelIndex current = tableView_->currentIndex();
        const RNLumoWindowItemPtr currentItem = current.isValid() ? model_->itemAt(current.row()) : nullptr;
        const int scroll = tableView_->verticalScrollBar()->value();
        model_->reload();
        if (!selected.empty() || currentItem) {
            std::vector<RNLumoWindowItem*> raw;
            for (const auto& item : selected) raw.push_back(item.get());
            selectItems(raw);
            const int row = currentItem ? model_->rowOfItem(currentItem.get()) : -1;
            if (row >= 0)
                tableView_->selectionModel()->setCurrentIndex(model_->index(row, RNContentListModel::NameColumn),
                                                              QItemSelectionModel::NoUpdate);
            prepareToShowPreview();
        }
        tableView_->verticalScrollBar()->setValue(scroll);
        showProgressView(false);
    });
    connect(sources_, &RNSourceListModel::childrenAboutToBeAppended, this, [this](RNSourceItem* source, int first, int last) {
        if (source == model_->source().get()) model_->beginAppend(first, last);
    });
    connect(sources_, &RNSourceListModel::childrenAppended, this, [this](RNSourceItem* source) {
        if (source != model_->source().get()) return;
        model_->endAppend();
        showProgressView(false);
    });
    connect(sources_, &RNSourceListModel::childrenSizesChanged, this, [this](RNSourceItem* source) {
        if (source == model_->source().get()) tableView_->viewport()->update();
    });
    connect(sources_, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this](const QModelIndex&, int first, int last) {
        for (int r = first; r <= last; ++r)
            if (sources_->sourceAt(r) == model_->source()) {
                model_->setSource(nullptr);
                previewCntrl_->showPreviewWithArray(std::nullopt);
            }
    });
    for (auto signal : {&RNSourceListModel::childrenChanged, &RNSourceListModel::childrenAppended,
                        &RNSourceListModel::gatheringFinished})
        connect(sources_, signal, this, [this](RNSourceItem*) { showWhetherAllTrashesAreEmpty(); });
    connect(sources_, &RNSourceListModel::sourcesLoaded, this, &RNListCntrl::showWhetherAllTrashesAreEmpty);
    connect(sources_, &QAbstractItemModel::rowsRemoved, this, &RNListCntrl::showWhetherAllTrashesAreEmpty);
    // An empty trash's listing ends with its row's change alone.
    connect(sources_, &QAbstractItemModel::dataChanged, this, &RNListCntrl::showWhetherAllTrashesAreEmpty);
    connect(sources_, &RNSourceListModel::itemsListUpdated, this, &RNListCntrl::updateItemsList);

    // Contextual menu.
    menu_ = new QMenu(tableView_);
    auto add = [this](const char* key, int tag) {
        QAction* a = menu_->addAction(ui::L(key));
        a->setData(tag);
        connect(a, &QAction::triggered, this, [this, tag] { contextualMenuAction(tag); });
    };
    add("reveal_in_file_manager", kTagReveal);
    add("open_with_default_app", kTagOpen);
    menu_->addSeparator();
    add("copy_name", kTagCopyName);
    add("copy_path", kTagCopyPath);
    menu_->addSeparator();
    add("invert_marks", kTagInvert);
    add("unmark_items", kTagUnmark);
    add("mark_items", kTagMark);
    // The space bar opens the preview: marking from the keyboard has a key of its own, on the
    // current row and the selection.
    toggleMark_ = new QAction(ui::L("toggle_mark"), tableView_);
    toggleMark_->setData(int(kTagToggle));
    toggleMark_->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_M), QKeySequence(Qt::Key_Insert)});
    toggleMark_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    toggleMark_->setShortcutVisibleInContextMenu(true);
    connect(toggleMark_, &QAction::triggered, this, [this] {
        const bool fromKey = clickedRow_ < 0;
        if (fromKey && tableView_->currentIndex().isValid()) clickedRow_ = tableView_->currentIndex().row();
        contextualMenuAction(kTagToggle);
        if (fromKey) clickedRow_ = -1;
    });
    tableView_->addAction(toggleMark_);
    menu_->addAction(toggleMark_);
    // The header takes no keyboard focus: its sorts are here too, for the keyboard (Menu key).
    menu_->addSeparator();
    QMenu* sortMenu = menu_->addMenu(ui::L("sort_by_menu"));
    sortMenu->menuAction()->setData(int(kTagSort));
    auto* columns = new QActionGroup(sortMenu);
    for (int c : {RNContentListModel::NameColumn, RNContentListModel::OriginalColumn, RNContentListModel::SizeColumn,
                  RNContentListModel::DateColumn, RNContentListModel::CheckColumn}) {
        QAction* a = sortMenu->addAction(ui::L(RNContentListModel::identifierOfColumn(c).toStdString()));
        a->setCheckable(true);
        a->setData(c);
        columns->addAction(a);
        connect(a, &QAction::triggered, this, [this, c] {
            if (RNContentListModel::identifierOfColumn(c) != current_.key) sortByColumn(c);
        });
    }
    sortMenu->addSeparator();
    QAction* descending = sortMenu->addAction(ui::L("sort_descending"));
    descending->setCheckable(true);
    connect(descending, &QAction::triggered, this, [this](bool on) {
        if (on == current_.ascending) sortByColumn(RNContentListModel::columnOfIdentifier(current_.key));
    });
    connect(sortMenu, &QMenu::aboutToShow, this, [this, columns, descending] {
        for (QAction* a : columns->actions()) {
            a->setChecked(RNContentListModel::identifierOfColumn(a->data().toInt()) == current_.key);
            if (a->data().toInt() == RNContentListModel::OriginalColumn) a->setVisible(originalLocationShown());
        }
        descending->setChecked(!current_.ascending);
    });
    // Put Back and the undo act on the whole window (the window adds them to itself).
    putBack_ = new QAction(ui::directionalIcon(QStringLiteral("edit-undo")), ui::L("put_back"), this);
    putBack_->setData(int(kTagPutBack));
    putBack_->setToolTip(ui::L("put_back_tip"));
    putBack_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Backspace));
    putBack_->setShortcutContext(Qt::WindowShortcut);
    putBack_->setShortcutVisibleInContextMenu(true);
    connect(putBack_, &QAction::triggered, this, [this] {
        // From the menu the clicked row counts; from the key or the button the selection, or
        // else the marked items of every trash.
        auto items = selectedItemsForMenu();
        if (items.empty())
            for (const auto& source : sources_->sourceItems())
                for (const auto& c : source->children)
                    if (c->isMarked.load()) items.push_back(c);
        putBackItems(items);
    });
    menu_->insertAction(menu_->actions().value(0), putBack_);
    menu_->insertSeparator(menu_->actions().value(1));
    undo_ = new QAction(this);
    undo_->setShortcut(QKeySequence::Undo);
    undo_->setShortcutContext(Qt::WindowShortcut);
    connect(undo_, &QAction::triggered, this, &RNListCntrl::undoLast);
    tableView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tableView_, &QWidget::customContextMenuRequested, this, &RNListCntrl::showContextMenu);
}

RNListCntrl::~RNListCntrl() {
    // A put back still copying stops (the item stays whole in the trash).
    if (moveStop_) moveStop_->store(true);
    auto& center = RNNotificationCenter::defaultCenter();
    // A count still waited for by a confirmation that can no longer come.
    if (totals_) {
        std::lock_guard e(totals_->mutex);
        for (auto t : totals_->tokens) center.removeObserver(t);
        totals_->tokens.clear();
    }
    if (stopObserver_) center.removeObserver(stopObserver_);
    if (responseObserver_) center.removeObserver(responseObserver_);
}

int RNListCntrl::contentWidth(int column) const {
    const QFontMetrics metrics(tableView_->font());
    QStringList samples;
    if (column == RNContentListModel::SizeColumn) {
        const auto& numbers = util::RNNumberUtilities::sharedControl();
        for (uint64_t size : {uint64_t(999), uint64_t(888'880'000)})
            samples << QString::fromStdString(numbers.sizeToFormatString(size, 4, true));
    } else {
        // Late in a year, late in a day: two-digit day and month, the longest hour.
        const QDateTime late(QDate(QDate::currentDate().year(), 12, 28), QTime(22, 58, 58));
        samples << QString::fromStdString(util::RNDateUtilities::sharedControl().stringWithSeconds(
            double(late.toSecsSinceEpoch()) - util::RNDateUtilities::kReferenceDateUnixSeconds, 1, true, true));
    }
    int widest = 0;
    for (const QString& sample : samples) widest = std::max(widest, metrics.horizontalAdvance(sample));
    constexpr int kCellPadding = 16;  // the cell's margins on both sides
    const int low = column == RNContentListModel::SizeColumn ? kSizeMinWidth : kDateMinWidth;
    return std::max({low, widest + kCellPadding, tableView_->horizontalHeader()->sectionSizeHint(column)});
}

void RNListCntrl::fitColumns(bool toWidth) {
    if (fittingColumns_) return;
    fittingColumns_ = true;
    QHeaderView* header = tableView_->horizontalHeader();
    auto clamp = [header](int column, int low, int high) {
        const int width = header->sectionSize(column);
        const int fitted = std::clamp(width, low, high);
        if (fitted != width) header->resizeSection(column, fitted);
    };
    clamp(RNContentListModel::SizeColumn, kSizeMinWidth, kSizeMaxWidth);
    clamp(RNContentListModel::DateColumn, kDateMinWidth, kDateMaxWidth);
    const bool originalShown = !header->isSectionHidden(RNContentListModel::OriginalColumn);
    if (toWidth) {
        // Too narrow for every column: the date and then the size shrink towards what their
        // texts need, before the date is pushed out of view. A width the user gave them stays
        // until the list itself narrows.
        int over = header->sectionSize(RNContentListModel::CheckColumn) + kNameMinWidth +
                   (originalShown ? kOriginalMinWidth : 0) + header->sectionSize(RNContentListModel::SizeColumn) +
                   header->sectionSize(RNContentListModel::DateColumn) - tableView_->viewport()->width();
        for (int column : {int(RNContentListModel::DateColumn), int(RNContentListModel::SizeColumn)}) {
            if (over <= 0) break;
            const int give = std::min(over, header->sectionSize(column) - contentWidth(column));
            if (give <= 0) continue;
            header->resizeSection(column, header->sectionSize(column) - give);
            over -= give;
        }
    }
    int left = tableView_->viewport()->width() - header->sectionSize(RNContentListModel::CheckColumn) -
               header->sectionSize(RNContentListModel::SizeColumn) - header->sectionSize(RNContentListModel::DateColumn);
    if (originalShown) {
        // Two fifths of what is left, the name's minimum first: a narrow window keeps its date
        // column in view.
        const int original = std::clamp(std::min(left * 2 / 5, left - kNameMinWidth), kOriginalMinWidth, kOriginalMaxWidth);
        if (header->sectionSize(RNContentListModel::OriginalColumn) != original)
            header->resizeSection(RNContentListModel::OriginalColumn, original);
        left -= original;
    }
    const int name = std::clamp(left, kNameMinWidth, kNameMaxWidth);
    if (header->sectionSize(RNContentListModel::NameColumn) != name) header->resizeSection(RNContentListModel::NameColumn, name);
    fittingColumns_ = false;
}

namespace {
QString columnPreferenceKey(const RNSourceItem& source) { return ui::displayPath(source.url); }
}  // namespace

bool RNListCntrl::originalLocationShown() const {
    const RNSourceItemPtr& source = model_->source();
    if (!source) return !tableView_->horizontalHeader()->isSectionHidden(RNContentListModel::OriginalColumn);
    const auto hidden = erase::RNUserDefaults::standardUserDefaults().dictionaryForKey(erase::kPrefLumoHiddenOriginalLocation);
    if (!hidden) return true;
    const auto it = hidden->find(columnPreferenceKey(*source).toStdString());
    return it == hidden->end() || !it->second.boolValue();
}

void RNListCntrl::setOriginalLocationShown(bool shown) {
    const RNSourceItemPtr& source = model_->source();
    if (source) {
        auto& defaults = erase::RNUserDefaults::standardUserDefaults();
        RNDictionary hidden = defaults.dictionaryForKey(erase::kPrefLumoHiddenOriginalLocation).value_or(RNDictionary{});
        const std::string key = columnPreferenceKey(*source).toStdString();
        if (shown) hidden.erase(key);
        else hidden[key] = RNValue(true);
        defaults.setObject(erase::kPrefLumoHiddenOriginalLocation, RNValue(hidden));
    }
    tableView_->horizontalHeader()->setSectionHidden(RNContentListModel::OriginalColumn, !shown);
    if (!shown && current_.key == QLatin1String("original_location_col")) sortByColumn(RNContentListModel::NameColumn);
    fitColumns();
}

void RNListCntrl::applyColumnVisibility() {
    QHeaderView* header = tableView_->horizontalHeader();
    const bool shown = originalLocationShown();
    if (header->isSectionHidden(RNContentListModel::OriginalColumn) == !shown) return;
    header->setSectionHidden(RNContentListModel::OriginalColumn, !shown);
    fitColumns();
}

bool RNListCntrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tableView_->viewport() && event->type() == QEvent::Resize) {
        // Only a change of width: a sideways scroll bar coming or going changes the height alone,
        // and must not take back a width the user gave a column.
        const auto* resize = static_cast<QResizeEvent*>(event);
        fitColumns(resize->size().width() != resize->oldSize().width());
    }
    return QObject::eventFilter(watched, event);
}

void RNListCntrl::showProgressView(bool show) {
    if (listStack_) listStack_->setCurrentIndex(show ? 0 : 1);
}

void RNListCntrl::showWhetherAllTrashesAreEmpty() {
    // A shown trash has its own page; with none shown, the spinner stays while trashes are
    // still being listed (the first one with items gets shown), and gives way once all are empty.
    if (!listStack_ || model_->source()) return;
    bool allEmpty = sources_->listingFinished();
    for (const auto& source : sources_->sourceItems())
        if (!source->trashIsEmpty) allEmpty = false;
    listStack_->setCurrentIndex(allEmpty ? 2 : 0);
}

// ---- Showing and sorting --------------------------------------------------------------------

void RNListCntrl::showSelectedItems(const RNSourceItemPtr& source) {
    firstWasLoaded_ = true;
    if (const RNSourceItemPtr& old = model_->source()) {
        old->selectionIndexes.clear();
        old->selection.clear();
        for (const QModelIndex& i : tableView_->selectionModel()->selectedRows()) {
            old->selectionIndexes.push_back(i.row());
            if (auto item = model_->itemAt(i.row())) old->selection.push_back(item);
        }
        old->sortDescriptors = {current_};
    }
    infoFld_->clear();
    if (source && source->sortDescriptors.empty()) source->sortDescriptors = {RNContentListModel::prototypeOfColumn(RNContentListModel::NameColumn)};
    model_->setSource(source);
    if (!source) return;
    applyColumnVisibility();
    current_ = source->sortDescriptors.front();
    if (current_.key == QLatin1String("original_location_col") && !originalLocationShown())
        current_ = source->sortDescriptors.front() = RNContentListModel::prototypeOfColumn(RNContentListModel::NameColumn);
    tableView_->horizontalHeader()->setSortIndicator(RNContentListModel::columnOfIdentifier(current_.key),
                                                     current_.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    // The saved selection comes back (by identity, so a re-sort does not move it).
    std::vector<RNLumoWindowItem*> saved;
    for (const auto& i : source->selection) saved.push_back(i.get());
    selectItems(saved);
    if (!saved.empty()) {
        const int row = model_->rowOfItem(saved.front());
        if (row >= 0) tableView_->scrollTo(model_->index(row, RNContentListModel::NameColumn));
        tableView_->setFocus();
    }
    prepareToShowPreview();
    sortListed(source->sortDescriptors, true);
    showProgressView(source->children.empty() && source->lockedGathering() > 0);
}

void RNListCntrl::sortByColumn(int column) {
    RNSortDescriptor d = RNContentListModel::prototypeOfColumn(column);
    if (d.key == current_.key) d.ascending = !current_.ascending;
    tableView_->horizontalHeader()->setSortIndicator(column, d.ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    if (model_->source()) model_->source()->sortDescriptors = {d};
    sortListed({d}, true);
}

void RNListCntrl::sortListed(const std::vector<RNSortDescriptor>& descriptors, bool updateInterface) {
    RNSourceItemPtr source = model_->source();
    if (!source || descriptors.empty()) return;
    current_ = descriptors.front();
    auto children = source->children;
    const uint64_t generation = source->childrenGeneration;
    const uint64_t ticket = ++sortTicket_;
    ++sortsInFlight_;
    ui::runThen(
        listOperationQueue(), this,
        [children = std::move(children), descriptors]() mutable {
            return std::make_shared<std::vector<RNLumoWindowItemPtr>>(
                RNContentListModel::sortedChildren(std::move(children), descriptors));
        },
        [this, source, generation, ticket, updateInterface,
         descriptors](std::shared_ptr<std::vector<RNLumoWindowItemPtr>> sorted) {
            --sortsInFlight_;
            if (source->childrenGeneration != generation || ticket != sortTicket_) {
                if (sortsInFlight_ == 0) emit sortFinished();
                return;
            }
            // The new order goes in as one permutation of the rows: the selection and the
            // current row follow their items, nothing is looked up row by row here.
            sortedGeneration_ = generation;
            sortedSource_ = source.get();
            sortedBy_ = descriptors.front();
            if (source == model_->source() && updateInterface) {
                const int scroll = tableView_->verticalScrollBar()->value();
                const bool anySelected = tableView_->selectionModel()->hasSelection();
                *sorted = model_->reorder(std::move(*sorted));
                tableView_->verticalScrollBar()->setValue(scroll);
                if (anySelected) prepareToShowPreview();
            } else {
                source->children.swap(*sorted);
            }
            // The old order (the same records) is let go on the list queue.
            listOperationQueue().addOperation([sorted] {});
            if (sortsInFlight_ == 0) emit sortFinished();
        });
}

void RNListCntrl::selectItems(const std::vector<RNLumoWindowItem*>& items) {
    if (items.empty()) {
        tableView_->selectionModel()->clearSelection();
        return;
    }
    std::unordered_map<const RNLumoWindowItem*, int> rows;
    const auto& children = model_->source()->children;
    for (size_t i = 0; i < children.size(); ++i) rows.emplace(children[i].get(), int(i));
    QItemSelection selection;
    for (const RNLumoWindowItem* item : items) {
        auto it = rows.find(item);
        if (it == rows.end()) continue;
        selection.select(model_->index(it->second, 0), model_->index(it->second, RNContentListModel::ColumnCount - 1));
    }
    QSignalBlocker block(tableView_->selectionModel());
    tableView_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    tableView_->viewport()->update();
}

void RNListCntrl::updateItemsList(RNSourceItem* source) {
    if (!source || source != model_->source().get()) return;
    // Sizes and dates that came in move rows only when the list is sorted by them.
    const bool orderHolds = sortedSource_ == source && sortedGeneration_ == source->childrenGeneration &&
                            sortedBy_ == current_ && current_.key != QLatin1String("size_col") &&
                            current_.key != QLatin1String("date_added_col") &&
                            current_.key != QLatin1String("original_location_col");
    if (!orderHolds) sortListed({current_}, true);
    writeMarkedInfo();
    showProgressView(false);
}

void RNListCntrl::sourceCheckBtnDidClick(RNSourceItem* source) {
    if (source != model_->source().get()) return;
    model_->reloadColumn(RNContentListModel::CheckColumn);
    writeMarkedInfo();
}

void RNListCntrl::writeMarkedInfo() {
    if (model_->source()) sources_->updateMarkedItems(model_->source());
}

// ---- Selection and preview ----------------------------------------------------------------

std::optional<std::vector<RNPreviewItemPtr>> RNListCntrl::selectedItemsForPreview(size_t limit) const {
    QModelIndexList rows = tableView_->selectionModel()->selectedRows();
    if (rows.isEmpty()) return std::nullopt;
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    std::vector<RNPreviewItemPtr> out;
    for (const QModelIndex& i : rows) {
        if (out.size() >= limit) break;
        if (auto item = model_->itemAt(i.row())) out.push_back(std::make_shared<RNPreviewItem>(item, i.row()));
    }
    return out;
}

QString RNListCntrl::selectionSummary() const {
    const QModelIndexList rows = tableView_->selectionModel()->selectedRows();
    uint64_t size = 0;
    for (const QModelIndex& i : rows)
        if (auto item = model_->itemAt(i.row())) size += item->size.load();
    if (rows.isEmpty() || size == 0) return {};
    const std::string sizeText = util::RNNumberUtilities::sharedControl().sizeToFormatString(size, 4, true);
    return QString::fromStdString(
        util::RNLocalizedMessage("selected_info", {{"count", uint64_t(rows.size())}, {"size", sizeText}}));
}

void RNListCntrl::prepareToShowPreview() {
    auto items = selectedItemsForPreview();
    previewCntrl_->showPreviewWithArray(items);
    contentCntrl_->selectionDidChange();
    const QString summary = selectionSummary();
    infoFld_->setText(summary);
    emit selectionSummaryChanged(summary);
}

void RNListCntrl::splitViewDidCollapse() {
    if (!previewCntrl_->qlPanelIsVisible()) previewCntrl_->showPreviewWithArray(std::nullopt);
    previewCntrl_->setSplitViewIsCollapsed(true);
}

void RNListCntrl::splitViewDidUncollapse() {
    previewCntrl_->setSplitViewIsCollapsed(false);
    prepareToShowPreview();
}

// ---- Contextual menu ----------------------------------------------------------------------

void RNListCntrl::showContextMenu(const QPoint& pos) {
    const QModelIndex index = tableView_->indexAt(pos);
    clickedRow_ = index.isValid() ? index.row() : -1;
    if (!index.isValid() && tableView_->currentIndex().isValid() && tableView_->selectionModel()->hasSelection())
        clickedRow_ = tableView_->currentIndex().row();  // opened from the keyboard
    if (selectedItemsForMenu().empty()) return;
    menu_->exec(tableView_->viewport()->mapToGlobal(pos));
    clickedRow_ = -1;
}

std::vector<RNLumoWindowItemPtr> RNListCntrl::selectedItemsForMenu() const {
    QList<int> rows;
    for (const QModelIndex& i : tableView_->selectionModel()->selectedRows()) rows.push_back(i.row());
    if (clickedRow_ >= 0 && !rows.contains(clickedRow_)) rows.push_back(clickedRow_);
    std::sort(rows.begin(), rows.end());
    std::vector<RNLumoWindowItemPtr> out;
    for (int r : rows)
        if (auto item = model_->itemAt(r)) out.push_back(item);
    return out;
}

void RNListCntrl::contextualMenuAction(int tag) {
    const auto items = selectedItemsForMenu();
    if (items.empty()) return;
    switch (tag) {
        case kTagReveal: {
            std::vector<std::string> paths;
            for (const auto& i : items) paths.push_back(i->url);
            revealInFileManager(paths);
            break;
        }
        case kTagOpen:
            for (const auto& i : items) openWithDefaultApplication(i->url);
            break;
        case kTagCopyName:
            if (items.size() == 1) QApplication::clipboard()->setText(items.front()->displayName());
            break;
        case kTagCopyPath: {
            if (items.size() != 1) break;
            // The real path as the file system's bytes decode, never its display form ("\xE9"
            // is four other bytes that may name another file). Clipboard text is Unicode: a byte
            // that is not UTF-8 cannot travel in it exactly.
            const std::string& path = items.front()->url;
            QApplication::clipboard()->setText(QFile::decodeName(QByteArray(path.data(), qsizetype(path.size()))));
            break;
        }
        case kTagInvert:
        case kTagUnmark:
        case kTagMark:
        case kTagToggle: markMenuItemAction(tag); break;
        default: break;
    }
}

void RNListCntrl::markMenuItemAction(int tag) {
    const auto items = selectedItemsForMenu();
    if (tag == kTagToggle) {
        const bool allMarked = std::all_of(items.begin(), items.end(), [](const auto& i) { return i->isMarked.load(); });
        tag = allMarked ? kTagUnmark : kTagMark;
    }
    for (const auto& item : items) {
        if (tag == kTagInvert) item->isMarked = !item->isMarked.load();
        else if (tag == kTagUnmark) item->isMarked = false;
        else if (tag == kTagMark) item->isMarked = true;
    }
    model_->reloadColumn(RNContentListModel::CheckColumn);
    if (QAccessible::isActive()) {
        // One pass over the rows, however many items changed.
        std::unordered_set<const RNLumoWindowItem*> changed;
        for (const auto& item : items) changed.insert(item.get());
        for (int r = 0; r < model_->rowCount(); ++r)
            if (changed.count(model_->itemAt(r).get())) announceMarkChanged(tableView_, r);
    }
    writeMarkedInfo();
}

// ---- The erase ----------------------------------------------------------------------------

namespace {
bool isFolder(const RNLumoWindowItem& item) {
    struct stat st {};
    return ::lstat(item.url.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

void RNListCntrl::deleteBtnDidClick() {
    if (deleteItemsCntrl_ || moving_) return;  // one erase at a time, and not during a put back
    // The marked items of every trash, read here on the main thread (where `children` lives).
    std::vector<std::pair<RNSourceItemPtr, std::vector<RNLumoWindowItemPtr>>> marked;
    for (const auto& source : sources_->sourceItems()) {
        std::vector<RNLumoWindowItemPtr> items;
        for (const auto& c : source->children)
            if (c->isMarked.load()) items.push_back(c);
        if (!items.empty()) marked.emplace_back(source, std::move(items));
    }
    auto totals = std::make_shared<EraseTotals>();
    totals_ = totals;
    QWidget* window = tableView_->window();
    const ui::RNMainThreadPath path(this);
    listOperationQueue().addOperation([this, path, marked, window, totals] {
        erase::RNItemList toErase;
        bool pending = false;
        auto& center = RNNotificationCenter::defaultCenter();
        for (const auto& [source, items] : marked) {
            uint64_t size = 0, count = 0;
            bool sourcePending = false;
            {
                // Under the source's lock: a walk that ends now either ended before this check
                // or announces itself to the observer added here.
                std::lock_guard g(source->lock);
                for (const auto& item : items) {
                    const bool folder = isFolder(*item);
                    if (folder && !item->sizeIsKnown.load()) sourcePending = true;
                    size += item->size.load();
                    count += item->actualCount.load() + (folder ? 1 : 0);
                }
                if (sourcePending) {
                    pending = true;
                    {
                        std::lock_guard e(totals->mutex);
                        ++totals->calculatingSourcesCount;
                    }
                    auto tokenHolder = std::make_shared<erase::RNObserverToken>(0);
                    *tokenHolder = center.addObserver(
                        erase::kUpdateCountAndSizeToDelete, source.get(),
                        [totals, items, tokenHolder](const RNNotification&) {
                            RNNotificationCenter::defaultCenter().removeObserver(*tokenHolder);
                            uint64_t lateSize = 0, lateCount = 0;
                            for (const auto& item : items) {
                                lateSize += item->size.load();
                                lateCount += item->actualCount.load();
                            }
                            bool post;
                            {
                                std::lock_guard e(totals->mutex);
                                totals->totSizeToErase += lateSize;
                                totals->totCountToErase += lateCount;
                                if (totals->calculatingSourcesCount > 0) --totals->calculatingSourcesCount;
                                post = totals->calculatingSourcesCount == 0 && totals->sessionAsked;
                            }
                            if (post) totals->postFinalTotals();
                        });
                    std::lock_guard e(totals->mutex);
                    totals->tokens.push_back(*tokenHolder);
                }
            }
            if (!sourcePending) {
                std::lock_guard e(totals->mutex);
                totals->totSizeToErase += size;
                totals->totCountToErase += count;
            }
            for (const auto& item : items) {
                files::RNItemToErase record;
                record.url = item->url;
                record.size = item->size.load();
                record.count = item->actualCount.load();
                toErase.push_back(std::move(record));
            }
        }
        const bool anything = !toErase.empty();
        uint64_t size, count;
        {
            std::lock_guard e(totals->mutex);
            size = pending ? 0 : totals->totSizeToErase;
            count = pending ? 0 : totals->totCountToErase;
        }
        // Dropped with the window: its destructor lets go of the observers made here.
        path.post([this, anything, toErase, size, count, window, totals] {
            if (!anything) {
                ++clickedTimes_;
                if (clickedTimes_ == 1) QApplication::beep();
                else erase::RNErrorDelegate::sharedControl().showError(std::string("no_marked_items"), std::string());
                return;
            }
            clickedTimes_ = 0;
            auto session = erase::RNDeleteItems::create();
            deleteItemsCntrl_ = session;
            const ui::RNMainThreadPath back(this);
            auto& center = RNNotificationCenter::defaultCenter();
            stopObserver_ = center.addObserver(erase::kStopWorking, session.get(), [this, back](const RNNotification& note) {
                back.post([this, copy = note] { stopWorking(copy); });
            });
            responseObserver_ = center.addObserver(erase::kWaitForResponse, session.get(), [this, back](const RNNotification& note) {
                back.post([this, copy = note] { waitingForResponse(copy); });
            });
            const RNValue list = erase::itemListValue(toErase);
            session->askToContinue(RNDictionary{{"itemsToErase", list},
                                                {"isLumoErase", true},
                                                {"isAllDisks", false},
                                                {"volumeName", ""},
                                                {"size", size},
                                                {"count", count},
                                                {"window", erase::windowValue(window)},
                                                {"itemsDict", RNDictionary{{"itemsToErase", list}, {"isLumoErase", true}}}});
            // The session reads a count of 0 as "still measuring" and waits for the totals:
            // they are announced once final, also when they are 0.
            bool post;
            {
                std::lock_guard e(totals->mutex);
                totals->sessionAsked = true;
                post = count == 0 && totals->calculatingSourcesCount == 0;
            }
            if (post) totals->postFinalTotals();
        });
    });
}

void RNListCntrl::EraseTotals::postFinalTotals() {
    uint64_t size, count;
    {
        std::lock_guard e(mutex);
        size = totSizeToErase;
        count = totCountToErase;
    }
    RNNotificationCenter::defaultCenter().postNotification(erase::kUpdateCountAndSizeToDelete, nullptr,
                                                           RNDictionary{{"size", size}, {"count", count}});
}

void RNListCntrl::waitingForResponse(const RNNotification& note) {
    if (responseObserver_) RNNotificationCenter::defaultCenter().removeObserver(responseObserver_);
    responseObserver_ = 0;
    if (!deleteItemsCntrl_) return;
    if (!note.info("canContinue").boolValue()) {
        // Declined: the session ends here (it announces no "stopWorking" for a declined erase
        // from this window), and the window is as it was before the button was pressed: it
        // closes, and the tray takes its entries back.
        stopWorking(RNNotification{erase::kStopWorking, deleteItemsCntrl_.get(), std::nullopt});
        return;
    }
    contentCntrl_->setWindowLevel(0);
    const erase::RNItemList* items = erase::itemListIf(note.info("itemsDict")["itemsToErase"]);
    std::optional<erase::RNItemList> array;
    if (items) array = *items;
    // An automatic clean-up pass of this process lets go of the erase engine first (after the
    // item in hand); the main thread does not wait for it.
    const ui::RNMainThreadPath path(this);
    erase::RNAutoCleanup::stopAllThen([this, path, session = deleteItemsCntrl_, array = std::move(array)] {
        path.post([this, session, array] {
            if (deleteItemsCntrl_ != session) return;
            eraseGuard_ = std::make_unique<erase::RNUserEraseGuard>();
            session->proceedToEraseWithArray(array);
        });
    });
}

void RNListCntrl::stopWorking(const RNNotification& note) {
    if (stopObserver_) RNNotificationCenter::defaultCenter().removeObserver(stopObserver_);
    stopObserver_ = 0;
    if (responseObserver_) RNNotificationCenter::defaultCenter().removeObserver(responseObserver_);
    responseObserver_ = 0;
    deleteItemsCntrl_.reset();
    eraseGuard_.reset();
    const uint64_t erased = note.info("erasedCount").uintValue();
    if (erased == 0) contentCntrl_->setWindowLevel(8);
    emit eraseEnded(erased);
}

}  // namespace quillo::mainwindow

// ---- Put Back, put and undo --------------------------------------------------------------------

namespace quillo::mainwindow {

namespace {
// One move at a time, away from the list queue: a question may keep it waiting for the user.
erase::RNOperationQueue& moveOperationQueue() { return erase::RNOperationQueue::named("putBackOperationQueue"); }

std::string homeTrashDir() {
    return files::canonicalPath(files::RNFilesUtilities::sharedControl().trashLocator().homeTrashDir());
}

// The top folder of the volume of a trash folder ($topdir/.Trash-$uid or $topdir/.Trash/$uid).
std::string topdirOfTrash(const std::string& trashDir) {
    const std::string parent = files::deletingLastPathComponent(trashDir);
    if (files::lastPathComponent(trashDir).rfind(".Trash-", 0) == 0) return parent;
    return files::deletingLastPathComponent(parent);
}

using TrashRef = RNListCntrl::TrashRef;

std::vector<files::TrashedItem> describe(const std::vector<TrashRef>& refs) {
    const std::string home = homeTrashDir();
    std::vector<files::TrashedItem> items;
    for (const auto& r : refs)
        items.push_back(files::describeTrashedItem(r.trashDir, r.name, r.topdir, files::canonicalPath(r.trashDir) == home));
    return items;
}

std::string failureLine(const std::string& path, const std::string& error) {
    return ui::displayPath(path).toStdString() + ": " + error;
}
}  // namespace

void RNListCntrl::putBackItems(const std::vector<RNLumoWindowItemPtr>& items) {
    // One change of the trashes at a time: an erase in progress holds its list of items.
    if (moving_ || isErasing()) return;
    if (items.empty()) {
        QApplication::beep();
        infoFld_->setText(ui::L("nothing_to_put_back"));
        return;
    }
    // Each item's trash and volume, read here where the sources live.
    std::vector<TrashRef> refs;
    for (const auto& item : items) {
        const std::string filesDir = files::deletingLastPathComponent(item->url);
        std::string topdir;
        for (const auto& source : sources_->sourceItems())
            if (source->url == filesDir) topdir = source->volumeUrl;
        const std::string trashDir = files::deletingLastPathComponent(filesDir);
        refs.push_back({trashDir, item->name, topdir.empty() ? topdirOfTrash(trashDir) : topdir});
    }
    runRestore(std::move(refs), std::nullopt);
}

void RNListCntrl::runRestore(std::vector<TrashRef> refs, std::optional<std::string> toDir) {
    auto stopFlag = std::make_shared<std::atomic<bool>>(false);
    moveStop_ = stopFlag;
    const auto started = std::chrono::steady_clock::now();
    const auto delay = movePanelDelay_;
    const ui::RNMainThreadPath path(this);
    runMove([refs, toDir, stopFlag, started, delay, path, self = this](const std::atomic<bool>&) {
        MoveResult r;
        r.restoring = true;
        r.moved.wasRestore = true;
        erase::RNRestoreItems::Options options;
        options.stop = stopFlag.get();
        options.toDir = toDir;
        // Progress comes only from a copy to another file system: the panel once it takes long.
        auto lastShown = std::chrono::steady_clock::time_point{};
        options.progress = [&](uint64_t bytes, uint64_t items) {
            const auto now = std::chrono::steady_clock::now();
            if (now - started < delay || now - lastShown < std::chrono::milliseconds(100)) return;
            lastShown = now;
            // `self` is used on the main thread only, while the path says it lives.
            path.post([self, bytes, items] { self->showMoveProgress(bytes, items); });
        };
        erase::RNRestoreItems restorer(options);
        for (const auto& o : restorer.restore(describe(refs))) {
            using S = files::RestoreStatus;
            if (o.result.status == S::Restored) r.moved.restoredPaths.push_back(o.result.destination);
            else if (!toDir && o.item.infoMissing && o.result.status == S::Refused)
                r.needFolder.push_back({o.item.trashDir, o.item.name, o.item.topdir});
            else if (o.result.status == S::Refused || o.result.status == S::Failed)
                r.failures.push_back(failureLine(o.item.originalPath.value_or(o.item.name), o.result.error));
        }
        return r;
    });
}

void RNListCntrl::showMoveProgress(uint64_t bytes, uint64_t items) {
    if (!moving_) return;  // a late report of a move that has ended
    if (!movePanel_) {
        auto panel = std::make_unique<ui::RNProgressWindowCntrl>();
        // Stop: the copy ends at its next entry, the partial copy goes, the item stays whole.
        if (panel->window()) panel->window()->countTxt->setText(ui::L("put_back_copied_label"));
        if (panel->window())
            connect(panel->window(), &ui::RNProgressWindow::stopRequested, this, [stop = moveStop_] {
                if (stop) stop->store(true);
            });
        movePanel_ = std::move(panel);
        movePanel_->setMainText(util::RNLocalizedString("putting_back_str"));
        movePanel_->setInfoText("");
        movePanel_->startIndeterminateAnimation();
        movePanel_->show(tableView_->window());
    }
    auto& numbers = util::RNNumberUtilities::sharedControl();
    movePanel_->setCountText(util::RNLocalizedMessage("put_back_copied_str", {{"count", items}}));
    movePanel_->setSizeText(numbers.sizeToFormatString(bytes, 4, true));
}

void RNListCntrl::chooseFolderFor(std::vector<TrashRef> refs) {
    auto* dialog = new QFileDialog(tableView_->window(), ui::L("put_back_to"));
    dialog->setObjectName(QStringLiteral("putBackTo"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, ui::L("put_back_here_btn"));
    dialog->setDirectory(QDir::homePath());
    connect(dialog, &QFileDialog::fileSelected, this, [this, refs = std::move(refs)](const QString& folder) {
        if (folder.isEmpty() || moving_ || isErasing()) return;
        runRestore(refs, std::string(QFile::encodeName(folder).constData()));
    });
    dialog->open();
}

void RNListCntrl::putPaths(const std::vector<std::string>& paths) {
    if (moving_ || isErasing() || paths.empty()) return;
    runMove([paths](const std::atomic<bool>&) {
        MoveResult r;
        erase::RNRestoreItems putter(erase::RNRestoreItems::Options{});
        const auto results = putter.put(paths);
        for (size_t i = 0; i < results.size(); ++i) {
            if (results[i].ok) r.moved.trashed.emplace_back(results[i].trashDir, results[i].name);
            else r.failures.push_back(failureLine(i < paths.size() ? paths[i] : results[i].path, results[i].error));
        }
        return r;
    });
}

void RNListCntrl::undoLast() {
    if (moving_ || isErasing() || !lastMoved_) {
        QApplication::beep();
        if (!moving_) infoFld_->setText(ui::L("nothing_to_undo"));
        return;
    }
    const Moved last = *lastMoved_;
    lastMoved_.reset();
    if (last.wasRestore) {
        // Put back: they go to the trash again.
        runMove([last](const std::atomic<bool>&) {
            MoveResult r;
            r.undo = true;
            erase::RNRestoreItems putter(erase::RNRestoreItems::Options{});
            const auto results = putter.put(last.restoredPaths);
            for (size_t i = 0; i < results.size(); ++i)
                if (!results[i].ok) r.failures.push_back(failureLine(last.restoredPaths[i], results[i].error));
            return r;
        });
        return;
    }
    // Put: they come back where they were.
    runMove([last](const std::atomic<bool>& stop) {
        MoveResult r;
        r.undo = true;
        r.restoring = true;
        std::vector<TrashRef> refs;
        for (const auto& [trashDir, name] : last.trashed) refs.push_back({trashDir, name, topdirOfTrash(trashDir)});
        erase::RNRestoreItems::Options options;
        options.stop = &stop;
        erase::RNRestoreItems restorer(options);
        for (const auto& o : restorer.restore(describe(refs))) {
            using S = files::RestoreStatus;
            if (o.result.status == S::Refused || o.result.status == S::Failed)
                r.failures.push_back(failureLine(o.item.originalPath.value_or(o.item.name), o.result.error));
        }
        return r;
    });
}

void RNListCntrl::runMove(std::function<MoveResult(const std::atomic<bool>&)> work) {
    moving_ = true;
    putBack_->setEnabled(false);
    // A question about a conflict must not open under a window that stays on top.
    contentCntrl_->setWindowLevel(0);
    ui::runThen(
        moveOperationQueue(), this, [work = std::move(work)](const std::atomic<bool>& stop) { return work(stop); },
        [this](MoveResult result) { moveDidEnd(result); });
}

void RNListCntrl::moveDidEnd(const MoveResult& r) {
    moving_ = false;
    moveStop_.reset();
    if (movePanel_) {
        movePanel_->close();
        movePanel_.reset();
    }
    putBack_->setEnabled(true);
    if (!isErasing()) contentCntrl_->setWindowLevel(8);
    // Undone only while the window is open: a move that ended after it closed is not kept.
    if (!r.undo && tableView_->window()->isVisible() && (!r.moved.restoredPaths.empty() || !r.moved.trashed.empty()))
        lastMoved_ = r.moved;
    undo_->setText(lastMoved_ ? ui::L(lastMoved_->wasRestore ? "undo_put_back" : "undo_put") : QString());
    if (!r.failures.empty()) {
        auto* box = new QMessageBox(QMessageBox::Warning, tableView_->window()->windowTitle(),
                                    QString::fromStdString(util::RNLocalizedMessage(
                                        r.restoring ? "put_back_failed_str" : "put_failed_str", {{"count", uint64_t(r.failures.size())}})),
                                    QMessageBox::Ok, tableView_->window());
        box->setObjectName(QStringLiteral("moveFailures"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        // The first few reasons; how many more there are after them.
        constexpr size_t kShown = 8;
        QStringList lines;
        for (size_t i = 0; i < r.failures.size() && i < kShown; ++i) lines << QString::fromStdString(r.failures[i]);
        if (r.failures.size() > kShown)
            lines << QString::fromStdString(util::RNLocalizedMessage("and_more", {{"count", uint64_t(r.failures.size() - kShown)}}));
        box->setInformativeText(lines.join(QLatin1Char('\n')));
        box->open();
    }
    // Those whose original place is unknown: into a folder the user chooses.
    if (!r.needFolder.empty()) chooseFolderFor(r.needFolder);
    // The trashes changed: this window's lists, and the tray's rows when next shown.
    RNVolumeListModel::sharedModel().invalidateMeasurements();
    sources_->refreshAction();
    emit movingEnded();
}

}  // namespace quillo::mainwindow
