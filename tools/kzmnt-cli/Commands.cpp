#include "Commands.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

#include "ConsoleView.h"
#include "HistoryTable.h"
#include "InterruptWatcher.h"
#include "NodeChooser.h"
#include "NodeOption.h"
#include "OperationController.h"
#include "PortsTable.h"
#include "Terminal.h"
#include "config/MessageIds.h"
#include "config/ModelDefs.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "ops/History.h"
#include "ops/OperationHandle.h"
#include "ops/engine/StepEngine.h"
#include "ops/memory/FileSelection.h"
#include "ops/memory/ImageDiff.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/ModelConfirm.h"
#include "ops/memory/SafetyBackup.h"
#include "ops/memory/StartFlow.h"
#include "platform/Format.h"
#include "platform/LocalTime.h"
#include "platform/Printable.h"
#include "platform/SerialPorts.h"

namespace kz::cli {

namespace {

// info and comment pick an existing image the way restore does.
constexpr SelectionMode kSelectImage = SelectionMode::Restore;

struct CommandEntry;
using CommandFn = int (*)(const CliOptions&, const CommandEntry&);

struct CommandEntry {
    std::string_view name;
    std::string_view argsText;  // for the usage text
    std::string_view help;
    std::optional<OperationKind> kind;  // the operation a transfer command starts
    std::size_t argCount;               // arguments after the name
    bool takesComment;                  // --comment allowed
    CommandFn run;

