#include "support/CommandRunner.h"

#include <algorithm>

namespace kz::test {

void CommandRunner::Start(Step step, bool openLink) {
    step_ = std::move(step);
    openLink_ = openLink;
    PostEvent(EVENT_NONE);
}

bool CommandRunner::Diapatcher(int nEvent) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(nEvent);
    }
    if (done_) {
        return false;
    }
    if (!opened_) {
        opened_ = true;
        if (openLink_) {
            Open();
        }
    }
    if (!step_(*this, nEvent)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
    return true;
}

bool CommandRunner::WaitDone(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return done_.load(); });
}

std::vector<int> CommandRunner::Events() {
    std::lock_guard lock(mutex_);
    return events_;
}

bool CommandRunner::Write(const void* pBuffer, std::uint32_t nCount) {
    {
        std::lock_guard lock(mutex_);
        writeSizes_.push_back(nCount);
    }
    return CProtocol::Write(pBuffer, nCount);
}

std::vector<std::uint32_t> CommandRunner::WriteSizes() {
    std::lock_guard lock(mutex_);
    return writeSizes_;
}

bool CommandRunner::ChangeReadSize() {
    ++changeReadSizeCalls;
    return onChangeReadSize ? onChangeReadSize() : false;
}

ScriptedPeer::ScriptedPeer(platform::VirtualSerialLink& link, Reply reply)
    : device_(link.OpenEnd(platform::VirtualSerialLink::End::Panel)), reply_(std::move(reply)) {
    device_->SetEventMask(platform::EV_RXCHAR);
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    device_->SetEventMask(0);
    thread_.join();
}

void ScriptedPeer::Run() {
    std::string pending;
    while (!stop_) {
        std::uint32_t events = 0;
        if (!device_->WaitEvent(events)) {
            break;
        }
        if (stop_) {
            break;
        }
        char buf[4096];
        for (std::size_t n; (n = device_->Read(buf, sizeof(buf))) > 0;) {
            pending.append(buf, n);
        }
        for (;;) {
            std::string frame;
            if (!pending.empty() && (pending[0] == '\x05' || pending[0] == '\x06')) {
                frame = pending.substr(0, 1);
                pending.erase(0, 1);
            } else {
                auto cr = pending.find('\r');
                if (cr == std::string::npos) {
                    break;
                }
                frame = pending.substr(0, cr + 1);
                pending.erase(0, cr + 1);
            }
            {
                std::lock_guard lock(mutex_);
                frames_.push_back(frame);
            }
            std::string answer = reply_ ? reply_(frame) : std::string();
            if (!answer.empty()) {
                device_->Write(answer.data(), answer.size());
            }
        }
    }
}

std::vector<std::string> ScriptedPeer::Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
}

int ScriptedPeer::Count(const std::string& frame) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(frames_.begin(), frames_.end(), frame));
}

void ScriptedPeer::Send(const std::string& bytes) {
    device_->Write(bytes.data(), bytes.size());
}

}  // namespace kz::test
