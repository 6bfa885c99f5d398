// kzmnt-cli end to end: the real program as a child process, talking to a simulated panel
// over a pseudo-terminal through the termios backend. Every backup, verify or restore run
// spends several seconds in the protocol's fixed waits, so the runs are few and each test
// tells a whole story.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "CliRunner.h"
#include "config/Settings.h"
#include "ops/History.h"
#include "ops/memory/MemImageFile.h"
#include "platform/Format.h"
#include "platform/SerialDevice.h"
#include "support/PanelFixture.h"
#include "support/TempDir.h"
#include "support/TestFolder.h"

namespace kz::test {
namespace {

constexpr const char* kCompleted = "Processing was completed.";
constexpr const char* kAborted = "Processing was aborted by operation.";
constexpr const char* kMismatch = "Data which is not in agreement by verification.";

// What the test panel holds at first: its FROM (64 KiB), then its SRAM (16 KiB).
std::string ExpectedImageData(const sim::PanelDescription& d) {
    const auto from = ExpectedMemory(d, 0x00000000, 0x10000);
    const auto sram = ExpectedMemory(d, 0x00400000, 0x4000);
    std::string data(from.begin(), from.end());
    data.append(sram.begin(), sram.end());
    return data;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// True when every line of part appears in whole, in the same order.
bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    auto it = whole.begin();
    for (const std::string& line : part) {
        it = std::find(it, whole.end(), line);
        if (it == whole.end()) {
            return false;
        }
        ++it;
    }
    return true;
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (CliProgram().empty()) {
            GTEST_SKIP() << "kzmnt-cli is not built (KZ_BUILD_DIR=" << BuildDir() << ")";
        }
    }

    // KZMNT.INI for a panel on device, with the model of description and the loader file.
    void WriteFolder(const std::string& device, const sim::PanelDescription& description,
                     bool autoFileName = false) {
        ModelChoices choices;
        // Kind 2 reads 00001234: its low 16 bits are the whole value.
        choices.signatureKind = 2;
        dir.Write(
            "KZMNT.INI",
            ProgramIni(38400, 3, 2, 3, autoFileName ? "AUTOFILENAME=1\r\n" : "AUTOFILENAME=0\r\n",
                       device, ModelSection(description, choices)));
        dir.Write("ILOADER.BIN", LoaderText(0x00200000, 300));
    }

    CliResult Cli(std::vector<std::string> args, CliRun run = {}) {
        run.args = {"--folder", dir.str()};
        run.args.insert(run.args.end(), args.begin(), args.end());
        CliResult result = RunCli(run);
        EXPECT_NE(result.exitCode, -1) << "the program did not end by itself";
        // In a sanitizer build the child's reports would otherwise hide behind exit status 1.
        EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("runtime error:"), std::string::npos) << result.err;
        return result;
    }

    std::string Path(const std::string& name) const { return dir.str() + name; }

    // An image file whose header loads: KZ-TEST, core ID 8C93, I/O code C3.
    void WriteImage(const std::string& name, const std::string& comment) {
        MemImageFile image;
        image.SetHeaderKind(kImageHeaderKind);
        image.SetHeaderFormat(kImageHeaderFormat);
        image.SetModelName("KZ-TEST");
        image.SetDescriptorVersion();
        image.SetCoreID("8C93");
        image.SetIOCode("C3");
        image.SetComment(comment);
        image.SetFileName(Path(name));
        ASSERT_TRUE(image.WriteHeader());
    }

    std::string ImageComment(const std::string& name) {
        MemImageFile image;
        EXPECT_TRUE(image.LoadHeader(Path(name)));
        return image.GetImageComment();
    }

    TempDir dir;
};