    // The rule the first argument must pass: the operation's, or an existing image's.
    SelectionMode Selection() const { return kind ? SelectionModeFor(*kind) : kSelectImage; }
};

int RunTransfer(const CliOptions& options, const CommandEntry& command);
int RunInfo(const CliOptions& options, const CommandEntry& command);
int RunComment(const CliOptions& options, const CommandEntry& command);
int RunPorts(const CliOptions& options, const CommandEntry& command);
int RunDiff(const CliOptions& options, const CommandEntry& command);
int RunHistory(const CliOptions& options, const CommandEntry& command);
int RunBackupAll(const CliOptions& options, const CommandEntry& command);

constexpr CommandEntry kCommands[] = {
    {"backup", "PATH [--comment TEXT] [--resume]",
     "read the panel's memory into a backup image (PATH ends in\n"
     "                         .mem, or is a folder when AUTOFILENAME is on; --resume:\n"
     "                         go on from the PATH.partial an interrupted backup left)",
     OperationKind::Backup, 1, true, RunTransfer},
    {"backup-all", "DIR [--node ADDR[:PORT]]...",
     "back up every panel the network search finds (or each\n"
     "                         --node) into DIR, one after another, each named\n"
     "                         MODEL_COREID_TIME.mem; a table of the results at the end",
     std::nullopt, 1, false, RunBackupAll},
    {"restore", "PATH [--safety-backup DIR]",
     "write a backup image into the panel (--safety-backup: first\n"
     "                         back the panel up into DIR; the restore starts only when\n"
     "                         that backup completed)",
     OperationKind::Restore, 1, false, RunTransfer},
    {"verify", "PATH [--all]",
     "compare the panel's memory with a backup image (--all: go on\n"
     "                         after a difference and list every differing range)",
     OperationKind::Verify, 1, false, RunTransfer},
    {"info", "PATH", "show the header of a backup image", std::nullopt, 1, false, RunInfo},
    {"comment", "PATH TEXT",
     "replace the comment of a backup image (64 characters at\n"
     "                         most)",
     std::nullopt, 2, false, RunComment},
    {"cf-receive", "FOLDER",
     "copy every file of the panel's CF card into FOLDER (made\n"
     "                         when it does not exist)",
     OperationKind::CfReceive, 1, false, RunTransfer},
    {"cf-send", "FOLDER", "copy the CF files in FOLDER to the panel's CF card",
     OperationKind::CfSend, 1, false, RunTransfer},
    {"diff", "A.mem B.mem",
     "compare two backup images: their header fields and every\n"
     "                         area byte for byte (exit status 0 equal, 1 not, 2 when a\n"
     "                         file cannot be read)",
     std::nullopt, 2, false, RunDiff},
    {"history", "[--last N]",
     "show the service record (every operation of kzmnt and\n"
     "                         kzmnt-cli in KZMNT-history.jsonl), the last N only",
     std::nullopt, 0, false, RunHistory},
    {"ports", "",
     "list the serial devices present, the COM port mapped to each\n"
     "                         and the adapter's maker, product and serial number",
     std::nullopt, 0, false, RunPorts},
};

void Line(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void Error(const CommandEntry& command, const std::string& text) {
    Line(stderr, "kzmnt-cli: " + std::string(command.name) + ": " + text);
}

// The start's rule for the command's path; explains a refusal on stderr.
bool CheckPath(const CommandEntry& command, const std::string& path) {
    const std::string refusal = CheckSelectedPath(command.Selection(), path);
    if (refusal.empty()) {
        return true;
    }
    Error(command, refusal);
    return false;
}

// What a transfer command needs while it runs: the terminal for questions, the console
// view, the controller and Ctrl-C.
class Session {
  public:
    explicit Session(const CliOptions& options)
        : terminal_(Terminal::Open()),
          view_(options.yes, terminal_.get()),
          chooser_(view_, options.yes),
          controller_(view_, options.password),
          watcher_(
              [this](int kind) { controller_.Interrupt(kind != InterruptWatcher::kInterrupt); }) {}

    ConsoleView& view() { return view_; }
    // The panel chosen on the network in the last run (empty when none was chosen).
    const std::string& ChosenNode() const { return remembered_.chosen; }

    // Shows the form's file and comment fields (a CF transfer has no comment), then runs
    // op (either link; on the LAN on the panel at node, or the one chosen) to its end.
    // chooser: the LAN's choice among the panels found, instead of the user's.
    RunResult Run(std::unique_ptr<COperationHandle> op, const std::string& path,
                  const std::optional<std::string>& comment, const std::string& node,
                  INodeChooser* chooser = nullptr) {
        view_.PrintOut("File Name: " + path);
        if (comment) {
            view_.PrintOut("Comment: " + Printable(*comment));
        }
        return controller_.Run(std::move(op), comment.value_or(""),
                               chooser != nullptr ? chooser : &remembered_, node);
    }

  private:
    // Notes the panel the user chose, so that the restore after a safety backup goes to the
    // panel that was backed up. ChooseNode runs on the operation's thread; chosen is read
    // after the run has ended.
    struct RememberingChooser final : INodeChooser {
        explicit RememberingChooser(INodeChooser& inner) : inner(inner) {}
        bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) override {
            const bool chose = inner.ChooseNode(nodes, address);
            chosen = chose ? *address : std::string();
            return chose;
        }
        INodeChooser& inner;
        std::string chosen;
    };

    std::unique_ptr<Terminal> terminal_;
    ConsoleView view_;
    NodeChooser chooser_;
    RememberingChooser remembered_{chooser_};
    OperationController controller_;
    InterruptWatcher watcher_;  // last: Ctrl-C reaches the controller only while all exist
};

// The start's questions and messages on the console. The session (terminal, Ctrl-C) is set
// up by the first question, or by the run; messages go to stdout, notes to stderr.
class ConsoleStartPrompt final : public IStartPrompt {
  public:
    ConsoleStartPrompt(const CliOptions& options, const CommandEntry& command)
        : options_(options), command_(command) {}

    Session& session() {
        if (!session_) {
            session_.emplace(options_);
        }
        return *session_;
    }

    bool AskOkCancel(int textId) override { return session().view().Confirm(GetString(textId)); }
    void ShowMessage(int textId) override { Line(stdout, GetString(textId)); }
    void ShowNote(const std::string& text) override { Error(command_, text); }

