#include "NodeChooser.h"

#include <charconv>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"

namespace kz::cli {

std::size_t ParseNodeNumber(const std::string& answer, std::size_t count) {
    std::size_t number = 0;
    const char* end = answer.data() + answer.size();
    const auto [ptr, ec] = std::from_chars(answer.data(), end, number);
    if (answer.empty() || ec != std::errc() || ptr != end || number > count) {
        return 0;
    }
    return number;
}

bool NodeChooser::ChooseNode(const std::vector<std::string>& nodes, std::string* address) {
    if (nodes.empty()) {
        view_.PrintOut(GetString(msg::kKzNotFound));
        return false;
    }
    std::string list;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        list += Format("%4zu  %s\n", i + 1, nodes[i].c_str());
    }
    if (yes_) {
        *address = nodes.front();
        return true;
    }
    if (!view_.HasTerminal()) {
        view_.PrintErr(list + "kzmnt-cli: " + GetString(msg::kNoTerminalToAsk));
        return false;
    }
    const std::string question =
        list + Format(GetString(msg::kChooseNode).c_str(), static_cast<int>(nodes.size()));
    for (;;) {
        const std::optional<std::string> answer = view_.AskLine(question);
        if (!answer || answer->empty()) {
            return false;
        }
        if (const std::size_t number = ParseNodeNumber(*answer, nodes.size()); number != 0) {
            *address = nodes[number - 1];
            return true;
        }
    }
}

}  // namespace kz::cli