TEST_F(CliTest, BackupVerifyRestoreRoundTrip) {
    sim::PanelDescription description = TestPanel();
    description.password = "kz-pass";
    PtyPanel panel(description);
    WriteFolder(panel.SlavePath(), description, /*autoFileName=*/true);
    const std::string folder = Path("images");
    const std::string image = folder + "/bk8013.MEM";  // 8C93 AND F37F

    // Backup into a folder: the program names the file, answers the password request and
    // confirms the model by itself.
    CliResult backup =
        Cli({"--yes", "--password", "kz-pass", "backup", folder, "--comment", "round trip"});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    EXPECT_EQ(backup.LastOutLine(), kCompleted);
    EXPECT_NE(backup.err.find("image file " + image), std::string::npos) << backup.err;
    EXPECT_EQ(panel->Counters().passwordsRejected, 0u);
    // An area smaller than the 64 KiB unit still takes a whole unit in the image.
    const std::string bytes = dir.Read("images/bk8013.MEM");
    ASSERT_EQ(bytes.size(), kImageHeaderSize + 0x20000);
    const std::string expected = ExpectedImageData(description);
    EXPECT_TRUE(bytes.substr(kImageHeaderSize, 0x10000) == expected.substr(0, 0x10000));
    EXPECT_TRUE(bytes.substr(kImageHeaderSize + 0x10000, 0x4000) == expected.substr(0x10000));
    EXPECT_EQ(ImageComment("images/bk8013.MEM"), "round trip");

    // The log holds this run's status list, which stdout showed line by line.
    const auto log = SplitCrLf(dir.Read("KZMNT.log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "*** Backup Start ***");
    EXPECT_EQ(log.back(), kCompleted);
    EXPECT_TRUE(IsSubsequence(log, backup.OutLines())) << backup.out;
    std::string recent;
    EXPECT_TRUE(CSettings(Path("KZMNT.INI")).GetRecentFile(1, recent));
    EXPECT_EQ(recent, folder);

    CliResult verify = Cli({"--yes", "verify", image});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("Comment: round trip"), std::string::npos);
    // Each operation asks for the model confirmation in its own mode.
    EXPECT_NE(backup.out.find("Backup Confirmation"), std::string::npos) << backup.out;
    EXPECT_NE(verify.out.find("Verify Confirmation"), std::string::npos) << verify.out;
    EXPECT_EQ(verify.LastOutLine(), kCompleted);

    // One byte changed in the panel: verify finds it, restore puts it back.
    const std::uint8_t original = panel->ReadMemory(0x1234, 1)[0];
    ASSERT_TRUE(panel->SetMemoryByte(0x1234, static_cast<std::uint8_t>(original ^ 0x5A)));
    CliResult mismatch = Cli({"--yes", "verify", image});
    EXPECT_EQ(mismatch.exitCode, 1);
    EXPECT_EQ(mismatch.LastOutLine(), kMismatch) << mismatch.out;
    EXPECT_EQ(SplitCrLf(dir.Read("KZMNT.log")).back(), kMismatch);

    CliResult restore = Cli({"--yes", "restore", image});
    EXPECT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    EXPECT_NE(restore.out.find("Restore Confirmation"), std::string::npos) << restore.out;
    EXPECT_EQ(restore.LastOutLine(), kCompleted);
    EXPECT_TRUE(panel->MemoryEquals(
        0x00000000, std::span(reinterpret_cast<const std::uint8_t*>(expected.data()), 0x10000)));
    EXPECT_TRUE(panel->MemoryEquals(
        0x00400000,
        std::span(reinterpret_cast<const std::uint8_t*>(expected.data()) + 0x10000, 0x4000)));
}

TEST_F(CliTest, WithoutTerminalOrYesEveryQuestionIsRefused) {
    PtyPanel panel(TestPanel());
    WriteFolder(panel.SlavePath(), TestPanel());
    WriteImage("old.mem", "keep me");
    const std::string before = dir.Read("old.mem");

    // The restore warning comes before the port is opened.
    CliResult restore = Cli({"restore", Path("old.mem")});
    EXPECT_EQ(restore.exitCode, 1);
    EXPECT_EQ(restore.LastOutLine(), kAborted);
    EXPECT_NE(restore.err.find("Restoration is started."), std::string::npos) << restore.err;

    // Overwriting an existing image is refused before anything starts.
    CliResult overwrite = Cli({"backup", Path("old.mem")});
    EXPECT_EQ(overwrite.exitCode, 1);
    EXPECT_EQ(overwrite.LastOutLine(), kAborted);
    EXPECT_EQ(dir.Read("old.mem"), before);
    EXPECT_EQ(panel->Counters().bytesReceived, 0u);

    // The model confirmation in the middle of a backup: shown, refused, nothing written.
    CliResult backup = Cli({"backup", Path("new.mem"), "--comment", "no"});
    EXPECT_EQ(backup.exitCode, 1);
    EXPECT_EQ(backup.LastOutLine(), kAborted);
    EXPECT_NE(backup.out.find("Backup Confirmation"), std::string::npos) << backup.out;
    EXPECT_NE(backup.out.find("  Model: KZ-TEST"), std::string::npos) << backup.out;
    EXPECT_FALSE(std::filesystem::exists(Path("new.mem")));
    EXPECT_EQ(panel->Counters().readBlocks, 0u);
}

// On a terminal the bar carries the transfer's bytes of the total and the area in work;
// with stderr in a pipe there is neither a bar nor its text.
TEST_F(CliTest, TheProgressBarShowsBytesAndAreaOnlyOnATerminal) {
    PtyPanel panel(TestPanel());
    WriteFolder(panel.SlavePath(), TestPanel());
    CliRun terminal;
    terminal.withTerminal = true;
    terminal.errOnTerminal = true;
    CliResult shown = Cli({"--yes", "backup", Path("shown.mem")}, terminal);
    ASSERT_EQ(shown.exitCode, 0) << shown.out << shown.terminal;
    // 64 KiB of FROM and the SRAM area read as one whole 64 KiB unit.
    EXPECT_NE(shown.terminal.find("%  0.0 of 128.0 KiB \xC2\xB7 FEPROM\033[K"), std::string::npos)
        << shown.terminal;
    EXPECT_NE(shown.terminal.find(" of 128.0 KiB \xC2\xB7 SRAM\033[K"), std::string::npos)
        << shown.terminal;

    CliResult piped = Cli({"--yes", "backup", Path("piped.mem")});
    ASSERT_EQ(piped.exitCode, 0) << piped.out << piped.err;
    EXPECT_EQ(piped.err.find(" of "), std::string::npos) << piped.err;
    EXPECT_EQ(piped.err.find('\r'), std::string::npos) << piped.err;
    EXPECT_EQ(piped.out.find(" of 128.0 KiB"), std::string::npos) << piped.out;
}

TEST_F(CliTest, QuestionsAreAskedOnTheTerminal) {
    sim::PanelDescription description = TestPanel();
    description.password = "s3cret";
    PtyPanel panel(description);
    WriteFolder(panel.SlavePath(), description);
    WriteImage("old.mem", "old");

    CliRun overwrite;
    overwrite.withTerminal = true;
    overwrite.answers = {{"[y/N]", "n\n"}};
    CliResult refused = Cli({"backup", Path("old.mem")}, overwrite);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.LastOutLine(), kAborted);
    EXPECT_NE(refused.terminal.find("A file exists. May I overwrite?"), std::string::npos)
        << refused.terminal;

    // The password is typed without echo; the model confirmation is then declined.
    CliRun typed;
    typed.withTerminal = true;
    typed.answers = {{"Please input a password:", "s3cret\n"}, {"[y/N]", "no\n"}};
    CliResult declined = Cli({"backup", Path("new.mem")}, typed);
    EXPECT_EQ(declined.exitCode, 1);
    EXPECT_EQ(declined.LastOutLine(), kAborted) << declined.out;
    EXPECT_EQ(panel->Counters().passwordsRejected, 0u);
    EXPECT_EQ(declined.terminal.find("s3cret"), std::string::npos) << declined.terminal;
    EXPECT_NE(declined.terminal.find("Backup Confirmation"), std::string::npos)
        << declined.terminal;
}

