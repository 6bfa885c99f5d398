// kzpanel-sim: serves one simulated panel on a new pseudo-terminal until SIGINT or SIGTERM.
// The first line of stdout is the slave device path, for the PORTS mapping of KZMNT.INI;
// with --lan the panel is served over TCP instead and the first line is its endpoint.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "sim/LanServer.h"
#include "sim/Panel.h"
#include "sim/PanelDescription.h"
#include "sim/PtyPort.h"

namespace {

constexpr const char* kUsage =
    "usage: kzpanel-sim [--panel FILE] [--loader-check FILE] [--cf-dir FOLDER] [--no-card]\n"
    "                   [--cf-save FOLDER] [--idle-reset MS] [--log] [--lan [PORT]]\n"
    "                   [--lan-fault OP:KIND[:VALUE]]...\n"
    "\n"
    "Serves one simulated KZ panel on a new pseudo-terminal. The first line written to\n"
    "stdout is the terminal's device path; map a COM port to it in KZMNT.INI, e.g.\n"
    "    [PORTS]\n"
    "    COM1=/dev/pts/5\n"
    "The panel runs until SIGINT or SIGTERM and then prints what it served.\n"
    "\n"
    "  --panel FILE         panel description (identity, password, signatures, I/O\n"
    "                       registers, memory regions, patches and CF card; the format is\n"
    "                       described in sim/PanelDescription.h). Without it a built-in\n"
    "                       demo panel is served: core ID 8C93, no password, signature 1\n"
    "                       8C930001, signature 2 00001234, I/O register 00A00000 = C3,\n"
    "                       FROM 1 MiB at 00000000, SRAM 128 KiB at 00400000, DRAM 4 MiB,\n"
    "                       and a CF card with ZI00001.BIN (70000 bytes), ZR00001.CSV and\n"
    "                       ZD00000.BIN (empty).\n"
    "  --loader-check FILE  start the downloaded loader only when it equals this loader\n"
    "                       file (load address and body).\n"
    "  --cf-dir FOLDER      the CF card holds the files found below FOLDER (subfolders\n"
    "                       included, names such as ZI00001.BIN, any letter case) instead\n"
    "                       of those of the description.\n"
    "  --no-card            no CF card in the slot.\n"
    "  --cf-save FOLDER     on exit, write every file of the CF card into FOLDER.\n"
    "  --idle-reset MS      drop a partly received frame after MS milliseconds without a\n"
    "                       byte (default 1000; 0 = never). A pseudo-terminal carries no\n"
    "                       break, so this is how the panel recovers from a broken frame.\n"
    "  --log                print every received frame on stderr.\n"
    "  --lan [PORT]         serve the panel over TCP on 127.0.0.1:PORT (default 8000; 0 picks\n"
    "                       a free port) for the LAN library libKevrosa instead of on a\n"
    "                       pseudo-terminal. The first line written to stdout is then the\n"
    "                       endpoint, e.g. 127.0.0.1:8000.\n"
    "  --lan-fault OP:KIND[:VALUE]  (with --lan, repeatable) the first request OP meets a\n"
    "                       fault: refuse[:CAUSE], fail[:CAUSE] (CAUSE: the m_dwErrorCode in\n"
    "                       hex, e.g. 45 for no card), never (accepted, never completed),\n"
    "                       silent (neither accepted nor completed), late:MS, drop (the\n"
    "                       connection breaks off in the answer), early (completion before\n"
    "                       acceptance), hostile:NAME (cfreadrange also lists a file called\n"
    "                       NAME).\n"
    "                       OP: probe, open, begin, identity, passwordquery, password,\n"
    "                       loaderdownload, loaderstart, extension, coldrestart, harddata,\n"
    "                       read, write, support, quit, cfreadrange, cfwrite.\n"
    "  --help               this text.\n";

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void LogFrame(const kz::sim::ReceivedFrame& frame) {
    std::string text;
    for (std::uint8_t b : frame.raw) {
        if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", b);
            text += hex;
        }
    }
    std::fprintf(stderr, "kzpanel-sim: [%s] %-4s %s%zu bytes: %s%s\n",
                 kz::sim::PanelModeName(frame.mode), frame.command.c_str(),
                 frame.valid ? "" : "REFUSED ", frame.size, text.c_str(),
                 frame.raw.size() < frame.size ? "..." : "");
}

