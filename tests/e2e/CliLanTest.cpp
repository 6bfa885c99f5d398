// kzmnt-cli end to end on the LAN link (COMMTYPE=1): the real program as a child process,
// the real transfer library copied into its program folder, and the LAN panel simulator on
// a loopback address. A panel found by the search is reached on the default port, so the
// search tests serve their panel on 8000 of a loopback address of their own.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "CliRunner.h"
#include "lan/LanLibrary.h"
#include "ops/memory/MemImageFile.h"
#include "sim/LanServer.h"
#include "support/TempDir.h"
#include "support/TestFolder.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCompleted = "Processing was completed.";
constexpr const char* kAborted = "Processing was aborted by operation.";
constexpr const char* kMismatch = "Data which is not in agreement by verification.";
constexpr std::uint32_t kFrom = 0x20000;
constexpr std::uint32_t kSram = 0x10000;
constexpr std::uint32_t kSramStart = 0x00400000;

sim::PanelDescription SmallPanel(std::uint32_t seed) {
    sim::PanelDescription d = sim::DemoPanel();
    d.fromSize = kFrom;
    d.sramSize = kSram;
    d.regions[0].size = kFrom;
    d.regions[0].fill.seed = seed;
    d.regions[1].size = kSram;
    d.regions[1].fill.seed = seed + 1;
    return d;
}

class CliLanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (CliProgram().empty()) {
            GTEST_SKIP() << "kzmnt-cli is not built (KZ_BUILD_DIR=" << BuildDir() << ")";
        }
        WriteIni();
        dir.Write("SLOADER.BIN", std::string("\x00\x10\x00\x00SLDR", 8));
        fs::copy_file(KZ_KEVROSA_FILE, dir.path() / lan::kLibraryFile);
    }

    // timeouts > 0: ReadTimeout and WriteTimeout in seconds; otherwise the defaults.
    void WriteIni(int timeouts = 0) {
        IniText ini;
        ini.Section("CONFIG").Key("COMMTYPE", 1).Key("AUTOFILENAME", 0);
        if (timeouts > 0) {
            ini.Key("ReadTimeout", timeouts).Key("WriteTimeout", timeouts);
        }
        ini.Section("DEMO")
            .Key("ID", "8C93")
            .Key("SLOADER", "SLOADER.BIN")
            .Key("CHKMEM", "20000,10000")
            .Key("FROM1", "00000000,00020000")
            .Key("SRAM1", "00400000,00010000,8000");
        dir.Write("KZMNT.INI", ini.str());
    }

    void TearDown() override {
        if (server) {
            server->Stop();
        }
    }

    // Serves description on an ephemeral port of 127.0.0.1, listed in the node list.
    void Serve(sim::PanelDescription description) {
        if (server) {
            server->Stop();
        }
        server = std::make_unique<sim::LanServer>(std::move(description));
        ASSERT_TRUE(server->Start(0));
        dir.Write("Kevrosa.conf", server->Endpoint() + "\n");
    }

    // Serves description on the default port of a loopback address of its own (suites run
    // in parallel), listed in the node list as the search would meet a panel.
    void ServeOnDefaultPort(sim::PanelDescription description) {
        std::random_device random;
        std::uniform_int_distribution<std::uint32_t> octet(1, 254);
        for (int attempt = 0; attempt < 20; ++attempt) {
            auto candidate = std::make_unique<sim::LanServer>(description);
            const std::uint32_t host =
                0x7F000000 | octet(random) << 16 | octet(random) << 8 | octet(random);
            std::string error;
            if (candidate->Start(static_cast<std::uint16_t>(lan::kDefaultPort), host, &error)) {
                server = std::move(candidate);
                dir.Write("Kevrosa.conf", server->Endpoint() + "\n");
                return;
            }
        }
        FAIL() << "no loopback address with a free port " << lan::kDefaultPort;
    }

    std::string Host() const { return server->Endpoint().substr(0, server->Endpoint().find(':')); }

    CliResult Cli(std::vector<std::string> args, CliRun run = {}) {
        run.args = {"--folder", dir.str()};
        run.args.insert(run.args.end(), args.begin(), args.end());
        CliResult result = RunCli(run);
        EXPECT_NE(result.exitCode, -1) << "the program did not end by itself";
        EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("runtime error:"), std::string::npos) << result.err;
        return result;
    }

    std::string PanelBytes() const {
        const auto from = server->ReadMemory(0, kFrom);
        const auto sram = server->ReadMemory(kSramStart, kSram);
        std::string all(from.begin(), from.end());
        all.append(sram.begin(), sram.end());
        return all;
    }

    std::string ImageData(const std::string& name) {
        const std::string image = dir.Read(name);
        return image.size() > kImageHeaderSize ? image.substr(kImageHeaderSize) : std::string();
    }

    TempDir dir;
    std::unique_ptr<sim::LanServer> server;
};

