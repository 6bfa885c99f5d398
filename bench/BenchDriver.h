// What the memory-operation benchmarks share: a panel and a model section of a chosen size,
// a temporary program folder, a rig that puts a simulated panel on the far end of a virtual
// link, a view that answers the model-information request and takes timestamped marks
// (wall time, CPU time of the process and of every thread, bytes on the link) at the start
// of the data phase, at its end and at completion, and the CPU clocks behind the marks.
//
// Thread-safety: the rig and the driver belong to the benchmark's main thread. BenchView is
// called by the operation's event thread and runs posted messages on a UI thread of its
// own; its results are read by the main thread after WaitComplete().
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ops/engine/OperationView.h"
#include "ops/memory/MemoryOperation.h"
#include "platform/Clock.h"
#include "platform/VirtualSerial.h"
#include "sim/Panel.h"
#include "sim/PanelDescription.h"
#include "support/PanelFixture.h"
#include "support/TempDir.h"

namespace kz::bench {

using Steady = std::chrono::steady_clock;

// ---- CPU clocks ------------------------------------------------------------------------------

// CPU time of the whole process so far, exited threads included (seconds).
double ProcessCpuSeconds();
// CPU time of one live thread of this process (seconds); a negative value when the thread
// has ended.
double ThreadCpuSeconds(pid_t tid);
// The kernel thread id of the calling thread.
pid_t CurrentTid();
// The ids of the live threads of this process.
std::vector<pid_t> ThreadIds();

// ---- Panel, model and program folder ---------------------------------------------------------

inline constexpr std::uint32_t kLoaderAddress = 0x00021000;
inline constexpr std::size_t kLoaderBody = 256;  // bytes: a short download even at 9600 bit/s
inline constexpr const char* kLoaderFile = "BENCH.LDR";

// The benchmarks' panel is test::TestPanel(fromBytes, sramBytes). The model section
// ("KZ-BENCH") that fits it: FROM1 and SRAM1 (verified whole), OFFSET unit, signature, I/O
// code and CHKMEM checks, no BAU key (the link keeps the CONFIG rate).
std::string BenchModel(std::uint32_t fromBytes, std::uint32_t sramBytes,
                       std::uint32_t unit = 0x10000);

struct LinkConfig {
    std::uint32_t baud = 38400;  // CONFIG Bau: the rate of the data phase
    int readTimeout = 10;        // seconds
    int writeTimeout = 30;       // seconds
    int retry = 3;
};

// A temporary folder holding "KZMNT.INI" (CONFIG, PORTS with COM1 = port, the model) and
// the loader file; removed with its contents on destruction. Installs nothing globally.
class BenchFolder {
  public:
    BenchFolder(const LinkConfig& link, const std::string& port, const std::string& model);
    BenchFolder(const BenchFolder&) = delete;
    BenchFolder& operator=(const BenchFolder&) = delete;

    // The folder, ending in '/'.
    std::string Folder() const { return dir_.str(); }
    std::string Path(const std::string& name) const { return (dir_.path() / name).string(); }

  private:
    test::TempDir dir_;
};

// ---- In-process rig ------------------------------------------------------------------------

struct RigOptions {
    std::uint32_t fromBytes = 0x400000;
    std::uint32_t sramBytes = 0x80000;
    std::uint32_t unit = 0x10000;
    LinkConfig link;
    // Protocol clock: 0 runs on the real clock, N > 1 on a clock N times faster.
    unsigned clockFactor = 0;
    bool wireTiming = false;
    // Called on the panel's thread for every frame it received.
    std::function<void(const sim::ReceivedFrame&)> onFrame;
    // When set, the panel serves the device this returns for the link's panel end (a
    // decorator that watches the panel's side of the line, for instance).
    std::function<std::unique_ptr<platform::ISerialDevice>(
        std::unique_ptr<platform::ISerialDevice>)>
        wrapPanelDevice;
};

// A program folder whose COM1 is a fresh virtual link, and a simulated panel on the link's
// other end. Installs the folder as the program folder and the chosen protocol clock; both
// are put back on destruction. One rig at a time per process.
class Rig {
  public:
    explicit Rig(const RigOptions& options);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    sim::Panel& Panel() { return panel_->panel(); }
    platform::VirtualSerialLink& Link() { return *link_; }
    std::string Path(const std::string& name) const { return folder_->Path(name); }
    // The thread the panel serves on (found when the panel started).
    pid_t PanelTid() const { return panelTid_; }
    const RigOptions& Options() const { return options_; }

