#include "ui/OperationBridge.h"

#include <QMetaObject>
#include <QObject>

namespace kz::ui {

OperationBridge::OperationBridge(QObject* context, IBridgeTarget* target)
    : context_(context), target_(target) {}

void OperationBridge::AddStatusLine(const std::string& text) {
    QMetaObject::invokeMethod(
        context_, [t = target_, text] { t->OnStatusLine(text); }, Qt::QueuedConnection);
}

void OperationBridge::ClearStatusList() {
    QMetaObject::invokeMethod(
        context_, [t = target_] { t->OnClearStatusList(); }, Qt::QueuedConnection);
}

void OperationBridge::SetProgress(int position) {
    QMetaObject::invokeMethod(
        context_, [t = target_, position] { t->OnProgress(position & 0xFFFF); },
        Qt::QueuedConnection);
}

void OperationBridge::ResetProgress() {
    SetProgress(0);
}

void OperationBridge::SetModelName(const std::string& name) {
    QMetaObject::invokeMethod(
        context_, [t = target_, name] { t->OnModelName(name); }, Qt::QueuedConnection);
}

void OperationBridge::ShowPowerWarning(bool show) {
    QMetaObject::invokeMethod(
        context_, [t = target_, show] { t->OnPowerWarning(show); }, Qt::QueuedConnection);
}

void OperationBridge::SetTransferProgress(const TransferSnapshot& snapshot) {
    QMetaObject::invokeMethod(
        context_, [t = target_, snapshot] { t->OnTransferProgress(snapshot); },
        Qt::QueuedConnection);
}

void OperationBridge::PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) {
    QMetaObject::invokeMethod(
        context_, [t = target_, msg, wParam, request] { t->OnViewMessage(msg, wParam, request); },
        Qt::QueuedConnection);
}

bool OperationBridge::AskOkCancel(int textId, int captionId) {
    auto q = std::make_shared<Question>();
    q->kind = Question::Kind::OkCancel;
    q->textId = textId;
    q->captionId = captionId;
    Ask(q);
    return q->ok;
}

void OperationBridge::ShowMessage(int textId, int captionId) {
    auto q = std::make_shared<Question>();
    q->kind = Question::Kind::Message;
    q->textId = textId;
    q->captionId = captionId;
    Ask(q);
}

bool OperationBridge::ConfirmRestore() {
    auto q = std::make_shared<Question>();
    q->kind = Question::Kind::RestoreWarning;
    Ask(q);
    return q->ok;
}

bool OperationBridge::ChooseNode(const std::vector<std::string>& nodes, std::string* address) {
    auto q = std::make_shared<Question>();
    q->kind = Question::Kind::ChooseNode;
    q->nodes = nodes;
    Ask(q);
    if (q->ok && address) {
        *address = q->address;
    }
    return q->ok;
}

void OperationBridge::Ask(const std::shared_ptr<Question>& q) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return;  // q->ok stays false: Cancel
        }
        open_.insert(q);
    }
    QMetaObject::invokeMethod(
        context_,
        [t = target_, q] {
            {
                std::lock_guard lock(q->mutex);
                if (q->done) {
                    return;  // answered with Cancel when the bridge closed
                }
            }
            // Close() runs on this thread too, so q stays open while it is shown.
            t->RunQuestion(q);
        },
        Qt::QueuedConnection);
    {
        std::unique_lock lock(q->mutex);
        q->answered.wait(lock, [&] { return q->done; });
    }
    std::lock_guard lock(mutex_);
    open_.erase(q);
}

void OperationBridge::Answer(const std::shared_ptr<Question>& q, bool ok,
                             const std::string& address) {
    std::lock_guard lock(q->mutex);
    if (q->done) {
        return;
    }
    q->ok = ok;
    q->address = address;
    q->done = true;
    q->answered.notify_all();
}

void OperationBridge::Close() {
    std::set<std::shared_ptr<Question>> open;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        open = open_;
    }
    for (const auto& q : open) {
        Answer(q, false);
    }
}

void OperationBridge::Open() {
    std::lock_guard lock(mutex_);
    closed_ = false;
}

}  // namespace kz::ui
