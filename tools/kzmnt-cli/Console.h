// What kzmnt-cli needs of the console it runs in, apart from questions (Terminal.h) and
// interrupts (InterruptWatcher.h): POSIX in Console_posix.cpp, Windows in Console_win32.cpp.
//
// Thread-safety: PrepareProcess on the main thread before anything else; the others from any
// thread.
#pragma once

namespace kz::cli {

// Sets the process up for a console program: on POSIX a reader that goes away
// (kzmnt-cli ... | head) must not kill a transfer half-way, so SIGPIPE is ignored and the
// write fails instead; on Windows the console shows UTF-8 output as such.
void PrepareProcess();

// True when standard error is a terminal (a console), where a progress bar may be redrawn.
bool StderrIsTerminal();

// The columns of the terminal standard error shows on; fallback when unknown.
int TerminalColumns(int fallback);

}  // namespace kz::cli