  private:
    const CliOptions& options_;
    const CommandEntry& command_;
    std::optional<Session> session_;
};

// Backs the panel up into folder before a restore (CSafetyBackup). False (after saying why)
// when the backup did not complete: the restore must not start. node: the panel on the
// network; when none was named, the one chosen for the backup, so that the restore goes to
// that same panel.
bool RunSafetyBackup(const CliOptions& options, Session& session, Link link,
                     const std::string& folder, std::string& node) {
    ConsoleView& view = session.view();
    CSafetyBackup safety(folder);
    if (!safety.Prepare()) {
        view.PrintOut(safety.FailureLine());
        view.PrintErr("kzmnt-cli: " + GetString(msg::kSafetyBackupFailed));
        return false;
    }
    view.PrintOut(safety.StartLine());
    std::unique_ptr<COperationHandle> op = safety.CreateBackup(link);
    if (options.port) {
        op->SetSerialDevice(*options.port);
    }
    const RunResult result =
        session.Run(std::move(op), safety.WorkingPath(), safety.Comment(), node);
    if (result.exitStatus != kExitOk) {
        view.PrintErr("kzmnt-cli: " + GetString(msg::kSafetyBackupFailed));
        return false;
    }
    if (node.empty()) {
        node = session.ChosenNode();
    }
    safety.Finish(result.imagePath);
    view.PrintOut(safety.DoneLine());
    return true;
}

// Every transfer: the path's rule, the start shared with the window, then the operation of
// the command on the link COMMTYPE selects, on the plan's path and comment.
int RunTransfer(const CliOptions& options, const CommandEntry& command) {
    const std::string& chosen = options.args[0];
    if (!CheckPath(command, chosen)) {
        return kExitUsage;
    }
    const OperationKind kind = *command.kind;
    const Link link = SelectedLink();
    ConsoleStartPrompt prompt(options, command);
    const StartPlan plan = PrepareStart(kind, chosen, options.comment, prompt);
    if (plan.outcome == StartOutcome::Declined) {
        prompt.session().view().PrintOut(GetString(msg::kAborted));
        return kExitFailed;
    }
    if (plan.outcome != StartOutcome::Ready) {
        return kExitFailed;
    }
    Session& session = prompt.session();
    std::string node = options.node.value_or("");
    if (kind == OperationKind::Restore) {
        const std::string folder = CSafetyBackup::FolderFor(options.safetyBackup);
        if (!folder.empty() && !RunSafetyBackup(options, session, link, folder, node)) {
            return kExitFailed;
        }
    }
    const std::optional<std::string> comment =
        IsMemoryKind(kind) ? std::optional<std::string>(plan.comment) : std::nullopt;
    std::unique_ptr<COperationHandle> op = COperationHandle::Create(kind, link, plan);
    if (op && options.port) {
        op->SetSerialDevice(*options.port);
    }
    if (op && options.all) {
        op->SetEveryDifference(true);
    }
    if (op && options.resume) {
        op->SetResume();
    }
    const RunResult result = session.Run(std::move(op), plan.path, comment, node);
    if (result.exitStatus == kExitOk && !result.imagePath.empty() &&
        kind == OperationKind::Backup) {
        session.view().PrintErr("kzmnt-cli: " + Format(GetString(msg::kImageFileWritten).c_str(),
                                                       result.imagePath.c_str()));
    }
    return result.exitStatus;
}

int RunInfo(const CliOptions& options, const CommandEntry& command) {
    const std::string& path = options.args[0];
    if (!CheckPath(command, path)) {
        return kExitUsage;
    }
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        Error(command, GetString(msg::kFileUnreadable));
        return kExitFailed;
    }
    const CModelDefs defs;
    const ImageProperties properties = GetImageProperties(image, defs);
    Line(stdout, "Core ID: " + properties.coreId);
    Line(stdout, "I/O Code: " + properties.ioCode);
    Line(stdout, "Model: " + Printable(properties.modelName));
    Line(stdout, "Comment: " + Printable(properties.comment));
    Line(stdout, "FEPROM:");
    for (const std::string& area : properties.fepromList) {
        Line(stdout, "  " + area);
    }
    Line(stdout, "SRAM:");
    for (const std::string& area : properties.sramList) {
        Line(stdout, "  " + area);
    }
    return kExitOk;
}

int RunComment(const CliOptions& options, const CommandEntry& command) {
    const std::string& path = options.args[0];
    if (!CheckPath(command, path)) {
        return kExitUsage;
    }
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        Error(command, GetString(msg::kFileUnreadable));
        return kExitFailed;
    }
    const std::string text = LimitComment(options.args[1]);
    if (text.size() != options.args[1].size()) {
        Error(command, Format(GetString(msg::kCommentCut).c_str(), static_cast<int>(kCommentLimit),
                              Printable(text).c_str()));
    }
    if (!MemImageFile::SetImageComment(path, text)) {
        Error(command, Format(GetString(msg::kCommentNotWritten).c_str(), path.c_str()));
        return kExitFailed;
    }
    Line(stdout, "Comment: " + Printable(text));
    return kExitOk;
}

