// The preview pane: one card per selected row, kept in step with the selection by inserting and
// removing only the cards that changed (the others keep their widgets and live previews).
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QObject>
#include <QPointer>

#include <optional>
#include <vector>

class QScrollArea;
class QVBoxLayout;
class QWidget;

namespace quillo::mainwindow {

class RNPreview;

class RNItemPreviewCntrl : public QObject {
    Q_OBJECT
public:
    // `cardsArea` holds the cards; `emptyPreviewView` is shown instead when nothing is selected.
    RNItemPreviewCntrl(QScrollArea* cardsArea, QWidget* emptyPreviewView, QObject* parent = nullptr);

    // Records in row order, or nullopt for none.
    void showPreviewWithArray(const std::optional<std::vector<RNPreviewItemPtr>>& array);
    void setSplitViewIsCollapsed(bool collapsed);
    bool splitViewIsCollapsed() const { return splitViewIsCollapsed_; }
    void setQlPanelIsVisible(bool visible) { qlPanelIsVisible_ = visible; }
    bool qlPanelIsVisible() const { return qlPanelIsVisible_; }

    // Cards are made a few per turn of the event loop, so that selecting many rows never holds
    // the main thread for long; the rest wait in `pending`.
    static constexpr size_t kCardsPerTurn = 4;
    bool hasPendingCards() const { return !pending_.empty(); }

    const std::vector<RNPreviewItemPtr>& itemsCollection() const { return itemsCollection_; }
    const std::vector<RNPreview*>& cards() const { return cards_; }
    // For tests and the benchmark: cards made and removed since the start.
    int insertedCards() const { return inserted_; }
    int deletedCards() const { return deleted_; }

private:
    void updateCollectionViewItems(std::vector<RNPreviewItemPtr> array);
    void removeAllCards();
    void makePendingCards();
    void showAppropriateView(bool empty);

    QPointer<QScrollArea> area_;
    QPointer<QWidget> emptyView_;
    QVBoxLayout* layout_ = nullptr;
    std::vector<RNPreviewItemPtr> itemsCollection_;  // sorted by index
    std::vector<RNPreview*> cards_;                  // same order
    std::vector<RNPreviewItemPtr> pending_;          // selected, no card yet; sorted by index
    bool cardsScheduled_ = false;
    bool splitViewIsCollapsed_ = false;
    bool qlPanelIsVisible_ = false;
    bool splitViewWasCollapsed_ = false;
    int inserted_ = 0;
    int deleted_ = 0;
};

}  // namespace quillo::mainwindow
