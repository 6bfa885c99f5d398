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

#include <string>

#include "CommandLine.h"

namespace kz::cli {

// The usage text.
std::string UsageText();

// Runs the parsed command (after the program folder and the resource file were set up)
// and returns the exit status.
int RunCommand(const CliOptions& options);

}  // namespace kz::cli