int RunPorts(const CliOptions&, const CommandEntry&) {
    const std::string table =
        PortsTable(platform::DescribeSerialDevices(), CSettings().GetSerialPortMap());
    std::fputs(table.empty() ? (GetString(msg::kPortsNone) + "\n").c_str() : table.c_str(), stdout);
    return kExitOk;
}

int RunDiff(const CliOptions& options, const CommandEntry& command) {
    const ImageComparison comparison = CompareImages(options.args[0], options.args[1]);
    if (comparison.unreadable != 0) {
        Error(command, comparison.reason);
        return kExitUsage;
    }
    for (const std::string& line : ComparisonLines(comparison)) {
        Line(stdout, line);
    }
    return comparison.Equal() ? kExitOk : kExitFailed;
}

// The first run of a line backup without nodes: the search's panels are noted (the rest
// are backed up by name afterwards) and the first is taken.
class EveryNodeChooser final : public INodeChooser {
  public:
    explicit EveryNodeChooser(ConsoleView& view) : view_(view) {}
    bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) override {
        found = nodes;
        if (nodes.empty()) {
            view_.PrintOut(GetString(msg::kKzNotFound));
            return false;
        }
        *address = nodes.front();
        return true;
    }
    std::vector<std::string> found;  // read after the run

  private:
    ConsoleView& view_;
};

int RunBackupAll(const CliOptions& options, const CommandEntry& command) {
    const std::string folder = options.args[0];
    if (SelectedLink() != Link::Lan) {
        Error(command, GetString(msg::kBackupAllNotLan));
        return kExitFailed;
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder)) {
        Error(command, Format(GetString(msg::kPathNotFolder).c_str(), folder.c_str()));
        return kExitFailed;
    }
    Session session(options);
    ConsoleView& view = session.view();
    std::vector<std::string> nodes = options.nodes;
    EveryNodeChooser everyNode(view);
    std::vector<std::vector<std::string>> rows;
    rows.push_back({GetString(msg::kBackupAllNode), GetString(msg::kFieldModel),
                    GetString(msg::kFieldCoreId), GetString(msg::kHistoryFile),
                    GetString(msg::kHistoryBytes), GetString(msg::kHistoryResult)});
    bool allDone = true;
    // Without nodes the first run searches; its panels are the list.
    for (std::size_t i = 0; i < std::max<std::size_t>(nodes.size(), 1); ++i) {
        const bool searching = nodes.empty();
        if (!searching) {
            view.PrintOut(Format(GetString(msg::kBackupAllPanel).c_str(), static_cast<int>(i + 1),
                                 static_cast<int>(nodes.size()), nodes[i].c_str()));
        }
        const std::string stamp = platform::LocalTimeStamp();
        StartPlan plan;
        // The panel's number in the working name: two panels in one second never meet there.
        plan.path = WorkingSafetyName(folder, stamp + "-" + std::to_string(i + 1), "backup");
        std::unique_ptr<COperationHandle> op =
            COperationHandle::Create(OperationKind::Backup, Link::Lan, plan);
        op->SetExactImagePath();
        const RunResult result =
            session.Run(std::move(op), plan.path, std::nullopt,
                        searching ? std::string() : nodes[i], searching ? &everyNode : nullptr);
        if (searching) {
            nodes = everyNode.found;
            if (nodes.empty()) {
                return kExitFailed;
            }
        }
        std::vector<std::string> row = {nodes[i], "", "", "", "", GetString(result.error)};
        if (result.exitStatus == kExitOk) {
            const std::string named =
                NameSafetyBackup(result.imagePath.empty() ? plan.path : result.imagePath, stamp);
            MemImageFile image;
            if (image.LoadHeader(named)) {
                row[1] = Printable(image.GetImageModelName());
                row[2] = image.GetImageCoreIDText();
            }
            row[3] = named;
            std::error_code sizeError;
            const std::uintmax_t size = std::filesystem::file_size(named, sizeError);
            row[4] = sizeError || size < kImageHeaderSize ? std::string()
                                                          : std::to_string(size - kImageHeaderSize);
        } else {
            allDone = false;
        }
        rows.push_back(std::move(row));
    }
    std::fputs(AlignedTable(rows).c_str(), stdout);
    return allDone ? kExitOk : kExitFailed;
}

