#include "support/RecordingView.h"

#include <algorithm>

namespace kz::test {

RecordingView::RecordingView() {
    ui_ = std::thread([this] { UiThread(); });
}

RecordingView::~RecordingView() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        cv_.notify_all();
    }
    ui_.join();
}

void RecordingView::AddStatusLine(const std::string& text) {
    std::unique_lock lock(mutex_);
    lines_.push_back(text);
    if (!holdLine_.empty() && text == holdLine_ && !held_) {
        held_ = true;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::minutes(1), [this] { return released_; });
    }
}

void RecordingView::HoldAt(const std::string& line) {
    std::lock_guard lock(mutex_);
    holdLine_ = line;
    held_ = false;
    released_ = false;
}

bool RecordingView::WaitHeld(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return held_; });
}

void RecordingView::Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
}

void RecordingView::ClearStatusList() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void RecordingView::SetProgress(int position) {
    std::lock_guard lock(mutex_);
    progress_.push_back(position);
}

void RecordingView::ResetProgress() {
    SetProgress(0);
}

void RecordingView::SetModelName(const std::string& name) {
    std::lock_guard lock(mutex_);
    model_ = name;
}

void RecordingView::ShowPowerWarning(bool show) {
    std::lock_guard lock(mutex_);
    powerWarning_ = show;
}

void RecordingView::PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) {
    std::lock_guard lock(mutex_);
    queue_.push_back({msg, wParam, request});
    cv_.notify_all();
}

bool RecordingView::AskOkCancel(int textId, int) {
    std::lock_guard lock(mutex_);
    asked.push_back(textId);
    return answerOk;
}

void RecordingView::ShowMessage(int textId, int) {
    std::lock_guard lock(mutex_);
    asked.push_back(textId);
}

bool RecordingView::ConfirmRestore() {
    std::lock_guard lock(mutex_);
    asked.push_back(141);
    return answerOk;
}

void RecordingView::UiThread() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        Posted posted = queue_.front();
        queue_.pop_front();
        lock.unlock();
        if (onMessage) {
            onMessage(posted.msg, posted.wParam);
        }
        lock.lock();
        // Recorded before the operation is released, so a test that sees the operation
        // finish also sees every request it made.
        handled_.emplace_back(posted.msg, posted.wParam);
        cv_.notify_all();
        if (posted.request) {
            posted.request->Set();
        }
    }
}

std::vector<std::string> RecordingView::Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::pair<unsigned, std::uintptr_t>> RecordingView::Messages() {
    std::lock_guard lock(mutex_);
    return handled_;
}

int RecordingView::Progress() {
    std::lock_guard lock(mutex_);
    return progress_.empty() ? 0 : progress_.back();
}

std::vector<int> RecordingView::ProgressHistory() {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::string RecordingView::ModelName() {
    std::lock_guard lock(mutex_);
    return model_;
}

bool RecordingView::PowerWarning() {
    std::lock_guard lock(mutex_);
    return powerWarning_;
}

int RecordingView::Count(unsigned msg) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(handled_.begin(), handled_.end(),
                                          [msg](const auto& m) { return m.first == msg; }));
}

bool RecordingView::WaitComplete(std::chrono::milliseconds timeout) {
    return WaitMessage(WM_OPERATION_COMPLETE, 1, timeout);
}

bool RecordingView::WaitMessage(unsigned msg, int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        return std::count_if(handled_.begin(), handled_.end(),
                             [msg](const auto& m) { return m.first == msg; }) >= n;
    });
}

}  // namespace kz::test
