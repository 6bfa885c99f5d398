// Peak resident memory of a backup and a restore of a 64 KiB, 4 MiB and 16 MiB image: the PC
// side must not grow with the image.
//
//   bench_memory_rss [--clock N]       (protocol clock N times faster, default 20)
//
// Each case runs in two fresh processes forked from this one (which starts no threads, so
// forking is safe): the simulated panel serves a pseudo-terminal in one, the operation runs
// in the other and opens the terminal's slave as its COM port. ru_maxrss of each comes
// from wait4(), so the PC figure holds nothing of the simulator and the other way round.
// The simulator stores written memory in 4 KiB pages, so a restore grows the simulator by
// the image size; reads are served from the fill and cost it nothing.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchDriver.h"
#include "ops/memory/Backup.h"
#include "ops/memory/Restore.h"
#include "platform/ProgramFolder.h"
#include "sim/PtyPort.h"

namespace kz::bench {
namespace {

enum class Job { ForkOnly, Backup, Restore };

struct Case {
    Job job;
    std::uint32_t bytes;
};

// What a child reports through its pipe, as one line of text.
struct PcReport {
    int error = 0;
    double dataSeconds = 0;
    long rssBeforeKiB = 0;  // high-water mark with everything set up, before the start
};

struct SimReport {
    long pagesInUse = 0;
};

long SelfMaxRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

void WriteLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string ReadLine(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    return line;
}

// ---- Simulator process ---------------------------------------------------------------------

struct SimChild {
    pid_t pid = -1;
    std::string slave;
    int stopFd = -1;    // closing it stops the simulator
    int reportFd = -1;  // its report after it stopped
};

[[noreturn]] void SimMain(std::uint32_t bytes, int slaveFd, int stopFd, int reportFd) {
    std::string error;
    auto port = sim::PtyPort::Open(&error);
    if (!port) {
        WriteLine(slaveFd, "");
        std::fprintf(stderr, "bench: no pseudo-terminal: %s\n", error.c_str());
        ::_exit(1);
    }
    const std::string slave = port->SlavePath();
    int code = 0;
    {
        sim::Panel::Options options;
        options.idleReset = std::chrono::milliseconds(1000);  // a terminal carries no break
        options.recordLimit = 0;
        sim::Panel panel(std::move(port), test::TestPanel(bytes, 0), std::move(options));
        if (!panel.Start()) {
            code = 1;
        }
        WriteLine(slaveFd, code == 0 ? slave : "");
        char c = 0;
        while (::read(stopFd, &c, 1) > 0) {
        }
        panel.Stop();
        WriteLine(reportFd, std::to_string(panel.MemoryPagesInUse()));
    }
    ::_exit(code);
}

SimChild StartSim(std::uint32_t bytes) {
    int slavePipe[2];
    int stopPipe[2];
    int reportPipe[2];
    if (::pipe(slavePipe) != 0 || ::pipe(stopPipe) != 0 || ::pipe(reportPipe) != 0) {
        return {};
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(slavePipe[0]);
        ::close(stopPipe[1]);
        ::close(reportPipe[0]);
        SimMain(bytes, slavePipe[1], stopPipe[0], reportPipe[1]);
    }
    ::close(slavePipe[1]);
    ::close(stopPipe[0]);
    ::close(reportPipe[1]);
    SimChild child;
    child.pid = pid;
    child.slave = ReadLine(slavePipe[0]);
    ::close(slavePipe[0]);
    child.stopFd = stopPipe[1];
    child.reportFd = reportPipe[0];
    return child;
}

// Stops the simulator; returns its peak resident memory (KiB) and its report.
long StopSim(SimChild& child, SimReport& report) {
    ::close(child.stopFd);
    const std::string line = ReadLine(child.reportFd);
    ::close(child.reportFd);
    report.pagesInUse = std::atol(line.c_str());
    int status = 0;
    rusage ru{};
    ::wait4(child.pid, &status, 0, &ru);
    return ru.ru_maxrss;
}

// ---- PC process --------------------------------------------------------------------------

[[noreturn]] void PcMain(const Case& c, const std::string& folder, const std::string& image,
                         unsigned clockFactor, int reportFd) {
    if (c.job == Job::ForkOnly) {
        WriteLine(reportFd,
                  std::to_string(msg::kCompleted) + " 0 " + std::to_string(SelfMaxRssKiB()));
        ::_exit(0);
    }
    int code = 1;
    {
        platform::SetProgramFolder(folder);
        platform::ScaledClock clock(clockFactor);
        platform::SetClock(&clock);
        std::unique_ptr<CMemoryOperation> op;
        const char* prefix = kBackupData;
        if (c.job == Job::Backup) {
            op = std::make_unique<CBackup>();
        } else {
            op = std::make_unique<CRestore>();
            prefix = kRestoreData;
        }
        op->SetFileName(image);
        const long before = SelfMaxRssKiB();
        const RunResult r = RunOperation(*op, prefix, nullptr, 0, std::chrono::seconds(300));
        if (r.finished && r.error == msg::kCompleted) {
            code = 0;
        } else {
            for (const std::string& line : r.lines) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
        }
        WriteLine(reportFd, std::to_string(r.error) + " " + std::to_string(r.dataSeconds) + " " +
                                std::to_string(before));
        op.reset();
        platform::SetClock(nullptr);
    }
    ::_exit(code);
}

// Runs the case in a fresh process; returns its peak resident memory (KiB), -1 on failure.
long RunPc(const Case& c, const std::string& folder, const std::string& image, unsigned clockFactor,
           const SimChild& sim, PcReport& report) {
    int reportPipe[2];
    if (::pipe(reportPipe) != 0) {
        return -1;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(reportPipe[0]);
        // The simulator stops when the last write end of its stop pipe closes.
        ::close(sim.stopFd);
        ::close(sim.reportFd);
        PcMain(c, folder, image, clockFactor, reportPipe[1]);
    }
    ::close(reportPipe[1]);
    const std::string line = ReadLine(reportPipe[0]);
    ::close(reportPipe[0]);
    std::sscanf(line.c_str(), "%d %lf %ld", &report.error, &report.dataSeconds,
                &report.rssBeforeKiB);
    int status = 0;
    rusage ru{};
    ::wait4(pid, &status, 0, &ru);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    return ru.ru_maxrss;
}

const char* JobName(Job job) {
    switch (job) {
        case Job::ForkOnly:
            return "(fork only)";
        case Job::Backup:
            return "backup";
        case Job::Restore:
            return "restore";
    }
    return "";
}

int Main(int argc, char** argv) {
    unsigned clockFactor = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--clock") == 0 && i + 1 < argc) {
            clockFactor = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else {
            std::fprintf(stderr, "usage: %s [--clock N]\n", argv[0]);
            return 2;
        }
    }
    // Images live here across the cases: each restore writes back its size's backup.
    BenchFolder images(LinkConfig{}, "none", "");