TEST_F(CliLanTest, BackupVerifyRestoreRoundTripWithNodeAndPort) {
    Serve(SmallPanel(1));
    const std::string image = dir.str() + "panel.mem";
    const CliResult backup = Cli({"--node", server->Endpoint(), "--yes", "backup", image});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    EXPECT_EQ(backup.LastOutLine(), kCompleted);
    EXPECT_TRUE(ImageData("panel.mem") == PanelBytes());

    // "a.b.c.d : port", as the node search writes its target.
    const std::string spaced = Host() + " : " + std::to_string(server->Port());
    const CliResult same = Cli({"--node", spaced, "verify", image});
    EXPECT_EQ(same.exitCode, 0) << same.out << same.err;
    EXPECT_EQ(same.LastOutLine(), kCompleted);

    // Another panel of the same model: verify finds the difference, restore removes it.
    Serve(SmallPanel(7));
    const CliResult differs = Cli({"--node", server->Endpoint(), "verify", image});
    EXPECT_EQ(differs.exitCode, 1);
    EXPECT_EQ(differs.LastOutLine(), kMismatch) << differs.out;
    const CliResult restore = Cli({"--node", server->Endpoint(), "--yes", "restore", image});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    EXPECT_TRUE(ImageData("panel.mem") == PanelBytes());
    EXPECT_EQ(Cli({"--node", server->Endpoint(), "verify", image}).exitCode, 0);
}

TEST_F(CliLanTest, SearchWithYesTakesTheFirstNodeForACfReceive) {
    ServeOnDefaultPort(sim::DemoPanel());
    const std::string folder = dir.str() + "card";
    const CliResult receive = Cli({"--yes", "cf-receive", folder});
    ASSERT_EQ(receive.exitCode, 0) << receive.out << receive.err;
    EXPECT_NE(receive.out.find("It is searching."), std::string::npos) << receive.out;
    EXPECT_EQ(receive.LastOutLine(), kCompleted);
    const sim::CfFiles card = server->CfCardFiles();
    const auto& csv = card.at("ZR00001.CSV");
    EXPECT_EQ(dir.Read("card/file/ZR00001.CSV"), std::string(csv.begin(), csv.end()));
    EXPECT_TRUE(fs::exists(dir.path() / "card" / "data" / "ZI00001.BIN"));
}

TEST_F(CliLanTest, SearchConnectsToThePortThePanelWasFoundOn) {
    Serve(SmallPanel(4));  // listed with its ephemeral port
    const CliResult backup = Cli({"--yes", "backup", dir.str() + "found.mem"});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    EXPECT_TRUE(ImageData("found.mem") == PanelBytes());
}

TEST_F(CliLanTest, SearchOnATerminalListsTheNodesAndAsksThePassword) {
    sim::PanelDescription locked = SmallPanel(3);
    locked.password = "s3cret";
    ServeOnDefaultPort(locked);
    CliRun run;
    run.withTerminal = true;
    // A number outside the list is asked again.
    run.answers = {{"Choose a KZ by its number (1-1", "2\n"},
                   {"Choose a KZ by its number (1-1", "1\n"},
                   {"Please input a password:", "s3cret\n"}};
    const CliResult backup = Cli({"backup", dir.str() + "locked.mem"}, run);
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err << backup.terminal;
    EXPECT_NE(backup.terminal.find("1  " + Host()), std::string::npos) << backup.terminal;
    EXPECT_EQ(server->Counters().passwordsRejected, 0u);
    EXPECT_TRUE(ImageData("locked.mem") == PanelBytes());

    // Enter alone cancels the choice: the run ends as aborted, nothing is read.
    run.answers = {{"Choose a KZ by its number", "\n"}};
    const unsigned reads = server->Counters().reads;
    const CliResult cancelled = Cli({"verify", dir.str() + "locked.mem"}, run);
    EXPECT_EQ(cancelled.exitCode, 1);
    EXPECT_EQ(cancelled.LastOutLine(), kAborted) << cancelled.out;
    EXPECT_EQ(server->Counters().reads, reads);
}

