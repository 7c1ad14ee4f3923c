// Every error report, information panel and question of the application goes through this one
// shared object. It turns localization keys and a list of names into a prompt request and hands
// it to the front end's RNPromptBackend (Qt message boxes in the tray app, the terminal in the
// CLI, a script in the tests).
//
// Callable from any thread: the prompt is always built and run on the main thread
// (RNMainThread::runOnMainAndWait) and the caller waits for the answer, so the erase task can ask
// about an item and go on with the user's decision.
//
// Answers are the alert return codes kAlertFirstButtonReturn (1000), ...Second... (1001),
// ...Third... (1002).
//
// Safe choice. A front end that cannot ask (no terminal) answers with the request's safeButton.
// Unless the caller names it, it is chosen from the button keys: the first button whose key (or
// its text, for callers that pass already-localized texts) is one of "skip", "no_btn",
// "cancel_btn", "disagree_btn", "dont_install_button", "dont_update_button"; failing that, the
// alternate (second) button when it has a key, which by the platform's convention is the one
// that backs out; otherwise the default button. So the item questions ("skip", "erase") answer
// "skip", the log question ("yes_btn" = go on without a log, "no_btn") answers "no".
// The same button stands in when a prompt could not be shown at all (no backend installed, or
// the main thread went away before running it) and when a backend gives back an answer that is
// not one of the request's buttons (a dialog closed from its title bar).
#pragma once

#include "erase/RNPromptBackend.h"
#include "erase/RNValue.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillo::erase {

class RNErrorDelegate {
public:
    // The shared object, made on first use.
    static RNErrorDelegate& sharedControl();

    RNErrorDelegate() = default;
    RNErrorDelegate(const RNErrorDelegate&) = delete;
    RNErrorDelegate& operator=(const RNErrorDelegate&) = delete;

    // The front end that shows the prompts. Until one is set, prompts are not shown: errors go
    // to standard error and questions get their safe answer.
    void setBackend(std::shared_ptr<RNPromptBackend> backend);
    std::shared_ptr<RNPromptBackend> backend() const;

    // Error report: title and explanation from the "Errors" table, the names filling the title's
    // "%@" slots; warning style, one button, application-modal; the caller waits. Nothing happens
    // when the title key is absent or empty.
    void showError(const std::optional<std::string>& titleKey,
                   const std::optional<std::string>& messageKey = std::nullopt,
                   const std::vector<std::string>& names = {});
    // The same from a dictionary: "error" (title key), "message" (explanation key),
    // "additionalName" (array of names) and, optionally, "mess_names" (names for the
    // explanation).
    void showError(const RNDictionary& info);

    // Information panel from the main table, warning style. With a parent window it is a sheet
    // on it and the caller does not wait; without one it is application-modal.
    void showMessagePanel(RNWindowHandle parentWindow, const std::string& infoKey,
                          const std::optional<std::string>& messageKey = std::nullopt,
                          const std::vector<std::string>& names = {});

    // A question with three buttons (the keys of the default, alternate and other button, all
    // three always offered; a key may be empty, giving an empty title). Texts from the "Errors"
    // table and warning style when `treatsAsError`, else the main table and informational style.
    // With `showView` the check box "apply_to_all" is shown and its state stored in
    // `*viewStatus` (when not null). With a parent window the question is a sheet: the call
    // returns 0 at once and the sheet's answer reaches userChoice() (and lastCheckBoxState())
    // later; `*viewStatus` is then set to false, since the caller's variable may be gone by the
    // time the sheet is answered.
    int64_t askToTheUser(const std::string& info, const std::optional<std::string>& message,
                         const std::vector<std::string>& names, const std::string& defaultButton,
                         const std::string& alternateButton, const std::string& otherButton,
                         bool showView, bool* viewStatus, bool treatsAsError,
                         RNWindowHandle parentWindow, std::optional<int> safeButton = std::nullopt);

    // A question the user can silence for good: when the preference `preferenceKey` is true it
    // answers 1000 (the default button) at once without asking. Otherwise it is asked
    // application-modally with the check box "suppression_message_text"; when that is ticked
    // the preference is set to true.
    int64_t askToTheUserWithView(const std::string& info, const std::optional<std::string>& message,
                                 const std::vector<std::string>& names,
                                 const std::string& defaultButton,
                                 const std::string& alternateButton,
                                 const std::string& otherButton, const std::string& preferenceKey,
                                 bool treatsAsError, std::optional<int> safeButton = std::nullopt);

    // Replaces, for each name in order, the first "%@" still in `text`. Names beyond the slots
    // are ignored; slots beyond the names stay "%@". A "%@" inside a name is never filled.
    static std::string replaceContentOfString(const std::string& text,
                                              const std::vector<std::string>& names);

    // The answer of the last question (0 while a sheet is up).
    int64_t userChoice() const { return userChoice_.load(); }
    // The check box of the last question that showed one.
    bool lastCheckBoxState() const { return lastCheckBox_.load(); }

    // The safe button index for these button keys (see the top of this file).
    static int safeButtonForKeys(const std::vector<std::string>& buttonKeys);

private:
    struct Shown {
        bool ran = false;  // the prompt was put in front of the user
        RNPromptResult result;
    };
    // Runs the request modally on the main thread and waits; an answer that is not one of its
    // buttons becomes the safe one.
    Shown runModalOnMain(const RNPromptRequest& request);
    // The request both questions share: texts from the right table, three buttons, safe choice.
    static RNPromptRequest questionRequest(const std::string& info, const std::optional<std::string>& message,
                                           const std::vector<std::string>& names,
                                           const std::vector<std::string>& buttonKeys, bool treatsAsError,
                                           std::optional<int> safeButton);
    static int64_t normalizedAnswer(const RNPromptRequest& request, int64_t answer);
    static void reportUnshown(const RNPromptRequest& request);

    mutable std::mutex backendMutex_;
    std::shared_ptr<RNPromptBackend> backend_;
    std::atomic<int64_t> userChoice_{0};
    std::atomic<bool> lastCheckBox_{false};
};

}  // namespace quillo::erase
