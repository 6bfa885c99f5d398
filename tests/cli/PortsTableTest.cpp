// The table of kzmnt-cli ports: which COM port each device shows, and the columns.

#include "PortsTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

namespace kz::cli {
namespace {

using PortMap = std::vector<std::pair<int, std::string>>;

struct ComCase {
    const char* name;
    std::string device;
    PortMap map;
    std::string com;
};

void PrintTo(const ComCase& c, std::ostream* os) {
    *os << c.name;
}

class PortsTableComTest : public ::testing::TestWithParam<ComCase> {};

// The COM column of the device's line (the second column: the head line fixes its start).
TEST_P(PortsTableComTest, ShowsThePortsThatNameTheDevice) {
    const ComCase& c = GetParam();
    const std::string table = PortsTable({{c.device, "", "", ""}}, c.map);
    const std::size_t start = table.find("COM");
    ASSERT_NE(start, std::string::npos);
    std::string line = table.substr(table.find('\n') + 1);
    line.resize(std::max(line.size(), start), ' ');  // trailing blanks are cut
    std::string com = line.substr(start);
    com = com.substr(0, com.find_first_of(" \n"));
    EXPECT_EQ(com, c.com) << table;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, PortsTableComTest,
    ::testing::Values(ComCase{"Mapped", "/dev/ttyUSB0", {{3, "/dev/ttyUSB0"}}, "COM3"},
                      ComCase{"MappedTwice",
                              "/dev/ttyUSB0",
                              {{1, "/dev/ttyUSB0"}, {4, "/dev/ttyUSB0"}},
                              "COM1,COM4"},
                      ComCase{"UnmappedAdapter", "/dev/ttyUSB0", {{3, "/dev/ttyUSB1"}}, ""},
                      ComCase{"UartByDefault", "/dev/ttyS1", {}, "COM2"},
                      ComCase{"UartWhosePortIsTaken", "/dev/ttyS1", {{2, "/dev/ttyUSB0"}}, ""},
                      ComCase{"UartMappedElsewhere", "/dev/ttyS1", {{5, "/dev/ttyS1"}}, "COM5"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortsTableTest, AlignsColumnsAndShowsTextsPrintable) {
    const std::string table =
        PortsTable({{"/dev/ttyUSB0", "FTDI", "FT232R USB UART", "A1\x1b"},
                    {"/dev/serial/by-id/usb-FTDI_A1-if00-port0", "FTDI", "FT232R USB UART", "A1"}},
                   {{1, "/dev/ttyUSB0"}});
    EXPECT_EQ(table,
              "Device                                    COM   Maker  Product          Serial "
              "number\n"
              "/dev/ttyUSB0                              COM1  FTDI   FT232R USB UART  A1\\x1B\n"
              "/dev/serial/by-id/usb-FTDI_A1-if00-port0        FTDI   FT232R USB UART  A1\n");
    EXPECT_EQ(PortsTable({}, {{1, "/dev/ttyUSB0"}}), "");
}

}  // namespace
}  // namespace kz::cli
