// The large preview panel the space bar opens: our own window that shows the selected items big
// (picture, text, or a large icon) with their names, one at a time, and follows the selection.
// With several items selected the left and right arrows (and the two buttons) page through them;
// the other keys pressed in it go to the content list, so up and down move the selection and the
// space bar closes it again. Pictures are decoded on the preview queue.
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QToolButton;

namespace quillo::mainwindow {

struct RNPreviewDetails;
class RNElidedLabel;

class RNQuickLookPanel : public QWidget {
    Q_OBJECT
public:
    explicit RNQuickLookPanel(QWidget* keyTarget, QWidget* parent = nullptr);
    ~RNQuickLookPanel() override;
    void setItems(const std::vector<RNPreviewItemPtr>& items);
    const std::vector<RNPreviewItemPtr>& items() const { return items_; }
    // The record shown, as an index into items().
    size_t currentIndex() const { return current_; }
    void showNext();
    void showPrevious();
    // The shown record's picture or text has arrived.
    bool isLoaded() const { return loaded_; }
    QString titleText() const;
    QString pageText() const;

signals:
    void visibilityWillChange(bool visible);
    void loaded();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();
    void showDetails(const RNPreviewDetails& details);

    QPointer<QWidget> keyTarget_;
    std::vector<RNPreviewItemPtr> items_;
    size_t current_ = 0;
    bool loaded_ = false;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    QLabel* image_;
    QPlainTextEdit* text_;
    RNElidedLabel* title_;
    QLabel* page_;
    QToolButton* previous_;
    QToolButton* next_;
};

}  // namespace quillo::mainwindow
