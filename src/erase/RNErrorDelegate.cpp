#include "erase/RNErrorDelegate.h"

#include "erase/RNMainThread.h"
#include "erase/RNUserDefaults.h"
#include "util/Localization.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace quillo::erase {

namespace {

constexpr std::string_view kErrorsTable = "Errors";

// Buttons always have a text somewhere: a question asked "as an error" still uses the common
// button keys, which live in the main table.
std::string buttonText(const std::string& key, std::string_view table) {
    std::string text = util::RNLocalizedString(key, table);
    if (text == key && !table.empty()) return util::RNLocalizedString(key);
    return text;
}

std::vector<std::string> namesFrom(const RNValue& value) {
    std::vector<std::string> names;
    if (const RNArray* array = value.arrayIf())
        for (const RNValue& v : *array) names.push_back(v.stringValue());
    return names;
}

}  // namespace

RNErrorDelegate& RNErrorDelegate::sharedControl() {
    static RNErrorDelegate* shared = new RNErrorDelegate;  // never destroyed: workers may ask late
    return *shared;
}

void RNErrorDelegate::setBackend(std::shared_ptr<RNPromptBackend> backend) {
    std::lock_guard lock(backendMutex_);
    backend_ = std::move(backend);
}

std::shared_ptr<RNPromptBackend> RNErrorDelegate::backend() const {
    std::lock_guard lock(backendMutex_);
    return backend_;
}

std::string RNErrorDelegate::replaceContentOfString(const std::string& text,
                                                    const std::vector<std::string>& names) {
    // A translation may put the names in another order ("%2$@ ... %1$@").
    std::vector<std::string> isolated;
    for (const std::string& name : names) isolated.push_back(util::RNIsolated(name));
    if (text.find("$@") != std::string::npos) return util::RNFormat(text, isolated);
    std::string out = text;
    std::size_t from = 0;
    for (const std::string& name : isolated) {
        std::size_t pos = out.find("%@", from);
        if (pos == std::string::npos) break;
        out.replace(pos, 2, name);
        // Go on after the name: a file called "a%@b" must not take the next name.
        from = pos + name.size();
    }
    return out;
}

int RNErrorDelegate::safeButtonForKeys(const std::vector<std::string>& buttonKeys) {
    static constexpr std::array<std::string_view, 6> kSafeKeys = {
        "skip", "no_btn", "cancel_btn", "disagree_btn", "dont_install_button", "dont_update_button"};
    for (std::size_t i = 0; i < buttonKeys.size(); ++i) {
        const std::string& key = buttonKeys[i];
        if (key.empty()) continue;
        for (std::string_view safe : kSafeKeys)
            if (key == safe || key == util::localizedText(safe)) return int(i);
    }
    if (buttonKeys.size() > 1 && !buttonKeys[1].empty()) return 1;
    return 0;
}

int64_t RNErrorDelegate::normalizedAnswer(const RNPromptRequest& request, int64_t answer) {
    const int64_t count = int64_t(request.buttons.size());
    if (answer >= kAlertFirstButtonReturn && answer < kAlertFirstButtonReturn + count) return answer;
    return kAlertFirstButtonReturn + request.safeButton;
}

void RNErrorDelegate::reportUnshown(const RNPromptRequest& request) {
    // Nobody to ask: the report must not vanish without a trace.
    std::string line = "quillo: " + request.title;
    if (!request.message.empty()) line += " — " + request.message;
    std::fprintf(stderr, "%s\n", line.c_str());
}

RNErrorDelegate::Shown RNErrorDelegate::runModalOnMain(const RNPromptRequest& request) {
    Shown shown;
    std::shared_ptr<RNPromptBackend> front = backend();
    if (front) {
        RNMainThread::runOnMainAndWait([&] {
            shown.result = front->runModal(request);
            shown.ran = true;
        });
    }
    if (!shown.ran) {
        reportUnshown(request);
        shown.result = RNPromptResult{};
    }
    shown.result.answer = normalizedAnswer(request, shown.result.answer);
    return shown;
}

void RNErrorDelegate::showError(const std::optional<std::string>& titleKey,
                                const std::optional<std::string>& messageKey,
                                const std::vector<std::string>& names) {
    if (!titleKey || titleKey->empty()) return;
    RNDictionary report{{"error", *titleKey},
                        {"message", messageKey.value_or(std::string())},
                        {"additionalName", RNArray(names.begin(), names.end())}};
    showError(report);
}

void RNErrorDelegate::showError(const RNDictionary& info) {
    const std::string titleKey = RNValue::lookup(info, "error").stringValue();
    if (titleKey.empty()) return;
    const std::string messageKey = RNValue::lookup(info, "message").stringValue();
    const RNValue& messNames = RNValue::lookup(info, "mess_names");

    RNPromptRequest request;
    request.style = RNPromptRequest::Style::Warning;
    request.title = replaceContentOfString(util::RNLocalizedString(titleKey, kErrorsTable),
                                           namesFrom(RNValue::lookup(info, "additionalName")));
    request.message = util::RNLocalizedString(messageKey, kErrorsTable);
    if (!messNames.isNull()) request.message = replaceContentOfString(request.message, namesFrom(messNames));
    request.buttons = {util::RNLocalizedString("ok_btn")};
    request.safeButton = 0;
    runModalOnMain(request);
}