TEST_F(CliLanTest, CtrlCAbortsAReadThatNeverCompletes) {
    Serve(SmallPanel(1));
    sim::LanFault never;
    never.op = kevrosa::Op::Read;
    never.kind = sim::LanFault::Kind::Never;
    server->AddFault(never);
    CliRun run;
    run.interruptOn = "Model: DEMO";
    const CliResult backup =
        Cli({"--node", server->Endpoint(), "backup", dir.str() + "x.mem"}, run);
    EXPECT_EQ(backup.exitCode, 1);
    EXPECT_EQ(backup.LastOutLine(), kAborted) << backup.out;
    EXPECT_NE(backup.err.find("aborting the operation"), std::string::npos) << backup.err;
    EXPECT_FALSE(fs::exists(dir.path() / "x.mem"));
}

// A panel that accepts a read and never answers it: the run ends by itself with "Time Out"
// after ReadTimeout, keeping what it had read.
TEST_F(CliLanTest, ReadThatNeverCompletesEndsWithTimeOut) {
    Serve(SmallPanel(1));
    WriteIni(1);
    sim::LanFault never;
    never.op = kevrosa::Op::Read;
    never.kind = sim::LanFault::Kind::Never;
    never.skip = 1;
    server->AddFault(never);
    const CliResult backup = Cli({"--node", server->Endpoint(), "backup", dir.str() + "t.mem"});
    EXPECT_EQ(backup.exitCode, 1);
    EXPECT_EQ(backup.LastOutLine(), "    Time Out...") << backup.out;
    EXPECT_FALSE(fs::exists(dir.path() / "t.mem"));
    EXPECT_EQ(fs::file_size(dir.path() / "t.mem.partial"), kImageHeaderSize + 0x8000);
    EXPECT_EQ(server->Counters().coldRestarts, 1u);
}

