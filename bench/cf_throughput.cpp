// CF card receive and send over the virtual link WITH wire timing at 115200 bit/s: how close
// the file transfer comes to what the line can carry (11520 bytes/s at 10 bits per byte).
//
//   bench_cf_throughput [--files N] [--max-bytes N] [--seed N]
//
// The card holds N files (default 300) spread over the seventeen categories, their sizes
// drawn log-uniformly from 16 bytes to --max-bytes (default 8192), so that small files,
// whose cost is mostly the per-file exchange, weigh as much as large ones. The receive
// copies the card into a PC folder; the card is then emptied and the send copies the folder
// back, and the card must end up byte for byte as it was.
//
// Runs on the real clock: wire timing is real time. The data phase is measured from the
// first category line to the final status line. Figures per direction:
//   file bytes/s   file contents moved per second of the data phase
//   of limit       that rate as a fraction of 11520 bytes/s
//   framing        the share of the bytes on the wire that are file contents (requests,
//                  headers, acknowledgements, checksums and answers are the rest)
//   idle           data-phase time during which neither end was sending
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/StringTable.h"
#include "ops/cf/CfReceive.h"
#include "ops/cf/CfSend.h"
#include "platform/VirtualSerial.h"
#include "sim/Panel.h"
#include "sim/PanelDescription.h"
#include "support/PanelFixture.h"
#include "support/TestFolder.h"

namespace kz::bench {
namespace {

using Steady = std::chrono::steady_clock;

constexpr std::uint32_t kBaud = 115200;
constexpr double kWireLimit = kBaud / 10.0;  // bytes per second
constexpr double kByteTime = 10.0 / kBaud;   // seconds

// Answers every question with OK, timestamps the status lines and waits for completion.
class BenchView : public IOperationView, public IOperationPrompt {
  public:
    void AddStatusLine(const std::string& text) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
        if (captions_.count(text) != 0 && dataFrom_ == Steady::time_point{}) {
            dataFrom_ = Steady::now();
        }
        lastLineAt_ = Steady::now();
    }
    void ClearStatusList() override {}
    void SetProgress(int) override {}
    void ResetProgress() override {}
    void SetModelName(const std::string&) override {}
    void ShowPowerWarning(bool) override {}
    void PostViewMessage(unsigned msg, std::uintptr_t, RequestEvent* request) override {
        if (request) {
            request->Set();
        }
        if (msg == WM_OPERATION_COMPLETE) {
            std::lock_guard lock(mutex_);
            complete_ = true;
            cv_.notify_all();
        }
    }
    bool AskOkCancel(int, int) override { return true; }
    void ShowMessage(int, int) override {}
    bool ConfirmRestore() override { return true; }

    void Start(bool receive) {
        std::lock_guard lock(mutex_);
        lines_.clear();
        captions_.clear();
        for (const CfCategory& category : kCfCategories) {
            captions_.insert(GetString(receive ? category.receiveCaption : category.sendCaption));
        }
        dataFrom_ = {};
        complete_ = false;
    }
    void WaitComplete() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return complete_; });
    }
    double DataSeconds() {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double>(lastLineAt_ - dataFrom_).count();
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::set<std::string> captions_;
    Steady::time_point dataFrom_{};
    Steady::time_point lastLineAt_{};
    bool complete_ = false;
};

struct Result {
    double seconds = 0;
    std::uint64_t wireBytes = 0;
};

template <class Operation>
bool Run(BenchView& view, platform::VirtualSerialLink& link, const std::string& folder,
         bool receive, Result& result) {
    view.Start(receive);
    const std::uint64_t before = link.BytesWritten(platform::VirtualSerialLink::End::Pc) +
                                 link.BytesWritten(platform::VirtualSerialLink::End::Panel);
    {
        Operation op;
        op.SetView(&view);
        op.SetPrompt(&view);
        op.SetFolder(folder);
        op.PostEvent(EVENT_NONE);
        view.WaitComplete();
        op.WaitIdle();
        if (op.m_nError != msg::kCompleted) {
            std::fprintf(stderr, "bench: %s ended with %d; status list:\n",
                         receive ? "receive" : "send", op.m_nError);
            for (const std::string& line : view.Lines()) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
            return false;
        }
    }
    result.seconds = view.DataSeconds();
    result.wireBytes = link.BytesWritten(platform::VirtualSerialLink::End::Pc) +
                       link.BytesWritten(platform::VirtualSerialLink::End::Panel) - before;
    return true;
}

