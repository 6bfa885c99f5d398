// Backup, verify and restore of a 4 MiB FROM + 512 KiB SRAM panel over the in-process virtual
// link without wire timing: how fast the PC side moves data when the line costs nothing, and
// how much CPU it spends per MiB.
//
//   bench_memory_throughput [--reps N] [--clock N]
//
// The protocol clock runs --clock times faster (default 100) so that the fixed waits of the
// connection (loader start, line resets) do not dominate the whole run; the data phase has
// no fixed waits. Each operation runs --reps times (default 5); times are the best run (the
// machine may be shared), CPU figures the median.
//
// CPU figures (data phase; the panel simulator runs in the same process):
//   process    CPU of the whole process (PC side + simulator + bench)
//   PC side    the operation's three threads: event thread (protocol, image file), comm-event
//              thread, 10 ms tick thread (which ticks --clock times as often as it would on
//              the real clock; shown separately)
//   simulator  the simulated panel's thread (pattern fill, checksums, its side of the link)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchDriver.h"
#include "ops/memory/Backup.h"
#include "ops/memory/Restore.h"
#include "ops/memory/Verify.h"

namespace kz::bench {
namespace {

constexpr std::uint32_t kFrom = 0x400000;  // 4 MiB
constexpr std::uint32_t kSram = 0x80000;   // 512 KiB
constexpr double kMiB = 1024.0 * 1024.0;

struct Series {
    const char* name;
    std::vector<RunResult> runs;
};

bool Check(const char* name, const RunResult& r) {
    if (r.finished && r.error == msg::kCompleted && r.dataSeconds > 0) {
        return true;
    }
    std::fprintf(stderr, "bench: %s did not complete (error %d, finished %d); status list:\n", name,
                 r.error, r.finished ? 1 : 0);
    for (const std::string& line : r.lines) {
        std::fprintf(stderr, "  %s\n", line.c_str());
    }
    return false;
}

double MedianOf(const std::vector<RunResult>& runs, double (*field)(const RunResult&)) {
    std::vector<double> values;
    for (const RunResult& r : runs) {
        values.push_back(field(r));
    }
    return Median(values);
}

double BestOf(const std::vector<RunResult>& runs, double (*field)(const RunResult&)) {
    double best = field(runs.front());
    for (const RunResult& r : runs) {
        best = std::min(best, field(r));
    }
    return best;
}

double ThreadCpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The virtual link on its own: CPU per MiB to write 16 KiB blocks into one end while a
// thread waits for them on the other end and reads them in 4 KiB pieces, as the panel and
// the PC do in a backup. Without wire timing the writer delivers every byte into the
// reader's queue and wakes the reader's wait, so the writer pays most.
void LinkAlone(double& writeMsPerMiB, double& readMsPerMiB) {
    auto link = platform::VirtualSerialLink::Create("bench-link-alone");
    auto writer = link->OpenEnd(platform::VirtualSerialLink::End::Panel);
    auto reader = link->OpenEnd(platform::VirtualSerialLink::End::Pc);
    reader->SetEventMask(platform::EV_RXCHAR);
    constexpr std::size_t kBlock = 0x4000;
    constexpr int kBlocks = 256;  // 4 MiB
    constexpr std::size_t kTotal = kBlock * kBlocks;
    double read = 0;
    std::thread readerThread([&] {
        std::vector<std::uint8_t> piece(0x1000);
        std::size_t got = 0;
        const double t0 = ThreadCpuNow();
        while (got < kTotal) {
            std::uint32_t events = 0;
            reader->WaitEvent(events);
            while (const std::size_t n = reader->Read(piece.data(), piece.size())) {
                got += n;
            }
        }
        read = ThreadCpuNow() - t0;
    });
    link->WaitForEventWaiter(platform::VirtualSerialLink::End::Pc);
    std::vector<std::uint8_t> block(kBlock, 0x5A);
    const double t0 = ThreadCpuNow();
    for (int i = 0; i < kBlocks; ++i) {
        writer->Write(block.data(), block.size());
    }
    const double write = ThreadCpuNow() - t0;
    readerThread.join();
    const double mib = kTotal / kMiB;
    writeMsPerMiB = write * 1000.0 / mib;
    readMsPerMiB = read * 1000.0 / mib;
}

int Main(int argc, char** argv) {
    int reps = 5;
    unsigned clock = 100;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--clock") == 0 && i + 1 < argc) {
            clock = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else {
            std::fprintf(stderr, "usage: %s [--reps N] [--clock N]\n", argv[0]);
            return 2;
        }
    }

    RigOptions options;
    options.fromBytes = kFrom;
    options.sramBytes = kSram;
    options.clockFactor = clock;
    Rig rig(options);
    const std::string image = rig.Path("bench.mem");

