#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

#include "Console.h"

namespace kz::cli {

void PrepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

int TerminalColumns(int fallback) {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return fallback;
}

}  // namespace kz::cli
