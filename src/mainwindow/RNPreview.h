// One preview card: a live preview of the item (its picture, the start of its text, or a large
// icon), its name, kind, size and dates, and the chain of folders from its volume down to it,
// each link with its label badge, icon and name and a menu to reveal or open it.
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QFrame>

class QLabel;
class QListWidget;

namespace quillo::mainwindow {

// The live preview of an item at `side` pixels: an image, a text excerpt, or the large icon.
// Fills either `image` or `text`.
void livePreviewOfItem(const RNLumoWindowItem& item, int side, QPixmap* image, QString* text);

class RNPreview : public QFrame {
    Q_OBJECT
public:
    enum MenuTag { kTagReveal = 100, kTagOpen = 102 };

    explicit RNPreview(QWidget* parent = nullptr);
    void setRepresentedObject(const RNPreviewItemPtr& item);
    const RNPreviewItemPtr& previewItem() const { return item_; }
    QListWidget* pathTableView() const { return pathTable_; }
    const std::vector<RNPathEntry>& oldStylePath() const { return path_; }
    static QPixmap finderTagImage(int16_t tag, bool isSelected);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showPathMenu(const QPoint& pos);

    RNPreviewItemPtr item_;
    std::vector<RNPathEntry> path_;
    QLabel* previewView_;
    QLabel* nameFld_;
    QLabel* descriptionFld_;
    QListWidget* pathTable_;
};

}  // namespace quillo::mainwindow