    Series backup{"backup", {}};
    Series verify{"verify", {}};
    Series restore{"restore", {}};
    for (int rep = 0; rep < reps; ++rep) {
        {
            CBackup op;
            op.SetFileName(image);
            op.SetComment("bench");
            backup.runs.push_back(RunOperation(rig, op, kBackupData));
            if (!Check("backup", backup.runs.back())) {
                return 1;
            }
        }
        {
            CVerify op;
            op.SetFileName(image);
            verify.runs.push_back(RunOperation(rig, op, kVerifyData));
            if (!Check("verify", verify.runs.back())) {
                return 1;
            }
        }
        {
            CRestore op;
            op.SetFileName(image);
            restore.runs.push_back(RunOperation(rig, op, kRestoreData));
            if (!Check("restore", restore.runs.back())) {
                return 1;
            }
        }
    }

    const double mib = (kFrom + kSram) / kMiB;
    std::printf(
        "Memory operations over the virtual link, no wire timing, protocol clock x%u\n"
        "Panel: FROM %u KiB + SRAM %u KiB (%.1f MiB per run), unit 0x10000; %d runs each:\n"
        "times are the best run, CPU figures the median\n\n",
        clock, kFrom / 1024, kSram / 1024, mib, reps);
    std::printf("%-8s %9s %9s %9s | %10s %10s %8s %8s %8s %10s | %9s %9s\n", "", "whole", "data",
                "data", "process", "PC side", "event", "comm", "tick", "simulator", "whole run",
                "whole run");
    std::printf("%-8s %9s %9s %9s | %10s %10s %8s %8s %8s %10s | %9s %9s\n", "op", "run s",
                "phase s", "MiB/s", "ms CPU/MiB", "ms CPU/MiB", "thread", "thread", "thread",
                "ms CPU/MiB", "process s", "PC s");
    for (const Series* s : {&backup, &verify, &restore}) {
        const double whole = BestOf(s->runs, [](const RunResult& r) { return r.wholeSeconds; });
        const double data = BestOf(s->runs, [](const RunResult& r) { return r.dataSeconds; });
        auto perMiB = [&](double (*field)(const RunResult&)) {
            return MedianOf(s->runs, field) * 1000.0 / mib;
        };
        const double process = perMiB([](const RunResult& r) { return r.processCpu; });
        const double pc =
            perMiB([](const RunResult& r) { return r.eventCpu + r.commCpu + r.timerCpu; });
        const double event = perMiB([](const RunResult& r) { return r.eventCpu; });
        const double comm = perMiB([](const RunResult& r) { return r.commCpu; });
        const double tick = perMiB([](const RunResult& r) { return r.timerCpu; });
        const double panel = perMiB([](const RunResult& r) { return r.panelCpu; });
        const double wholeCpu =
            MedianOf(s->runs, [](const RunResult& r) { return r.wholeProcessCpu; });
        const double wholePc = MedianOf(
            s->runs, [](const RunResult& r) { return r.wholeProcessCpu - r.wholePanelCpu; });
        std::printf(
            "%-8s %9.3f %9.3f %9.1f | %10.2f %10.2f %8.2f %8.2f %8.2f %10.2f | %9.3f %9.3f\n",
            s->name, whole, data, mib / data, process, pc, event, comm, tick, panel, wholeCpu,
            wholePc);
    }
    std::printf(
        "\nwhole run: start to completion (connection, loader, identification, data, reset); its "
        "PC s is\nthe process CPU less the simulator's thread.\n"
        "data phase: first progress line (\"    Buckup(1/n)...\", \"    VERIFY(1/n)...\", "
        "\"    RESTORE(1/n)...\")\nto progress 100.\n"
        "PC side = event + comm + tick threads of the operation; process = PC side + simulator "
        "+ bench.\n");
    int retries = 0;
    for (const Series* s : {&backup, &verify, &restore}) {
        for (const RunResult& r : s->runs) {
            retries += r.retries;
        }
    }
    if (retries > 0) {
        std::printf(
            "note: %d requests were repeated after a time-out or data error; the "
            "figures include them.\n",
            retries);
    }
    double linkWrite = 0;
    double linkRead = 0;
    LinkAlone(linkWrite, linkRead);
    std::printf(
        "The virtual link alone, a reader waiting on the other end (part of the figures above):"
        "\nwriting costs %.2f ms CPU/MiB (the writer delivers each byte and wakes the reader), "
        "reading\n%.2f ms CPU/MiB.\n",
        linkWrite, linkRead);
    return 0;
}

}  // namespace
}  // namespace kz::bench

int main(int argc, char** argv) {
    return kz::bench::Main(argc, argv);
}
