// The Lumo Window: the source list on the left and the content pane on the right. It stays
// above normal windows (except while an erase asks its questions), restores and saves its frame
// under "lumo_delete_window", names the shown trash in its title while the source list is
// collapsed, emits closed() when it closes, and reads its trashes again when an erase started
// elsewhere (the tray, a hot key) has ended.
#pragma once

#include "erase/RNNotificationCenter.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QMimeData;

class QToolButton;

namespace quillo::mainwindow {

class RNContentViewCntrl;
class RNLumoWindowSourceViewCntrl;
class RNSplitView;

// The outer split view's controller: collapsing the source list changes the title.
class RNLumoWindowSplitViewCntrl : public QObject {
    Q_OBJECT
public:
    RNLumoWindowSplitViewCntrl(RNSplitView* splitView, QWidget* window, RNLumoWindowSourceViewCntrl* sources);
    bool isCollapsed() const { return isCollapsed_; }
    void splitViewDidResize();
    void updateTitle();

private:
    RNSplitView* splitView_;
    QWidget* window_;
    RNLumoWindowSourceViewCntrl* sources_;
    bool isCollapsed_ = false;
};

class RNWindowCntrl : public QWidget {
    Q_OBJECT
public:
    static constexpr int kNormalLevel = 0;
    static constexpr int kFloatingLevel = 8;

    RNWindowCntrl();
    // Once the window and its records are gone, the memory they took goes back to the system.
    ~RNWindowCntrl() override;

    // To be called at the start of the process, before any other thread runs: every thread
    // allocates from the one main heap. The records of a large trash are made on worker
    // threads and released on the main thread; in a per-thread heap they would be given back
    // into a heap whose top glibc never returns to the system, so the process would keep the
    // memory of the largest trash it ever listed.
    static void useOneHeapForAllThreads();

    // Makes the window key and brings it to the front.
    void showWindow();
    void setWindowLevel(int level);
    int windowLevel() const { return level_; }

    RNLumoWindowSourceViewCntrl* sourceViewCntrl() const { return sourceCntrl_; }
    RNContentViewCntrl* contentViewCntrl() const { return contentCntrl_; }
    RNLumoWindowSplitViewCntrl* splitViewCntrl() const { return splitCntrl_; }
    RNSplitView* splitView() const { return splitView_; }

    // "{{x, y}, {w, h}}"; nullopt-like empty rect when malformed.
    static QString stringFromRect(const QRect& rect);
    static QRect rectFromString(const QString& text);
    // The local paths (bytes, percent-decoded as they are) of a drop's file:// URIs; empty when
    // any of them is not a local file.
    static std::vector<std::string> droppedPaths(const QMimeData* data);

signals:
    // The window was closed; `erasedCount` is what its own erase removed (0 when none ran).
    void closed(uint64_t erasedCount);

protected:
    void closeEvent(QCloseEvent* event) override;
    // Files and folders dropped from a file manager go to the trash.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void windowDidLoad();
    // The refresh button's glyph in the palette's button text colour.
    void updateRefreshIcon();
    // Any erase session's end: one that is not this window's own may have changed its trashes.
    void eraseDidEnd(const void* session, uint64_t erasedCount);

    RNSplitView* splitView_;
    RNLumoWindowSourceViewCntrl* sourceCntrl_;
    RNContentViewCntrl* contentCntrl_;
    RNLumoWindowSplitViewCntrl* splitCntrl_;
    QToolButton* refreshBtn_ = nullptr;
    int level_ = kFloatingLevel;
    uint64_t lastErasedCount_ = 0;
    bool closed_ = false;
    erase::RNObserverToken stopObserver_ = 0;
};

}  // namespace quillo::mainwindow
