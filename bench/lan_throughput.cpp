// LAN backup, verify and restore through the real library file against the LAN panel
// simulator on 127.0.0.1, compared with the library's raw rate: the same read or write
// requests (0x8000 bytes each, same addresses, one at a time, each with a completion
// callback) issued straight through the binding by a thread that waits for each completion.
//
//   bench_lan_throughput [--reps N] [--clock N] [--loopback-only]
//
// Two links: loopback without a limit (panel FROM 32 MiB + SRAM 1 MiB), and the simulator's
// link held to 10 Mbit/s in each direction (FROM 512 KiB + SRAM 128 KiB). Each measurement
// runs --reps times (default 5), operations and raw runs taking turns; times are the best
// run, CPU figures the median. --loopback-only leaves out the throttled link. The protocol clock is the real one unless --clock N makes
// it N times faster (the data phase has no fixed waits either way).
//
// Figures are for the data phase: an operation's first progress line to its progress of
// 100; the raw run's first request to its last completion.
//   ratio       raw time / operation time for the same bytes (1.0: the operation adds nothing)
//   pair ratio  the median over the reps of raw / op of one rep: each operation run against
//               the raw run just before it, so load that comes and goes on the machine
//               moves both sides of each ratio alike
//   of link     payload bytes per second / link rate (throttled link only)
//   CPU         process CPU per MiB; "PC side" is the process less the simulator's threads
//               (named "kzsim-lan"), so it holds the library, the operation and the bench.
//
// Everything stays on 127.0.0.1 (ephemeral port); every wait is bounded, so the program ends
// by itself.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchDriver.h"
#include "config/MessageIds.h"
#include "lan/LanLibrary.h"
#include "ops/engine/OperationView.h"
#include "ops/memory/BackupMtoM.h"
#include "ops/memory/RestoreMtoM.h"
#include "ops/memory/VerifyMtoM.h"
#include "platform/Clock.h"
#include "platform/ProgramFolder.h"
#include "sim/LanServer.h"
#include "support/TempDir.h"
#include "support/TestFolder.h"

namespace kz::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr std::uint32_t kSramAddress = 0x00400000;
constexpr std::uint32_t kPacket = lan::kMaxTransfer;
constexpr auto kOperationLimit = std::chrono::seconds(120);
constexpr auto kCompletionLimit = std::chrono::seconds(30);

// ---- Marks ---------------------------------------------------------------------------------

struct Mark {
    Steady::time_point at;
    double processCpu = 0;
    double simCpu = 0;  // threads named "kzsim-lan"
};

bool IsSimThread(pid_t tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "kzsim-lan";
}

Mark Take() {
    Mark m;
    for (pid_t tid : ThreadIds()) {
        if (IsSimThread(tid)) {
            const double cpu = ThreadCpuSeconds(tid);
            m.simCpu += cpu > 0 ? cpu : 0;
        }
    }
    m.processCpu = ProcessCpuSeconds();
    m.at = Steady::now();
    return m;
}

// One data phase.
struct Sample {
    bool ok = false;
    double seconds = 0;
    double processCpu = 0;
    double simCpu = 0;
};

Sample Between(const Mark& a, const Mark& b) {
    Sample s;
    s.ok = true;
    s.seconds = std::chrono::duration<double>(b.at - a.at).count();
    s.processCpu = b.processCpu - a.processCpu;
    s.simCpu = b.simCpu - a.simCpu;
    return s;
}

// ---- The operations ------------------------------------------------------------------------

