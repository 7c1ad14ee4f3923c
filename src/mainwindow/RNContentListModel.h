// The model behind the Lumo Window's content list: the children of one RNSourceItem in their
// current order, in five columns (check box, name with icon, original location, size, date
// added). It keeps no
// copy: it shows the source's `children` and writes the marks back into the items.
//
// Sorting runs off the main thread (sortedChildren is pure); the list controller hands the
// result back with replaceChildren.
#pragma once

#include "mainwindow/RNSourceItem.h"

#include <QAbstractTableModel>

#include <vector>

namespace quillo::mainwindow {

class RNContentListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { CheckColumn = 0, NameColumn, OriginalColumn, SizeColumn, DateColumn, ColumnCount };
    enum Role { ItemRole = Qt::UserRole + 1, SecondsRole };

    explicit RNContentListModel(QObject* parent = nullptr);

    static QString identifierOfColumn(int column);  // "check_col", "name_col", "original_location_col", "size_col", "date_added_col"
    static int columnOfIdentifier(const QString& identifier);  // 0 when none
    // The prototype of each column: check and size descending, name, place and date ascending.
    static RNSortDescriptor prototypeOfColumn(int column);
    // The children sorted by the descriptors (stable; names compared case-insensitively in the
    // locale's order; unknown dates and places after all known ones).
    static std::vector<RNLumoWindowItemPtr> sortedChildren(std::vector<RNLumoWindowItemPtr> children,
                                                           const std::vector<RNSortDescriptor>& descriptors);

    void setSource(const RNSourceItemPtr& source);
    const RNSourceItemPtr& source() const { return source_; }
    // The source's children changed (added, removed, re-sorted): shows them again.
    void reload();
    // Puts `children` - the shown source's children in a new order - in place as one layout
    // change: the selection and the current row follow their items. Cheaper than a reset.
    // Gives the old order back.
    std::vector<RNLumoWindowItemPtr> reorder(std::vector<RNLumoWindowItemPtr> children);
    // Rows first..last are about to be added at the end of the shown source's children, and
    // have been added.
    void beginAppend(int first, int last);
    void endAppend();
    // Redraws the check boxes, or the sizes, of every row.
    void reloadColumn(int column);
    RNLumoWindowItemPtr itemAt(int row) const;
    int rowOfItem(const RNLumoWindowItem* item) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    // A row's check box was changed by the user.
    void checkBtnInListDidClick(quillo::mainwindow::RNLumoWindowItem* item);

private:
    RNSourceItemPtr source_;
};

}  // namespace quillo::mainwindow
