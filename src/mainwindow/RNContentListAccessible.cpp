#include "mainwindow/RNContentListAccessible.h"

#include "mainwindow/RNContentListModel.h"
#include "mainwindow/RNListCntrl.h"

#include <QAccessibleWidget>
#include <QHeaderView>
#include <QPointer>
#include <QWindow>

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace quillo::mainwindow {

namespace {

class TableAccessible;

// A cell of the list, a column header, a row header (the row's item name) or the corner.
class CellAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface, public QAccessibleActionInterface {
public:
    enum Kind { Data, ColumnHeader, RowHeader, Corner };
    CellAccessible(RNContentTableView* view, Kind kind, int row, int column)
        : view_(view), kind_(kind), row_(row), column_(column) {}

    bool isValid() const override {
        if (!view_ || !view_->model()) return false;
        const bool rowOk = row_ >= 0 && row_ < view_->model()->rowCount();
        const bool columnOk = column_ >= 0 && column_ < view_->model()->columnCount();
        switch (kind_) {
            case Data: return rowOk && columnOk;
            case ColumnHeader: return columnOk;
            case RowHeader: return rowOk;
            case Corner: return true;
        }
        return false;
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(view_.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    void setText(QAccessible::Text, const QString&) override {}

    QModelIndex index() const { return view_ && kind_ == Data ? view_->model()->index(row_, column_) : QModelIndex(); }
    bool isCheckBox() const { return kind_ == Data && column_ == RNContentListModel::CheckColumn; }

    QString text(QAccessible::Text t) const override {
        if (!isValid()) return {};
        QAbstractItemModel* model = view_->model();
        switch (kind_) {
            case Data: {
                const QModelIndex i = index();
                if (t == QAccessible::Name) {
                    const QString name = i.data(Qt::AccessibleTextRole).toString();
                    return name.isEmpty() ? i.data(Qt::DisplayRole).toString() : name;
                }
                if (t == QAccessible::Description) return i.data(Qt::AccessibleDescriptionRole).toString();
                if (t == QAccessible::Value && !isCheckBox()) return i.data(Qt::DisplayRole).toString();
                return {};
            }
            case ColumnHeader: {
                if (t == QAccessible::Name) {
                    const QString name = model->headerData(column_, Qt::Horizontal, Qt::AccessibleTextRole).toString();
                    return name.isEmpty() ? model->headerData(column_, Qt::Horizontal, Qt::DisplayRole).toString() : name;
                }
                if (t == QAccessible::Description) return model->headerData(column_, Qt::Horizontal, Qt::ToolTipRole).toString();
                return {};
            }
            case RowHeader:
                return t == QAccessible::Name ? model->index(row_, RNContentListModel::NameColumn).data().toString() : QString();
            case Corner: return {};
        }
        return {};
    }

    QRect rect() const override {
        if (!isValid()) return {};
        if (kind_ == Data) {
            const QRect r = view_->visualRect(index());
            return QRect(view_->viewport()->mapToGlobal(r.topLeft()), r.size());
        }
        if (kind_ == ColumnHeader) {
            QHeaderView* h = view_->horizontalHeader();
            const QRect r(h->sectionViewportPosition(column_), 0, h->sectionSize(column_), h->height());
            return QRect(h->viewport()->mapToGlobal(r.topLeft()), r.size());
        }
        return {};
    }

    QAccessible::Role role() const override {
        switch (kind_) {
            case Data: return isCheckBox() ? QAccessible::CheckBox : QAccessible::Cell;
            case ColumnHeader: return QAccessible::ColumnHeader;
            case RowHeader: return QAccessible::RowHeader;
            case Corner: return QAccessible::Pane;
        }
        return QAccessible::Cell;
    }

    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.disabled = !view_->isEnabled();
        if (kind_ == ColumnHeader) {
            s.invisible = view_->horizontalHeader()->isSectionHidden(column_);
            return s;
        }
        if (kind_ != Data) {
            s.invisible = true;
            return s;
        }
        const QModelIndex i = index();
        QRect viewport = view_->viewport()->rect();
        if (!viewport.intersects(view_->visualRect(i))) s.invisible = s.offscreen = true;
        s.selectable = s.focusable = true;
        s.selected = view_->selectionModel() && view_->selectionModel()->isSelected(i);
        s.focused = view_->hasFocus() && view_->currentIndex().row() == row_;
        if (isCheckBox()) {
            s.checkable = true;
            s.checked = i.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        }
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableCellInterface) return static_cast<QAccessibleTableCellInterface*>(this);
        if (t == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }

    // The cell's place.
    bool isSelected() const override { return state().selected; }
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override;
    int columnIndex() const override { return column_; }
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    // A check box toggles its item's mark; another cell takes the focus to its row; a header
    // sorts by its column.
    QStringList actionNames() const override {
        if (!isValid()) return {};
        if (isCheckBox()) return {toggleAction(), setFocusAction()};
        if (kind_ == Data) return {setFocusAction()};
        if (kind_ == ColumnHeader) return {pressAction()};
        return {};
    }
    void doAction(const QString& name) override {
        if (!isValid()) return;
        const QModelIndex i = index();
        if (name == toggleAction() && isCheckBox()) {
            const bool marked = i.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            view_->model()->setData(i, marked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
            announceMarkChanged(view_.data(), row_);
        } else if (name == setFocusAction() && kind_ == Data) {
            view_->setFocus(Qt::OtherFocusReason);
            view_->selectionModel()->setCurrentIndex(i, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        } else if (name == pressAction() && kind_ == ColumnHeader) {
            emit view_->horizontalHeader()->sectionClicked(column_);
        }
    }
    QStringList keyBindingsForAction(const QString& name) const override {
        if (name == toggleAction() && isCheckBox()) return {QStringLiteral("Ctrl+M")};
        return {};
    }

private:
    QPointer<RNContentTableView> view_;
    Kind kind_;
    int row_, column_;
};

// The table: the view's own widget interface with the table's children and interface.
class TableAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit TableAccessible(RNContentTableView* view) : QAccessibleWidget(view, QAccessible::Table) {}
    ~TableAccessible() override {
        for (const auto& c : connections_) QObject::disconnect(c);
        clear();
    }

    // Structural changes renumber the cells: they are made again when next asked for. (The view
    // may get its model after this interface was made.)
    void followModel() const {
        QAbstractItemModel* model = view()->model();
        if (model == followed_) return;
        for (const auto& c : connections_) QObject::disconnect(c);
        connections_.clear();
        const_cast<TableAccessible*>(this)->clear();
        followed_ = model;
        if (!model) return;
        auto* self = const_cast<TableAccessible*>(this);
        for (auto c : {QObject::connect(model, &QAbstractItemModel::modelReset, view(), [self] { self->clear(); }),
                       QObject::connect(model, &QAbstractItemModel::layoutChanged, view(), [self] { self->clear(); }),
                       QObject::connect(model, &QAbstractItemModel::rowsInserted, view(), [self] { self->clear(); }),
                       QObject::connect(model, &QAbstractItemModel::rowsRemoved, view(), [self] { self->clear(); })})
            connections_.push_back(c);
    }

    RNContentTableView* view() const { return static_cast<RNContentTableView*>(widget()); }
    int rows() const {
        followModel();
        return view()->model() ? view()->model()->rowCount() : 0;
    }
    int columns() const { return view()->model() ? view()->model()->columnCount() : 0; }

    // Qt's numbering: row 0 is the corner and the column headers, column 0 the row headers.
    QAccessibleInterface* childAtIndex(int index) const {
        const int width = columns() + 1;
        if (index < 0 || index >= (rows() + 1) * width) return nullptr;
        if (auto it = cells_.find(index); it != cells_.end())
            if (QAccessibleInterface* cached = QAccessible::accessibleInterface(it->second)) return cached;
        const int row = index / width - 1, column = index % width - 1;
        CellAccessible::Kind kind = row < 0 && column < 0 ? CellAccessible::Corner
                                    : row < 0             ? CellAccessible::ColumnHeader
                                    : column < 0          ? CellAccessible::RowHeader
                                                          : CellAccessible::Data;
        auto* cell = new CellAccessible(view(), kind, row, column);
        cells_[index] = QAccessible::registerAccessibleInterface(cell);
        return cell;
    }
    void clear() {
        for (const auto& [index, id] : cells_) QAccessible::deleteAccessibleInterface(id);
        cells_.clear();
    }

    int childCount() const override { return columns() == 0 ? 0 : (rows() + 1) * (columns() + 1); }
    QAccessibleInterface* child(int index) const override { return childAtIndex(index); }
    int indexOfChild(const QAccessibleInterface* child) const override {
        for (const auto& [index, id] : cells_)
            if (QAccessible::accessibleInterface(id) == child) return index;
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint p = view()->viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex i = view()->indexAt(p);
        return i.isValid() ? cellAt(i.row(), i.column()) : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        const QModelIndex i = view()->currentIndex();
        return view()->hasFocus() && i.isValid() ? cellAt(i.row(), i.column()) : nullptr;
    }
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // QAccessibleTableInterface.
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        if (row < 0 || column < 0 || row >= rows() || column >= columns()) return nullptr;
        return childAtIndex((row + 1) * (columns() + 1) + column + 1);
    }
    QAccessibleInterface* columnHeader(int column) const { return childAtIndex(column + 1); }
    QAccessibleInterface* rowHeader(int row) const { return childAtIndex((row + 1) * (columns() + 1)); }
    int selectedCellCount() const override { return selectedRowCount() * columns(); }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> out;
        for (int row : selectedRows())
            for (int c = 0; c < columns(); ++c) out.push_back(cellAt(row, c));
        return out;
    }
    QString columnDescription(int column) const override {
        QAccessibleInterface* h = columnHeader(column);
        return h ? h->text(QAccessible::Name) : QString();
    }
    QString rowDescription(int row) const override {
        QAccessibleInterface* h = rowHeader(row);
        return h ? h->text(QAccessible::Name) : QString();
    }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return int(selectedRows().size()); }
    int columnCount() const override { return columns(); }
    int rowCount() const override { return rows(); }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        QList<int> out;
        if (!view()->selectionModel()) return out;
        for (const QModelIndex& i : view()->selectionModel()->selectedRows()) out.push_back(i.row());
        std::sort(out.begin(), out.end());
        return out;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override {
        return view()->selectionModel() && view()->selectionModel()->isRowSelected(row, {});
    }
    bool selectRow(int row) override {
        if (row < 0 || row >= rows()) return false;
        view()->selectionModel()->select(view()->model()->index(row, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override {
        if (row < 0 || row >= rows()) return false;
        view()->selectionModel()->select(view()->model()->index(row, 0),
                                         QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        return true;
    }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        if (event->modelChangeType() != QAccessibleTableModelChangeEvent::DataChanged) clear();
    }

private:
    mutable std::unordered_map<int, QAccessible::Id> cells_;
    mutable std::vector<QMetaObject::Connection> connections_;
    mutable QPointer<QAbstractItemModel> followed_;
};

QList<QAccessibleInterface*> CellAccessible::columnHeaderCells() const {
    auto* table = dynamic_cast<TableAccessible*>(parent());
    if (!table || kind_ != Data) return {};
    QAccessibleInterface* h = table->columnHeader(column_);
    return h ? QList<QAccessibleInterface*>{h} : QList<QAccessibleInterface*>{};
}

QList<QAccessibleInterface*> CellAccessible::rowHeaderCells() const {
    auto* table = dynamic_cast<TableAccessible*>(parent());
    if (!table || kind_ != Data) return {};
    QAccessibleInterface* h = table->rowHeader(row_);
    return h ? QList<QAccessibleInterface*>{h} : QList<QAccessibleInterface*>{};
}

QAccessibleInterface* contentListFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("quillo::mainwindow::RNContentTableView") && object && object->isWidgetType())
        return new TableAccessible(static_cast<RNContentTableView*>(object));
    return nullptr;
}

}  // namespace

void announceMarkChanged(RNContentTableView* view, int row) {
    if (!QAccessible::isActive() || !view || !view->model()) return;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(view, changed);
    event.setChild((row + 1) * (view->model()->columnCount() + 1) + RNContentListModel::CheckColumn + 1);
    QAccessible::updateAccessibility(&event);
}

void installContentListAccessibility() {
    static const bool installed = (QAccessible::installFactory(contentListFactory), true);
    (void)installed;
}

}  // namespace quillo::mainwindow