  private:
    RigOptions options_;
    std::shared_ptr<platform::VirtualSerialLink> link_;
    std::unique_ptr<BenchFolder> folder_;
    std::unique_ptr<platform::ScaledClock> clock_;
    std::unique_ptr<test::PanelFixture> panel_;
    pid_t panelTid_ = 0;
};

// ---- View and marks ------------------------------------------------------------------------

// One moment of a run.
struct Mark {
    bool taken = false;
    Steady::time_point at;
    double processCpu = 0;              // seconds
    std::map<pid_t, double> threadCpu;  // every live thread: seconds
    pid_t caller = 0;                   // the thread that took the mark
    std::uint64_t pcBytes = 0;          // written by the PC end of the link so far
    std::uint64_t panelBytes = 0;       // written by the panel end so far
    std::map<pid_t, int> asleep;        // end of the data phase: samples found in a sleep
};

class BenchView final : public IOperationView, public IOperationPrompt {
  public:
    BenchView();
    ~BenchView() override;
    BenchView(const BenchView&) = delete;
    BenchView& operator=(const BenchView&) = delete;

    // Prepares a run of op: the data phase starts with the first status line that begins
    // with dataPrefix ("    Buckup(1/") and ends with the progress of 100. link, when set,
    // is sampled at each mark. Call before the operation starts.
    void Arm(CMemoryOperation* op, const std::string& dataPrefix,
             platform::VirtualSerialLink* link);
    // Takes the start mark (call right before the operation is started).
    void MarkStart();
    // Waits (real time) for WM_OPERATION_COMPLETE; false after the time-out.
    bool WaitComplete(std::chrono::seconds timeout);

    Mark start, dataStart, dataEnd, complete;
    std::vector<std::string> Lines();
    pid_t UiTid() const { return uiTid_; }

    // IOperationView
    void AddStatusLine(const std::string& text) override;
    void ClearStatusList() override {}
    void SetProgress(int position) override;
    void ResetProgress() override {}
    void SetModelName(const std::string&) override {}
    void ShowPowerWarning(bool) override {}
    void PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) override;
    // IOperationPrompt: every question is answered with OK.
    bool AskOkCancel(int, int) override { return true; }
    void ShowMessage(int, int) override {}
    bool ConfirmRestore() override { return true; }

  private:
    static constexpr int kSleepSamples = 10;
    void Take(Mark& mark, bool sampleSleep = false);
    void UiThread();

    CMemoryOperation* op_ = nullptr;
    std::string dataPrefix_;
    platform::VirtualSerialLink* link_ = nullptr;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    struct Posted {
        unsigned msg;
        RequestEvent* request;
    };
    std::deque<Posted> queue_;
    bool completed_ = false;
    bool stop_ = false;
    pid_t uiTid_ = 0;
    std::thread ui_;
};

// ---- Running an operation -----------------------------------------------------------------

struct RunResult {
    int error = 0;  // the final m_nError (msg::kCompleted on success)
    bool finished = false;
    double wholeSeconds = 0;              // start to completion
    double dataSeconds = 0;               // data phase: first progress line to progress 100
    double processCpu = 0;                // data phase, whole process
    double eventCpu = 0;                  // data phase, the operation's event thread
    double commCpu = 0;                   // data phase, the comm-event thread
    double timerCpu = 0;                  // data phase, the 10 ms tick thread
    double panelCpu = 0;                  // data phase, the simulator's thread
    double wholeProcessCpu = 0;           // start to completion, whole process
    double wholePanelCpu = 0;             // start to completion, the simulator's thread
    std::uint64_t pcBytes = 0;            // data phase, bytes written by the PC end
    std::uint64_t panelBytes = 0;         // data phase, bytes written by the panel end
    Steady::time_point dataFrom, dataTo;  // the data phase's marks
    int retries = 0;  // "Time Out" and "Data error" lines: the run repeated requests
    std::vector<std::string> lines;
};

// Runs op to completion (answering the model-information request with the model the
// operation found) and measures it. dataPrefix as in BenchView::Arm; link (may be null) is
// sampled for byte counts; panelTid is the simulator's thread when it runs in this process
// (0 otherwise). finished is false when the operation did not complete within timeout.
RunResult RunOperation(CMemoryOperation& op, const std::string& dataPrefix,
                       platform::VirtualSerialLink* link, pid_t panelTid,
                       std::chrono::seconds timeout = std::chrono::seconds(600));
// The same against the rig's panel.
inline RunResult RunOperation(Rig& rig, CMemoryOperation& op, const std::string& dataPrefix,
                              std::chrono::seconds timeout = std::chrono::seconds(600)) {
    return RunOperation(op, dataPrefix, &rig.Link(), rig.PanelTid(), timeout);
}

// The status-line prefixes that open each operation's data phase.
inline constexpr const char* kBackupData = "    Buckup(1/";
inline constexpr const char* kVerifyData = "    VERIFY(1/";
inline constexpr const char* kRestoreData = "    RESTORE(1/";

// Median of values (which must not be empty).
double Median(std::vector<double> values);

}  // namespace kz::bench
