// Records the simulated panel's answers to the identity read of SerialSession.h as a seed
// of the serial harness: record_serial FILE.
#include <cstdio>
#include <fstream>
#include <mutex>

#include "SerialSession.h"
#include "support/PanelFixture.h"

namespace {

// The panel end of the link, cutting what the panel writes into one answer per request.
class RecordingDevice : public kz::platform::ISerialDevice {
  public:
    explicit RecordingDevice(std::unique_ptr<kz::platform::ISerialDevice> inner)
        : inner_(std::move(inner)) {}
    std::vector<std::string> Answers() {
        std::lock_guard lock(mutex_);
        return answers_;
    }
    kz::platform::DeviceCaps Caps() const override { return inner_->Caps(); }
    bool GetLineState(kz::platform::LineState& s) override { return inner_->GetLineState(s); }
    bool SetLineState(const kz::platform::LineState& s) override { return inner_->SetLineState(s); }
    bool SetQueueSizes(std::uint32_t i, std::uint32_t o) override {
        return inner_->SetQueueSizes(i, o);
    }
    std::size_t Read(void* buffer, std::size_t max) override {
        const std::size_t n = inner_->Read(buffer, max);
        if (n > 0) {
            std::lock_guard lock(mutex_);
            if (answers_.empty() || !answers_.back().empty()) {
                answers_.emplace_back();
            }
        }
        return n;
    }
    bool Write(const void* buffer, std::size_t count) override {
        {
            std::lock_guard lock(mutex_);
            if (answers_.empty()) {
                answers_.emplace_back();
            }
            answers_.back().append(static_cast<const char*>(buffer), count);
        }
        return inner_->Write(buffer, count);
    }
    bool ClearError(std::uint32_t& e, kz::platform::QueueStatus& s) override {
        return inner_->ClearError(e, s);
    }
    bool Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
    bool EscapeFunction(int f) override { return inner_->EscapeFunction(f); }
    bool GetModemStatus(std::uint32_t& s) override { return inner_->GetModemStatus(s); }
    bool SetEventMask(std::uint32_t m) override { return inner_->SetEventMask(m); }
    bool GetEventMask(std::uint32_t& m) override { return inner_->GetEventMask(m); }
    bool WaitEvent(std::uint32_t& e) override { return inner_->WaitEvent(e); }

  private:
    std::unique_ptr<kz::platform::ISerialDevice> inner_;
    std::mutex mutex_;
    std::vector<std::string> answers_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record_serial FILE\n");
        return 2;
    }
    kz::test::TestFolder& folder = kz::fuzz::SerialFolder();
    RecordingDevice* recorder = nullptr;
    std::vector<std::string> answers;
    {
        kz::test::PanelFixture panel(kz::test::TestPanel(0x1000, 0x400), folder.linkPtr(), {},
                                     [&](std::unique_ptr<kz::platform::ISerialDevice> inner) {
                                         auto device =
                                             std::make_unique<RecordingDevice>(std::move(inner));
                                         recorder = device.get();
                                         return device;
                                     });
        kz::test::RecordingView view;
        kz::test::CommandRunner runner;
        if (!kz::fuzz::RunIdentityRead(runner, view) || runner.m_nError != 0) {
            std::fprintf(stderr, "the identity read failed: %d\n", runner.m_nError);
            return 1;
        }
        runner.Shutdown();
        answers = recorder->Answers();
    }
    std::ofstream out(argv[1], std::ios::binary);
    for (const std::string& answer : answers) {
        out.put(static_cast<char>(answer.size() & 0xFF));
        out.put(static_cast<char>(answer.size() >> 8));
        out << answer;
    }
    std::printf("%zu answers\n", answers.size());
    return out ? 0 : 1;
}
