// The table `kzmnt-cli history` prints of the service record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ops/History.h"

namespace kz::cli {

// A head line and one line per record, the last `last` records (all when 0), oldest first:
// start, duration, operation, link, model, core ID, bytes, result, file and the first 12
// characters of the SHA-256. Texts are shown printable. Empty when there is no record.
std::string HistoryTable(const std::vector<HistoryEntry>& entries, std::size_t last);

}  // namespace kz::cli
