// The table `kzmnt-cli history` prints of the service record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ops/History.h"

namespace kz::cli {

// HistoryRows (the window's Help → History shows the same rows) as aligned lines of text.
// Empty when there is no record.
std::string HistoryTable(const std::vector<HistoryEntry>& entries, std::size_t last);

}  // namespace kz::cli
