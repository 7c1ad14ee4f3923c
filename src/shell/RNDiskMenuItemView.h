// One row of the per-disk submenu: the volume's icon, "Name…" and an info line ("trash_empty",
// "gathering_info", then the measured "items_size" - the trashed items, as the Lumo Window counts
// them - or "trash_unreadable"), with a spinner while the trash is measured on the process-wide
// measurement queue. The tool tip tells the files and folders below the items. A row is measured
// once in its lifetime.
//
// RNDiskMenuItem is the menu item (a QWidgetAction) that owns the row view. Menus exported over
// D-Bus (StatusNotifierItem) show no widgets, so the action itself also carries the row's text
// and icon, kept in step with the view.
//
// Choosing an enabled row blinks it three times, 0.125 s apart; the menu closes at the third
// blink and the item's action is sent 0.1 s later.
#pragma once

#include "erase/RNDeleteItems.h"
#include "files/RNFilesUtilities.h"

#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWidgetAction>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace quillo::ui {
class RNSpinner;
}

namespace quillo::shell {

class RNDiskMenuItem;

class RNDiskMenuItemView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kBaseWidth = 250;
    static constexpr int kNameWidth = 161;
    static constexpr int kIconSize = 48;
    static constexpr int kBlinkIntervalMs = 125;
    static constexpr int kSendDelayMs = 100;

    explicit RNDiskMenuItemView(RNDiskMenuItem* item);
    ~RNDiskMenuItemView() override;

    // The row's trash location ("diskDict").
    const files::TrashLocation& diskDict() const { return diskDict_; }
    void setDiskDict(const files::TrashLocation& dict);

    // "Name…".
    QString title() const;
    // The info line as it is shown now.
    QString infoText() const;
    // What a screen reader says for the row: the volume's name and the info line.
    QString accessibleText() const;
    const std::optional<QString>& info() const { return info_; }
    QIcon volumeIcon() const;

    uint64_t itemsSize() const { return itemsSize_; }
    // Every entry of the trash, nested ones included (the erase's figure).
    uint64_t itemsCount() const { return itemsCount_; }
    // The trashed items themselves (what the row says).
    uint64_t topLevelCount() const { return itemsToErase_.size(); }
    // The trash folder could not be read: no figures, and nothing to empty from here.
    bool isUnreadable() const { return readError_ != 0; }
    erase::RNItemList itemsToErase() const { return itemsToErase_; }

    bool sizeIsWorking() const { return sizeIsWorking_; }
    bool isWorking() const { return isWorking_->load(); }
    bool menuItemIsSelected() const { return menuItemIsSelected_; }
    // Drawn highlighted: chosen by pointer or focus, or the menu's current item (the menu makes
    // its first row current when opened from the keyboard, before any row can take focus).
    bool isDrawnAsCurrent() const;
    bool isMenuItemEnabled() const;
    ui::RNSpinner* spinner() const { return spinner_; }
    int fireTimes() const { return fireTimes_; }

    // Starts the background measurement (once); the result arrives on the main thread.
    void gatherTrashInfo();
    // The blink, then sendAction().
    void chosenItemAction();
    void setMenuItemIsSelected(bool selected);

    // Widens the row for a name longer than the name field.
    void updateViewSizeIfNeeded();

    QSize sizeHint() const override;

signals:
    void measured();
    void actionSent();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void animateDismiss();
    void sendAction();
    void takeMeasurement();
    void measurementDone(uint64_t size, uint64_t count, const QString& info, erase::RNItemList items, int readError);
    QFont nameFont() const;
    void syncAction();

    RNDiskMenuItem* item_;
    files::TrashLocation diskDict_;
    std::optional<QString> info_;
    uint64_t itemsSize_ = 0;
    uint64_t itemsCount_ = 0;
    erase::RNItemList itemsToErase_;
    int readError_ = 0;
    QMetaObject::Connection measuredConnection_;
    bool sizeIsWorking_ = false;
    // Read by the measurement on its queue.
    std::shared_ptr<std::atomic<bool>> isWorking_ = std::make_shared<std::atomic<bool>>(false);
    bool menuItemIsSelected_ = false;
    bool mouseDownInside_ = false;
    int16_t fireTimes_ = 0;
    QTimer blinkTimer_;
    ui::RNSpinner* spinner_;
    erase::RNObserverToken stopObserver_ = 0;
    int width_ = kBaseWidth;
    QPointer<QMenu> followedMenu_;
    QIcon icon_;
};

class RNDiskMenuItem : public QWidgetAction {
    Q_OBJECT
public:
    RNDiskMenuItem(const files::TrashLocation& dict, QObject* parent);
    RNDiskMenuItemView* view() const { return view_; }
    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }

private:
    RNDiskMenuItemView* view_;
    int tag_ = 0;
};

// The queue that measures the rows' trashes, made on first use.
inline constexpr const char* kMenuCreationOperationQueue = "MenuCreationOperationQueue";

}  // namespace quillo::shell