int Main(int argc, char** argv) {
    int files = 300;
    int maxBytes = 8192;
    unsigned seed = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
            files = std::clamp(std::atoi(argv[++i]), 1, 8999);
        } else if (std::strcmp(argv[i], "--max-bytes") == 0 && i + 1 < argc) {
            maxBytes = std::clamp(std::atoi(argv[++i]), 16, 1 << 24);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--files N] [--max-bytes N] [--seed N]\n", argv[0]);
            return 2;
        }
    }

    // The card: files spread round-robin over the categories, numbered upwards.
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> logSize(std::log(16.0), std::log(double(maxBytes)));
    sim::CfFiles card;
    std::uint64_t total = 0;
    for (int i = 0; i < files; ++i) {
        const CfCategory& category = kCfCategories[static_cast<std::size_t>(i) % kCfCategoryCount];
        const int number = category.first + i / static_cast<int>(kCfCategoryCount);
        const auto size = static_cast<std::size_t>(std::exp(logSize(random)));
        std::vector<std::uint8_t> bytes(size);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        total += size;
        card[CfStem(category, number) + std::string(category.extension)] = std::move(bytes);
    }

    // The program folder (COM1 on a virtual link, CONFIG at 115200 bit/s) on the real clock
    // speed, the link with wire timing, and the panel with the card on its far end.
    test::LinkSettings settings;
    settings.bauIndex = 3;  // 115200 bit/s: kBaud
    settings.readTimeout = 10;
    settings.writeTimeout = 30;
    settings.retry = 3;
    settings.clockFactor = 1;
    int status = 0;
    {
        test::TestFolder folder(settings);
        folder.link().SetWireTiming(true);
        sim::PanelDescription description = sim::DemoPanel();
        description.cfFiles = card;
        test::PanelFixture panel(std::move(description), folder.linkPtr());

        std::printf(
            "CF transfers at %u bit/s with wire timing (limit %.0f bytes/s), real clock\n"
            "Card: %d files, %llu bytes, sizes 16 to %d bytes (log-uniform); data phase = first\n"
            "category line to the final status line\n\n",
            kBaud, kWireLimit, files, static_cast<unsigned long long>(total), maxBytes);
        std::fflush(stdout);

        BenchView view;
        const std::string pc = folder.Path("pc");
        Result received;
        Result sent;
        bool ok = Run<CCfReceive>(view, folder.link(), pc, true, received);
        if (ok) {
            for (const auto& [name, bytes] : card) {
                panel->RemoveCfCardFile(name);
            }
            ok = Run<CCfSend>(view, folder.link(), pc, false, sent);
        }
        const bool identical = ok && panel->CfCardFiles() == card;
        panel->Stop();

        if (ok) {
            std::printf("%-8s %6s %9s %8s %9s %9s | %8s %9s\n", "", "files", "file", "data", "file",
                        "fraction", "framing", "idle");
            std::printf("%-8s %6s %9s %8s %9s %9s | %8s %9s\n", "op", "", "bytes", "seconds",
                        "bytes/s", "of limit", "", "seconds");
            for (const auto& [name, r] : {std::pair<const char*, Result>{"receive", received},
                                          std::pair<const char*, Result>{"send", sent}}) {
                const double rate = static_cast<double>(total) / r.seconds;
                const double busy = static_cast<double>(r.wireBytes) * kByteTime;
                std::printf("%-8s %6d %9llu %8.2f %9.1f %9.4f | %8.4f %9.2f\n", name, files,
                            static_cast<unsigned long long>(total), r.seconds, rate,
                            rate / kWireLimit, static_cast<double>(total) / r.wireBytes,
                            std::max(0.0, r.seconds - busy));
            }
            std::printf("\ncard after receive and send: %s\n",
                        identical ? "byte-identical" : "DIFFERENT");
        }
        status = ok && identical ? 0 : 1;
    }
    return status;
}

}  // namespace
}  // namespace kz::bench

int main(int argc, char** argv) {
    return kz::bench::Main(argc, argv);
}
