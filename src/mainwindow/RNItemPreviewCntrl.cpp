#include "mainwindow/RNItemPreviewCntrl.h"

#include "mainwindow/RNPreview.h"

#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace quillo::mainwindow {

RNItemPreviewCntrl::RNItemPreviewCntrl(QScrollArea* cardsArea, QWidget* emptyPreviewView, QObject* parent)
    : QObject(parent), area_(cardsArea), emptyView_(emptyPreviewView) {
    auto* content = new QWidget;
    layout_ = new QVBoxLayout(content);
    layout_->setContentsMargins(8, 8, 14, 8);  // room for the scroller's knob
    layout_->setSpacing(8);
    layout_->addStretch(1);
    area_->setWidget(content);
    area_->setWidgetResizable(true);
    showAppropriateView(true);
}

void RNItemPreviewCntrl::showAppropriateView(bool empty) {
    if (emptyView_) emptyView_->setVisible(empty);
    if (area_) area_->setVisible(!empty);
}

void RNItemPreviewCntrl::setSplitViewIsCollapsed(bool collapsed) { splitViewIsCollapsed_ = collapsed; }

void RNItemPreviewCntrl::showPreviewWithArray(const std::optional<std::vector<RNPreviewItemPtr>>& array) {
    const bool empty = !array || array->empty();
    showAppropriateView(empty);
    if (!splitViewIsCollapsed_) {
        if (!empty) {
            if ((!itemsCollection_.empty() || !pending_.empty()) && !splitViewWasCollapsed_) {
                updateCollectionViewItems(*array);
            } else {
                removeAllCards();
                updateCollectionViewItems(*array);
            }
        } else if (!itemsCollection_.empty() || !pending_.empty()) {
            removeAllCards();
        }
        splitViewWasCollapsed_ = false;
    } else if (qlPanelIsVisible_) {
        // The cards' records follow the panel; their widgets are rebuilt when the pane opens.
        splitViewWasCollapsed_ = true;
        itemsCollection_ = array ? *array : std::vector<RNPreviewItemPtr>{};
    }
}

void RNItemPreviewCntrl::removeAllCards() {
    for (RNPreview* card : cards_) {
        card->deleteLater();
        card->hide();
        ++deleted_;
    }
    cards_.clear();
    itemsCollection_.clear();
    pending_.clear();
}

void RNItemPreviewCntrl::updateCollectionViewItems(std::vector<RNPreviewItemPtr> array) {
    auto sameItem = [](const RNPreviewItemPtr& a, const RNPreviewItemPtr& b) {
        return !a->item.owner_before(b->item) && !b->item.owner_before(a->item);
    };
    // Cards whose item is no longer selected go; the others stay as they are.
    for (size_t i = itemsCollection_.size(); i-- > 0;) {
        const bool kept = std::any_of(array.begin(), array.end(), [&](const RNPreviewItemPtr& n) {
            return sameItem(n, itemsCollection_[i]);
        });
        if (kept) continue;
        cards_[i]->hide();
        cards_[i]->deleteLater();
        ++deleted_;
        cards_.erase(cards_.begin() + std::ptrdiff_t(i));
        itemsCollection_.erase(itemsCollection_.begin() + std::ptrdiff_t(i));
    }
    // The kept cards take their new rows (a re-sort moves them).
    for (size_t i = 0; i < itemsCollection_.size(); ++i)
        for (const auto& n : array)
            if (sameItem(n, itemsCollection_[i])) itemsCollection_[i]->index = n->index;
    // Records still waiting for a card: those no longer selected are dropped, the others take
    // their new rows.
    std::vector<RNPreviewItemPtr> waiting;
    for (const auto& n : array) {
        const bool carded = std::any_of(itemsCollection_.begin(), itemsCollection_.end(),
                                        [&](const RNPreviewItemPtr& c) { return sameItem(n, c); });
        if (!carded) waiting.push_back(n);
    }
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const RNPreviewItemPtr& a, const RNPreviewItemPtr& b) { return a->index < b->index; });
    pending_ = std::move(waiting);
    makePendingCards();
}

void RNItemPreviewCntrl::makePendingCards() {
    // New records get a card each, at the place their row gives them.
    const size_t now = std::min(pending_.size(), kCardsPerTurn);
    for (size_t k = 0; k < now; ++k) {
        const RNPreviewItemPtr& n = pending_[k];
        auto* card = new RNPreview;
        card->setRepresentedObject(n);
        itemsCollection_.push_back(n);
        cards_.push_back(card);
        ++inserted_;
    }
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(now));
    if (!pending_.empty() && !cardsScheduled_) {
        cardsScheduled_ = true;
        QTimer::singleShot(0, this, [this] {
            cardsScheduled_ = false;
            if (!pending_.empty() && !splitViewIsCollapsed_) makePendingCards();
        });
    }
    // Order by row; the layout follows.
    std::vector<size_t> order(itemsCollection_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return itemsCollection_[a]->index < itemsCollection_[b]->index; });
    std::vector<RNPreviewItemPtr> items;
    std::vector<RNPreview*> cards;
    for (size_t i : order) {
        items.push_back(itemsCollection_[i]);
        cards.push_back(cards_[i]);
    }
    itemsCollection_ = std::move(items);
    cards_ = std::move(cards);
    for (size_t i = 0; i < cards_.size(); ++i) {
        if (layout_->indexOf(cards_[i]) != int(i)) {
            layout_->removeWidget(cards_[i]);
            layout_->insertWidget(int(i), cards_[i]);
        }
        cards_[i]->show();
    }
}

}  // namespace quillo::mainwindow
