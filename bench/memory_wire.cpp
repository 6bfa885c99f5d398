// Backup, verify and restore over the virtual link WITH wire timing at 115200 bit/s: how close
// the data phase comes to what the line can carry (11520 bytes/s at 10 bits per byte), and
// where the rest of the time goes.
//
//   bench_memory_wire [--kib N]        (FROM size in whole 64 KiB, default 256; no SRAM)
//
// Runs on the real clock: wire timing is real time. The data phase is measured from the
// first progress line to progress 100. Two figures explain a shortfall:
//   framing  the share of the bytes on the wire that are image data (requests, answers,
//            acknowledgements and checksums are the rest): the protocol's own ceiling
//   idle     data-phase time during which neither end was sending (the wire time of every
//            byte both ends wrote is subtracted), split into the PC's and the simulator's
//            turnarounds as the panel's end of the line sees them
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "BenchDriver.h"
#include "ops/memory/Backup.h"
#include "ops/memory/Restore.h"
#include "ops/memory/Verify.h"

namespace kz::bench {
namespace {

constexpr std::uint32_t kBaud = 115200;
constexpr double kWireLimit = kBaud / 10.0;  // bytes per second
constexpr double kByteTime = 10.0 / kBaud;   // seconds

// The panel's side of the line: the panel's end of the link, with every write and every
// read that returned bytes stamped. Each write closes a turn: what the panel read since the
// previous write (the PC's frame) and the write that answers it.
class TimedDevice final : public platform::ISerialDevice {
  public:
    struct Turn {
        Steady::time_point written;    // the panel's write started
        std::size_t writtenBytes = 0;  // its size
        Steady::time_point lastRead;   // the read that completed the PC's frame before it
        std::size_t readBytes = 0;     // bytes read since the panel's previous write
    };

    explicit TimedDevice(std::unique_ptr<platform::ISerialDevice> inner)
        : inner_(std::move(inner)) {}

    std::vector<Turn> TakeTurns() {
        std::lock_guard lock(mutex_);
        return std::exchange(turns_, {});
    }

    platform::DeviceCaps Caps() const override { return inner_->Caps(); }
    bool GetLineState(platform::LineState& state) override { return inner_->GetLineState(state); }
    bool SetLineState(const platform::LineState& state) override {
        return inner_->SetLineState(state);
    }
    bool SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
        return inner_->SetQueueSizes(in, out);
    }
    std::size_t Read(void* buffer, std::size_t max) override {
        const std::size_t n = inner_->Read(buffer, max);
        if (n > 0) {
            std::lock_guard lock(mutex_);
            lastRead_ = Steady::now();
            readBytes_ += n;
        }
        return n;
    }
    bool Write(const void* buffer, std::size_t count) override {
        {
            std::lock_guard lock(mutex_);
            turns_.push_back({Steady::now(), count, lastRead_, readBytes_});
            readBytes_ = 0;
        }
        return inner_->Write(buffer, count);
    }
    bool ClearError(std::uint32_t& errors, platform::QueueStatus& status) override {
        return inner_->ClearError(errors, status);
    }
    bool Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
    bool EscapeFunction(int function) override { return inner_->EscapeFunction(function); }
    bool GetModemStatus(std::uint32_t& status) override { return inner_->GetModemStatus(status); }
    bool SetEventMask(std::uint32_t mask) override { return inner_->SetEventMask(mask); }
    bool GetEventMask(std::uint32_t& mask) override { return inner_->GetEventMask(mask); }
    bool WaitEvent(std::uint32_t& events) override { return inner_->WaitEvent(events); }

