#include <windows.h>

#include "Console.h"

namespace kz::cli {

void PrepareProcess() {
    // The texts are UTF-8; a console left at its OEM code page would garble the Japanese.
    ::SetConsoleOutputCP(CP_UTF8);
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int TerminalColumns(int fallback) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        return columns > 0 ? columns : fallback;
    }
    return fallback;
}

}  // namespace kz::cli
