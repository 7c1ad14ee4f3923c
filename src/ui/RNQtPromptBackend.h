// The engine's questions and error reports as QMessageBox dialogs: up to three buttons (the
// first is the default, the second the one Escape answers), the apply-to-all / "do not ask
// again" check box, and the confirmation's live size line with a spinner, refreshed every
// 0.05 s while the items are counted. Application-modal, or window-modal on a parent window.
#pragma once

#include "erase/RNPromptBackend.h"

#include <QMessageBox>

#include <functional>
#include <vector>

class QAbstractButton;

namespace quillo::ui {

class RNQtPromptBackend : public erase::RNPromptBackend {
public:
    static constexpr int kLiveTextIntervalMs = 50;

    erase::RNPromptResult runModal(const erase::RNPromptRequest& request) override;
    void beginSheet(const erase::RNPromptRequest& request, erase::RNWindowHandle parent,
                    std::function<void(erase::RNPromptResult)> completion) override;

    // Builds the dialog for a request (exposed for tests). `buttons` receives the push button of
    // each request button in order (nullptr where a text is empty: no blank button is shown).
    static QMessageBox* makeBox(const erase::RNPromptRequest& request, QWidget* parent,
                                std::vector<QAbstractButton*>* buttons);
    // The engine's answer for the button the user pressed.
    static erase::RNPromptResult resultOf(QMessageBox* box, const std::vector<QAbstractButton*>& buttons);
};

}  // namespace quillo::ui
