#include "mainwindow/RNContentViewCntrl.h"

#include "mainwindow/RNContentListAccessible.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNQuickLookPanel.h"
#include "mainwindow/RNSplitView.h"
#include "mainwindow/RNTransparentScroller.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNQtStrings.h"
#include "ui/RNTextColors.h"
#include "ui/RNWorkingProgressView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <cstdint>

namespace quillo::mainwindow {

RNContentViewCntrl::RNContentViewCntrl(RNWindowCntrl* window, RNSourceListModel* sources, QWidget* parent)
    : QWidget(parent), window_(window) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    splitView_ = new RNSplitView(Qt::Horizontal, this);
    splitView_->setObjectName(QStringLiteral("contentSplitView"));
    listStack_ = new QStackedWidget(splitView_);
    listStack_->addWidget(new ui::RNWorkingProgressView(listStack_));
    installContentListAccessibility();  // before the view's interface is first asked for
    tableView_ = new RNContentTableView(listStack_);
    tableView_->setObjectName(QStringLiteral("contentList"));
    tableView_->setAccessibleName(ui::L("content_list_name"));
    tableView_->setFrameShape(QFrame::NoFrame);
    listStack_->addWidget(tableView_);

    auto* previewPane = new QWidget(splitView_);
    previewPane->setAccessibleName(ui::L("preview_pane_name"));
    previewPane->setMinimumWidth(240);
    auto* previewLayout = new QVBoxLayout(previewPane);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    emptyPreviewView_ = new ui::RNSecondaryLabel(previewPane);
    emptyPreviewView_->setText(ui::L("no_selection"));
    emptyPreviewView_->setAlignment(Qt::AlignCenter);
    emptyPreviewView_->setWordWrap(true);
    collectionPreview_ = new QScrollArea(previewPane);
    collectionPreview_->setFrameShape(QFrame::NoFrame);
    collectionPreview_->setFocusPolicy(Qt::NoFocus);  // nothing in it takes keys: no Tab stop
    collectionPreview_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    collectionPreview_->setVerticalScrollBar(new RNTransparentScroller(Qt::Vertical, collectionPreview_));
    previewLayout->addWidget(emptyPreviewView_);
    previewLayout->addWidget(collectionPreview_);
    splitView_->addWidget(listStack_);
    splitView_->addWidget(previewPane);
    splitView_->setCollapsible(0, false);
    splitView_->setCollapsible(1, true);
    splitView_->setStretchFactor(0, 3);
    splitView_->setStretchFactor(1, 1);
    layout->addWidget(splitView_, 1);

    auto* bar = new QWidget(this);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(10, 6, 10, 8);
    pieInfoTextFld_ = new ui::RNSecondaryLabel(bar);
    pieInfoTextFld_->setObjectName(QStringLiteral("selectionSummary"));
    eraseBtn_ = new QPushButton(QIcon::fromTheme(QStringLiteral("edit-delete")), ui::L("erase_marked_btn"), bar);
    eraseBtn_->setObjectName(QStringLiteral("eraseBtn"));
    eraseBtn_->setAccessibleDescription(ui::L("erase_marked_accessible_description"));
    eraseBtn_->setAutoDefault(true);
    eraseBtn_->setDefault(true);
    // Beside the erase button; its key (Ctrl+Backspace) works from anywhere in the window, so
    // the Tab key still goes source list, item list, erase button.
    putBackBtn_ = new QPushButton(ui::L("put_back"), bar);
    putBackBtn_->setObjectName(QStringLiteral("putBackBtn"));
    putBackBtn_->setFocusPolicy(Qt::NoFocus);
    putBackBtn_->setAutoDefault(false);
    barLayout->addWidget(pieInfoTextFld_, 1);
    barLayout->addWidget(putBackBtn_);
    barLayout->addWidget(eraseBtn_);
    layout->addWidget(bar);

    // The empty view and the cards swap places; the stacked pane shows whichever is visible.
    previewCntrl_ = new RNItemPreviewCntrl(collectionPreview_, emptyPreviewView_, this);
    listCntrl_ = new RNListCntrl(this, sources, tableView_, listStack_, pieInfoTextFld_, previewCntrl_);
    connect(eraseBtn_, &QPushButton::clicked, this, &RNContentViewCntrl::deleteItemsAction);
    putBackBtn_->setIcon(listCntrl_->putBackAction()->icon());
    putBackBtn_->setToolTip(listCntrl_->putBackAction()->toolTip() + QStringLiteral(" (") +
                            listCntrl_->putBackAction()->shortcut().toString(QKeySequence::NativeText) + QLatin1Char(')'));
    connect(putBackBtn_, &QPushButton::clicked, listCntrl_->putBackAction(), &QAction::trigger);
    connect(listCntrl_->putBackAction(), &QAction::changed, putBackBtn_,
            [this] { putBackBtn_->setEnabled(listCntrl_->putBackAction()->isEnabled()); });
    connect(listCntrl_, &RNListCntrl::eraseEnded, this, [this] { isDeleting_ = false; });
    connect(splitView_, &RNSplitView::didResizeSubviews, this, &RNContentViewCntrl::splitViewDidResize);

    qlPanel_ = new RNQuickLookPanel(tableView_, window);
    connect(qlPanel_, &RNQuickLookPanel::visibilityWillChange, this,
            [this](bool visible) { previewCntrl_->setQlPanelIsVisible(visible); });
}

RNContentViewCntrl::~RNContentViewCntrl() = default;

void RNContentViewCntrl::deleteItemsAction() {
    isDeleting_ = true;
    listCntrl_->deleteBtnDidClick();
    if (!listCntrl_->isErasing()) isDeleting_ = listCntrl_->isErasing();
}

void RNContentViewCntrl::splitViewDidResize() {
    const bool collapsed = splitView_->isSubviewCollapsed(1);
    if (collapsed && !isCollapsed_) {
        isCollapsed_ = true;
        listCntrl_->splitViewDidCollapse();
    } else if (!collapsed && isCollapsed_) {
        isCollapsed_ = false;
        listCntrl_->splitViewDidUncollapse();
    }
}

bool RNContentViewCntrl::qlPanelIsVisible() const { return qlPanel_->isVisible(); }

void RNContentViewCntrl::quickLookAction() {
    if (qlPanel_->isVisible()) {
        qlPanel_->hide();
        return;
    }
    auto items = listCntrl_->selectedItemsForPreview(SIZE_MAX);
    qlPanel_->setItems(items ? *items : std::vector<RNPreviewItemPtr>{});
    qlPanel_->show();
    qlPanel_->raise();
    qlPanel_->activateWindow();
}

void RNContentViewCntrl::closeQLWindow() {
    if (qlPanel_->isVisible()) qlPanel_->hide();
}

void RNContentViewCntrl::selectionDidChange() {
    if (!qlPanel_->isVisible()) return;
    auto items = listCntrl_->selectedItemsForPreview(SIZE_MAX);
    qlPanel_->setItems(items ? *items : std::vector<RNPreviewItemPtr>{});
}

void RNContentViewCntrl::setWindowLevel(int level) { window_->setWindowLevel(level); }

}  // namespace quillo::mainwindow
