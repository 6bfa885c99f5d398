#include "diag/DebugLog.h"

#include <string_view>

#include "config/Settings.h"
#include "platform/File.h"
#include "platform/ProgramFolder.h"

namespace kz {

namespace {

constexpr const char* kLogFileName = "KZMNT.log";
constexpr std::size_t kMaxLineLength = 255;

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
    // The log replaces the old one whole, through a file of its own: a FIFO or a link put in
    // its place is never opened, and a full disk leaves the old log as it was.
    return platform::ReplaceFileWith(path, text);
}

bool DebugStatusOn() {
    return CSettings().GetDebug();
}

}  // namespace kz
