// How the engine puts a message or a question in front of the user. The tray app implements it
// with Qt message boxes and window-modal sheets, the CLI on the terminal, tests with a script.
// Every call happens on the main thread; the engine's worker threads reach it through
// RNMainThread::runOnMainAndWait and wait for the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillo::erase {

// A window the prompt or the progress panel attaches to, as a sheet. Opaque to the engine; the
// Qt front end puts its QWidget* here. nullptr means none: the prompt is application-modal.
using RNWindowHandle = void*;

// Alert answers: the platform's return codes for the first, second and third button.
inline constexpr int64_t kAlertFirstButtonReturn = 1000;
inline constexpr int64_t kAlertSecondButtonReturn = 1001;
inline constexpr int64_t kAlertThirdButtonReturn = 1002;

struct RNPromptRequest {
    enum class Style { Informational, Warning, Critical };
    Style style = Style::Warning;
    std::string title;                 // already localized and filled in
    std::string message;               // explanation, may be empty
    std::vector<std::string> buttons;  // 1 to 3 texts in order; a text may be empty
    // The check box (apply to all, or "don't ask again"); absent when not shown.
    std::optional<std::string> checkBoxTitle;
    // A line under the text that may change while the prompt is up (the confirmation's size
    // line): the backend polls it about every 0.05 s and shows what it gives.
    std::function<std::string()> liveText;
    // Why the question is asked, for front ends that cannot wait (no terminal): the safe choice
    // is the button index (0-based) to take without asking.
    int safeButton = 1;
    // The erase confirmation (a front end may answer it from a --yes option).
    bool isEraseConfirmation = false;
};

struct RNPromptResult {
    int64_t answer = 0;     // kAlertFirstButtonReturn + index, 0 when there is none yet
    bool checkBox = false;  // state of the check box when it was shown
};

class RNPromptBackend {
public:
    virtual ~RNPromptBackend() = default;
    // Application-modal: returns once the user has answered.
    virtual RNPromptResult runModal(const RNPromptRequest& request) = 0;
    // A sheet on `parent`: returns at once; `completion` (may be empty) runs on the main thread
    // with the answer later. The default runs the prompt modally and completes right away.
    virtual void beginSheet(const RNPromptRequest& request, RNWindowHandle /*parent*/,
                            std::function<void(RNPromptResult)> completion) {
        RNPromptResult r = runModal(request);
        if (completion) completion(r);
    }
};

}  // namespace quillo::erase
