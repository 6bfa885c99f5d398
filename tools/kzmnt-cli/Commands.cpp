#include "Commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include "ConsoleView.h"
#include "InterruptWatcher.h"
#include "OperationController.h"
#include "Terminal.h"
#include "config/ModelDefs.h"
#include "config/Settings.h"
#include "config/StringTable.h"
#include "ops/cf/CfReceive.h"
#include "ops/cf/CfSend.h"
#include "ops/memory/Backup.h"
#include "ops/memory/FileSelection.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/ModelConfirm.h"
#include "ops/memory/Restore.h"
#include "ops/memory/Verify.h"
#include "platform/Printable.h"

namespace kz::cli {

namespace {

// info and comment pick an existing image the way restore does.
constexpr SelectionMode kSelectImage = SelectionMode::Restore;

// Comments are limited like the dialogs' comment edit.
constexpr std::size_t kCommentLimit = 64;

constexpr int kIdOverwrite = 3001;
constexpr int kIdImageUnreadable = 3002;

struct CommandEntry;
using CommandFn = int (*)(const CliOptions&, const CommandEntry&);

struct CommandEntry {
    std::string_view name;
    std::string_view argsText;  // for the usage text
    std::string_view help;
    SelectionMode selectionMode;  // the rule the first argument must pass
    std::size_t argCount;         // arguments after the name
    bool takesComment;            // --comment allowed
    CommandFn run;
};

int RunBackup(const CliOptions& options, const CommandEntry& command);
int RunRestore(const CliOptions& options, const CommandEntry& command);
int RunVerify(const CliOptions& options, const CommandEntry& command);
int RunInfo(const CliOptions& options, const CommandEntry& command);
int RunComment(const CliOptions& options, const CommandEntry& command);
int RunCfReceive(const CliOptions& options, const CommandEntry& command);
int RunCfSend(const CliOptions& options, const CommandEntry& command);

constexpr CommandEntry kCommands[] = {
    {"backup", "PATH [--comment TEXT]",
     "read the panel's memory into a backup image (PATH ends in\n"
     "                         .mem, or is a folder when AUTOFILENAME is on)",
     SelectionMode::Backup, 1, true, RunBackup},
    {"restore", "PATH", "write a backup image into the panel", SelectionMode::Restore, 1, false,
     RunRestore},
    {"verify", "PATH", "compare the panel's memory with a backup image", SelectionMode::Verify, 1,
     false, RunVerify},
    {"info", "PATH", "show the header of a backup image", kSelectImage, 1, false, RunInfo},
    {"comment", "PATH TEXT",
     "replace the comment of a backup image (64 characters at\n"
     "                         most)",
     kSelectImage, 2, false, RunComment},
    {"cf-receive", "FOLDER",
     "copy every file of the panel's CF card into FOLDER (made\n"
     "                         when it does not exist)",
     SelectionMode::CfReceive, 1, false, RunCfReceive},
    {"cf-send", "FOLDER", "copy the CF files in FOLDER to the panel's CF card",
     SelectionMode::CfSend, 1, false, RunCfSend},
};

void Line(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void Error(const CommandEntry& command, const std::string& text) {
    Line(stderr, "kzmnt-cli: " + std::string(command.name) + ": " + text);
}

// The dialog's rule for the command's path; explains a refusal on stderr.
bool CheckSelection(const CommandEntry& command, const std::string& path) {
    const bool autoName = CSettings().GetAutoFileName();
    if (FileSelectionValid(command.selectionMode, autoName, path)) {
        return true;
    }
    if (path.empty()) {
        Error(command, "the path is empty");
    } else if (command.selectionMode == SelectionMode::Backup && autoName) {
        Error(command, "AUTOFILENAME is on, so \"" + path +
                           "\" must be a folder: it must not name an existing file, and a new "
                           "folder's name must not contain a '.'");
    } else if (command.selectionMode == SelectionMode::Backup) {
        Error(command, "\"" + path + "\" must end with .mem and must not name an existing folder");
    } else if (command.selectionMode == SelectionMode::CfReceive) {
        Error(command, "\"" + path +
                           "\" must be a folder: it must not name an existing file, and a new "
                           "folder's name must not contain a '.'");
    } else if (command.selectionMode == SelectionMode::CfSend) {
        Error(command, "\"" + path + "\" must name an existing folder");
    } else {
        Error(command, "\"" + path + "\" does not exist");
    }
    return false;
}

// An image path names a regular file, or for a backup possibly nothing yet: a FIFO or a
// device would block the command, and a backup replaces only a regular file.
bool CheckRegularFile(const CommandEntry& command, const std::string& path, bool mayBeAbsent) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (mayBeAbsent && errno == ENOENT) {
            return true;
        }
        Error(command, "\"" + path + "\" cannot be read: " + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        Error(command, "\"" + path + "\" is not a regular file");
        return false;
    }
    return true;
}

// Only the serial link is driven from the console.
bool SerialLinkSelected(const CommandEntry& command) {
    if (CSettings().GetCommType() == 1) {
        Error(command,
              "COMMTYPE=1 selects the LAN link, which kzmnt-cli does not drive; set "
              "COMMTYPE=0 in KZMNT.INI for the serial link");
        return false;
    }
    return true;
}

// Puts path on the recent-file list. A list that could not be saved (KZMNT.INI unreadable
// or not writable, a line break in the path) is reported, not fatal: the transfer does not
// depend on it.
void AddRecentFile(const std::string& path) {
    CSettings settings;
    if (!settings.AddRecentFile(path) && settings.SaveError() != 0) {
        Line(stdout, GetString(settings.SaveError()));
    }
}

// Cuts text to the comment limit without splitting a UTF-8 sequence.
std::string LimitComment(const CommandEntry& command, std::string text) {
    if (text.size() <= kCommentLimit) {
        return text;
    }
    std::size_t n = kCommentLimit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    text.resize(n);
    Error(command, "the comment is cut to 64 characters: \"" + Printable(text) + "\"");
    return text;
}

// What a transfer command needs while it runs: the terminal for questions, the console
// view, the controller and Ctrl-C.
class Session {
  public:
    explicit Session(const CliOptions& options)
        : terminal_(Terminal::Open()),
          view_(options.yes, terminal_.get()),
          controller_(view_, options.password),
          watcher_([this](int signal) { controller_.Interrupt(signal != SIGINT); }) {}