void RNErrorDelegate::showMessagePanel(RNWindowHandle parentWindow, const std::string& infoKey,
                                       const std::optional<std::string>& messageKey,
                                       const std::vector<std::string>& names) {
    RNPromptRequest request;
    request.style = RNPromptRequest::Style::Warning;
    request.title = replaceContentOfString(util::RNLocalizedString(infoKey), names);
    request.message = util::RNLocalizedString(messageKey.value_or(std::string()));
    request.buttons = {util::RNLocalizedString("ok_btn")};
    request.safeButton = 0;

    if (!parentWindow) {
        runModalOnMain(request);
        return;
    }
    std::shared_ptr<RNPromptBackend> front = backend();
    if (!front) {
        reportUnshown(request);
        return;
    }
    // A sheet the caller does not wait for: queue it and go on.
    RNMainThread::postToMain([front, request, parentWindow] {
        front->beginSheet(request, parentWindow, nullptr);
    });
}

RNPromptRequest RNErrorDelegate::questionRequest(const std::string& info, const std::optional<std::string>& message,
                                                 const std::vector<std::string>& names,
                                                 const std::vector<std::string>& buttonKeys, bool treatsAsError,
                                                 std::optional<int> safeButton) {
    const std::string_view table = treatsAsError ? kErrorsTable : std::string_view{};
    RNPromptRequest request;
    request.style = treatsAsError ? RNPromptRequest::Style::Warning : RNPromptRequest::Style::Informational;
    request.title = replaceContentOfString(util::RNLocalizedString(info, table), names);
    request.message = util::RNLocalizedString(message.value_or(std::string()), table);
    // All three, also an empty one: the answer codes depend on the positions.
    for (const std::string& key : buttonKeys) request.buttons.push_back(buttonText(key, table));
    request.safeButton = safeButton.value_or(safeButtonForKeys(buttonKeys));
    if (request.safeButton < 0 || request.safeButton > 2) request.safeButton = 0;
    return request;
}

int64_t RNErrorDelegate::askToTheUser(const std::string& info, const std::optional<std::string>& message,
                                      const std::vector<std::string>& names,
                                      const std::string& defaultButton,
                                      const std::string& alternateButton,
                                      const std::string& otherButton, bool showView,
                                      bool* viewStatus, bool treatsAsError,
                                      RNWindowHandle parentWindow, std::optional<int> safeButton) {
    RNPromptRequest request = questionRequest(info, message, names, {defaultButton, alternateButton, otherButton},
                                              treatsAsError, safeButton);
    if (showView) request.checkBoxTitle = util::RNLocalizedString("apply_to_all");

    if (parentWindow) {
        std::shared_ptr<RNPromptBackend> front = backend();
        userChoice_ = 0;
        if (viewStatus) *viewStatus = false;
        if (!front) {
            reportUnshown(request);
            userChoice_ = normalizedAnswer(request, 0);
            return 0;
        }
        // The sheet's completion runs long after this call has returned: it must only touch
        // this (never destroyed) object.
        RNMainThread::runOnMainAndWait([&] {
            front->beginSheet(request, parentWindow, [this, request, showView](RNPromptResult r) {
                if (showView) lastCheckBox_ = r.checkBox;
                userChoice_ = normalizedAnswer(request, r.answer);
            });
        });
        return 0;
    }

    Shown shown = runModalOnMain(request);
    const bool checked = showView && shown.ran && shown.result.checkBox;
    if (showView) {
        lastCheckBox_ = checked;
        if (viewStatus) *viewStatus = checked;
    }
    userChoice_ = shown.result.answer;
    // The caller's own answer, even when another thread asked in the meantime.
    return shown.result.answer;
}

int64_t RNErrorDelegate::askToTheUserWithView(const std::string& info,
                                              const std::optional<std::string>& message,
                                              const std::vector<std::string>& names,
                                              const std::string& defaultButton,
                                              const std::string& alternateButton,
                                              const std::string& otherButton,
                                              const std::string& preferenceKey, bool treatsAsError,
                                              std::optional<int> safeButton) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    if (!preferenceKey.empty() && defaults.boolForKey(preferenceKey)) return kAlertFirstButtonReturn;

    RNPromptRequest request = questionRequest(info, message, names, {defaultButton, alternateButton, otherButton},
                                              treatsAsError, safeButton);
    request.checkBoxTitle = util::RNLocalizedString("suppression_message_text");

    Shown shown = runModalOnMain(request);
    const bool checked = shown.ran && shown.result.checkBox;
    lastCheckBox_ = checked;
    if (checked && !preferenceKey.empty()) defaults.setBool(preferenceKey, true);
    userChoice_ = shown.result.answer;
    return shown.result.answer;
}

}  // namespace quillo::erase
