#include "ConsoleView.h"

#include <cstdio>

#include "Console.h"
#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/engine/TransferProgress.h"
#include "platform/Printable.h"

namespace kz::cli {

namespace {

constexpr int kBarWidth = 40;
constexpr int kDefaultColumns = 80;

// text (UTF-8) cut to at most columns terminal columns, CJK characters taking two: a line
// wider than the terminal would wrap, and "\r" would then redraw only its last part.
std::string FitColumns(const std::string& text, int columns) {
    int used = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        char32_t code = lead;
        if (lead >= 0xF0) {
            length = 4;
            code = lead & 0x07;
        } else if (lead >= 0xE0) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xC0) {
            length = 2;
            code = lead & 0x1F;
        }
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        const int width = code >= 0x1100 ? 2 : 1;
        if (used + width > columns) {
            break;
        }
        used += width;
        i += length;
    }
    return text.substr(0, i);
}
constexpr const char* kPowerWarning = "Please do not shut off a power supply during transmission.";
constexpr const char* kRestoreCaption = "Restoration is started.";
constexpr const char* kRestoreText =
    "All the internal memories of a transmission place are rewritten.\nIs it really all right ?";

}  // namespace

ConsoleView::ConsoleView(bool yes, Terminal* terminal)
    : yes_(yes), terminal_(terminal), barOnTerminal_(StderrIsTerminal()) {}

ConsoleView::~ConsoleView() = default;

// ---- Output ----------------------------------------------------------------------------------

void ConsoleView::WriteLocked(std::FILE* stream, const std::string& text) {
    EraseBarLocked();
    std::fputs(text.c_str(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    DrawBarLocked();
}

void ConsoleView::EraseBarLocked() {
    if (barShown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
}

void ConsoleView::DrawBarLocked() {
    if (!barShown_) {
        return;
    }
    const int filled = progress_ * kBarWidth / 100;
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');
    bar += "] " + std::to_string(progress_) + "%";
    if (!detail_.empty()) {
        // The last column stays free: a line that fills it wraps on some terminals.
        const int room = TerminalColumns(kDefaultColumns) - 1 - static_cast<int>(bar.size()) - 2;
        if (room > 0) {
            bar += "  " + FitColumns(detail_, room);
        }
    }
    // What a longer line before left on the terminal is erased.
    bar = "\r" + bar + "\033[K";
    std::fputs(bar.c_str(), stderr);
    std::fflush(stderr);
}

void ConsoleView::PrintOut(const std::string& text) {
    std::lock_guard lock(outputMutex_);
    WriteLocked(stdout, text);
}

void ConsoleView::PrintErr(const std::string& text) {
    std::lock_guard lock(outputMutex_);
    WriteLocked(stderr, text);
}

void ConsoleView::EndProgress() {
    std::lock_guard lock(outputMutex_);
    EraseBarLocked();
    barShown_ = false;
}

// ---- IOperationView -----------------------------------------------------------------------------

void ConsoleView::AddStatusLine(const std::string& text) {
    // Status lines may carry a model name or a comment from a file or a panel.
    const std::string shown = Printable(text);
    std::lock_guard lock(outputMutex_);
    if (closed_) {
        return;
    }
    lines_.push_back(shown);
    WriteLocked(stdout, shown);
}

void ConsoleView::CloseStatusList(const std::string& text) {
    const std::string shown = Printable(text);
    std::lock_guard lock(outputMutex_);
    if (!closed_) {
        lines_.push_back(shown);
        WriteLocked(stdout, shown);
        closed_ = true;
    }
}

void ConsoleView::ClearStatusList() {
    std::lock_guard lock(outputMutex_);
    if (!closed_) {
        lines_.clear();
    }
}

void ConsoleView::SetProgress(int position) {
    std::lock_guard lock(outputMutex_);
    progress_ = position < 0 ? 0 : (position > 100 ? 100 : position);
    if (barOnTerminal_) {
        barShown_ = true;
        DrawBarLocked();
    }
}

void ConsoleView::SetTransferProgress(const TransferSnapshot& snapshot) {
    if (!barOnTerminal_) {
        return;  // stderr is a file or a pipe: nothing but the status lines
    }
    std::lock_guard lock(outputMutex_);
    detail_ = snapshot.running ? FormatProgress(snapshot) : std::string();
    DrawBarLocked();
}

void ConsoleView::ResetProgress() {
    std::lock_guard lock(outputMutex_);
    progress_ = 0;
    DrawBarLocked();
}

void ConsoleView::SetModelName(const std::string& name) {
    std::lock_guard lock(outputMutex_);
    if (closed_ || name == modelName_) {
        return;
    }
    modelName_ = name;
    WriteLocked(stdout, "Model: " + Printable(name));
}

void ConsoleView::ShowPowerWarning(bool show) {
    std::lock_guard lock(outputMutex_);
    if (show == powerWarning_) {
        return;
    }
    powerWarning_ = show;
    if (show) {
        WriteLocked(stderr, kPowerWarning);
    }
}

void ConsoleView::PostViewMessage(unsigned msg, std::uintptr_t wParam, RequestEvent* request) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back({UiMessage::Kind::View, msg, wParam, request});
    }
    queueCv_.notify_one();
}

// ---- Questions ----------------------------------------------------------------------------

bool ConsoleView::Confirm(const std::string& text) {
    if (yes_) {
        return true;
    }
    if (!terminal_) {
        PrintErr(text);
        PrintErr("kzmnt-cli: " + GetString(msg::kNoTerminalToAsk));
        return false;
    }
    {
        std::lock_guard lock(outputMutex_);
        EraseBarLocked();
    }
    const bool ok = terminal_->AskOkCancel(text);
    {
        std::lock_guard lock(outputMutex_);
        DrawBarLocked();
    }
    return ok;
}

std::optional<std::string> ConsoleView::AskLine(const std::string& text) {
    if (!terminal_) {
        return std::nullopt;
    }
    {
        std::lock_guard lock(outputMutex_);
        EraseBarLocked();
    }
    std::optional<std::string> line = terminal_->AskLine(text);
    {
        std::lock_guard lock(outputMutex_);
        DrawBarLocked();
    }
    return line;
}

bool ConsoleView::AskOkCancel(int textId, int captionId) {
    std::string text = GetString(textId);
    if (captionId != 0) {
        text = GetString(captionId) + ": " + text;
    }
    return Confirm(text);
}

void ConsoleView::ShowMessage(int textId, int captionId) {
    std::string text = GetString(textId);
    if (captionId != 0) {
        text = GetString(captionId) + ": " + text;
    }
    PrintErr(text);
}

bool ConsoleView::ConfirmRestore() {
    return Confirm(std::string(kRestoreCaption) + "\n" + kRestoreText);
}

// ---- Main thread queue -------------------------------------------------------------------------

void ConsoleView::PostInterrupt() {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back({UiMessage::Kind::Interrupt, 0, 0, nullptr});
    }
    queueCv_.notify_one();
}

UiMessage ConsoleView::WaitMessage() {
    std::unique_lock lock(queueMutex_);
    queueCv_.wait(lock, [this] { return !queue_.empty(); });
    UiMessage message = queue_.front();
    queue_.pop_front();
    return message;
}

std::vector<std::string> ConsoleView::StatusLines() {
    std::lock_guard lock(outputMutex_);
    return lines_;
}

}  // namespace kz::cli
