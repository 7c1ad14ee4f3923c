// The progress panel of an erase, as the engine sees it. The tray app shows a window (a sheet on
// the main window for a main-window erase), the CLI a line on standard error. Every call but
// wasStopped()/stopAction() happens on the main thread.
#pragma once

#include "erase/RNPromptBackend.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace quillo::erase {

class RNGenericProgressWindowCntrl {
public:
    virtual ~RNGenericProgressWindowCntrl() = default;

    // The main text as the layout has it: the default erasing text.
    virtual std::string mainText() const = 0;
    virtual void setMainText(const std::string& text) = 0;
    // The line naming what is erased.
    virtual void setInfoText(const std::string& text) = 0;
    // Format of the count line: two "%@", items erased and items in all.
    virtual std::string countStr() const = 0;
    virtual void setCountText(const std::string& text) = 0;
    virtual void setSizeText(const std::string& text) = 0;
    // Hides or shows the count and size lines together.
    virtual void hideInfoSizeFields(bool hide) = 0;

    virtual void startIndeterminateAnimation() = 0;
    virtual void startDeterminateAnimation() = 0;
    virtual bool isIndeterminate() const = 0;
    virtual void updateProgress(double percent) = 0;  // 0 to 100

    // Puts the panel on screen: as a sheet on `sheetParent`, or free-standing when nullptr.
    virtual void show(RNWindowHandle sheetParent) = 0;
    virtual void close() = 0;

    // The stop button. Set on the main thread (or by a signal handler), read by the erase.
    bool wasStopped() const { return wasStopped_.load(); }
    void stopAction() { wasStopped_.store(true); }

private:
    std::atomic<bool> wasStopped_{false};
};

// Makes the progress panel of the running front end; nullptr when it cannot be made.
using RNProgressWindowFactory = std::function<std::unique_ptr<RNGenericProgressWindowCntrl>()>;

}  // namespace quillo::erase
