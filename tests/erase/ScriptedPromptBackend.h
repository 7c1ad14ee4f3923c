// A prompt front end for tests: answers from a script, records every prompt it was shown.
//
//   auto backend = std::make_shared<quillo::test::ScriptedPromptBackend>();
//   backend->queueAnswer(kAlertSecondButtonReturn, /*checkBox=*/true);
//   RNErrorDelegate::sharedControl().setBackend(backend);
//   ... code under test asks ...
//   EXPECT_EQ(backend->calls(), 1); EXPECT_EQ(backend->prompts()[0].title, "...");
//
// When the script runs out, a prompt gets the default result (setDefaultResult), or else the
// request's safe button. Sheets complete at once unless deferSheets(true): then they wait until
// completeNextSheet() / completeAllSheets() (call those where the main thread runs).
// Thread-safe; onPrompt runs without the lock, while the prompt is "up".
#pragma once

#include "erase/RNPromptBackend.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillo::test {

class ScriptedPromptBackend : public quillo::erase::RNPromptBackend {
public:
    using RNPromptRequest = quillo::erase::RNPromptRequest;
    using RNPromptResult = quillo::erase::RNPromptResult;

    struct Recorded {
        RNPromptRequest request;  // a copy: its liveText can still be called
        std::string title;
        std::string message;
        std::vector<std::string> buttons;
        std::optional<std::string> checkBoxTitle;
        RNPromptRequest::Style style = RNPromptRequest::Style::Warning;
        std::optional<std::string> liveText;  // liveText() when the prompt came up
        int safeButton = 0;
        bool isEraseConfirmation = false;
        bool sheet = false;
        quillo::erase::RNWindowHandle parent = nullptr;
        std::thread::id thread;
        RNPromptResult result;  // what it answered (for a deferred sheet: when completed)
    };

    void queueAnswer(int64_t answer, bool checkBox = false) {
        std::lock_guard lock(mutex_);
        script_.push_back(RNPromptResult{answer, checkBox});
    }
    void setDefaultResult(std::optional<RNPromptResult> result) {
        std::lock_guard lock(mutex_);
        default_ = result;
    }
    void deferSheets(bool defer) {
        std::lock_guard lock(mutex_);
        deferSheets_ = defer;
    }
    // Runs while the prompt is up (before it answers), with the request shown.
    void setOnPrompt(std::function<void(const RNPromptRequest&)> hook) {
        std::lock_guard lock(mutex_);
        onPrompt_ = std::move(hook);
    }

    RNPromptResult runModal(const RNPromptRequest& request) override {
        return show(request, false, nullptr, nullptr);
    }

    void beginSheet(const RNPromptRequest& request, quillo::erase::RNWindowHandle parent,
                    std::function<void(RNPromptResult)> completion) override {
        show(request, true, parent, std::move(completion));
    }

    // Completes the oldest deferred sheet with `result` (or its scripted answer); false when
    // none is waiting.
    bool completeNextSheet(std::optional<RNPromptResult> result = std::nullopt) {
        Pending pending;
        {
            std::lock_guard lock(mutex_);
            if (pendingSheets_.empty()) return false;
            pending = std::move(pendingSheets_.front());
            pendingSheets_.pop_front();
            RNPromptResult r = result ? *result : pending.result;
            pending.result = r;
            recorded_[pending.index].result = r;
        }
        if (pending.completion) pending.completion(pending.result);
        return true;
    }
    std::size_t completeAllSheets() {
        std::size_t n = 0;
        while (completeNextSheet()) ++n;
        return n;
    }
    std::size_t pendingSheetCount() const {
        std::lock_guard lock(mutex_);
        return pendingSheets_.size();
    }

    int calls() const {
        std::lock_guard lock(mutex_);
        return int(recorded_.size());
    }
    int modalCalls() const { return countIf(false); }
    int sheetCalls() const { return countIf(true); }
    std::vector<Recorded> prompts() const {
        std::lock_guard lock(mutex_);
        return recorded_;
    }
    Recorded last() const {
        std::lock_guard lock(mutex_);
        return recorded_.empty() ? Recorded{} : recorded_.back();
    }
    std::size_t scriptLeft() const {
        std::lock_guard lock(mutex_);
        return script_.size();
    }

private:
    struct Pending {
        std::size_t index = 0;
        RNPromptResult result;
        std::function<void(RNPromptResult)> completion;
    };

    int countIf(bool sheet) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const Recorded& r : recorded_) n += r.sheet == sheet;
        return n;
    }

    RNPromptResult show(const RNPromptRequest& request, bool sheet,
                        quillo::erase::RNWindowHandle parent,
                        std::function<void(RNPromptResult)> completion) {
        Recorded rec;
        rec.request = request;
        rec.title = request.title;
        rec.message = request.message;
        rec.buttons = request.buttons;
        rec.checkBoxTitle = request.checkBoxTitle;
        rec.style = request.style;
        if (request.liveText) rec.liveText = request.liveText();
        rec.safeButton = request.safeButton;
        rec.isEraseConfirmation = request.isEraseConfirmation;
        rec.sheet = sheet;
        rec.parent = parent;
        rec.thread = std::this_thread::get_id();

        std::function<void(const RNPromptRequest&)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = onPrompt_;
        }
        if (hook) hook(request);

        RNPromptResult result;
        bool defer = false;
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            if (!script_.empty()) {
                result = script_.front();
                script_.pop_front();
            } else if (default_) {
                result = *default_;
            } else {
                result = RNPromptResult{quillo::erase::kAlertFirstButtonReturn + request.safeButton, false};
            }
            rec.result = result;
            defer = sheet && deferSheets_;
            index = recorded_.size();
            recorded_.push_back(rec);
            if (defer) pendingSheets_.push_back(Pending{index, result, std::move(completion)});
        }
        if (sheet && !defer && completion) completion(result);
        return result;
    }

    mutable std::mutex mutex_;
    std::deque<RNPromptResult> script_;
    std::optional<RNPromptResult> default_;
    bool deferSheets_ = false;
    std::function<void(const RNPromptRequest&)> onPrompt_;
    std::vector<Recorded> recorded_;
    std::deque<Pending> pendingSheets_;
};

}  // namespace quillo::test
