// One preview card: a live preview of the item (its picture, the start of its text, or a large
// icon), its name, kind, size and dates, and the chain of folders from its volume down to it,
// each link with its label badge, icon and name and a menu to reveal or open it. What the card
// reads of the file system is read on the preview queue; the card shows the name at once and
// the rest when it arrives.
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QFrame>
#include <QLabel>

#include <atomic>
#include <memory>

class QListWidget;

namespace quillo::mainwindow {

struct RNPreviewDetails;

// A one-line label that shortens its text in the middle to the width it is given (never asking
// for more), with the whole text in its tool tip.
class RNElidedLabel : public QLabel {
public:
    explicit RNElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return full_; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void elide();
    QString full_;
};

class RNPreview : public QFrame {
    Q_OBJECT
public:
    enum MenuTag { kTagReveal = 100, kTagOpen = 102 };

    explicit RNPreview(QWidget* parent = nullptr);
    ~RNPreview() override;
    void setRepresentedObject(const RNPreviewItemPtr& item);
    const RNPreviewItemPtr& previewItem() const { return item_; }
    QListWidget* pathTableView() const { return pathTable_; }
    const std::vector<RNPathEntry>& oldStylePath() const { return path_; }
    static QPixmap finderTagImage(int16_t tag, bool isSelected);
    // The details have arrived from the preview queue.
    bool isLoaded() const { return loaded_; }
    RNElidedLabel* nameField() const { return nameFld_; }

signals:
    void loaded();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showDetails(const RNPreviewDetails& details);
    void showPathMenu(const QPoint& pos);

    RNPreviewItemPtr item_;
    std::vector<RNPathEntry> path_;
    QLabel* previewView_;
    RNElidedLabel* nameFld_;
    QLabel* descriptionFld_;
    QListWidget* pathTable_;
    bool loaded_ = false;
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

}  // namespace quillo::mainwindow
