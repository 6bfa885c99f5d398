#include "ops/History.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <sstream>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"
#include "platform/Printable.h"
#include "platform/ProgramFolder.h"
#include "platform/RecordFile.h"

namespace kz {

namespace {

// A record of decades of daily runs stays far below this; a larger file is not ours.
constexpr std::size_t kMaxHistoryBytes = std::size_t{64} << 20;

}  // namespace

std::string HistoryPath() {
    return platform::ProgramFolder() + kHistoryFileName;
}

bool AppendHistory(const std::string& path, const HistoryEntry& entry) {
    const nlohmann::json record = {
        {"start", entry.start},   {"seconds", entry.seconds}, {"operation", entry.operation},
        {"link", entry.link},     {"core_id", entry.coreId},  {"model", entry.model},
        {"file", entry.file},     {"sha256", entry.sha256},   {"bytes", entry.bytes},
        {"result", entry.result}, {"text", entry.text}};
    // Model names and comments of older panels may be Shift_JIS: invalid UTF-8 is replaced
    // rather than refused.
    std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    return platform::AppendRecordLine(path, line);
}

std::vector<HistoryEntry> ReadHistory(const std::string& path) {
    std::vector<HistoryEntry> entries;
    const std::optional<std::string> content = platform::ReadRecordFile(path, kMaxHistoryBytes);
    if (!content) {
        return entries;
    }
    std::istringstream in(*content);
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("operation")) {
            continue;
        }
        try {
            HistoryEntry entry;
            entry.start = record.value("start", "");
            entry.seconds = record.value("seconds", 0.0);
            entry.operation = record.value("operation", "");
            entry.link = record.value("link", "");
            entry.coreId = record.value("core_id", "");
            entry.model = record.value("model", "");
            entry.file = record.value("file", "");
            entry.sha256 = record.value("sha256", "");
            entry.bytes = record.value("bytes", std::uint64_t{0});
            entry.result = record.value("result", 0);
            entry.text = record.value("text", "");
            entries.push_back(std::move(entry));
        } catch (const nlohmann::json::exception&) {
            // A field of the wrong type: not one of our records.
        }
    }
    return entries;
}

std::vector<std::vector<std::string>> HistoryRows(const std::vector<HistoryEntry>& entries,
                                                  std::size_t last) {
    std::vector<std::vector<std::string>> rows;
    if (entries.empty()) {
        return rows;
    }
    rows.push_back({GetString(msg::kHistoryStart), GetString(msg::kHistorySeconds),
                    GetString(msg::kHistoryOperation), GetString(msg::kHistoryLink),
                    GetString(msg::kFieldModel), GetString(msg::kFieldCoreId),
                    GetString(msg::kHistoryBytes), GetString(msg::kHistoryResult),
                    GetString(msg::kHistoryFile), GetString(msg::kHistorySha256)});
    const std::size_t first = last == 0 || last >= entries.size() ? 0 : entries.size() - last;
    for (std::size_t i = first; i < entries.size(); ++i) {
        const HistoryEntry& e = entries[i];
        rows.push_back({Printable(e.start), Format("%.1f", e.seconds), Printable(e.operation),
                        Printable(e.link), Printable(e.model), Printable(e.coreId),
                        std::to_string(e.bytes), Printable(e.text), Printable(e.file),
                        Printable(e.sha256.substr(0, 12))});
    }
    return rows;
}

}  // namespace kz