// Answers every question with OK, releases posted requests from a UI thread of its own, and
// marks the data phase: the first status line starting with dataPrefix, the progress of 100.
class MarkingView final : public IOperationView, public IOperationPrompt {
  public:
    explicit MarkingView(std::string dataPrefix)
        : prefix_(std::move(dataPrefix)), ui_([this] { UiThread(); }) {}
    ~MarkingView() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        ui_.join();
    }

    void AddStatusLine(const std::string& text) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(text);
        if (!started_ && text.rfind(prefix_, 0) == 0) {
            started_ = true;
            start_ = Take();
        }
    }
    void SetProgress(int position) override {
        std::lock_guard lock(mutex_);
        if (started_ && !ended_ && position >= 100) {
            ended_ = true;
            end_ = Take();
        }
    }
    void ClearStatusList() override {}
    void ResetProgress() override {}
    void SetModelName(const std::string&) override {}
    void ShowPowerWarning(bool) override {}
    void PostViewMessage(unsigned msg, std::uintptr_t, RequestEvent* request) override {
        std::lock_guard lock(mutex_);
        queue_.push_back({msg, request});
        cv_.notify_all();
    }
    bool AskOkCancel(int, int) override { return true; }
    void ShowMessage(int, int) override {}
    bool ConfirmRestore() override { return true; }

    bool WaitComplete(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return completed_; });
    }
    Sample DataPhase() {
        std::lock_guard lock(mutex_);
        return started_ && ended_ ? Between(start_, end_) : Sample{};
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    struct Posted {
        unsigned msg;
        RequestEvent* request;
    };
    void UiThread() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;
            }
            const Posted posted = queue_.front();
            queue_.erase(queue_.begin());
            if (posted.request != nullptr) {
                posted.request->Set();
            }
            if (posted.msg == WM_OPERATION_COMPLETE) {
                completed_ = true;
                cv_.notify_all();
            }
        }
    }

    const std::string prefix_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::vector<Posted> queue_;
    bool started_ = false;
    bool ended_ = false;
    bool completed_ = false;
    bool stop_ = false;
    Mark start_, end_;
    std::thread ui_;
};

template <class Operation>
Sample RunOperation(const char* name, const std::string& endpoint, const std::string& image,
                    const std::string& dataPrefix) {
    Operation op;
    MarkingView view(dataPrefix);
    op.SetView(&view);
    op.SetPrompt(&view);
    op.SetNodeAddress(endpoint);
    op.SetFileName(image);
    op.PostEvent(EVENT_NONE);
    if (!view.WaitComplete(kOperationLimit)) {
        // Bounded either way: the abort ends a run whose request never completes.
        op.PostEvent(EVENT_ABORT);
        view.WaitComplete(std::chrono::seconds(30));
    }
    op.WaitIdle();
    const Sample sample = view.DataPhase();
    if (op.m_nError != msg::kCompleted || !sample.ok) {
        std::fprintf(stderr, "bench: %s ended with %d; status list:\n", name, op.m_nError);
        for (const std::string& line : view.Lines()) {
            std::fprintf(stderr, "  %s\n", line.c_str());
        }
        return {};
    }
    return sample;
}

// ---- The raw requests ----------------------------------------------------------------------

// One completion at a time, handed from the library's thread to the waiting thread.
struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int result = -1;

    static int KZ_MTOM_CALL Callback(lan::MtoMSocket* socket, int result) {
        auto* self = static_cast<Waiter*>(lan::UserPointer(socket));
        std::lock_guard lock(self->mutex);
        self->done = true;
        self->result = result;
        self->cv.notify_all();
        return 0;
    }
};

// A session of its own with a started loader; Run() issues one request and waits for it.
class RawSession {
  public:
    bool Open(const std::string& endpoint, const std::string& loader) {
        if (!lib_.Load()) {
            return false;
        }
        sock_ = lib_.CreateMtoMSocket(lan::kSocketKind);
        if (sock_ == nullptr) {
            return false;
        }
        lan::SetUserPointer(sock_, &waiter_);
        if (lib_.OpenMtoMLAN(sock_, nullptr, endpoint.c_str()) != 0) {
            return false;
        }
        std::vector<std::uint8_t> body(loader.begin() + 4, loader.end());
        std::uint32_t address = 0;
        std::memcpy(&address, loader.data(), 4);  // least significant byte first
        return Run([&](lan::MtoMCallback cb) {
                   return lib_.DownloadingSystemDownloaderFile(
                       sock_, cb, address, static_cast<std::uint32_t>(body.size()), body.data());
               }) &&
               Run([&](lan::MtoMCallback cb) {
                   return lib_.InvokingTheDownloadedObject(sock_, cb, address);
               });
    }
    ~RawSession() {
        if (sock_ != nullptr) {
            lib_.CloseMtoM(sock_, nullptr);
            lib_.FreeMtoMSocket(sock_);
        }
        lib_.Unload();
    }

