// The left pane of the Lumo Window: the list of trashes over RNSourceListModel, with the row
// cell (icon badged with a full or empty trash, name, count and size, tri-state check button,
// marked pill, spinner and gathering label), the selection rules (an empty trash cannot be
// selected, a row cannot be deselected), refresh, and the reaction to mounts.
#pragma once

#include "erase/RNNotificationCenter.h"
#include "mainwindow/RNSourceListModel.h"

#include <QListView>
#include <QObject>
#include <QStyledItemDelegate>
#include <QTimer>

#include <memory>
#include <vector>

namespace quillo::mainwindow {

// The name of the trash last selected (for the window title while this pane is collapsed).
void setCurrentSelectedSourceName(const QString& name);
QString currentSelectedSourceName();

// The row cell, drawn by a delegate (90 pixels high).
class RNSourceTableCellView : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 90;
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    static QRect checkBtnRect(const QRect& cell);
    // The marked pill as an image: a rounded rectangle in the highlight colour with the text.
    // On a selected row the colours swap, so that the pill stands out from the selection.
    static QPixmap imageWithString(const QString& text, const QPalette& palette, int maxWidth, bool onSelection = false);
    int spinnerStep = 0;

signals:
    void checkBtnAction(int row);
};

class RNLumoWindowSourceViewCntrl : public QObject {
    Q_OBJECT
public:
    explicit RNLumoWindowSourceViewCntrl(QWidget* parentWidget);
    ~RNLumoWindowSourceViewCntrl() override;

    QListView* tableView() const { return tableView_; }
    RNSourceListModel* model() const { return model_; }
    int64_t lastSelectedRow() const { return lastSelectedRow_; }
    bool isCollapsed() const { return isCollapsed_; }

    // Set-up: lists every trash in the background.
    void viewDidLoad();
    void windowWillClose();
    // Lists every trash again (the window is shown again after it was closed).
    void restart();
    void refreshAction();
    void setCollapsed(bool collapsed);
    // Selects a row if the rules allow it.
    void selectRow(int row);
    // The check button of a row.
    void checkBtnAction(int row);
    // The content list changed the marks of a source.
    void updateMarkedInfo(const RNSourceItemPtr& source);

signals:
    // The content list must show this source.
    void showSelectedItems(const quillo::mainwindow::RNSourceItemPtr& source);
    // All of a shown source's items were marked or unmarked with its row button.
    void sourceCheckBtnDidClick(quillo::mainwindow::RNSourceItem* source, bool mark);

private:
    void tableViewSelectionDidChange();
    void postShowNotificationWithSource(const RNSourceItemPtr& source);
    void animateSpinners();
    bool eventFilter(QObject* watched, QEvent* event) override;

    RNSourceListModel* model_;
    QListView* tableView_;
    RNSourceTableCellView* cell_;
    QTimer spinnerTimer_;
    int64_t lastSelectedRow_ = -1;
    bool isCollapsed_ = false;
    bool adjustingSelection_ = false;
    std::vector<erase::RNObserverToken> observers_;
};

}  // namespace quillo::mainwindow