    ConsoleView& view() { return view_; }

    // Shows the form's file and comment fields (a CF transfer has no comment), then runs
    // op to its end.
    RunResult Run(std::unique_ptr<CProtocol> op, const std::string& path,
                  const std::optional<std::string>& comment) {
        view_.PrintOut("File Name: " + path);
        if (comment) {
            view_.PrintOut("Comment: " + Printable(*comment));
        }
        return controller_.Run(std::move(op), comment.value_or(""));
    }

  private:
    std::unique_ptr<Terminal> terminal_;
    ConsoleView view_;
    OperationController controller_;
    InterruptWatcher watcher_;  // last: Ctrl-C reaches the controller only while all exist
};

int RunBackup(const CliOptions& options, const CommandEntry& command) {
    std::string path = options.args[0];
    if (!CheckSelection(command, path)) {
        return kExitUsage;
    }
    if (!CSettings().GetAutoFileName() && !CheckRegularFile(command, path, true)) {
        return kExitUsage;
    }
    if (!SerialLinkSelected(command)) {
        return kExitFailed;
    }
    const bool autoName = CSettings().GetAutoFileName();
    std::string comment;
    if (options.comment) {
        comment = *options.comment;
    } else if (!autoName) {
        // The dialog shows the comment of the image a typed name already holds.
        MemImageFile existing;
        if (existing.LoadHeader(path)) {
            comment = existing.GetImageComment();
        }
    }
    comment = LimitComment(command, comment);

    Session session(options);
    if (!autoName) {
        if (NeedsOverwriteQuestion(autoName, path) &&
            !session.view().Confirm(GetString(kIdOverwrite))) {
            session.view().PrintOut(GetString(msg::kAborted));
            return kExitFailed;
        }
        path = WithMemExtension(path);
    }
    // With AUTOFILENAME on, path is the folder; the operation names the file itself.
    AddRecentFile(path);

    auto op = std::make_unique<CBackup>();
    op->SetFileName(path);
    op->SetComment(comment);
    const RunResult result = session.Run(std::move(op), path, comment);
    if (result.exitStatus == kExitOk && !result.imagePath.empty()) {
        session.view().PrintErr("kzmnt-cli: image file " + result.imagePath);
    }
    return result.exitStatus;
}

// Restore and verify: the image must load before anything starts; its comment is the
// form's comment.
template <class Operation>
int RunWithImage(const CliOptions& options, const CommandEntry& command) {
    const std::string path = options.args[0];
    if (!CheckSelection(command, path) || !CheckRegularFile(command, path, false)) {
        return kExitUsage;
    }
    if (!SerialLinkSelected(command)) {
        return kExitFailed;
    }
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        Line(stdout, GetString(kIdImageUnreadable));
        return kExitFailed;
    }
    // The name is used as checked: it names the image whose header was just read, so no
    // ".mem" is added to it.
    const std::string comment = image.GetImageComment();
    AddRecentFile(path);

