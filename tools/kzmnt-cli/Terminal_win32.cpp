// The questions on a Windows console. The console's input is read as input records
// (ReadConsoleInput), so that a wait for them can be ended by the cancel event as the
// POSIX side's poll is by its pipe; the line is edited and echoed here (Backspace, Enter,
// Ctrl-Z on an empty line for the end of input). Input that is no console (a pipe) is read
// as bytes. The descriptors are C runtime ones: _open_osfhandle wraps the console's and
// the cancel event's handles, which are closed with them.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <utility>

#include "Terminal.h"

namespace kz::cli {

namespace {

HANDLE OsHandle(int fd) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

int Adopt(HANDLE handle, int flags) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (fd < 0) {
        ::CloseHandle(handle);
    }
    return fd;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return ::GetConsoleMode(handle, &mode) != 0;
}

// The typed characters are echoed by ReadLine unless a secret is being read.
thread_local bool t_quiet = false;

// Echo off for its lifetime (the line end is still shown).
class EchoOff {
  public:
    explicit EchoOff(int) { t_quiet = true; }
    ~EchoOff() { t_quiet = false; }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

}  // namespace

std::unique_ptr<Terminal> Terminal::Open() {
    const HANDLE input =
        ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (!IsConsole(input)) {
        ::CloseHandle(input);
        return nullptr;
    }
    platform::UniqueFd owned(Adopt(input, _O_RDONLY | _O_BINARY));
    std::unique_ptr<Terminal> terminal = OnDescriptors(owned.Get(), 2);
    if (terminal) {
        terminal->owned_ = std::move(owned);
    }
    return terminal;
}

std::unique_ptr<Terminal> Terminal::OnDescriptors(int fd, int outFd) {
    platform::UniqueFd wake(Adopt(::CreateEventA(nullptr, TRUE, FALSE, nullptr), _O_RDONLY));
    if (!wake) {
        return nullptr;
    }
    return std::unique_ptr<Terminal>(new Terminal(fd, {}, outFd, std::move(wake), {}));
}

std::optional<std::string> Terminal::Prompt(const std::string& prompt, bool echo) {
    std::optional<EchoOff> quiet;
    if (!echo) {
        quiet.emplace(fd_);
    }
    Write(prompt);
    return ReadLine();
}

bool Terminal::CancelQuestion() {
    std::lock_guard lock(stateMutex_);
    if (!asking_) {
        return false;
    }
    ::SetEvent(OsHandle(wakeRead_.Get()));
    return true;
}

void Terminal::BeginQuestion() {
    std::lock_guard lock(stateMutex_);
    ::ResetEvent(OsHandle(wakeRead_.Get()));
    asking_ = true;
}

void Terminal::EndQuestion() {
    std::lock_guard lock(stateMutex_);
    asking_ = false;
}

std::optional<std::string> Terminal::ReadLine() {
    const HANDLE input = OsHandle(fd_);
    const HANDLE cancel = OsHandle(wakeRead_.Get());
    std::string line;
    if (!IsConsole(input)) {
        // A pipe or a file: bytes up to '\n'. A pipe is only read when it holds something,
        // so that a cancellation is seen within a moment.
        for (;;) {
            if (::WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) {
                return std::nullopt;
            }
            DWORD available = 0;
            if (::GetFileType(input) == FILE_TYPE_PIPE) {
                if (!::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
                    return std::nullopt;  // the writer has gone: end of input
                }
                if (available == 0) {
                    ::WaitForSingleObject(cancel, 50);
                    continue;
                }
            }
            char c = 0;
            DWORD read = 0;
            if (!::ReadFile(input, &c, 1, &read, nullptr) || read == 0) {
                return std::nullopt;
            }
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return line;
            }
            if (line.size() < kMaxAnswer) {
                line += c;
            }
        }
    }
    for (;;) {
        const HANDLE waits[2] = {input, cancel};
        const DWORD ready = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (ready != WAIT_OBJECT_0) {
            return std::nullopt;  // cancelled, or the wait failed
        }
        INPUT_RECORD records[32];
        DWORD count = 0;
        if (!::ReadConsoleInputA(input, records, 32, &count)) {
            return std::nullopt;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (records[i].EventType != KEY_EVENT || !records[i].Event.KeyEvent.bKeyDown) {
                continue;
            }
            const char c = records[i].Event.KeyEvent.uChar.AsciiChar;
            for (WORD repeat = 0; repeat < records[i].Event.KeyEvent.wRepeatCount; ++repeat) {
                if (c == '\r' || c == '\n') {
                    Write("\r\n");
                    return line;
                }
                if (c == 26 && line.empty()) {
                    return std::nullopt;  // Ctrl-Z: end of input
                }
                if (c == '\b') {
                    if (!line.empty()) {
                        line.pop_back();
                        if (!t_quiet) {
                            Write("\b \b");
                        }
                    }
                    continue;
                }
                if (static_cast<unsigned char>(c) < 0x20 || line.size() >= kMaxAnswer) {
                    continue;
                }
                line += c;
                if (!t_quiet) {
                    Write(std::string(1, c));
                }
            }
        }
    }
}

void Terminal::Write(const std::string& text) {
    const HANDLE output = OsHandle(outFd_);
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!::WriteFile(output, text.data() + done, static_cast<DWORD>(text.size() - done),
                         &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

}  // namespace kz::cli