  private:
    std::unique_ptr<platform::ISerialDevice> inner_;
    std::mutex mutex_;
    std::vector<Turn> turns_;
    Steady::time_point lastRead_{};
    std::size_t readBytes_ = 0;
};

// Where the idle time of a data phase went, from the panel's turns. For each turn:
//   PC     the PC's frame finished arriving later than the panel's previous write took on
//          the wire plus the frame's own wire time (the PC's turnaround, with the panel's
//          wake-up on the last byte)
//   panel  the panel wrote its answer this long after the PC's frame had arrived
struct Gaps {
    int turns = 0;
    double pc = 0;     // seconds
    double panel = 0;  // seconds
};

double Secs(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

Gaps Turnarounds(const std::vector<TimedDevice::Turn>& turns, Steady::time_point from,
                 Steady::time_point to) {
    Gaps g;
    bool havePrevious = false;
    Steady::time_point wireFree{};  // when the panel's previous write left the wire
    for (const TimedDevice::Turn& t : turns) {
        if (t.written < from || t.written > to) {
            continue;
        }
        if (havePrevious && t.readBytes > 0) {
            const double frameTime = static_cast<double>(t.readBytes) * kByteTime;
            g.pc += Secs(wireFree, t.lastRead) - frameTime;
            g.panel += Secs(t.lastRead, t.written);
            ++g.turns;
        }
        const auto start = std::max(t.written, wireFree);
        wireFree =
            start + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(
                        static_cast<double>(t.writtenBytes) * kByteTime));
        havePrevious = true;
    }
    return g;
}

struct Row {
    const char* name;
    RunResult run;
    Gaps gaps;
};

int Main(int argc, char** argv) {
    std::uint32_t kib = 256;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kib") == 0 && i + 1 < argc) {
            // Whole 64 KiB units.
            kib = static_cast<std::uint32_t>(std::max(64, std::atoi(argv[++i]) / 64 * 64));
        } else {
            std::fprintf(stderr, "usage: %s [--kib N]\n", argv[0]);
            return 2;
        }
    }
    const std::uint32_t bytes = kib * 1024;

    TimedDevice* timed = nullptr;
    RigOptions options;
    options.fromBytes = bytes;
    options.sramBytes = 0;
    options.link.baud = kBaud;
    options.clockFactor = 0;
    options.wireTiming = true;
    options.wrapPanelDevice = [&timed](std::unique_ptr<platform::ISerialDevice> device) {
        auto wrapped = std::make_unique<TimedDevice>(std::move(device));
        timed = wrapped.get();
        return std::unique_ptr<platform::ISerialDevice>(std::move(wrapped));
    };
    Rig rig(options);
    const std::string image = rig.Path("wire.mem");

    std::printf(
        "Memory operations at %u bit/s with wire timing (limit %.0f bytes/s), real clock\n"
        "Panel: FROM %u KiB, unit 0x10000; data phase = first progress line to "
        "progress 100\n\n",
        kBaud, kWireLimit, kib);
    std::fflush(stdout);

    struct Op {
        const char* name;
        const char* prefix;
    };
    std::vector<Row> rows;
    for (const Op& o :
         {Op{"backup", kBackupData}, Op{"verify", kVerifyData}, Op{"restore", kRestoreData}}) {
        std::unique_ptr<CMemoryOperation> op;
        if (std::strcmp(o.name, "backup") == 0) {
            op = std::make_unique<CBackup>();
        } else if (std::strcmp(o.name, "verify") == 0) {
            op = std::make_unique<CVerify>();
        } else {
            op = std::make_unique<CRestore>();
        }
        op->SetFileName(image);
        timed->TakeTurns();
        Row row{o.name, RunOperation(rig, *op, o.prefix), {}};
        const RunResult& r = row.run;
        if (!r.finished || r.error != msg::kCompleted || r.dataSeconds <= 0) {
            std::fprintf(stderr, "bench: %s did not complete (error %d); status list:\n", o.name,
                         r.error);
            for (const std::string& line : r.lines) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
            return 1;
        }
        row.gaps = Turnarounds(timed->TakeTurns(), r.dataFrom, r.dataTo);
        rows.push_back(std::move(row));
    }

    std::printf("%-8s %8s %8s %9s %9s | %8s %9s %8s | %6s %8s %8s %9s\n", "", "data", "data",
                "data", "fraction", "framing", "wire busy", "idle", "turns", "PC idle", "sim idle",
                "PC idle");
    std::printf("%-8s %8s %8s %9s %9s | %8s %9s %8s | %6s %8s %8s %9s\n", "op", "bytes", "seconds",
                "bytes/s", "of limit", "ceiling", "seconds", "seconds", "", "seconds", "seconds",
                "ms/turn");
    for (const Row& row : rows) {
        const RunResult& r = row.run;
        const double rate = bytes / r.dataSeconds;
        const double wire = static_cast<double>(r.pcBytes + r.panelBytes);
        const double busy = wire * kByteTime;
        const Gaps& g = row.gaps;
        std::printf("%-8s %8u %8.2f %9.1f %9.4f | %8.4f %9.3f %8.3f | %6d %8.3f %8.3f %9.3f\n",
                    row.name, bytes, r.dataSeconds, rate, rate / kWireLimit, bytes / wire, busy,
                    r.dataSeconds - busy, g.turns, g.pc, g.panel,
                    g.pc * 1000.0 / std::max(1, g.turns));
    }
    std::printf(
        "\nfraction of limit: data bytes/s over %.0f. framing ceiling: data bytes over all bytes "
        "both\nends wrote in the data phase (the best this framing allows). wire busy: those "
        "bytes at\n10 bits each; idle = data seconds - wire busy: time when neither end was "
        "sending.\n"
        "turns: the panel's answers in the data phase (two per packet: the read answer and the "
        "block,\nor ACK SUB and the write answer). Seen from the panel's end of the line:\n"
        "  PC idle   the PC's next frame (request, ACK or data block) finished arriving later "
        "than the\n            panel's previous answer and the frame itself take on the wire "
        "(the PC's turnaround,\n            gaps inside its frame, and the panel's wake-up on "
        "the last byte)\n"
        "  sim idle  the simulator wrote its answer this long after the PC's frame had "
        "arrived\n",
        kWireLimit);
    for (const Row& row : rows) {
        if (row.run.retries > 0) {
            std::printf("note: %s repeated %d requests after a time-out or data error.\n", row.name,
                        row.run.retries);
        }
    }
    return 0;
}

}  // namespace
}  // namespace kz::bench

int main(int argc, char** argv) {
    return kz::bench::Main(argc, argv);
}