TEST_F(CliLanTest, NoNodeFoundEndsAsAborted) {
    Serve(SmallPanel(1));
    server->Stop();  // the node list names a port nobody listens on any more
    const CliResult run = Cli({"--yes", "backup", dir.str() + "none.mem"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("KZ is not found."), std::string::npos) << run.out;
    EXPECT_EQ(run.LastOutLine(), kAborted) << run.out;
    EXPECT_FALSE(fs::exists(dir.path() / "none.mem"));
}

TEST_F(CliLanTest, NodeOptionRefusesWhatIsNoAddressOrUserPort) {
    for (const char* node : {"localhost", "127.0.0.1:80", "127.0.0.1:", "127.0.0.1:70000",
                             "127.0.0.1:http", "999.1.1.1", "127.0.0.1x:8000", "1.2.3.4/8"}) {
        const CliResult run = Cli({"--node", node, "verify", dir.str() + "x.mem"});
        EXPECT_EQ(run.exitCode, 2) << node;
        EXPECT_NE(run.err.find("--node " + std::string(node) + ":"), std::string::npos)
            << node << ": " << run.err;
    }
}

// A FIFO in the place of the library or of its node list ends the run with a clear line
// instead of waiting for a writer (RunCli's watchdog ends a run that hangs).
struct FifoCase {
    const char* name;
    const char* file;
    const char* line;  // part of a status line
};

void PrintTo(const FifoCase& c, std::ostream* os) {
    *os << c.name;
}

class CliLanFifoTest : public CliLanTest, public ::testing::WithParamInterface<FifoCase> {};

TEST_P(CliLanFifoTest, EndsTheRunWithoutWaiting) {
    Serve(SmallPanel(1));
    fs::remove(dir.path() / GetParam().file);
    ASSERT_EQ(::mkfifo((dir.path() / GetParam().file).c_str(), 0600), 0);
    const CliResult run = Cli({"--yes", "backup", dir.str() + "fifo.mem"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find(GetParam().line), std::string::npos) << run.out;
    EXPECT_EQ(run.LastOutLine(), kAborted) << run.out;
    EXPECT_FALSE(fs::exists(dir.path() / "fifo.mem"));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliLanFifoTest,
    ::testing::Values(FifoCase{"Library", "libKevrosa.so", "libKevrosa.so is not a regular file."},
                      FifoCase{"NodeList", "Kevrosa.conf", "KZ is not found."}),
    [](const auto& info) { return std::string(info.param.name); });

// Ctrl-C or a termination request while the network is searched ends the run at once with
// the abort's ending, although the search would go on for minutes.
struct SearchSignalCase {
    const char* name;
    int signal;
    const char* notice;
};

void PrintTo(const SearchSignalCase& c, std::ostream* os) {
    *os << c.name;
}

class CliLanSearchSignalTest : public CliLanTest,
                               public ::testing::WithParamInterface<SearchSignalCase> {};

TEST_P(CliLanSearchSignalTest, EndsTheRunAtOnce) {
    // A panel that never answers a probe, listed so often that the search would take minutes.
    Serve(SmallPanel(1));
    sim::LanFault silent;
    silent.op = kevrosa::Op::Probe;
    silent.kind = sim::LanFault::Kind::Never;
    silent.times = 0;
    server->AddFault(silent);
    std::string nodeList;
    for (int i = 0; i < 300; ++i) {
        nodeList += server->Endpoint() + "\n";
    }
    dir.Write("Kevrosa.conf", nodeList);
    CliRun run;
    run.interruptOn = "It is searching.";
    run.interruptSignal = GetParam().signal;
    const CliResult backup = Cli({"--yes", "backup", dir.str() + "x.mem"}, run);
    EXPECT_EQ(backup.exitCode, 1);
    EXPECT_EQ(backup.LastOutLine(), kAborted) << backup.out;
    EXPECT_NE(backup.err.find(GetParam().notice), std::string::npos) << backup.err;
    EXPECT_FALSE(fs::exists(dir.path() / "x.mem"));
    // The log holds the status list up to the final line.
    const std::string log = dir.Read("KZMNT.log");
    EXPECT_NE(log.find("It is searching.\r\n"), std::string::npos) << log;
    EXPECT_NE(log.rfind(std::string(kAborted) + "\r\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Cli, CliLanSearchSignalTest,
                         ::testing::Values(SearchSignalCase{"Term", SIGTERM, "terminated"},
                                           SearchSignalCase{"Hup", SIGHUP, "terminated"},
                                           SearchSignalCase{"Int", SIGINT,
                                                            "aborting the operation"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz::test

namespace kz::test {
namespace {

// A line of three panels, the second of which wants another password: the search finds all
// three, each is backed up in turn under its model, core ID and time, the failing one is
// reported and the run goes on; the table lists all three and the exit status says that
// not every panel was backed up. Named with --node, the panels are taken in that order.
class CliLineBackupTest : public CliLanTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CliLineBackupTest, BacksUpEveryPanelAndReportsTheOneThatFails) {
    const bool named = GetParam();
    std::vector<std::unique_ptr<sim::LanServer>> panels;
    std::string list;
    for (std::uint32_t i = 0; i < 3; ++i) {
        sim::PanelDescription description = SmallPanel(10 + i);
        description.password = i == 1 ? "other" : "line";
        panels.push_back(std::make_unique<sim::LanServer>(description));
        ASSERT_TRUE(panels.back()->Start(0));
        list += panels.back()->Endpoint() + "\n";
    }
    dir.Write("Kevrosa.conf", list);
    std::vector<std::string> args = {"--yes", "--password", "line", "backup-all",
                                     dir.str() + "line"};
    if (named) {
        for (const auto& panel : panels) {
            args.push_back("--node");
            args.push_back(panel->Endpoint());
        }
    }
    const CliResult run = Cli(args);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.path() / "line")) {
        files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u) << run.out;
    const std::vector<std::string> lines = run.OutLines();
    ASSERT_GE(lines.size(), 4u);
    const std::vector<std::string> table(lines.end() - 4, lines.end());
    EXPECT_TRUE(table[0].starts_with("Node")) << run.out;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(table[i + 1].starts_with(panels[i]->Endpoint())) << table[i + 1];
        EXPECT_EQ(table[i + 1].find(kCompleted) != std::string::npos, i != 1) << table[i + 1];
    }
    // Each file holds its panel's memory.
    for (const std::size_t i : {0u, 2u}) {
        const std::string line = table[i + 1];
        const std::size_t at = line.find(dir.str() + "line/");
        ASSERT_NE(at, std::string::npos) << line;
        const std::string path = line.substr(at, line.find(' ', at) - at);
        EXPECT_TRUE(fs::path(path).filename().string().starts_with("DEMO_8C93_")) << path;
        const auto from = panels[i]->ReadMemory(0, kFrom);
        std::string bytes = dir.Read(path.substr(dir.str().size()));
        EXPECT_TRUE(bytes.substr(kImageHeaderSize, kFrom) == std::string(from.begin(), from.end()));
    }
    for (const auto& panel : panels) {
        panel->Stop();
    }
}

INSTANTIATE_TEST_SUITE_P(Lan, CliLineBackupTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Searched"; });

}  // namespace
}  // namespace kz::test
