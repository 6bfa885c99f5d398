// The service record: lines that stand alone whatever came before them, and the records
// both front-ends leave through the operation handle.
#include "ops/History.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz {
namespace {

HistoryEntry Entry(const std::string& operation, int result) {
    HistoryEntry entry;
    entry.start = "2026-12-08T10:15:00Z";
    entry.seconds = 12.5;
    entry.operation = operation;
    entry.link = "serial /dev/ttyUSB0";
    entry.coreId = "8C93";
    entry.model = "KZ-DEMO";
    entry.file = "/srv/a.mem";
    entry.sha256 = std::string(64, 'a');
    entry.bytes = 0x14000;
    entry.result = result;
    entry.text = "Processing was completed.";
    return entry;
}

TEST(HistoryTest, RecordsReadBackInOrder) {
    test::TempDir dir;
    const std::string path = dir.str() + kHistoryFileName;
    ASSERT_TRUE(AppendHistory(path, Entry("backup", 3299)));
    ASSERT_TRUE(AppendHistory(path, Entry("verify", 4004)));
    const std::vector<HistoryEntry> read = ReadHistory(path);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].operation, "backup");
    EXPECT_EQ(read[0].start, "2026-12-08T10:15:00Z");
    EXPECT_EQ(read[0].seconds, 12.5);
    EXPECT_EQ(read[0].link, "serial /dev/ttyUSB0");
    EXPECT_EQ(read[0].coreId, "8C93");
    EXPECT_EQ(read[0].model, "KZ-DEMO");
    EXPECT_EQ(read[0].file, "/srv/a.mem");
    EXPECT_EQ(read[0].sha256, std::string(64, 'a'));
    EXPECT_EQ(read[0].bytes, 0x14000u);
    EXPECT_EQ(read[0].result, 3299);
    EXPECT_EQ(read[0].text, "Processing was completed.");
    EXPECT_EQ(read[1].operation, "verify");
    EXPECT_EQ(read[1].result, 4004);
    EXPECT_TRUE(ReadHistory(dir.str() + "missing.jsonl").empty());
}

// A crash in the middle of a line leaves it without its end: the next record starts on a
// line of its own, and readers skip the broken line and anything else that is no record.
TEST(HistoryTest, ABrokenLineSpoilsNoOtherRecord) {
    test::TempDir dir;
    const std::string path = dir.str() + kHistoryFileName;
    ASSERT_TRUE(AppendHistory(path, Entry("backup", 3299)));
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << "[1,2]\n{\"operation\": 5}\nnot json\n{\"start\":\"2026-12-08T10:";
    }
    HistoryEntry shiftJis = Entry("restore", 3299);
    shiftJis.model = "KZ-\x83\x65\x83X";  // Shift_JIS, no UTF-8
    ASSERT_TRUE(AppendHistory(path, shiftJis));
    const std::vector<HistoryEntry> read = ReadHistory(path);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].operation, "backup");
    EXPECT_EQ(read[1].operation, "restore");
    EXPECT_TRUE(read[1].model.starts_with("KZ-"));
}

// A FIFO in the record's place would block the end of every run (and the window with it),
// a link would add the record to whatever file it leads to: neither is used.
TEST(HistoryTest, OnlyARegularFileIsWrittenOrRead) {
    test::TempDir dir;
    const std::string fifo = dir.str() + "fifo.jsonl";
    if (test::MakeFifo(fifo)) {
        EXPECT_FALSE(AppendHistory(fifo, Entry("backup", 3299)));
        EXPECT_TRUE(ReadHistory(fifo).empty());
    }

    if (!test::SymlinksWork()) {
        return;
    }
    const std::string other = dir.str() + "other.txt";
    { std::ofstream(other) << "kept\n"; }
    const std::string link = dir.str() + kHistoryFileName;
    std::filesystem::create_symlink(other, link);
    EXPECT_FALSE(AppendHistory(link, Entry("backup", 3299)));
    std::ifstream in(other);
    std::stringstream kept;
    kept << in.rdbuf();
    EXPECT_EQ(kept.str(), "kept\n");
}

}  // namespace
}  // namespace kz