    Session session(options);
    auto op = std::make_unique<Operation>();
    op->SetFileName(path);
    op->SetComment(comment);
    return session.Run(std::move(op), path, comment).exitStatus;
}

int RunRestore(const CliOptions& options, const CommandEntry& command) {
    return RunWithImage<CRestore>(options, command);
}

int RunVerify(const CliOptions& options, const CommandEntry& command) {
    return RunWithImage<CVerify>(options, command);
}

int RunInfo(const CliOptions& options, const CommandEntry& command) {
    const std::string& path = options.args[0];
    if (!CheckSelection(command, path) || !CheckRegularFile(command, path, false)) {
        return kExitUsage;
    }
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        Error(command, GetString(kIdImageUnreadable));
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
    if (!CheckSelection(command, path) || !CheckRegularFile(command, path, false)) {
        return kExitUsage;
    }
    MemImageFile image;
    if (!image.LoadHeader(path)) {
        Error(command, GetString(kIdImageUnreadable));
        return kExitFailed;
    }
    const std::string text = LimitComment(command, options.args[1]);
    if (!MemImageFile::SetImageComment(path, text)) {
        Error(command, "the comment of \"" + path + "\" could not be written");
        return kExitFailed;
    }
    Line(stdout, "Comment: " + Printable(text));
    return kExitOk;
}

// CF receive and send: the folder must pass the dialog's rule; the operation asks its own
// questions (folders, overwriting) through the console view.
template <class Operation>
int RunCfTransfer(const CliOptions& options, const CommandEntry& command) {
    const std::string path = options.args[0];
    if (!CheckSelection(command, path)) {
        return kExitUsage;
    }
    if (!SerialLinkSelected(command)) {
        return kExitFailed;
    }
    AddRecentFile(path);

    Session session(options);
    auto op = std::make_unique<Operation>();
    op->SetFolder(path);
    return session.Run(std::move(op), path, std::nullopt).exitStatus;
}

int RunCfReceive(const CliOptions& options, const CommandEntry& command) {
    return RunCfTransfer<CCfReceive>(options, command);
}

int RunCfSend(const CliOptions& options, const CommandEntry& command) {
    return RunCfTransfer<CCfSend>(options, command);
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

bool ParseCommandLine(int argc, char** argv, CliOptions& options, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error) {
            *error = reason;
        }
        return false;
    };
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!isOption) {
            if (options.command.empty()) {
                options.command = arg;
            } else {
                options.args.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (name == "--folder" || name == "--password" || name == "--comment") {
            std::optional<std::string> v = value();
            if (!v) {
                return fail(name + " needs a value");
            }
            (name == "--folder"     ? options.folder
             : name == "--password" ? options.password
                                    : options.comment) = std::move(*v);
        } else if ((name == "--yes" || name == "-y") && !inlineValue) {
            options.yes = true;
        } else if ((name == "--help" || name == "-h") && !inlineValue) {
            options.help = true;
        } else {
            return fail("unknown option " + arg);
        }
    }
    return true;
}

std::string UsageText() {
    std::string text =
        "usage: kzmnt-cli [--folder DIR] [--yes] [--password TEXT] COMMAND ARGS\n"
        "\n"
        "Backs up, restores and verifies the memory of a KZ operator panel on the serial\n"
        "link set up in KZMNT.INI, copies the files of its CF card to a PC folder and back,\n"
        "and shows or edits backup images.\n"
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
        "  --yes                  answer OK to every confirmation\n"
        "  --password TEXT        the panel's password, should it ask for one\n"
        "  --comment TEXT         comment of the new backup image\n"
        "  --help                 this text\n"
        "  --                     ends the options (for a TEXT that starts with '-')\n"
        "\n"
        "The COM setting of KZMNT.INI chooses the port; section PORTS maps it to a device:\n"
        "    [PORTS]\n"
        "    COM1=/dev/ttyUSB0\n"
        "Without --yes, confirmations are asked on the terminal and refused when there is\n"
        "none. Ctrl-C aborts a running transfer (from one second after its start).\n"
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
        return UsageError(std::string(command->name) + " takes " + std::string(command->argsText));
    }
    if (options.comment && !command->takesComment) {
        return UsageError("--comment belongs to backup only");
    }
    return command->run(options, *command);
}

}  // namespace kz::cli
