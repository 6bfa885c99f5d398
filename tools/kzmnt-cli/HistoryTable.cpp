#include "HistoryTable.h"

#include "PortsTable.h"

namespace kz::cli {

std::string HistoryTable(const std::vector<HistoryEntry>& entries, std::size_t last) {
    const std::vector<std::vector<std::string>> rows = HistoryRows(entries, last);
    return rows.empty() ? std::string() : AlignedTable(rows);
}

}  // namespace kz::cli