int RunHistory(const CliOptions& options, const CommandEntry&) {
    const std::string table = HistoryTable(ReadHistory(HistoryPath()),
                                           static_cast<std::size_t>(options.last.value_or(0)));
    std::fputs(table.empty() ? (GetString(msg::kHistoryNone) + "\n").c_str() : table.c_str(),
               stdout);
    return kExitOk;
}

const CommandEntry* FindCommand(std::string_view name) {
    for (const CommandEntry& command : kCommands) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

int UsageError(const std::string& reason) {
    std::fputs(("kzmnt-cli: " + reason + "\n\n" + UsageText()).c_str(), stderr);
    return kExitUsage;
}

}  // namespace

std::string UsageText() {
    std::string text =
        "usage: kzmnt-cli [--folder DIR] [--port DEVICE] [--node ADDR[:PORT]] [--yes]\n"
        "                 [--password TEXT] COMMAND ARGS\n"
        "\n"
        "Backs up, restores and verifies the memory of a KZ operator panel on the serial\n"
        "link or the network set up in KZMNT.INI, copies the files of its CF card to a PC\n"
        "folder and back, and shows or edits backup images.\n"
        "\n"
        "commands:\n";
    for (const CommandEntry& command : kCommands) {
        std::string head = "  " + std::string(command.name) + " " + std::string(command.argsText);
        if (head.size() < 25) {
            head.append(25 - head.size(), ' ');
        } else {
            head += "\n" + std::string(25, ' ');
        }
        text += head + std::string(command.help) + "\n";
    }
    text +=
        "\n"
        "options:\n"
        "  --folder DIR           program folder with KZMNT.INI, the loader files and\n"
        "                         KZMNT.log (default: the folder of this program)\n"
        "  --port DEVICE          the serial device for this run (e.g. /dev/ttyUSB0), whatever\n"
        "                         COM and PORTS in KZMNT.INI say; KZMNT.INI stays as it is\n"
        "  --node ADDR[:PORT]     the panel on the network (COMMTYPE=1), e.g. 192.168.1.20 or\n"
        "                         192.168.1.20:8000; without it the network is searched\n"
        "  --yes                  answer OK to every confirmation (and take the first panel\n"
        "                         the search finds)\n"
        "  --password TEXT        the panel's password, should it ask for one\n"
        "  --comment TEXT         comment of the new backup image\n"
        "  --help                 this text\n"
        "  --                     ends the options (for a TEXT that starts with '-')\n"
        "\n"
        "COMMTYPE in KZMNT.INI chooses the link: 1 the network (through libKevrosa.so in\n"
        "the program folder), any other value the serial link. The COM setting chooses the\n"
        "serial port; section PORTS maps it to a device:\n"
        "    [PORTS]\n"
        "    COM1=/dev/ttyUSB0\n"
        "On the network, without --node the panels found are listed to choose from; none\n"
        "found ends the run with \"KZ is not found.\".\n"
        "Without --yes, confirmations are asked on the terminal and refused when there is\n"
        "none. Ctrl-C aborts a running transfer (from one second after its start on the\n"
        "serial link); while the network is searched it ends the run at once.\n"
        "\n"
        "Exit status: 0 processing completed, 1 the operation failed or was refused,\n"
        "2 usage error.\n";
    return text;
}

int RunCommand(const CliOptions& options) {
    if (options.command.empty()) {
        return UsageError("no command given");
    }
    const CommandEntry* command = FindCommand(options.command);
    if (!command) {
        return UsageError("unknown command " + options.command);
    }
    if (options.args.size() != command->argCount) {
        return UsageError(std::string(command->name) + " takes " +
                          (command->argsText.empty() ? std::string("no arguments")
                                                     : std::string(command->argsText)));
    }
    if (options.comment && !command->takesComment) {
        return UsageError("--comment belongs to backup only");
    }
    if (options.last && command->name != "history") {
        return UsageError("--last belongs to history only");
    }
    if (options.resume && command->kind != OperationKind::Backup) {
        return UsageError("--resume belongs to backup only");
    }
    if (options.all && command->kind != OperationKind::Verify) {
        return UsageError("--all belongs to verify only");
    }
    if (options.safetyBackup && command->kind != OperationKind::Restore) {
        return UsageError("--safety-backup belongs to restore only");
    }
    return command->run(options, *command);
}

}  // namespace kz::cli
