// The erase progress panel: the main text, the line naming what is erased, the count and size
// lines, the bar and a stop button. RNProgressWindow is the widget; RNProgressWindowCntrl is the
// engine's progress-window controller around it (free-standing, or a window-modal sheet on a
// parent window).
#pragma once

#include "erase/RNGenericProgressWindowCntrl.h"
#include "ui/RNRunThen.h"

#include <QDialog>
#include <QPointer>

class QLabel;
class QPushButton;

namespace quillo::ui {

class RNLinearProgressIndicatorView;

class RNProgressWindow : public QDialog {
    Q_OBJECT
public:
    explicit RNProgressWindow(QWidget* parent = nullptr);

    QLabel* mainInfoFieldTxt = nullptr;
    QLabel* infoFld = nullptr;
    QLabel* countTxt = nullptr;
    QLabel* countFld = nullptr;
    QLabel* sizeTxt = nullptr;
    QLabel* sizeFld = nullptr;
    RNLinearProgressIndicatorView* spinner = nullptr;
    QPushButton* stopBtn = nullptr;

    // Closing the panel from its title bar or with Escape is the stop button.
    void reject() override;

signals:
    void stopRequested();
};

class RNProgressWindowCntrl : public erase::RNGenericProgressWindowCntrl {
public:
    RNProgressWindowCntrl();
    // May run on any thread (the session that owns it can end on a worker): the widget is
    // deleted on the main thread.
    ~RNProgressWindowCntrl() override;

    std::string mainText() const override;
    void setMainText(const std::string& text) override;
    void setInfoText(const std::string& text) override;
    std::string countStr() const override { return countStr_; }
    void setCountText(const std::string& text) override;
    void setSizeText(const std::string& text) override;
    void hideInfoSizeFields(bool hide) override;

    void startIndeterminateAnimation() override;
    void startDeterminateAnimation() override;
    bool isIndeterminate() const override;
    void updateProgress(double percent) override;

    void show(erase::RNWindowHandle sheetParent) override;
    void close() override;

    RNProgressWindow* window() const { return window_.data(); }

    // The factory the engine calls for each erase.
    static erase::RNProgressWindowFactory factory();

private:
    // Owned, and deleted on the main thread; null once gone (a sheet goes with its window).
    QPointer<RNProgressWindow> window_;
    RNMainThreadPath path_;
    std::string countStr_;
    std::string defaultMainText_;
};

}  // namespace quillo::ui