TEST_F(CliTest, AFailedPasswordRunLeavesNoAnswerForTheNextRun) {
    sim::PanelDescription description = TestPanel();
    description.password = "s3cret";
    PtyPanel panel(description);
    WriteFolder(panel.SlavePath(), description);

    CliResult wrong = Cli({"--yes", "--password", "wrong", "backup", Path("a.mem")});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.LastOutLine(),
              "When a password input was carried out, the retry error occurred.")
        << wrong.out;

    // Without a password the next run must still be asked for one, and gets nothing.
    CliResult none = Cli({"--yes", "backup", Path("b.mem")});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.LastOutLine(), kAborted) << none.out;
    EXPECT_NE(none.err.find("the panel asks for a password"), std::string::npos) << none.err;
    EXPECT_FALSE(std::filesystem::exists(Path("b.mem")));
    EXPECT_EQ(panel->Counters().readBlocks, 0u);
}

TEST_F(CliTest, CtrlCAbortsTheTransferOrEndsTheWaitForAPowerReset) {
    // 4 MiB of FROM keep the data phase going well past the first progress line.
    sim::PanelDescription description = TestPanel();
    description.fromSize = 0x400000;
    description.regions[0].size = 0x400000;
    PtyPanel panel(description);
    WriteFolder(panel.SlavePath(), description);
    WriteImage("old.mem", "old");

    CliRun abort;
    abort.interruptOn = "Buckup(1/";
    CliResult aborted = Cli({"--yes", "backup", Path("a.mem")}, abort);
    EXPECT_EQ(aborted.exitCode, 1);
    EXPECT_EQ(aborted.LastOutLine(), kAborted) << aborted.out;
    EXPECT_FALSE(std::filesystem::exists(Path("a.mem")));
    // The abort reset the panel: it is back in its firmware, not left in the loader. The
    // reset frame reaches it as soon as the program has sent it, long before the panel
    // would give up sending to a program that left.
    for (int i = 0; i < 50 && panel->Mode() != sim::PanelMode::Firmware; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(panel->Mode(), sim::PanelMode::Firmware) << aborted.out;

    // A panel that does not answer: the program asks for a power reset; Ctrl-C gives up.
    sim::FaultConfig silent;
    silent.silentAfterFrames = 0;
    panel->SetFaults(silent);
    CliRun wait;
    wait.interruptOn = "please reset the power supply of the unit.";
    CliResult cancelled = Cli({"--yes", "verify", Path("old.mem")}, wait);
    EXPECT_EQ(cancelled.exitCode, 1);
    EXPECT_EQ(cancelled.LastOutLine(), kAborted) << cancelled.out;
    EXPECT_NE(cancelled.err.find("In order to establish a communication handshake,\n"),
              std::string::npos)
        << cancelled.err;
}

// A port that cannot be opened: the status list and stderr say why, not only "check the
// cable".
struct PortCase {
    const char* name;
    const char* device;  // empty: the panel's pseudo-terminal, held by another user
    const char* statusLine;
    const char* reason;
};

void PrintTo(const PortCase& port, std::ostream* os) {
    *os << port.name;
}

class CliPortTest : public CliTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(CliPortTest, SaysWhyThePortCouldNotBeOpened) {
    PtyPanel panel(TestPanel());
    const std::string device = *GetParam().device ? GetParam().device : panel.SlavePath();
    WriteFolder(device, TestPanel());
    WriteImage("old.mem", "old");
    std::unique_ptr<platform::ISerialDevice> holder;
    if (!*GetParam().device) {
        holder = platform::OpenSerialDevice(device);
        ASSERT_TRUE(holder);
    }
    CliResult verify = Cli({"--yes", "verify", Path("old.mem")});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_EQ(verify.LastOutLine(), "Please check a power supply or a cable.") << verify.out;
    const auto lines = verify.OutLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), Format(GetParam().statusLine, device.c_str())),
              lines.end())
        << verify.out;
    EXPECT_NE(verify.err.find(std::string("the serial port could not be opened: ") +
                              GetParam().reason + ": " + device),
              std::string::npos)
        << verify.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliPortTest,
    ::testing::Values(
        PortCase{"Missing", "/nonexistent/ttyKZ", "    The serial port %s does not exist.",
                 "no such device"},
        PortCase{"Busy", "", "    The serial port %s is in use by another program.", "device busy"},
        PortCase{"NotSerial", "/dev/null", "    The serial port %s could not be opened.",
                 "not a serial device"}),
    [](const auto& info) { return std::string(info.param.name); });

