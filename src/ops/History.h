// The service record: one line of JSON per operation, appended to "KZMNT-history.jsonl" in
// the program folder by either front-end (through the operation handle), and read back for
// kzmnt-cli history.
//
// Appending writes a whole line at once at the end of the file and never rewrites what is
// there; a line left incomplete by a crash is ended first, so it cannot spoil the new one,
// and readers skip every line that is not a record. Only a regular file is used: a FIFO or
// a link in its place is neither waited for nor followed (platform/RecordFile.h).
//
// Thread-safety: no shared state; two programs may append at the same time (each line is
// one locked write to a file opened for appending).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kz {

inline constexpr const char* kHistoryFileName = "KZMNT-history.jsonl";

struct HistoryEntry {
    std::string start;      // UTC, "2026-12-08T10:15:00Z"
    double seconds = 0;     // duration
    std::string operation;  // "backup", "restore", "verify", "cf-receive", "cf-send"
    std::string link;       // "serial /dev/ttyUSB0" or "lan 192.168.1.20:8000"
    std::string coreId;     // the panel's core ID (empty when not read)
    std::string model;
    std::string file;         // the image file (memory operations) or the PC folder (CF)
    std::string sha256;       // of the image: written (backup) or used (restore, verify)
    std::uint64_t bytes = 0;  // memory bytes moved
    int result = 0;           // the final message id (3299: completed)
    std::string text;         // its text
};

// The record file in the program folder.
std::string HistoryPath();

// Appends entry as one line to the file at path (created when missing). False when it
// cannot be written or is not a regular file.
bool AppendHistory(const std::string& path, const HistoryEntry& entry);

// The records of the file at path in file order; lines that are no record are skipped.
// None when the file is missing, not a regular file or unreadable.
std::vector<HistoryEntry> ReadHistory(const std::string& path);

// The record as a table, as both front-ends show it: a head row, then one row per record,
// the last `last` records (all when 0), oldest first: start, duration, operation, link,
// model, core ID, bytes, result, file and the first 12 characters of the SHA-256. Texts
// are made printable. Empty when there is no record.
std::vector<std::vector<std::string>> HistoryRows(const std::vector<HistoryEntry>& entries,
                                                  std::size_t last);

}  // namespace kz
