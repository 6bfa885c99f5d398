// The questions themselves, the same on every system; reading a line, echo and the
// cancellation are the backends' (Terminal_posix.cpp, Terminal_win32.cpp).
#include <cctype>
#include <utility>

#include "Terminal.h"

namespace kz::cli {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

Terminal::Terminal(int fd, platform::UniqueFd owned, int outFd, platform::UniqueFd wakeRead,
                   platform::UniqueFd wakeWrite)
    : fd_(fd),
      owned_(std::move(owned)),
      outFd_(outFd),
      wakeRead_(std::move(wakeRead)),
      wakeWrite_(std::move(wakeWrite)) {}

Terminal::~Terminal() = default;

bool Terminal::AskOkCancel(const std::string& text) {
    std::lock_guard ask(askMutex_);
    BeginQuestion();
    bool result = false;
    Write(text);
    for (;;) {
        const std::optional<std::string> line = Prompt(" [y/N] ", true);
        if (!line) {
            Write("\n");
            break;
        }
        const std::string answer = Lower(Trim(*line));
        if (answer == "y" || answer == "yes" || answer == "ok") {
            result = true;
            break;
        }
        if (answer.empty() || answer == "n" || answer == "no" || answer == "cancel") {
            break;
        }
    }
    EndQuestion();
    return result;
}

std::optional<std::string> Terminal::AskLine(const std::string& text) {
    std::lock_guard ask(askMutex_);
    BeginQuestion();
    std::optional<std::string> line = Prompt(text, true);
    if (line) {
        line = Trim(*line);
    } else {
        Write("\n");
    }
    EndQuestion();
    return line;
}

std::optional<std::string> Terminal::ReadSecret(const std::string& prompt) {
    std::lock_guard ask(askMutex_);
    BeginQuestion();
    const std::optional<std::string> line = Prompt(prompt, false);
    if (!line) {
        Write("\n");
    }
    EndQuestion();
    return line;
}

}  // namespace kz::cli
