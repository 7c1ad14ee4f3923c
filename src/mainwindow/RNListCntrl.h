// The content list of the Lumo Window: the items of the trash selected in the source list, in
// four sortable columns, with check boxes, the contextual menu, the selection summary, the
// preview of the selected rows, and the erase of every marked item of every trash in one
// erase session.
#pragma once

#include "erase/RNCleanupLock.h"
#include "erase/RNDeleteItems.h"
#include "erase/RNGenericProgressWindowCntrl.h"
#include "erase/RNNotificationCenter.h"
#include "mainwindow/RNContentListModel.h"
#include "mainwindow/RNPreviewItem.h"
#include "mainwindow/RNSourceListModel.h"

#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableView>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QStackedWidget;

namespace quillo::erase {
class RNOperationQueue;
}

namespace quillo::mainwindow {

class RNItemPreviewCntrl;
class RNContentViewCntrl;

// The list work queue, made on first use.
erase::RNOperationQueue& listOperationQueue();

// The date column's cell: the style follows the column's width.
class RNDateCellView : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    static QString drawDate(double seconds, int width);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// The original location's cell: a long path keeps its end (the folder and the name) in view.
class RNPlaceCellView : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideLeft;
    }
};

// The table: the space bar opens the large preview (or beeps with nothing selected) and takes
// no part in type-to-select.
class RNContentTableView : public QTableView {
    Q_OBJECT
public:
    using QTableView::QTableView;
    void reloadVisibleRows();

signals:
    void quickLookAction();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyboardSearch(const QString& search) override;
    // The keyboard's current row is drawn with a ring in the accent colour, across the row.
    void paintEvent(QPaintEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
};

class RNListCntrl : public QObject {
    Q_OBJECT
public:
    // Contextual menu tags.
    enum MenuTag {
        kTagReveal = 100,
        kTagOpen = 102,
        kTagCopyName = 103,
        kTagCopyPath = 104,
        kTagInvert = 105,
        kTagUnmark = 106,
        kTagMark = 107,
        kTagToggle = 108,  // marks them all, or unmarks them when all are marked
        kTagPutBack = 109,
        kTagSort = 110,  // the Sort By submenu
    };
    static constexpr size_t kMaxPreviewCards = 64;
    // Column width limits: the name at least kNameMinWidth (it takes what the others leave,
    // two fifths of it going to the original location), the size and the date within theirs.
    static constexpr int kNameMinWidth = 260, kNameMaxWidth = 10000;
    static constexpr int kSizeMinWidth = 60, kSizeMaxWidth = 200;
    static constexpr int kDateMinWidth = 60, kDateMaxWidth = 1000;
    static constexpr int kOriginalMinWidth = 80, kOriginalMaxWidth = 2000;

    RNListCntrl(RNContentViewCntrl* contentCntrl, RNSourceListModel* sources, RNContentTableView* tableView,
                QStackedWidget* listStack, QLabel* infoFld, RNItemPreviewCntrl* previewCntrl);
    ~RNListCntrl() override;

    RNContentListModel* model() const { return model_; }
    RNContentTableView* tableView() const { return tableView_; }
    const RNSourceItemPtr& sourceItem() const { return model_->source(); }
    QMenu* contextualMenu() const { return menu_; }
    // The mark key's action (also in the contextual menu, which shows its key).
    QAction* toggleMarkAction() const { return toggleMark_; }
    bool isErasing() const { return bool(deleteItemsCntrl_); }
    const std::shared_ptr<erase::RNDeleteItems>& deleteItemsCntrl() const { return deleteItemsCntrl_; }
    uint64_t clickedTimes() const { return clickedTimes_; }
    bool firstWasLoaded() const { return firstWasLoaded_; }
    // The sort order in force (column identifier and direction).
    RNSortDescriptor sortDescriptor() const { return current_; }
    // A sort is running or waiting to be shown.
    bool isSorting() const { return sortsInFlight_ > 0; }

    // Shows a source (the source list's selection).
    void showSelectedItems(const RNSourceItemPtr& source);
    // The header was clicked: the same column flips, another starts in its own direction.
    void sortByColumn(int column);
    void sortListed(const std::vector<RNSortDescriptor>& descriptors, bool updateInterface);
    void writeMarkedInfo();
    void prepareToShowPreview();
    // One record per selected row, in row order, at most `limit` (the cards stop at
    // kMaxPreviewCards; the large preview pages through them all).
    std::optional<std::vector<RNPreviewItemPtr>> selectedItemsForPreview(size_t limit = kMaxPreviewCards) const;
    QString selectionSummary() const;
    // The items the contextual menu acts on: the selected rows plus the clicked one.
    std::vector<RNLumoWindowItemPtr> selectedItemsForMenu() const;
    void contextualMenuAction(int tag);
    void setClickedRow(int row) { clickedRow_ = row; }

    // Put Back: the selected rows (or, with none selected, the marked items of every trash) go
    // back where they came from, on a worker; conflicts are asked through the prompt backend.
    // An item of a trash: its trash folder, its name in files/ and its volume's top folder.
    struct TrashRef {
        std::string trashDir, name, topdir;
    };
    QAction* putBackAction() const { return putBack_; }
    // How long a put back copies before its progress panel comes up (tests shorten it).
    void setMovePanelDelay(std::chrono::milliseconds delay) { movePanelDelay_ = delay; }
    void putBackItems(const std::vector<RNLumoWindowItemPtr>& items);
    // Puts files and folders in the trash (dropped on the window), on a worker.
    void putPaths(const std::vector<std::string>& paths);
    // Undoes the last put back (the items go to the trash again) or put (they come back).
    QAction* undoAction() const { return undo_; }
    void undoLast();
    // A put back, put or undo is running.
    bool isMoving() const { return moving_; }
    // The window closed: what it did can no longer be undone.
    void forgetUndo() { lastMoved_.reset(); }

