#include "erase/RNAlert.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "files/Utf8.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <cstdio>

namespace quillo::erase {

namespace {

constexpr int kCancelButton = 1;

// Only "erase" and "cancel" exist; anything else (a dialog closed without a button) is cancel.
int64_t confirmationAnswer(int64_t answer) {
    return answer == kAlertFirstButtonReturn ? kAlertFirstButtonReturn : kAlertSecondButtonReturn;
}

}  // namespace

RNAlert::RNAlert() = default;

RNAlert::RNAlert(std::shared_ptr<RNPromptBackend> backend) : backend_(std::move(backend)) {}

int64_t RNAlert::choice() const { return state_->choice.load(); }

std::string RNAlert::sizeInfoStr() const {
    std::lock_guard lock(state_->mutex);
    return state_->sizeInfoStr;
}

std::string RNAlert::originalSizeInfoStr() const {
    std::lock_guard lock(state_->mutex);
    return state_->originalSizeInfoStr;
}

bool RNAlert::stopped() const {
    std::lock_guard lock(state_->mutex);
    return state_->stopped;
}

uint64_t RNAlert::totCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->totCount;
}

uint64_t RNAlert::totTopLevelCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->totTopLevel;
}

uint64_t RNAlert::totSize() const {
    std::lock_guard lock(state_->mutex);
    return state_->totSize;
}

void RNAlert::showSizeInfoStringWithSize(uint64_t size, uint64_t count, uint64_t topLevelCount) {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    s.totCount += count;
    s.totTopLevel += topLevelCount;
    s.totSize += size;
    s.originalSizeInfoStr = s.baseSizeInfoKey;

    if (s.totCount == 0) {
        s.sizeInfoStr = util::RNLocalizedString("gathering_info");
        return;
    }
    // The engine counts every entry; the user chose trashed items. Both are said, each under its
    // own name, so that "4 checked items" never reads as 10. A count that came without its
    // trashed items is told as it is.
    const uint64_t items = s.totTopLevel ? s.totTopLevel : s.totCount;
    const std::string sizeText = util::RNNumberUtilities::sharedControl().sizeToFormatString(s.totSize, 4, true);
    const std::string volumeName = util::RNIsolated(s.volumeName);
    // The volume name is an argument, never part of the pattern: a volume called "Disk {0} %@"
    // keeps its name.
    s.sizeInfoStr = util::RNLocalizedMessage(s.originalSizeInfoStr, {{"count", items},
                                                                     {"entries", s.totCount},
                                                                     {"nested", items != s.totCount ? "yes" : "no"},
                                                                     {"size", sizeText},
                                                                     {"volume", volumeName}});
    s.stopped = true;
}

int64_t RNAlert::showAlertWithTrashInfo(const RNDictionary& info, RNWindowHandle window) {
    {
        std::lock_guard lock(state_->mutex);
        state_->baseSizeInfoKey = RNValue::lookup(info, "calculatedStr").stringValue();
        state_->originalSizeInfoStr = state_->baseSizeInfoKey;
        // Shown as the file system has it: bytes that are not text are escaped, not replaced.
        state_->volumeName = files::escapedText(RNValue::lookup(info, "volumeName").stringValue());
    }
    const uint64_t count = RNValue::lookup(info, "count").uintValue();
    const RNValue& topLevel = RNValue::lookup(info, "topLevelCount");
    showSizeInfoStringWithSize(RNValue::lookup(info, "size").uintValue(), count,
                               topLevel.isNull() ? count : topLevel.uintValue());

    RNPromptRequest request;
    request.style = RNPromptRequest::Style::Critical;
    request.title = util::RNLocalizedString(RNValue::lookup(info, "information").stringValue());
    request.message = util::RNLocalizedString(RNValue::lookup(info, "message").stringValue());
    const bool isLumoErase = RNValue::lookup(info, "isLumoErase").boolValue();
    request.buttons = {util::RNLocalizedString(isLumoErase ? "erase_checked_button" : "empty_trash_button"),
                       util::RNLocalizedString("cancel_btn")};
    request.safeButton = kCancelButton;
    request.isEraseConfirmation = true;
    request.liveText = [state = state_]() -> std::string {
        std::lock_guard lock(state->mutex);
        return state->sizeInfoStr;
    };
    state_->choice = 0;

    std::shared_ptr<RNPromptBackend> front = backend_ ? backend_ : RNErrorDelegate::sharedControl().backend();
    if (!front) {
        // Nobody can confirm: never erase on a guess. The session polling choice() sees cancel.
        std::fprintf(stderr, "quillo: %s — no way to ask for confirmation; cancelled\n",
                     request.title.c_str());
        state_->choice = kAlertSecondButtonReturn;
        return window ? 0 : kAlertSecondButtonReturn;
    }

    if (window) {
        // The sheet's completion may come after the session dropped this object: it holds the
        // state block, not the alert.
        std::shared_ptr<State> state = state_;
        RNMainThread::postToMain([front, request, window, state] {
            front->beginSheet(request, window, [state](RNPromptResult r) {
                state->choice = confirmationAnswer(r.answer);
            });
        });
        return 0;
    }

    int64_t answer = kAlertSecondButtonReturn;
    const bool ran = RNMainThread::runOnMainAndWait([&] { answer = front->runModal(request).answer; });
    answer = ran ? confirmationAnswer(answer) : kAlertSecondButtonReturn;
    state_->choice = answer;
    return answer;
}

}  // namespace quillo::erase