    template <typename Call>
    bool Run(Call call) {
        {
            std::lock_guard lock(waiter_.mutex);
            waiter_.done = false;
        }
        if (call(&Waiter::Callback) != lan::kResultAccepted) {
            return false;
        }
        std::unique_lock lock(waiter_.mutex);
        return waiter_.cv.wait_for(lock, kCompletionLimit, [this] { return waiter_.done; }) &&
               waiter_.result == 0;
    }

    const lan::LanLibrary& Lib() const { return lib_; }
    lan::MtoMSocket* Socket() const { return sock_; }

  private:
    lan::LanLibrary lib_;
    lan::MtoMSocket* sock_ = nullptr;
    Waiter waiter_;
};

struct Area {
    std::uint32_t address;
    std::uint32_t size;
};

// Reads (write false) or writes the areas in packets; memory holds the bytes of all areas in
// order (filled by a read, sent by a write).
Sample RunRaw(const char* name, const std::string& endpoint, const std::string& loader,
              const std::vector<Area>& areas, bool write, std::vector<std::uint8_t>& memory) {
    RawSession session;
    if (!session.Open(endpoint, loader)) {
        std::fprintf(stderr, "bench: raw %s: no session with a started loader\n", name);
        return {};
    }
    std::vector<std::uint8_t> buffer(lan::kAdapterBufferSize);
    std::size_t offset = 0;
    const Mark start = Take();
    for (const Area& area : areas) {
        for (std::uint32_t done = 0; done < area.size; done += kPacket) {
            const std::uint32_t size = std::min(kPacket, area.size - done);
            const bool ok = session.Run([&](lan::MtoMCallback cb) {
                if (write) {
                    return session.Lib().DownloadingMaintenanceTool(
                        session.Socket(), cb, area.address + done, size, memory.data() + offset);
                }
                return session.Lib().UploadingMaintenanceTool(
                    session.Socket(), cb, area.address + done, size, buffer.data());
            });
            if (!ok) {
                std::fprintf(stderr, "bench: raw %s failed at 0x%X\n", name, area.address + done);
                return {};
            }
            if (!write) {
                std::memcpy(memory.data() + offset, buffer.data(), size);
            }
            offset += size;
        }
    }
    return Between(start, Take());
}

// ---- One link ------------------------------------------------------------------------------

struct Row {
    const char* op;
    std::uint64_t bytes = 0;
    std::vector<Sample> ops, raws;
};

struct LinkResult {
    std::string name;
    std::uint64_t rate = 0;  // bytes per second; 0: loopback without a limit
    std::uint32_t from = 0, sram = 0;
    std::vector<Row> rows;
    bool ok = false;
};

