// The commands of kzmnt-cli and its command line:
//
//   kzmnt-cli [--folder DIR] [--node ADDR[:PORT]] [--yes] [--password TEXT] COMMAND ARGS
//
// Each command is one row of a table: its name, its arguments, the file selection rule its
// path must pass, and the function that runs it. A transfer command checks its path, asks
// what the main window would ask, creates the operation and hands it to the operation
// controller; info and comment work on an image file alone.
//
// Exit status: 0 when processing completed, 1 when it failed or was refused, 2 for a usage
// error (including a path the file selection would not accept).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kz::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct CliOptions {
    std::optional<std::string> folder;
    std::optional<std::string> node;  // the LAN panel, "a.b.c.d" or "a.b.c.d:port"
    bool yes = false;
    std::optional<std::string> password;
    std::optional<std::string> comment;  // backup only
    bool help = false;
    std::string command;
    std::vector<std::string> args;  // the command's arguments, in order
};

// Parses argv (options may stand anywhere; "--" ends them). False with a reason in *error.
bool ParseCommandLine(int argc, char** argv, CliOptions& options, std::string* error);

// The usage text.
std::string UsageText();

// Runs the parsed command (after the program folder and the resource file were set up)
// and returns the exit status.
int RunCommand(const CliOptions& options);

}  // namespace kz::cli
