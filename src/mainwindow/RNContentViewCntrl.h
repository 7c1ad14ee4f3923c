// The right pane of the Lumo Window: the content list and the preview pane side by side (only
// the preview pane collapses), the selection summary, the erase button, and the large preview
// panel that the space bar toggles.
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QPointer>
#include <QWidget>

#include <vector>

class QLabel;
class QPushButton;
class QScrollArea;
class QStackedWidget;

namespace quillo::mainwindow {

class RNContentTableView;
class RNItemPreviewCntrl;
class RNListCntrl;
class RNQuickLookPanel;
class RNSourceListModel;
class RNSplitView;
class RNWindowCntrl;

class RNContentViewCntrl : public QWidget {
    Q_OBJECT
public:
    RNContentViewCntrl(RNWindowCntrl* window, RNSourceListModel* sources, QWidget* parent = nullptr);
    ~RNContentViewCntrl() override;

    RNListCntrl* listCntrl() const { return listCntrl_; }
    RNItemPreviewCntrl* previewCntrl() const { return previewCntrl_; }
    RNContentTableView* tableView() const { return tableView_; }
    QPushButton* eraseBtn() const { return eraseBtn_; }
    QPushButton* putBackBtn() const { return putBackBtn_; }
    QLabel* pieInfoTextFld() const { return pieInfoTextFld_; }
    RNSplitView* splitView() const { return splitView_; }
    RNQuickLookPanel* quickLookPanel() const { return qlPanel_; }
    bool isDeleting() const { return isDeleting_; }
    bool isCollapsed() const { return isCollapsed_; }

    void deleteItemsAction();
    // Toggles the large preview panel.
    void quickLookAction();
    void closeQLWindow();
    bool qlPanelIsVisible() const;
    // The large preview, when shown, follows the selection (all of it).
    void selectionDidChange();
    void setWindowLevel(int level);

private:
    void splitViewDidResize();

    RNWindowCntrl* window_;
    RNSplitView* splitView_;
    QStackedWidget* listStack_;
    RNContentTableView* tableView_;
    QScrollArea* collectionPreview_;
    QLabel* emptyPreviewView_;
    QLabel* pieInfoTextFld_;
    QPushButton* eraseBtn_;
    QPushButton* putBackBtn_ = nullptr;
    RNItemPreviewCntrl* previewCntrl_;
    RNListCntrl* listCntrl_;
    RNQuickLookPanel* qlPanel_;
    bool isDeleting_ = false;
    bool isCollapsed_ = false;
};

}  // namespace quillo::mainwindow
