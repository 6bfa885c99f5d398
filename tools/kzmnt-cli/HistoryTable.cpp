#include "HistoryTable.h"

#include "PortsTable.h"
#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz::cli {

std::string HistoryTable(const std::vector<HistoryEntry>& entries, std::size_t last) {
    if (entries.empty()) {
        return {};
    }
    std::vector<std::vector<std::string>> rows;
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
    return AlignedTable(rows);
}

}  // namespace kz::cli