// --port takes the device for one run, before or after the command, and leaves KZMNT.INI as
// it was; a missing device named that way is reported by its name.
TEST_F(CliTest, PortOptionChoosesTheDeviceForOneRun) {
    PtyPanel panel(TestPanel());
    WriteFolder("/nonexistent/ttyKZ", TestPanel());
    WriteImage("old.mem", "old");
    const std::string ini = dir.Read("KZMNT.INI");

    CliResult backup = Cli({"--yes", "backup", Path("a.mem"), "--port", panel.SlavePath()});
    EXPECT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    EXPECT_EQ(dir.Read("a.mem").size(), kImageHeaderSize + 0x20000);

    CliResult missing = Cli({"--port=/nonexistent/ttyKZ2", "--yes", "verify", Path("a.mem")});
    EXPECT_EQ(missing.exitCode, 1);
    const auto lines = missing.OutLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "    The serial port /nonexistent/ttyKZ2 does not exist."),
              lines.end())
        << missing.out;
    // The settings still name their own device: the recent-file list aside, the file is as it
    // was.
    EXPECT_EQ(CSettings(Path("KZMNT.INI")).GetSerialDeviceName(1), "/nonexistent/ttyKZ");
    EXPECT_EQ(dir.Read("KZMNT.INI").find("ttyKZ2"), std::string::npos);
    EXPECT_EQ(dir.Read("KZMNT.INI").find("/dev/pts"), std::string::npos) << ini;

    // The device list ends well whatever this machine has.
    CliResult ports = Cli({"ports"});
    EXPECT_EQ(ports.exitCode, 0) << ports.err;
    EXPECT_TRUE(ports.out.starts_with("Device ") || ports.out == "No serial device was found.\n")
        << ports.out;
    EXPECT_EQ(Cli({"ports", "x"}).exitCode, 2);
    EXPECT_EQ(Cli({"info", Path("old.mem"), "--port="}).exitCode, 2);
}