    // The erase button.
    void deleteBtnDidClick();
    void splitViewDidCollapse();
    void splitViewDidUncollapse();
    void showProgressView(bool show);
    void showWhetherAllTrashesAreEmpty();

    // Puts the columns within their limits; the name column takes the width left. When the list
    // itself changed width (`toWidth`) and the columns do not fit in it, the date and the size
    // first give up what their texts do not need.
    void fitColumns(bool toWidth = false);
    // The narrowest the size or the date column gets by itself: a long text of its kind fits.
    int contentWidth(int column) const;
    // The original location column of the shown trash: shown unless the user hid it there.
    bool originalLocationShown() const;
    void setOriginalLocationShown(bool shown);
    QMenu* headerMenu() const { return headerMenu_; }

signals:
    // Emitted on the main thread when an erase session started here has ended.
    void eraseEnded(uint64_t erasedCount);
    void sortFinished();
    // A put back, put or undo has ended and the lists are being read again.
    void movingEnded();
    void selectionSummaryChanged(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateItemsList(RNSourceItem* source);
    void sourceCheckBtnDidClick(RNSourceItem* source);
    void selectItems(const std::vector<RNLumoWindowItem*>& items);
    void markMenuItemAction(int tag);
    void updateCountAndSizeToDelete(const RNSourceItemPtr& source);
    void waitingForResponse(const erase::RNNotification& note);
    void stopWorking(const erase::RNNotification& note);
    void showContextMenu(const QPoint& pos);
    // Shows or hides the column as remembered for the shown trash.
    void applyColumnVisibility();
    // What a put back or put did, for the undo.
    struct Moved {
        bool wasRestore = false;
        std::vector<std::string> restoredPaths;                    // a put back: where they went
        std::vector<std::pair<std::string, std::string>> trashed;  // a put: trash folder and name
    };
    // Runs `work` on the move queue; its result (what moved and what failed) comes back here.
    struct MoveResult {
        Moved moved;
        std::vector<std::string> failures;  // "name: reason", shown to the user
        // Items whose original place is unknown (no info file, or one that cannot be read):
        // put back only into a folder the user chooses.
        std::vector<TrashRef> needFolder;
        bool restoring = false;
        bool undo = false;  // an undo is not undone in turn
    };
    void runMove(std::function<MoveResult(const std::atomic<bool>&)> work);
    // Puts `refs` back, into `toDir` when given, with the progress panel for a long copy.
    void runRestore(std::vector<TrashRef> refs, std::optional<std::string> toDir);
    // The folder chooser for items whose original place is unknown.
    void chooseFolderFor(std::vector<TrashRef> refs);
    // The progress panel of a put back that copies to another file system (main thread).
    void showMoveProgress(uint64_t bytes, uint64_t items);
    void moveDidEnd(const MoveResult& result);

    RNContentViewCntrl* contentCntrl_;
    RNSourceListModel* sources_;
    RNContentListModel* model_;
    RNContentTableView* tableView_;
    QStackedWidget* listStack_;
    QLabel* infoFld_;
    RNItemPreviewCntrl* previewCntrl_;
    QMenu* menu_;
    QMenu* headerMenu_ = nullptr;
    QAction* toggleMark_ = nullptr;
    QAction* putBack_ = nullptr;
    QAction* undo_ = nullptr;
    bool moving_ = false;
    std::optional<Moved> lastMoved_;
    std::chrono::milliseconds movePanelDelay_{std::chrono::milliseconds(700)};
    std::unique_ptr<erase::RNGenericProgressWindowCntrl> movePanel_;
    // The put back in progress stops when set (the panel's Stop, or the window's queue).
    std::shared_ptr<std::atomic<bool>> moveStop_;
    bool fittingColumns_ = false;
    RNSortDescriptor current_{QStringLiteral("name_col"), true};
    bool firstWasLoaded_ = false;
    int clickedRow_ = -1;
    int sortsInFlight_ = 0;
    uint64_t sortTicket_ = 0;
    // What the last applied sort put in order (to skip a re-sort that would change nothing).
    const RNSourceItem* sortedSource_ = nullptr;
    uint64_t sortedGeneration_ = 0;
    RNSortDescriptor sortedBy_;

    // The erase.
    std::shared_ptr<erase::RNDeleteItems> deleteItemsCntrl_;
    // Held while this window's erase runs: an automatic clean-up pass (the timer's) stays away.
    std::unique_ptr<erase::RNUserEraseGuard> eraseGuard_;
    uint64_t clickedTimes_ = 0;
    // The totals of one press of the erase button; written by measuring threads, so shared with
    // the work that outlives this controller.
    struct EraseTotals {
        std::mutex mutex;
        uint64_t totSizeToErase = 0;
        uint64_t totCountToErase = 0;
        uint64_t calculatingSourcesCount = 0;
        bool sessionAsked = false;  // the confirmation is up and listens for late totals
        std::vector<erase::RNObserverToken> tokens;  // observers of the sources still measuring
        void postFinalTotals();
    };
    std::shared_ptr<EraseTotals> totals_;
    erase::RNObserverToken stopObserver_ = 0;
    erase::RNObserverToken responseObserver_ = 0;
};

}  // namespace quillo::mainwindow
