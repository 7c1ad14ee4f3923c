// The large preview panel the space bar opens: our own window that shows the first selected
// item big (picture, text, or a large icon) with its name, and follows the selection. Keys
// pressed in it go to the content list, so the arrows move the selection and the space bar
// closes it again.
#pragma once

#include "mainwindow/RNPreviewItem.h"

#include <QPointer>
#include <QWidget>

#include <vector>

class QLabel;
class QPlainTextEdit;

namespace quillo::mainwindow {

class RNQuickLookPanel : public QWidget {
    Q_OBJECT
public:
    explicit RNQuickLookPanel(QWidget* keyTarget, QWidget* parent = nullptr);
    void setItems(const std::vector<RNPreviewItemPtr>& items);
    const std::vector<RNPreviewItemPtr>& items() const { return items_; }

signals:
    void visibilityWillChange(bool visible);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();

    QPointer<QWidget> keyTarget_;
    std::vector<RNPreviewItemPtr> items_;
    QLabel* image_;
    QPlainTextEdit* text_;
    QLabel* title_;
};

}  // namespace quillo::mainwindow