LinkResult MeasureLink(const std::string& name, std::uint64_t rate, std::uint32_t from,
                       std::uint32_t sram, int reps) {
    LinkResult result{name, rate, from, sram, {}, false};
    sim::PanelDescription panel = sim::DemoPanel();
    panel.fromSize = from;
    panel.sramSize = sram;
    panel.regions[0].size = from;
    panel.regions[1].size = sram;
    sim::LanServer server(panel);
    std::string error;
    if (!server.Start(0, &error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return result;
    }
    server.SetLinkRate(rate);

    test::TempDir program;
    const std::string loader("\x00\x10\x00\x00SLDR", 8);
    program.Write("SLOADER.BIN", loader);
    auto hex = [](std::uint32_t v) {
        char text[9];
        std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
        return std::string(text);
    };
    test::IniText ini;
    ini.Section("CONFIG").Key("AUTOFILENAME", 0);
    ini.Section("DEMO")
        .Key("ID", panel.coreId)
        .Key("SLOADER", "SLOADER.BIN")
        .Key("CHKMEM", hex(from) + "," + hex(sram))
        .Key("FROM1", "00000000," + hex(from))
        .Key("SRAM1", hex(kSramAddress) + "," + hex(sram) + "," + hex(sram));
    program.Write("KZMNT.INI", ini.str());
    program.Write("Kevrosa.conf", server.Endpoint() + "\n");
    fs::copy_file(KZ_KEVROSA_FILE, program.path() / lan::kLibraryFile);
    platform::SetProgramFolder(program.str());

    const std::vector<Area> areas = {{0, from}, {kSramAddress, sram}};
    std::vector<std::uint8_t> memory(std::size_t{from} + sram);
    const std::string image = program.str() + "bench.MEM";
    result.rows = {{"backup", memory.size(), {}, {}},
                   {"verify", memory.size(), {}, {}},
                   {"restore", memory.size(), {}, {}}};
    bool ok = true;
    for (int rep = 0; rep < reps && ok; ++rep) {
        Row& b = result.rows[0];
        Row& v = result.rows[1];
        Row& r = result.rows[2];
        b.raws.push_back(RunRaw("read", server.Endpoint(), loader, areas, false, memory));
        b.ops.push_back(RunOperation<CBackupMtoM>("backup", server.Endpoint(), image, kBackupData));
        v.raws.push_back(RunRaw("read", server.Endpoint(), loader, areas, false, memory));
        v.ops.push_back(RunOperation<CVerifyMtoM>("verify", server.Endpoint(), image, kVerifyData));
        r.raws.push_back(RunRaw("write", server.Endpoint(), loader, areas, true, memory));
        r.ops.push_back(
            RunOperation<CRestoreMtoM>("restore", server.Endpoint(), image, kRestoreData));
        for (const Row& row : result.rows) {
            ok = ok && row.ops.back().ok && row.raws.back().ok;
        }
    }
    const sim::LanCounters counters = server.Counters();
    const std::uint32_t perPass = (from + sram) / kPacket;
    if (ok && (counters.reads != 4u * perPass * static_cast<unsigned>(reps) ||
               counters.writes != 2u * perPass * static_cast<unsigned>(reps))) {
        std::fprintf(
            stderr, "bench: %s: the panel saw %u reads and %u writes, expected %u and %u\n",
            name.c_str(), counters.reads, counters.writes, 4 * perPass * reps, 2 * perPass * reps);
        ok = false;
    }
    server.Stop();
    platform::SetProgramFolder("");
    result.ok = ok;
    return result;
}

double Best(const std::vector<Sample>& samples) {
    double best = samples.front().seconds;
    for (const Sample& s : samples) {
        best = std::min(best, s.seconds);
    }
    return best;
}

// The median of raw / op over the reps (each op run with the raw run before it).
double PairRatio(const Row& row) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < row.ops.size() && i < row.raws.size(); ++i) {
        ratios.push_back(row.raws[i].seconds / row.ops[i].seconds);
    }
    return Median(ratios);
}

double MedianOf(const std::vector<Sample>& samples, double (*field)(const Sample&)) {
    std::vector<double> values;
    for (const Sample& s : samples) {
        values.push_back(field(s));
    }
    return Median(values);
}