    const std::vector<Case> cases = {
        {Job::ForkOnly, 0},        {Job::Backup, 0x10000},  {Job::Backup, 0x400000},
        {Job::Backup, 0x1000000},  {Job::Restore, 0x10000}, {Job::Restore, 0x400000},
        {Job::Restore, 0x1000000},
    };
    std::printf(
        "Peak resident memory (ru_maxrss) per case; PC side and simulator in separate "
        "fresh processes\nover a pseudo-terminal, protocol clock x%u\n\n",
        clockFactor);
    std::printf("%-12s %10s %8s | %12s %12s %12s | %12s %12s\n", "op", "image", "data", "PC before",
                "PC peak", "PC growth", "simulator", "sim pages");
    std::printf("%-12s %10s %8s | %12s %12s %12s | %12s %12s\n", "", "KiB", "seconds", "KiB", "KiB",
                "KiB", "peak KiB", "KiB");
    std::fflush(stdout);
    for (const Case& c : cases) {
        const std::uint32_t simBytes = c.bytes == 0 ? 0x10000 : c.bytes;
        SimChild sim = StartSim(simBytes);
        if (sim.pid < 0 || sim.slave.empty()) {
            std::fprintf(stderr, "bench: the simulator did not start\n");
            return 1;
        }
        BenchFolder program(LinkConfig{}, sim.slave, BenchModel(simBytes, 0));
        const std::string image = images.Path("rss-" + std::to_string(simBytes / 1024) + "k.mem");
        PcReport report;
        const long pc = RunPc(c, program.Folder(), image, clockFactor, sim, report);
        SimReport simReport;
        const long simRss = StopSim(sim, simReport);
        if (pc < 0) {
            std::fprintf(stderr, "bench: %s of %u KiB failed (error %d)\n", JobName(c.job),
                         c.bytes / 1024, report.error);
            return 1;
        }
        std::printf("%-12s %10u %8.2f | %12ld %12ld %12ld | %12ld %12ld\n", JobName(c.job),
                    c.bytes / 1024, report.dataSeconds, report.rssBeforeKiB, pc,
                    pc - report.rssBeforeKiB, simRss,
                    simReport.pagesInUse * static_cast<long>(sim::PanelMemory::kPageSize) / 1024);
        std::fflush(stdout);
    }
    std::printf(
        "\ndata seconds: the data phase over the terminal (first progress line to progress 100).\n"
        "PC before: the PC process's high-water mark with the operation created, before it "
        "starts.\nPC peak: its ru_maxrss at exit. sim pages: memory the simulator materialised "
        "for written\ndata (restores only; reads are computed from the fill).\n");
    return 0;
}

}  // namespace
}  // namespace kz::bench

int main(int argc, char** argv) {
    return kz::bench::Main(argc, argv);
}
