// The node list of our LAN library ("Kevrosa.conf"): which lines name a panel.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/kevrosa/KevrosaSession.h"
#include "support/TempDir.h"

namespace kz::test {
namespace {

using kevrosa::library::Session;

struct ConfigCase {
    const char* name;
    std::string text;
    std::vector<std::pair<std::uint32_t, int>> endpoints;  // address, port
};

class KevrosaConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(KevrosaConfigTest, ReadsTheEndpoints) {
    std::vector<std::pair<std::uint32_t, int>> read;
    for (const auto& e : Session::ParseConfig(GetParam().text)) {
        read.emplace_back(e.address, e.port);
    }
    EXPECT_EQ(read, GetParam().endpoints);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, KevrosaConfigTest,
    ::testing::Values(
        ConfigCase{"Empty", "", {}},
        ConfigCase{"BareAddressTakesTheDefaultPort", "127.0.0.2\n", {{0x7F000002, 8000}}},
        ConfigCase{"CommentsBlanksAndCrLf",
                   "# bench\r\n 127.0.0.1 : 8001 # first\r\n\t127.0.0.3\r\n",
                   {{0x7F000001, 8001}, {0x7F000003, 8000}}},
        ConfigCase{"PortsOutsideTheRangeAreSkipped",
                   "127.0.0.1:80\n127.0.0.1:1023\n127.0.0.1:1024\n127.0.0.1:65535\n"
                   "127.0.0.1:65536\n127.0.0.1:123456\n127.0.0.1:\n",
                   {{0x7F000001, 1024}, {0x7F000001, 65535}}},
        ConfigCase{"NamesAndBadAddressesAreSkipped",
                   "localhost\n300.1.1.1\n127.0.0\n127.0.0.1x\n10.0.0.1:80a\n10.0.0.1\n",
                   {{0x0A000001, 8000}}},
        ConfigCase{"LastLineWithoutLineEnd", "127.0.0.9:9000", {{0x7F000009, 9000}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KevrosaConfigFile, OnlyARegularFileIsRead) {
    TempDir dir;
    const std::string path = dir.Write("Kevrosa.conf", "127.0.0.1\n");
    ASSERT_TRUE(Session::ReadConfigFile(path).has_value());
    EXPECT_EQ(*Session::ReadConfigFile(path), "127.0.0.1\n");
    EXPECT_FALSE(Session::ReadConfigFile(dir.str() + "missing.conf").has_value());
    // A folder opens but is no list: it reads as an empty one.
    const auto folder = Session::ReadConfigFile(dir.str());
    ASSERT_TRUE(folder.has_value());
    EXPECT_TRUE(Session::ParseConfig(*folder).empty());
}

}  // namespace
}  // namespace kz::test