void Print(const LinkResult& link, int reps) {
    std::printf("\n%s: panel FROM %u KiB + SRAM %u KiB, %d runs each", link.name.c_str(),
                link.from / 1024, link.sram / 1024, reps);
    if (link.rate != 0) {
        std::printf(", link %.1f Mbit/s each way", static_cast<double>(link.rate) * 8 / 1e6);
    }
    std::printf("\n%-8s %8s %9s %9s %6s %6s %8s %8s | %9s %9s %9s %9s\n", "", "op", "op", "raw",
                "ratio", "pair", "op", "raw", "op", "op", "raw", "simulator");
    std::printf("%-8s %8s %9s %9s %6s %6s %8s %8s | %9s %9s %9s %9s\n", "op", "s", "MiB/s", "MiB/s",
                "", "ratio", "of link", "of link", "process", "PC side", "PC side", "(op run)");
    std::printf("%-8s %8s %9s %9s %6s %6s %8s %8s | %9s %9s %9s %9s\n", "", "", "", "", "", "", "",
                "", "ms/MiB", "ms/MiB", "ms/MiB", "ms/MiB");
    for (const Row& row : link.rows) {
        const double mib = static_cast<double>(row.bytes) / kMiB;
        const double op = Best(row.ops);
        const double raw = Best(row.raws);
        auto perMiB = [&](const std::vector<Sample>& s, double (*field)(const Sample&)) {
            return MedianOf(s, field) * 1000.0 / mib;
        };
        const double opProcess = perMiB(row.ops, [](const Sample& s) { return s.processCpu; });
        const double opPc =
            perMiB(row.ops, [](const Sample& s) { return s.processCpu - s.simCpu; });
        const double rawPc =
            perMiB(row.raws, [](const Sample& s) { return s.processCpu - s.simCpu; });
        const double sim = perMiB(row.ops, [](const Sample& s) { return s.simCpu; });
        char opLink[16] = "-";
        char rawLink[16] = "-";
        if (link.rate != 0) {
            std::snprintf(opLink, sizeof opLink, "%.2f",
                          static_cast<double>(row.bytes) / op / static_cast<double>(link.rate));
            std::snprintf(rawLink, sizeof rawLink, "%.2f",
                          static_cast<double>(row.bytes) / raw / static_cast<double>(link.rate));
        }
        std::printf("%-8s %8.3f %9.1f %9.1f %6.2f %6.2f %8s %8s | %9.2f %9.2f %9.2f %9.2f\n",
                    row.op, op, mib / op, mib / raw, raw / op, PairRatio(row), opLink, rawLink,
                    opProcess, opPc, rawPc, sim);
    }
}

// The first line of /proc/loadavg: how busy the machine was around the figures.
std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    return line.empty() ? "unknown" : line;
}

int Main(int argc, char** argv) {
    int reps = 5;
    unsigned factor = 1;
    bool loopbackOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
            reps = std::max(1, std::min(20, std::atoi(argv[++i])));
        } else if (std::strcmp(argv[i], "--clock") == 0 && i + 1 < argc) {
            factor = static_cast<unsigned>(std::max(1, std::min(100, std::atoi(argv[++i]))));
        } else if (std::strcmp(argv[i], "--loopback-only") == 0) {
            loopbackOnly = true;
        } else {
            std::fprintf(stderr, "usage: %s [--reps N] [--clock N] [--loopback-only]\n", argv[0]);
            return 2;
        }
    }
    platform::ScaledClock clock(factor);
    platform::ScopedClock clockGuard(clock);
    const std::string loadBefore = LoadAverage();

    const LinkResult loopback = MeasureLink("Loopback", 0, 0x2000000, 0x100000, reps);
    if (!loopback.ok) {
        return 1;
    }
    LinkResult throttled;
    if (!loopbackOnly) {
        throttled = MeasureLink("Throttled", 10'000'000 / 8, 0x80000, 0x20000, reps);
        if (!throttled.ok) {
            return 1;
        }
    }
    std::printf(
        "LAN memory operations through libKevrosa against the LAN panel simulator on 127.0.0.1\n"
        "op: the operation's data phase (best run); raw: the same 0x8000-byte requests issued\n"
        "straight through the binding, one at a time (best run); ratio = raw s / op s;\n"
        "pair ratio: the median of raw s / op s of the runs made one after the other.\n"
        "CPU (median): process CPU per MiB of the op run; PC side = process less the\n"
        "simulator's threads; simulator = its threads during the op run.\n");
    Print(loopback, reps);
    if (!loopbackOnly) {
        Print(throttled, reps);
    }
    std::printf(
        "\nload average (/proc/loadavg) before: %s\n                             after:  %s\n",
        loadBefore.c_str(), LoadAverage().c_str());
    return 0;
}

}  // namespace
}  // namespace kz::bench

int main(int argc, char** argv) {
    return kz::bench::Main(argc, argv);
}
