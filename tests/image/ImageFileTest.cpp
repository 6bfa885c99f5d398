#include "ops/memory/MemImageFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz {
namespace {

using test::TempDir;

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

std::uint16_t Le16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                      (static_cast<std::uint8_t>(bytes[at + 1]) << 8));
}

bool AllZero(const std::string& bytes, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (bytes[i] != '\0') {
            return false;
        }
    }
    return true;
}

// A header as a backup of a model with one FROM and one SRAM area writes it.
MemImageFile BackupHeader(const std::string& path) {
    MemImageFile image;
    image.SetFileName(path);
    image.SetHeaderKind(kImageHeaderKind);
    image.SetFromSize(0x400000);
    image.SetSramSize(0x80000);
    image.SetHeaderFormat(kImageHeaderFormat);
    image.SetModelName("GX-400");
    image.SetDescriptorVersion();
    image.SetCoreID("1234");
    image.SetIOCode("3C");
    image.SetComment("line 7");
    image.SetUnit(0x10000);
    image.SetSignature(0x1A2B);
    const std::vector<MemArea> areas = {{kAreaFrom, 0x100000, 0x200000, 0x200000},
                                        {kAreaSram, 0x800000, 0x80000, 0x40000}};
    image.SetAreas(areas);
    return image;
}

TEST(ImageHeader, IsWrittenByteForByte) {
    TempDir dir;
    MemImageFile image = BackupHeader(dir.str() + "a.mem");
    ASSERT_TRUE(image.WriteHeader());
    const std::string bytes = dir.Read("a.mem");
    ASSERT_EQ(bytes.size(), 1024u);

    EXPECT_EQ(Le16(bytes, 0), 1);
    EXPECT_EQ(Le32(bytes, 4), 0x400000u);
    EXPECT_EQ(Le32(bytes, 8), 0x80000u);
    EXPECT_EQ(Le16(bytes, 12), 2);
    EXPECT_EQ(bytes.substr(32, 7), std::string("GX-400\0", 7));

    const std::size_t d = 272;
    EXPECT_EQ(bytes.substr(d, 2), "10");
    EXPECT_EQ(bytes.substr(d + 2, 2), "34");
    EXPECT_EQ(bytes.substr(d + 4, 2), "3C");
    EXPECT_EQ(bytes.substr(d + 6, 7), std::string("line 7\0", 7));
    EXPECT_EQ(Le32(bytes, d + 72), 0x10000u);
    EXPECT_EQ(bytes.substr(d + 76, 2), "12");
    EXPECT_EQ(Le16(bytes, d + 78), 0x1A2B);
    EXPECT_EQ(Le16(bytes, d + 126), 2);
    // Records are 16 bytes with unaligned 32-bit fields; FROM stores verify size 0.
    EXPECT_EQ(Le16(bytes, d + 128), 0);
    EXPECT_EQ(Le32(bytes, d + 130), 0x100000u);
    EXPECT_EQ(Le32(bytes, d + 134), 0x200000u);
    EXPECT_EQ(Le32(bytes, d + 138), 0u);
    EXPECT_EQ(Le16(bytes, d + 144), 1);
    EXPECT_EQ(Le32(bytes, d + 146), 0x800000u);
    EXPECT_EQ(Le32(bytes, d + 150), 0x80000u);
    EXPECT_EQ(Le32(bytes, d + 154), 0x40000u);

    EXPECT_TRUE(AllZero(bytes, 2, 4));
    EXPECT_TRUE(AllZero(bytes, 14, 32));
    EXPECT_TRUE(AllZero(bytes, 64, 272));
    EXPECT_TRUE(AllZero(bytes, d + 80, d + 126));
    EXPECT_TRUE(AllZero(bytes, d + 160, 1024));
}

TEST(ImageHeader, ReadsBackWhatWasWritten) {
    TempDir dir;
    ASSERT_TRUE(BackupHeader(dir.str() + "a.mem").WriteHeader());
    MemImageFile image;
    ASSERT_TRUE(image.LoadHeader(dir.str() + "a.mem"));
    EXPECT_EQ(image.FileName(), dir.str() + "a.mem");
    EXPECT_EQ(image.HeaderKind(), 1);
    EXPECT_EQ(image.FromSize(), 0x400000u);
    EXPECT_EQ(image.SramSize(), 0x80000u);
    EXPECT_TRUE(image.HasAreaTable());
    EXPECT_EQ(image.GetImageModelName(), "GX-400");
    EXPECT_EQ(image.DescriptorVersion(), "10");
    EXPECT_EQ(image.GetImageCoreID(), 0x1234u);
    EXPECT_EQ(image.GetImageIOCode(), 0x3Cu);
    EXPECT_EQ(image.GetImageComment(), "line 7");
    EXPECT_EQ(image.Unit(), 0x10000u);
    EXPECT_EQ(image.Signature(), 0x1A2B);
    const std::vector<MemArea> areas = image.Areas();
    ASSERT_EQ(areas.size(), 2u);
    EXPECT_EQ(areas[1].type, kAreaSram);
    EXPECT_EQ(areas[1].start, 0x800000u);
    EXPECT_EQ(areas[1].size, 0x80000u);
    EXPECT_EQ(areas[1].verifySize, 0x40000u);
}

