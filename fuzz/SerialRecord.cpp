// Records the simulated panel's answers to a session of SerialSession.h as a seed of the
// serial or CF harness (record_serial identity|cf FILE), or makes a small backup image of a
// simulated panel as a seed of the image harness (record_serial image FILE).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include "FuzzSupport.h"

#include "SerialSession.h"
#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/memory/Backup.h"
#include "support/PanelFixture.h"
#include "support/SimBench.h"

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
        std::lock_guard lock(mutex_);
        if (n > 0 && std::getenv("KZ_FUZZ_VERBOSE") != nullptr) {
            std::fprintf(stderr, "PC> %s\n",
                         kz::fuzz::Printable(std::string_view(static_cast<const char*>(buffer), n))
                             .substr(0, 80)
                             .c_str());
        }
        pending_.append(static_cast<const char*>(buffer), n);
        // The frames as the serial harness's peer cuts them: a lone ENQ or ACK, or
        // everything up to a CR. Each gets an answer slot, empty when nothing follows.
        for (;;) {
            if (!pending_.empty() && (pending_[0] == '\x05' || pending_[0] == '\x06')) {
                pending_.erase(0, 1);
            } else if (const auto cr = pending_.find('\r'); cr != std::string::npos) {
                pending_.erase(0, cr + 1);
            } else {
                break;
            }
            answers_.emplace_back();
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
            if (std::getenv("KZ_FUZZ_VERBOSE") != nullptr) {
                std::fprintf(
                    stderr, "PANEL> %s\n",
                    kz::fuzz::Printable(std::string_view(static_cast<const char*>(buffer), count))
                        .substr(0, 80)
                        .c_str());
            }
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
    std::string pending_;
};

// A backup of a panel with 256 bytes of FROM and 64 of SRAM, moved in units of 0x40 bytes.
int BackupImage(const std::string& file) {
    const kz::sim::PanelDescription panel = kz::test::TestPanel(0x100, 0x40);
    kz::test::ModelChoices choices;
    choices.loaderFile = "DEMO.LDR";
    choices.offset = 0x40;
    kz::test::SimBench bench({}, panel, kz::test::ModelSection(panel, choices));
    const std::string path = bench.folder.Path("SMALL.MEM");
    kz::CBackup op;
    op.SetFileName(path);
    op.SetComment("seed");
    op.SetView(&bench.view);
    op.SetPrompt(&bench.view);
    bench.view.onMessage = [&op](unsigned msg, std::uintptr_t) {
        if (msg == kz::WM_MODEL_INFO_REQUEST) {
            kz::ModelInfoExchange info = op.ModelInfoRequest();
            op.AnswerModelInfo(true, info.modelName, info.bkFile, info.baud);
        }
    };
    op.PostEvent(kz::EVENT_NONE);
    if (!bench.view.WaitMessage(kz::WM_OPERATION_COMPLETE, 1, std::chrono::seconds(120))) {
        return 1;
    }
    op.WaitIdle();
    if (op.m_nError != kz::msg::kCompleted) {
        std::fprintf(stderr, "the backup failed: %d\n", op.m_nError);
        return 1;
    }
    std::filesystem::copy_file(path, file, std::filesystem::copy_options::overwrite_existing);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode != "identity" && mode != "cf" && mode != "image") {
        std::fprintf(stderr, "usage: record_serial identity|cf|image FILE\n");
        return 2;
    }
    if (mode == "image") {
        return BackupImage(argv[2]);
    }
    kz::sim::PanelDescription description = kz::sim::DemoPanel();
    if (mode == "cf") {
        description.cfFiles = {{"ZI00001.BIN", {'K', 'Z', 0x0D, 0x10, 0x1A, 0x06, 0x15}},
                               {"ZR00007.CSV", {'N', 'o', ',', 'V', '\r', '\n', '1', ',', '2'}},
                               {"ZI00002.BIN", {}}};
    }
    kz::test::TestFolder& folder = kz::fuzz::SerialFolder();
    RecordingDevice* recorder = nullptr;
    std::vector<std::string> answers;
    {
        kz::test::PanelFixture panel(description, folder.linkPtr(), {},
                                     [&](std::unique_ptr<kz::platform::ISerialDevice> inner) {
                                         auto device =
                                             std::make_unique<RecordingDevice>(std::move(inner));
                                         recorder = device.get();
                                         return device;
                                     });
        kz::test::RecordingView view;
        if (mode == "cf") {
            if (!kz::fuzz::RunCfReceive(view) || view.Lines().empty() ||
                view.Lines().back() != kz::GetString(kz::msg::kCompleted)) {
                std::fprintf(stderr, "the CF receive failed\n");
                return 1;
            }
        } else {
            kz::test::CommandRunner runner;
            if (!kz::fuzz::RunIdentityRead(runner, view) || runner.m_nError != 0) {
                std::fprintf(stderr, "the identity read failed: %d\n", runner.m_nError);
                return 1;
            }
            runner.Shutdown();
        }
        answers = recorder->Answers();
    }
    std::ofstream out(argv[2], std::ios::binary);
    for (const std::string& answer : answers) {
        out.put(static_cast<char>(answer.size() & 0xFF));
        out.put(static_cast<char>(answer.size() >> 8));
        out << answer;
    }
    std::printf("%zu answers\n", answers.size());
    return out ? 0 : 1;
}
