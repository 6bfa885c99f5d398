// The two frame families as they go on the wire, and the loader file's reading.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "serial/LoaderFile.h"
#include "serial/Protocol.h"
#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz::test {
namespace {

struct FrameCase {
    std::string built;
    std::string wire;
};

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, MatchesTheWire) {
    EXPECT_EQ(GetParam().built, GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FrameTest,
    ::testing::Values(FrameCase{LoaderFrame('>', "Q"), "\x10>Q\r"},
                      FrameCase{LoaderFrame('<', "m0000100000000010"), "\x10<m0000100000000010\r"},
                      // The checksum covers command and body, never the ESC.
                      FrameCase{FirmwareFrame("MID"), "\x1BMID26\r"},
                      FrameCase{FirmwareFrame("PLD", std::string("\x00\xFF", 2)),
                                std::string("\x1BPLD\x00\xFF", 6) +
                                    ChecksumText(std::string("PLD\x00\xFF", 5)) + "\r"}));

struct LoaderFileCase {
    std::size_t size;  // bytes in the file; npos: no file
    LoaderFileFault fault;
};

class LoaderFileTest : public ::testing::TestWithParam<LoaderFileCase> {};

TEST_P(LoaderFileTest, SizesAndMissingFiles) {
    TempDir dir;
    std::string path = dir.str() + "NONE.LDR";
    if (GetParam().size != std::string::npos) {
        path = dir.Write("L.LDR", std::string(GetParam().size, '\x5A'));
    }
    LoaderFileFault fault = LoaderFileFault::ShortRead;
    const std::optional<LoaderImage> image = ReadLoaderFile(path, 16, &fault);
    EXPECT_EQ(fault, GetParam().fault);
    EXPECT_EQ(image.has_value(), GetParam().fault == LoaderFileFault::None);
    if (image) {
        EXPECT_EQ(image->program.size(), GetParam().size - 4);
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, LoaderFileTest,
                         ::testing::Values(LoaderFileCase{std::string::npos,
                                                          LoaderFileFault::CannotOpen},
                                           LoaderFileCase{3, LoaderFileFault::BadSize},
                                           LoaderFileCase{4, LoaderFileFault::None},
                                           LoaderFileCase{16, LoaderFileFault::None},
                                           LoaderFileCase{17, LoaderFileFault::BadSize}));

TEST(LoaderFile, AFifoInTheFilesPlaceIsRefusedWithoutWaiting) {
    TempDir dir;
    const std::string fifo = dir.str() + "L.LDR";
    if (!MakeFifo(fifo)) {
        GTEST_SKIP() << "no FIFO on this system";
    }
    LoaderFileFault fault = LoaderFileFault::None;
    EXPECT_FALSE(ReadLoaderFile(fifo, 64, &fault));
    EXPECT_EQ(fault, LoaderFileFault::CannotOpen);
}

TEST(LoaderFile, AddressIsReadLeastSignificantByteFirst) {
    TempDir dir;
    const std::string path = dir.Write("L.LDR", std::string("\x00\x10\x02\x00\xAB", 5));
    const std::optional<LoaderImage> image = ReadLoaderFile(path, 64);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->address, 0x00021000u);
    EXPECT_EQ(image->program, "\xAB");
}

}  // namespace
}  // namespace kz::test