struct CoreIdCase {
    std::string text;
    std::string low, high;  // the two stored parts, two bytes each
    std::uint32_t value;
    std::string readText;
};

class ImageCoreId : public ::testing::TestWithParam<CoreIdCase> {};

TEST_P(ImageCoreId, IsSplitAndReassembled) {
    const CoreIdCase& c = GetParam();
    MemImageFile image;
    image.SetCoreID(c.text);
    const auto descriptor = image.Descriptor();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&descriptor[2]), 2), c.low);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&descriptor[76]), 2), c.high);
    EXPECT_EQ(image.GetImageCoreID(), c.value);
    EXPECT_EQ(image.GetImageCoreIDText(), c.readText);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ImageCoreId,
    ::testing::Values(CoreIdCase{"1234", "34", "12", 0x1234, "1234"},
                      CoreIdCase{"8C93", "93", "8C", 0x8C93, "8C93"},
                      CoreIdCase{"34", "34", std::string(2, '\0'), 0x34, "34"},
                      CoreIdCase{"7", std::string("7\0", 2), std::string(2, '\0'), 0x7, "7"},
                      CoreIdCase{"", std::string(2, '\0'), std::string(2, '\0'), 0, ""}));

TEST(ImageHeader, ReplacingTheCoreIdClearsTheOldHighPart) {
    MemImageFile image;
    image.SetCoreID("1234");
    image.SetCoreID("56");
    EXPECT_EQ(image.GetImageCoreID(), 0x56u);
}

TEST(ImageHeader, TextFieldsAreCutToTheirSize) {
    MemImageFile image;
    image.SetComment(std::string(60, 'x') + "ABCDEFGHIJ");  // 70 characters
    EXPECT_EQ(image.GetImageComment(), std::string(60, 'x') + "ABCDEF");
    EXPECT_EQ(image.Descriptor()[72], 0);  // the unit field after it is untouched

    image.SetModelName(std::string(40, 'M'));
    EXPECT_EQ(image.GetImageModelName(), std::string(32, 'M'));
    EXPECT_EQ(image.HeaderBytes()[64], 0);

    image.SetIOCode("");
    EXPECT_EQ(image.GetImageIOCodeText(), "");
    EXPECT_EQ(image.GetImageIOCode(), 0u);
}

TEST(ImageComment, IsReplacedInPlace) {
    TempDir dir;
    const std::string path = dir.str() + "a.mem";
    ASSERT_TRUE(BackupHeader(path).WriteHeader());
    MemImageFile writer;
    writer.SetFileName(path);
    ASSERT_TRUE(writer.AppendImageData(std::string_view("DATA").data(), 4));
    const std::string before = dir.Read("a.mem");

    ASSERT_TRUE(MemImageFile::SetImageComment(path, std::string(70, 'c')));
    std::string after = dir.Read("a.mem");
    EXPECT_EQ(after.substr(272 + 6, 66), std::string(66, 'c'));
    // Everything else, the data included, is left as it was.
    after.replace(272 + 6, 66, before.substr(272 + 6, 66));
    EXPECT_EQ(after, before);

    ASSERT_TRUE(MemImageFile::SetImageComment(path, ""));
    MemImageFile reader;
    ASSERT_TRUE(reader.LoadHeader(path));
    EXPECT_EQ(reader.GetImageComment(), "");
    EXPECT_EQ(reader.GetImageModelName(), "GX-400");
}

