#include "diag/DebugLog.h"

#include <cstdio>
#include <memory>
#include <string_view>

#include "config/Settings.h"
#include "platform/ProgramFolder.h"

namespace kz {

namespace {

constexpr const char* kLogFileName = "KZMNT.log";
constexpr std::size_t kMaxLineLength = 255;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The first max bytes of line, shortened further so that no UTF-8 sequence is split.
std::string_view CutLine(std::string_view line, std::size_t max) {
    if (line.size() <= max) {
        return line;
    }
    std::size_t end = max;
    // Step back over continuation bytes to the start of the sequence that was cut.
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) {
        --end;
    }
    return line.substr(0, end);
}

}  // namespace

std::string DebugLogPath() {
    return platform::ProgramFolder() + kLogFileName;
}

bool WriteDebugLog(const std::vector<std::string>& statusLines) {
    const std::string path = DebugLogPath();
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        return false;
    }
    std::string text;
    for (const auto& line : statusLines) {
        // A line break inside a status line ends a log line too, with CR LF like the rest.
        char previous = '\0';
        for (char c : CutLine(line, kMaxLineLength)) {
            if (c == '\n' && previous != '\r') {
                text += '\r';
            }
            text += c;
            previous = c;
        }
        text += "\r\n";
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return std::fclose(file.release()) == 0 && written;
}

bool DebugStatusOn() {
    return CSettings().GetDebug();
}

}  // namespace kz