// verify --all goes on after the first difference and lists every range, then ends as any
// failed verify does.
TEST_F(CliTest, VerifyAllListsEveryDifferingRange) {
    PtyPanel panel(TestPanel());
    WriteFolder(panel.SlavePath(), TestPanel());
    CliResult backup = Cli({"--yes", "backup", Path("a.mem")});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    std::string bytes = dir.Read("a.mem");
    for (const std::size_t at : {0x10u, 0x8000u, 0x10000u + 0x20u}) {
        bytes[kImageHeaderSize + at] = static_cast<char>(~bytes[kImageHeaderSize + at]);
    }
    dir.Write("a.mem", bytes);
    CliResult verify = Cli({"--yes", "verify", "--all", Path("a.mem")});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_EQ(verify.LastOutLine(), kMismatch) << verify.out;
    for (const char* where :
         {"    FROM1 at 00000010, length 1", "    FROM1 at 00008000, length 1",
          "    SRAM1 at 00400020, length 1", "    3 differing ranges, 3 bytes in all"}) {
        EXPECT_NE(verify.out.find(where), std::string::npos) << where << "\n" << verify.out;
    }
}

// A restore with a safety backup: a backup that fails ends the run before the restore
// starts; one that completes is named after the panel and the time, holds the panel's
// memory as it was, and the restore follows. SAFETYBACKUP in KZMNT.INI does what the option
// does, with AUTOFILENAME on as well (the safety backup names its own file).
TEST_F(CliTest, RestoreTakesASafetyBackupFirst) {
    sim::PanelDescription description = TestPanel();
    description.password = "s3cret";
    PtyPanel panel(description);
    WriteFolder(panel.SlavePath(), description, /*autoFileName=*/true);
    CliResult backup = Cli({"--yes", "--password", "s3cret", "backup", Path("images")});
    ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
    const std::string image = Path("images/bk8013.MEM");
    const std::string data = dir.Read("images/bk8013.MEM").substr(kImageHeaderSize);
    // The image to restore differs from the panel in one byte.
    const std::uint8_t original = panel->ReadMemory(0x1234, 1)[0];
    ASSERT_TRUE(panel->SetMemoryByte(0x1234, static_cast<std::uint8_t>(original ^ 0x5A)));
    const std::uint32_t writesBefore = panel->Counters().writeBlocks;

    CliResult refused =
        Cli({"--yes", "--password", "wrong", "restore", image, "--safety-backup", Path("safe")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("The safety backup did not complete; nothing was written to the "
                               "panel."),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.out.find("*** Restoration Start ***"), std::string::npos) << refused.out;
    EXPECT_EQ(panel->Counters().writeBlocks, writesBefore);
    EXPECT_EQ(panel->ReadMemory(0x1234, 1)[0], original ^ 0x5A);

    std::string ini = dir.Read("KZMNT.INI");
    const std::string autoKey = "AUTOFILENAME=1\r\n";
    ini.replace(ini.find(autoKey), autoKey.size(), autoKey + "SAFETYBACKUP=safe\r\n");
    dir.Write("KZMNT.INI", ini);
    CliResult restore = Cli({"--yes", "--password", "s3cret", "restore", image});
    ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
    std::vector<std::string> saved;
    for (const auto& entry : std::filesystem::directory_iterator(Path("safe"))) {
        if (entry.path().extension() == ".mem") {
            saved.push_back(entry.path().filename().string());
        }
    }
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved[0].starts_with("KZ-TEST_8C93_")) << saved[0];
    const std::string safety = dir.Read("safe/" + saved[0]).substr(kImageHeaderSize);
    ASSERT_EQ(safety.size(), data.size());
    EXPECT_EQ(static_cast<std::uint8_t>(safety[0x1234]), original ^ 0x5A);  // as it was
    EXPECT_TRUE(safety.substr(0, 0x1234) == data.substr(0, 0x1234));
    const auto lines = restore.OutLines();
    EXPECT_TRUE(IsSubsequence({"The safety backup is " + Path("safe/") + saved[0] + ".",
                               "*** Restoration Start ***", kCompleted},
                              lines))
        << restore.out;
    EXPECT_EQ(panel->ReadMemory(0x1234, 1)[0], original);
}