void PrintSummary(const kz::sim::Panel& panel) {
    const kz::sim::PanelCounters c = panel.Counters();
    std::printf("kzpanel-sim: served %llu bytes in, %llu bytes out\n",
                static_cast<unsigned long long>(c.bytesReceived),
                static_cast<unsigned long long>(c.bytesSent));
    std::printf("  frames %u (refused %u), ENQ probes %u, breaks %u, rate changes %u\n", c.frames,
                c.badFrames, c.enqs, c.breaks, c.rateChanges);
    std::printf("  loader downloads %u, loader starts %u, resets %u, passwords refused %u\n",
                c.loaderDownloads, c.loaderStarts, c.resets, c.passwordsRejected);
    std::printf("  memory blocks read %u, written %u (refused %u)\n", c.readBlocks, c.writeBlocks,
                c.badWriteBlocks);
    std::printf(
        "  CF files offered %u, blocks sent %u, blocks received %u (refused %u), "
        "files stored %u\n",
        c.cfFilesOffered, c.cfBlocksSent, c.cfBlocksReceived, c.cfBadBlocks, c.cfFilesStored);
    std::printf("  final mode %s at %u bit/s\n", kz::sim::PanelModeName(panel.Mode()),
                panel.Rate());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    kz::sim::PanelDescription description = kz::sim::DemoPanel();
    kz::sim::Panel::Options options;
    options.idleReset = std::chrono::milliseconds(1000);
    options.recordLimit = 0;  // nobody reads the record here
    bool log = false;
    std::vector<std::uint8_t> expectedLoader;
    const char* cfDir = nullptr;
    const char* cfSave = nullptr;
    bool noCard = false;
    bool lan = false;
    long lanPort = 8000;
    std::vector<kz::sim::LanFault> lanFaults;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kzpanel-sim: %s needs a value\n%s", argv[i], kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--panel") {
            std::string error;
            if (!kz::sim::LoadPanelDescription(value(), description, &error)) {
                std::fprintf(stderr, "kzpanel-sim: %s\n", error.c_str());
                return 2;
            }
        } else if (arg == "--loader-check") {
            const char* path = value();
            if (!ReadFile(path, expectedLoader) || expectedLoader.size() < 4) {
                std::fprintf(stderr, "kzpanel-sim: cannot read a loader file from %s\n", path);
                return 2;
            }
        } else if (arg == "--cf-dir") {
            cfDir = value();
        } else if (arg == "--cf-save") {
            cfSave = value();
        } else if (arg == "--no-card") {
            noCard = true;
        } else if (arg == "--idle-reset") {
            char* end = nullptr;
            const char* text = value();
            const long ms = std::strtol(text, &end, 10);
            if (end == text || *end != '\0' || ms < 0) {
                std::fprintf(stderr, "kzpanel-sim: --idle-reset takes milliseconds\n");
                return 2;
            }
            options.idleReset = std::chrono::milliseconds(ms);
        } else if (arg == "--lan") {
            lan = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                char* end = nullptr;
                lanPort = std::strtol(argv[++i], &end, 10);
                if (*end != '\0' || lanPort < 0 || lanPort > 65535) {
                    std::fprintf(stderr, "kzpanel-sim: --lan takes a port from 0 to 65535\n");
                    return 2;
                }
            }
        } else if (arg == "--lan-fault") {
            std::string error;
            auto fault = kz::sim::ParseLanFault(value(), &error);
            if (!fault) {
                std::fprintf(stderr, "kzpanel-sim: %s\n", error.c_str());
                return 2;
            }
            lanFaults.push_back(*fault);
        } else if (arg == "--log") {
            log = true;
        } else {
            std::fprintf(stderr, "kzpanel-sim: unknown argument %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (!expectedLoader.empty()) {
        description.expectedLoader = std::move(expectedLoader);
    }
    if (cfDir != nullptr) {
        std::string error;
        description.cfFiles.clear();
        if (!kz::sim::LoadCfFolder(cfDir, description.cfFiles, &error)) {
            std::fprintf(stderr, "kzpanel-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (noCard) {
        description.cfCardPresent = false;
    }
    if (log) {
        options.onFrame = LogFrame;
    }

    // Signals are taken by sigwait below; block them before any thread starts so that
    // every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    if (lan) {
        kz::sim::LanServer server(description);
        for (const kz::sim::LanFault& fault : lanFaults) {
            server.AddFault(fault);
        }
        if (!server.Start(static_cast<std::uint16_t>(lanPort), &error)) {
            std::fprintf(stderr, "kzpanel-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", server.Endpoint().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
        const kz::sim::LanCounters c = server.Counters();
        std::printf("kzpanel-sim: served %u connections, %u requests\n", c.connections, c.requests);
        std::printf("  loader downloads %u, loader starts %u, extension blocks %u, restarts %u\n",
                    c.loaderDownloads, c.loaderStarts, c.extensionBlocks, c.coldRestarts);
        std::printf("  memory reads %u, writes %u, CF files sent %u, stored %u\n", c.reads,
                    c.writes, c.cfFilesSent, c.cfFilesStored);
        std::fflush(stdout);
        if (cfSave != nullptr && !kz::sim::SaveCfFolder(cfSave, server.CfCardFiles(), &error)) {
            std::fprintf(stderr, "kzpanel-sim: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    auto port = kz::sim::PtyPort::Open(&error);
    if (!port) {
        std::fprintf(stderr, "kzpanel-sim: cannot create a pseudo-terminal: %s\n", error.c_str());
        return 1;
    }
    const std::string slave = port->SlavePath();
    kz::sim::Panel panel(std::move(port), description, options);
    if (!panel.Start()) {
        std::fprintf(stderr, "kzpanel-sim: the panel did not start\n");
        return 1;
    }
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    panel.Stop();
    PrintSummary(panel);
    if (cfSave != nullptr && !kz::sim::SaveCfFolder(cfSave, panel.CfCardFiles(), &error)) {
        std::fprintf(stderr, "kzpanel-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