TEST(ImageComment, NeedsAWholeHeader) {
    TempDir dir;
    const std::string shortFile = dir.Write("short.mem", std::string(1023, 'z'));
    EXPECT_FALSE(MemImageFile::SetImageComment(shortFile, "new"));
    EXPECT_EQ(dir.Read("short.mem"), std::string(1023, 'z'));
    EXPECT_FALSE(MemImageFile::SetImageComment(dir.str() + "missing.mem", "new"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing.mem"));
}

TEST(ImageFile, RejectsAFileShorterThanTheHeader) {
    TempDir dir;
    const std::string path = dir.Write("short.mem", std::string(1023, '\x01'));
    MemImageFile image;
    image.SetModelName("KEEP");
    EXPECT_FALSE(image.LoadHeader(path));
    EXPECT_EQ(image.GetImageModelName(), "KEEP");  // buffers unchanged
    EXPECT_EQ(image.FileName(), path);
    char byte = 0;
    EXPECT_FALSE(image.ReadImageData(0, &byte, 0));
    EXPECT_FALSE(image.LoadHeader(dir.str() + "missing.mem"));
}

TEST(ImageFile, ReadsExactlyTheRequestedData) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 100; ++i) {
        data += static_cast<char>(i);
    }
    const std::string path = dir.Write("a.mem", std::string(1024, '\0') + data);
    MemImageFile image;
    ASSERT_TRUE(image.LoadHeader(path));

    std::vector<std::uint8_t> buffer(100);
    EXPECT_TRUE(image.ReadImageData(0, buffer));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), data);
    buffer.assign(10, 0xEE);
    EXPECT_TRUE(image.ReadImageData(90, buffer));
    EXPECT_EQ(buffer[0], 90);
    EXPECT_EQ(buffer[9], 99);
    // Past the end: a short read is a failure, whatever was read.
    buffer.resize(11);
    EXPECT_FALSE(image.ReadImageData(90, buffer));
    EXPECT_FALSE(image.ReadImageData(101, buffer.data(), 0));
    EXPECT_FALSE(image.ReadImageData(UINT64_MAX, buffer));
}

// Reads keep the file open between calls, yet always read the file that is named now, as
// long as it is now: a file cut short fails past its new end, one rewritten in place gives
// its new bytes, and naming another file reads that one.
TEST(ImageFile, ReadsFollowTheFileAsItIsNow) {
    TempDir dir;
    const std::string header(kImageHeaderSize, '\0');
    const std::string path = dir.Write("a.mem", header + std::string(64, 'a'));
    const std::string other = dir.Write("b.mem", header + std::string(64, 'b'));
    MemImageFile image;
    ASSERT_TRUE(image.LoadHeader(path));
    std::vector<std::uint8_t> buffer(16);
    ASSERT_TRUE(image.ReadImageData(48, buffer));
    EXPECT_EQ(buffer[0], 'a');

    std::filesystem::resize_file(path, kImageHeaderSize + 40);
    EXPECT_FALSE(image.ReadImageData(48, buffer));
    EXPECT_TRUE(image.ReadImageData(0, buffer));

    dir.Write("a.mem", header + std::string(64, 'c'));
    ASSERT_TRUE(image.ReadImageData(48, buffer));
    EXPECT_EQ(buffer[15], 'c');

    image.SetFileName(other);
    ASSERT_TRUE(image.ReadImageData(0, buffer));
    EXPECT_EQ(buffer[0], 'b');
    ASSERT_TRUE(image.LoadHeader(path));
    ASSERT_TRUE(image.ReadImageData(0, buffer));
    EXPECT_EQ(buffer[0], 'c');

    // A file that is gone when the name is taken again is not read through an old handle.
    image.SetFileName(other);
    ASSERT_TRUE(image.ReadImageData(0, buffer));
    std::filesystem::remove(other);
    image.SetFileName(other);
    EXPECT_FALSE(image.ReadImageData(0, buffer));
}

TEST(ImageFile, AppendsPacketsInOrder) {
    TempDir dir;
    MemImageFile image = BackupHeader(dir.str() + "a.mem");
    ASSERT_TRUE(image.WriteHeader());
    ASSERT_TRUE(image.AppendImageData(std::string_view("abc").data(), 3));
    ASSERT_TRUE(image.AppendImageData(std::string_view("de").data(), 2));
    EXPECT_EQ(dir.Read("a.mem").substr(1024), "abcde");
}

TEST(ImageFile, AFullDiskIsReported) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    MemImageFile image;
    image.SetFileName("/dev/full");
    EXPECT_FALSE(image.WriteHeader());
    const std::vector<std::uint8_t> packet(1024, 0x55);
    EXPECT_FALSE(image.AppendImageData(packet));
}

TEST(ImageFile, ANewBackupStartsAFreshHeader) {
    TempDir dir;
    const std::string path = dir.str() + "x/y/new.mem";
    MemImageFile image;
    EXPECT_FALSE(image.StartBackupHeader(path, "GX-400"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "x" / "y"));
    EXPECT_EQ(image.FileName(), path);
    EXPECT_EQ(image.HeaderKind(), 1);
    EXPECT_EQ(image.GetImageModelName(), "GX-400");
}

