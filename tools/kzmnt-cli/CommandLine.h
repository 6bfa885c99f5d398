// kzmnt-cli's command line, read into the options and the words of the command:
//
//   kzmnt-cli [--folder DIR] [--port DEVICE] [--node ADDR[:PORT]] [--yes] [--password TEXT]
//             COMMAND ARGS
//
// Options may stand anywhere, before or after the command and its arguments; "--" ends
// them (every later word is an argument, even one that starts with '-'). "--name=value"
// is "--name value"; "--name=" gives the option an empty value. An option given twice
// keeps the later value.
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
    std::optional<std::string> port;  // the serial device for this run, whatever PORTS says
    std::optional<std::string> node;  // the LAN panel, "a.b.c.d" or "a.b.c.d:port"
    std::vector<std::string> nodes;   // every --node given, in order (backup-all)
    bool yes = false;
    std::optional<std::string> password;
    std::optional<std::string> comment;       // backup only
    bool all = false;                         // verify only: every difference
    std::optional<int> last;                  // history only: the last N records
    bool resume = false;                      // backup only: go on from the partial image
    std::optional<std::string> safetyBackup;  // restore only: back the panel up here first
    bool help = false;
    std::string command;
    std::vector<std::string> args;  // the command's arguments, in order
};

// Parses argv. False with a reason in *error (the option and what is wrong with it).
bool ParseCommandLine(int argc, char** argv, CliOptions& options, std::string* error);

}  // namespace kz::cli
