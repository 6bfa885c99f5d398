// A view and prompt for tests: records everything an operation shows, runs the requests an
// operation posts on its own "UI thread" (as a real front-end does), and answers them as
// the test scripted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ops/engine/OperationView.h"

namespace kz::test {

class RecordingView : public IOperationView, public IOperationPrompt {
  public:
    RecordingView();
    ~RecordingView() override;

    // IOperationView
    void AddStatusLine(const std::string& text) override;
    void ClearStatusList() override;
    void SetProgress(int position) override;
    void ResetProgress() override;
    void SetModelName(const std::string& name) override;
    void ShowPowerWarning(bool show) override;
    void PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) override;

    // IOperationPrompt: answers come from the fields below.
    bool AskOkCancel(int textId, int captionId) override;
    void ShowMessage(int textId, int captionId) override;
    bool ConfirmRestore() override;

    // Runs on the view's UI thread for each posted message, before a request is released.
    std::function<void(unsigned msg, std::uintptr_t wParam)> onMessage;
    bool answerOk = true;    // AskOkCancel and ConfirmRestore
    std::vector<int> asked;  // text ids of the questions asked

    // Holds the operation's thread in AddStatusLine at the first line equal to line, until
    // Release() (or a minute has passed: a safety net, never a measured time).
    void HoldAt(const std::string& line);
    // Waits until the operation is held; false after the time-out.
    bool WaitHeld(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void Release();

    std::vector<std::string> Lines();
    std::vector<std::pair<unsigned, std::uintptr_t>> Messages();
    int Progress();
    std::vector<int> ProgressHistory();
    std::string ModelName();
    bool PowerWarning();
    int Count(unsigned msg);
    // Waits (real time) until WM_OPERATION_COMPLETE was posted; false after the time-out.
    bool WaitComplete(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits until a message msg has been handled n times.
    bool WaitMessage(unsigned msg, int n = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    struct Posted {
        unsigned msg;
        std::uintptr_t wParam;
        RequestEvent* request;
    };
    void UiThread();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::vector<std::pair<unsigned, std::uintptr_t>> handled_;
    std::vector<int> progress_;
    std::string model_;
    bool powerWarning_ = false;
    std::string holdLine_;
    bool held_ = false;
    bool released_ = false;
    std::deque<Posted> queue_;
    bool stop_ = false;
    std::thread ui_;
};

}  // namespace kz::test
