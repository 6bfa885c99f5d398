// Backup, verify and restore over the virtual link WITH wire timing at 115200 bit/s: how close
// the data phase comes to what the line can carry (11520 bytes/s at 10 bits per byte), and
// where the rest of the time goes.
//
//   bench_memory_wire [--kib N]        (FROM size, default 256 KiB; no SRAM)
//
// Runs on the real clock: wire timing is real time. The data phase is measured from the
// first progress line to progress 100. Two figures explain a shortfall:
//   framing  the share of the bytes on the wire that are image data (requests, answers,
//            acknowledgements and checksums are the rest); the protocol's own ceiling
//   idle     data-phase time during which neither end was sending (the wire time of every
//            byte both ends wrote is subtracted), split per packet at the two turnarounds
//            the panel observes (a request or data block arriving after its prompt)
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

// Frame sizes on the wire (see the transfer commands): the memory request DLE ">m"/"<m",
// 8 + 8 hex digits and CR; the panel's answer DLE "xx00" CR SUB; ACK; ACK SUB.
constexpr int kRequestBytes = 20;
constexpr int kAnswerBytes = 7;
constexpr int kAckBytes = 1;
constexpr int kAckSubBytes = 2;
constexpr int kChecksumBytes = 2;

struct FrameSeen {
    Steady::time_point at;
    std::string command;
    std::uint32_t size = 0;  // memory requests: the block size they name
};

class FrameLog {
  public:
    void Add(const sim::ReceivedFrame& frame) {
        FrameSeen seen{Steady::now(), frame.command, 0};
        if ((frame.command == ">m" || frame.command == "<m") && frame.raw.size() >= 19) {
            const std::string hex(frame.raw.begin() + 11, frame.raw.begin() + 19);
            seen.size = static_cast<std::uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
        }
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(seen));
    }
    std::vector<FrameSeen> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(frames_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<FrameSeen> frames_;
};

struct Gaps {
    int packets = 0;
    int intervals = 0;       // packet to next packet
    double afterPrompt = 0;  // total seconds: ACK (read) / data block (write) later than ideal
    double afterBlock = 0;   // total seconds: next request later than ideal
};

double Secs(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Reads: ">m" arrives, the panel answers (7 bytes), the PC acknowledges (1 byte), the panel
// sends the block (size + 2); the next ">m" (20 bytes) follows.
// Writes: "<m" arrives, the panel answers ACK SUB (2 bytes), the PC sends the block
// (size + 2), the panel answers (7 bytes); the next "<m" (20 bytes) follows.
Gaps Turnarounds(const std::vector<FrameSeen>& frames, Steady::time_point from,
                 Steady::time_point to, bool read) {
    Gaps g;
    const std::string request = read ? ">m" : "<m";
    const std::string prompted = read ? "ACK" : "DATA";
    const FrameSeen* lastRequest = nullptr;
    const FrameSeen* lastPrompted = nullptr;
    std::uint32_t lastSize = 0;
    for (const FrameSeen& f : frames) {
        if (f.at < from || f.at > to) {
            continue;
        }
        if (f.command == request) {
            if (lastPrompted != nullptr) {
                const double ideal = read ? (lastSize + kChecksumBytes + kRequestBytes) * kByteTime
                                          : (kAnswerBytes + kRequestBytes) * kByteTime;
                g.afterBlock += Secs(lastPrompted->at, f.at) - ideal;
                ++g.intervals;
            }
            lastRequest = &f;
            lastPrompted = nullptr;
            lastSize = f.size;
        } else if (f.command == prompted && lastRequest != nullptr) {
            const double ideal = read ? (kAnswerBytes + kAckBytes) * kByteTime
                                      : (kAckSubBytes + lastSize + kChecksumBytes) * kByteTime;
            g.afterPrompt += Secs(lastRequest->at, f.at) - ideal;
            lastPrompted = &f;
            ++g.packets;
        }
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
            kib = static_cast<std::uint32_t>(std::max(64, std::atoi(argv[++i])));
        } else {
            std::fprintf(stderr, "usage: %s [--kib N]\n", argv[0]);
            return 2;
        }
    }
    const std::uint32_t bytes = kib * 1024;

    FrameLog log;
    RigOptions options;
    options.fromBytes = bytes;
    options.sramBytes = 0;
    options.link.baud = kBaud;
    options.clockFactor = 0;
    options.wireTiming = true;
    options.onFrame = [&log](const sim::ReceivedFrame& frame) { log.Add(frame); };
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
        bool read;
    };
    std::vector<Row> rows;
    for (const Op& o : {Op{"backup", kBackupData, true}, Op{"verify", kVerifyData, true},
                        Op{"restore", kRestoreData, false}}) {
        std::unique_ptr<CMemoryOperation> op;
        if (std::strcmp(o.name, "backup") == 0) {
            op = std::make_unique<CBackup>();
        } else if (std::strcmp(o.name, "verify") == 0) {
            op = std::make_unique<CVerify>();
        } else {
            op = std::make_unique<CRestore>();
        }
        op->SetFileName(image);
        log.Take();
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
        row.gaps = Turnarounds(log.Take(), r.dataFrom, r.dataTo, o.read);
        rows.push_back(std::move(row));
    }

    std::printf("%-8s %8s %8s %9s %9s | %8s %9s %9s | %8s %11s %11s\n", "", "data", "data", "data",
                "fraction", "framing", "wire busy", "idle", "packets", "idle/packet",
                "idle/packet");
    std::printf("%-8s %8s %8s %9s %9s | %8s %9s %9s | %8s %11s %11s\n", "op", "bytes", "seconds",
                "bytes/s", "of limit", "ceiling", "seconds", "seconds", "", "prompt ms",
                "block ms");
    for (const Row& row : rows) {
        const RunResult& r = row.run;
        const double rate = bytes / r.dataSeconds;
        const double wire = static_cast<double>(r.pcBytes + r.panelBytes);
        const double busy = wire * kByteTime;
        const int n = std::max(1, row.gaps.packets);
        const int intervals = std::max(1, row.gaps.intervals);
        std::printf("%-8s %8u %8.2f %9.1f %9.4f | %8.4f %9.2f %9.3f | %8d %11.2f %11.2f\n",
                    row.name, bytes, r.dataSeconds, rate, rate / kWireLimit, bytes / wire, busy,
                    r.dataSeconds - busy, row.gaps.packets, row.gaps.afterPrompt * 1000.0 / n,
                    row.gaps.afterBlock * 1000.0 / intervals);
    }
    std::printf(
        "\nfraction of limit: data bytes/s over %.0f. framing ceiling: data bytes over all bytes "
        "both\nends wrote in the data phase (the best fraction this framing allows). wire busy: "
        "those\nbytes at 10 bits each; idle = data seconds - wire busy.\n"
        "idle/packet, measured at the panel: prompt = the PC's answer to the panel's prompt "
        "(ACK\nafter the read answer; the data block after ACK SUB for a write) arriving later "
        "than its\nwire time; block = the next request arriving later than the wire time of "
        "the block\n(read) or of the panel's answer (write) plus the request itself.\n",
        kWireLimit);
    return 0;
}

}  // namespace
}  // namespace kz::bench

int main(int argc, char** argv) {
    return kz::bench::Main(argc, argv);
}