TEST(ImageFile, OverwritingKeepsKindAndModelNameOfTheOldImage) {
    TempDir dir;
    const std::string path = dir.str() + "old.mem";
    {
        MemImageFile old = BackupHeader(path);
        old.SetHeaderKind(7);
        old.SetModelName("OLD-MODEL");
        ASSERT_TRUE(old.WriteHeader());
        ASSERT_TRUE(old.AppendImageData(std::string(5000, 'o').data(), 5000));
    }
    MemImageFile image;
    EXPECT_TRUE(image.StartBackupHeader(path, "NEW-MODEL"));
    image.SetCoreID("56");
    image.SetComment("new");
    image.SetAreas(std::vector<MemArea>{{kAreaFrom, 0, 0x10000, 0}});
    ASSERT_TRUE(image.WriteHeader());

    MemImageFile reader;
    ASSERT_TRUE(reader.LoadHeader(path));
    EXPECT_EQ(reader.HeaderKind(), 7);
    EXPECT_EQ(reader.GetImageModelName(), "OLD-MODEL");
    EXPECT_EQ(reader.GetImageCoreID(), 0x56u);
    EXPECT_EQ(reader.GetImageComment(), "new");
    EXPECT_EQ(reader.Areas().size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(path), 1024u);  // the old data is gone
}

TEST(ImageFile, DataSizeCountsAtLeastOneUnitPerArea) {
    MemImageFile image;
    image.SetUnit(0x10000);
    image.SetAreas(std::vector<MemArea>{{kAreaFrom, 0, 0x30000, 0},
                                        {kAreaSram, 0x800000, 0x8000, 0x8000},
                                        {kAreaSram, 0x900000, 0, 0}});
    EXPECT_EQ(image.DataSize(), 0x30000u + 0x10000u + 0x10000u);
}

TEST(ImageFile, ADamagedAreaCountNeverReadsPastTheDescriptor) {
    MemImageFile image;
    image.SetAreaCount(-3);
    EXPECT_TRUE(image.Areas().empty());
    EXPECT_EQ(image.DataSize(), 0u);
    image.SetAreaCount(30);
    EXPECT_EQ(image.Areas().size(), kImageMaxAreas);

    std::vector<MemArea> many(kImageMaxAreas + 1, MemArea{kAreaFrom, 0, 0x10000, 0});
    EXPECT_FALSE(image.SetAreas(many));
    EXPECT_EQ(image.AreaCount(), static_cast<std::int16_t>(kImageMaxAreas));
}

// Nothing that opens an image waits on a FIFO: it is not a regular file and is refused.
TEST(ImageFileAccess, AFifoIsRefusedWithoutWaiting) {
    TempDir dir;
    const std::string fifo = dir.str() + "panel.mem";
    if (!test::MakeFifo(fifo)) {
        GTEST_SKIP() << "no FIFOs in this file system";
    }
    MemImageFile image;
    EXPECT_FALSE(image.LoadHeader(fifo));
    std::uint8_t byte = 0;
    EXPECT_FALSE(image.ReadImageData(0, &byte, 1));
    EXPECT_FALSE(image.AppendImageData(&byte, 1));
    EXPECT_FALSE(MemImageFile::SetImageComment(fifo, "x"));
    EXPECT_FALSE(image.StartBackupHeader(fifo, "GX-400"));
}

// The backup's temporary file is made afresh: a link planted under its name is neither
// followed nor replaced, and an image reached through a link is not the target's header.
TEST(ImageFileAccess, CreationNeverFollowsALink) {
    if (!test::SymlinksWork()) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }

    namespace fs = std::filesystem;
    TempDir dir;
    const std::string precious = dir.Write("precious.mem", std::string(2000, 'p'));
    const std::string partial = dir.str() + "panel.mem.partial";
    fs::create_symlink(precious, partial);
    MemImageFile image = BackupHeader(partial);
    EXPECT_EQ(image.CreatePartial(partial), MemImageFile::PartialStart::NotPlain);
    EXPECT_FALSE(image.AppendImageData(std::string_view("DATA").data(), 4));
    EXPECT_FALSE(image.StartBackupHeader(partial, "NEW"));
    EXPECT_EQ(image.GetImageModelName(), "NEW");  // not the p's of the file behind the link
    EXPECT_EQ(dir.Read("precious.mem"), std::string(2000, 'p'));
}

}  // namespace
}  // namespace kz