// history prints the service record as a table, the last N records with --last; a run of
// the program adds its own record.
TEST_F(CliTest, HistoryShowsTheServiceRecord) {
    CliResult none = Cli({"history"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out, "No operation has been recorded.\n");
    for (const char* operation : {"backup", "verify", "restore"}) {
        HistoryEntry entry;
        entry.start = "2026-12-08T10:15:00Z";
        entry.operation = operation;
        entry.link = "serial /dev/ttyUSB0";
        entry.text = std::string(operation) + " result";
        ASSERT_TRUE(AppendHistory(Path(kHistoryFileName), entry));
    }
    CliResult last = Cli({"history", "--last", "2"});
    EXPECT_EQ(last.exitCode, 0) << last.err;
    const auto lines = last.OutLines();
    ASSERT_EQ(lines.size(), 3u) << last.out;
    EXPECT_TRUE(lines[0].starts_with("Start (UTC)")) << lines[0];
    EXPECT_NE(lines[1].find("verify result"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("restore result"), std::string::npos) << lines[2];
    EXPECT_EQ(Cli({"history", "--last", "0"}).exitCode, 2);
    EXPECT_EQ(Cli({"history", "--last", "x"}).exitCode, 2);
    EXPECT_EQ(Cli({"info", Path("a.mem"), "--last", "1"}).exitCode, 2);
}

// A line backup searches the network: on the serial link it is refused before anything.
TEST_F(CliTest, BackupAllNeedsTheNetwork) {
    WriteFolder("/nonexistent/ttyKZ", TestPanel());
    CliResult run = Cli({"--yes", "backup-all", Path("line")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("backup-all works on the network only"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("line")));
}

// diff: 0 for equal images, 1 with the fields and ranges that differ, 2 when one cannot be
// read.
TEST_F(CliTest, DiffComparesTwoImages) {
    WriteImage("a.mem", "one");
    WriteImage("b.mem", "one");
    WriteImage("c.mem", "two");
    CliResult same = Cli({"diff", Path("a.mem"), Path("b.mem")});
    EXPECT_EQ(same.exitCode, 0) << same.err;
    EXPECT_EQ(same.out, "The images are equal.\n");
    CliResult differs = Cli({"diff", Path("a.mem"), Path("c.mem")});
    EXPECT_EQ(differs.exitCode, 1) << differs.err;
    EXPECT_EQ(differs.out, "Comment: one | two\nThe images differ.\n");
    CliResult missing = Cli({"diff", Path("a.mem"), Path("none.mem")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find(Path("none.mem") + " cannot be read as a backup image."),
              std::string::npos)
        << missing.err;
    EXPECT_EQ(Cli({"diff", Path("a.mem")}).exitCode, 2);
    EXPECT_EQ(Cli({"backup", Path("x.mem"), "--all"}).exitCode, 2);
}

// A termination request ends a transfer the way Ctrl-C does: aborted, the final line
// written, the old image kept. One that
// comes in the first second, when Ctrl-C is not taken yet, is acted on after it.
struct SignalCase {
    const char* name;
    int signal;
    const char* when;  // sent when stdout or stderr shows this
};

void PrintTo(const SignalCase& signal, std::ostream* os) {
    *os << signal.name;
}

class CliSignalTest : public CliTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(CliSignalTest, EndsTheTransferLikeCtrlC) {
    sim::PanelDescription description = TestPanel();
    description.fromSize = 0x400000;
    description.regions[0].size = 0x400000;
    PtyPanel panel(description);
    WriteFolder(panel.SlavePath(), description);
    WriteImage("old.mem", "old");
    const std::string before = dir.Read("old.mem");

    CliRun run;
    run.interruptOn = GetParam().when;
    run.interruptSignal = GetParam().signal;
    CliResult aborted = Cli({"--yes", "backup", Path("old.mem")}, run);
    EXPECT_EQ(aborted.exitCode, 1);
    EXPECT_EQ(aborted.LastOutLine(), kAborted) << aborted.out;
    EXPECT_NE(aborted.err.find("terminated"), std::string::npos) << aborted.err;
    EXPECT_EQ(dir.Read("old.mem"), before);
}

INSTANTIATE_TEST_SUITE_P(Cli, CliSignalTest,
                         ::testing::Values(SignalCase{"TermInTransfer", SIGTERM, "Buckup(1/"},
                                           SignalCase{"HupInTransfer", SIGHUP, "Buckup(1/"},
                                           SignalCase{"TermAtStart", SIGTERM,
                                                      "*** Backup Start ***"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, AClosedStdoutDoesNotEndTheTransfer) {
    PtyPanel panel(TestPanel());
    WriteFolder(panel.SlavePath(), TestPanel());
    CliRun run;
    run.closeOutOn = "*** Backup Start ***";
    CliResult backup = Cli({"--yes", "backup", Path("a.mem")}, run);
    EXPECT_EQ(backup.exitCode, 0) << backup.err;
    EXPECT_NE(backup.err.find("image file " + Path("a.mem")), std::string::npos) << backup.err;
    EXPECT_TRUE(std::filesystem::exists(Path("a.mem")));
}

TEST_F(CliTest, InfoAndCommentWorkOnTheImageFile) {
    WriteFolder("/dev/null", TestPanel());
    WriteImage("a.mem", "before");

    CliResult info = Cli({"info", Path("a.mem")});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.OutLines(),
              (std::vector<std::string>{"Core ID: 93", "I/O Code: C3", "Model: KZ-TEST",
                                        "Comment: before", "FEPROM:", "  Address=0 , Size=10000",
                                        "SRAM:", "  Address=400000 , Size=4000"}));

    EXPECT_EQ(Cli({"comment", Path("a.mem"), "after"}).exitCode, 0);
    EXPECT_EQ(ImageComment("a.mem"), "after");
    // Like the dialog's edit field, a comment holds at most 64 characters.
    const std::string longText(70, 'x');
    EXPECT_EQ(Cli({"comment", Path("a.mem"), longText}).exitCode, 0);
    EXPECT_EQ(ImageComment("a.mem"), longText.substr(0, 64));

    // A file too short for a header: nothing to show, nothing to change, nothing started.
    dir.Write("short.mem", std::string(100, '\0'));
    EXPECT_EQ(Cli({"info", Path("short.mem")}).exitCode, 1);
    EXPECT_EQ(Cli({"comment", Path("short.mem"), "x"}).exitCode, 1);
    EXPECT_EQ(dir.Read("short.mem"), std::string(100, '\0'));
    CliResult verify = Cli({"--yes", "verify", Path("short.mem")});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_EQ(verify.LastOutLine(), "Please check a specification file again.");
    EXPECT_EQ(verify.out.find("Verification Start"), std::string::npos);
}

TEST_F(CliTest, RecentListUpdateNeverWipesKZMNTIni) {
    std::filesystem::create_directory(Path("cf"));
    // LF line ends are read: the file is rewritten with the new entry and nothing lost.
    dir.Write("KZMNT.INI", "[CONFIG]\nCOM=1\n[PORTS]\nCOM1=/dev/null\n[M]\nID=1\n");
    Cli({"cf-send", Path("cf")});
    EXPECT_EQ(dir.Read("KZMNT.INI"),
              "[CONFIG]\r\nCOM=1\r\nFile1=" + Path("cf") +
                  "\r\n\r\n[PORTS]\r\nCOM1=/dev/null\r\n\r\n[M]\r\nID=1\r\n\r\n");

    // Content that is not text is left as it is, and the user is told.
    using namespace std::string_literals;
    const std::string binary = "[CONFIG]\r\nCOM=1\r\n[PORTS]\r\nCOM1=/dev/null\r\n\0"s;
    dir.Write("KZMNT.INI", binary);
    CliResult result = Cli({"cf-send", Path("cf")});
    EXPECT_NE(result.out.find("KZMNT.INI could not be read"), std::string::npos) << result.out;
    EXPECT_EQ(dir.Read("KZMNT.INI"), binary);
}

// An image's comment goes to the terminal with its control characters escaped; a FIFO
// given as an image is refused at once instead of waiting for a writer.
TEST_F(CliTest, ForeignTextIsEscapedAndAFifoIsNoImage) {
    WriteFolder("/dev/null", TestPanel());
    WriteImage("esc.mem", "\x1B[2Jwiped\x07");
    CliResult info = Cli({"info", Path("esc.mem")});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("Comment: \\x1B[2Jwiped\\x07\n"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find('\x1B'), std::string::npos);

    ASSERT_EQ(::mkfifo(Path("pipe.mem").c_str(), 0600), 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", Path("pipe.mem")},
          std::vector<std::string>{"comment", Path("pipe.mem"), "x"},
          std::vector<std::string>{"--yes", "verify", Path("pipe.mem")},
          std::vector<std::string>{"--yes", "backup", Path("pipe.mem")}}) {
        CliResult run = Cli(args);
        EXPECT_EQ(run.exitCode, 2) << args[args.size() > 2 && args[0] == "--yes" ? 1 : 0];
        EXPECT_NE(run.err.find("is not a regular file"), std::string::npos) << run.err;
    }
}

TEST_F(CliTest, HelpPrintsUsage) {
    CliResult help = Cli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: kzmnt-cli"), std::string::npos);
}

// Command lines the program refuses with exit status 2; "@" stands for the test folder.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* reason;  // part of the message on stderr
};

void PrintTo(const UsageCase& usage, std::ostream* os) {
    *os << usage.name;
}

class CliUsageTest : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsageTest, IsRefusedWithStatus2) {
    WriteFolder("/dev/null", TestPanel());
    std::filesystem::create_directory(Path("folder.mem"));
    std::vector<std::string> args;
    for (const std::string& arg : GetParam().args) {
        args.push_back(arg[0] == '@' ? Path(arg.substr(1)) : arg);
    }
    CliResult result = Cli(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(GetParam().reason), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliUsageTest,
    ::testing::Values(
        UsageCase{"NoCommand", {}, "no command"},
        UsageCase{"UnknownCommand", {"format", "@a.mem"}, "unknown command"},
        UsageCase{"UnknownOption", {"--fast", "info", "@a.mem"}, "unknown option"},
        UsageCase{"MissingPath", {"backup"}, "backup takes"},
        UsageCase{"ExtraArgument", {"verify", "@a.mem", "@b.mem"}, "verify takes"},
        UsageCase{"OptionWithoutValue", {"info", "@a.mem", "--password"}, "needs a value"},
        UsageCase{"CommentOutsideBackup", {"verify", "@a.mem", "--comment", "x"}, "--comment"},
        UsageCase{
            "NoSuchFolder", {"--folder", "/nonexistent/kz", "info", "@a.mem"}, "no such folder"},
        UsageCase{"BackupNameWithoutMem", {"backup", "@image"}, "must end with .mem"},
        UsageCase{"BackupOntoAFolder", {"backup", "@folder.mem"}, "existing folder"},
        UsageCase{"VerifyMissingImage", {"verify", "@missing.mem"}, "does not exist"},
        UsageCase{"CommentMissingImage", {"comment", "@missing.mem", "x"}, "does not exist"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    CommandOptions, CliUsageTest,
    ::testing::Values(
        UsageCase{"AllOutsideVerify", {"backup", "@a.mem", "--all"}, "--all belongs to verify"},
        UsageCase{
            "ResumeOutsideBackup", {"verify", "@a.mem", "--resume"}, "--resume belongs to backup"},
        UsageCase{"SafetyBackupOutsideRestore",
                  {"verify", "@a.mem", "--safety-backup", "@s"},
                  "--safety-backup belongs to restore"},
        UsageCase{"SafetyBackupWithoutFolder",
                  {"restore", "@a.mem", "--safety-backup="},
                  "--safety-backup needs a folder"},
        UsageCase{"PortsWithArgument", {"ports", "x"}, "ports takes no arguments"},
        UsageCase{"DiffOneImage", {"diff", "@a.mem"}, "diff takes"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz::test
