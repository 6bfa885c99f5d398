// The rules for what the user types into the network search, the caption of the local
// network, and the search through the real library.
#include "lan/NetworkSearch.h"

#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

struct AddressCase {
    const char* typed;
    const char* address;
};

class AddressRuleTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressRuleTest, Normalizes) {
    EXPECT_EQ(lan::NormalizeAddress(GetParam().typed), GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    Typed, AddressRuleTest,
    ::testing::Values(AddressCase{"192.9.201", "192.9.201.0"},
                      AddressCase{"010.001.002.003", "10.1.2.3"},
                      AddressCase{"1.2.3.4.5", "1.2.3.4"}, AddressCase{"  7 ", "7.0.0.0"},
                      AddressCase{"1..3", "1.0.3.0"}, AddressCase{"10.1.2.3x9", "10.1.2.3"},
                      AddressCase{"256.1.1.1", "255.255.255.255"},
                      AddressCase{"1.2.3.99999999999999999999", "255.255.255.255"},
                      AddressCase{"abc", ""}, AddressCase{"", ""}));

struct PortCase {
    const char* typed;
    int port;  // 0: refused
};

class PortRuleTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortRuleTest, AcceptsOnlyTheUserRange) {
    const auto port = lan::ParsePort(GetParam().typed);
    EXPECT_EQ(port.value_or(0), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(Typed, PortRuleTest,
                         ::testing::Values(PortCase{"", 8000}, PortCase{"  ", 8000},
                                           PortCase{"80", 0}, PortCase{"1023", 0},
                                           PortCase{"1024", 1024}, PortCase{"65535", 65535},
                                           PortCase{"65536", 0}, PortCase{" 8001x", 8001},
                                           PortCase{"99999999999999999999", 0},
                                           PortCase{"x8000", 8000}));

TEST(LocalNetworkTest, HidesTheHostPartOfTheAddressClass) {
    EXPECT_EQ(lan::LocalNetworkText(0xC0A80105), "192.168.1.xxx");
    EXPECT_EQ(lan::LocalNetworkText(0x0A010203), "10.xxx.xxx.xxx");
    EXPECT_EQ(lan::LocalNetworkText(0xAC100009), "172.16.xxx.xxx");
    EXPECT_EQ(lan::LocalNetworkText(0xE0000001), "224.0.0.1");
    EXPECT_EQ(lan::SearchCaption(lan::LocalNetworkText(0xC0A80105), 8000), "192.168.1.xxx : 8000");
}

TEST(NodeAddressTest, AddsThePortAnEntryNamesUnlessItIsTheDefault) {
    const std::vector<lan::Node> nodes = {
        {true, 0, 0x7F000002},     {true, 8000, 0x7F000003},  {true, 9000, 0x7F000004},
        {true, 1024, 0x0A000001},  {true, 65535, 0xC0A80101}, {true, 1023, 0x7F000005},
        {true, 70000, 0x7F000006}, {true, -1, 0x7F000007},    {false, 9000, 0x7F000008}};
    EXPECT_EQ(
        lan::NodeAddresses(nodes),
        (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4:9000", "10.0.0.1:1024",
                                  "192.168.1.1:65535", "127.0.0.5", "127.0.0.6", "127.0.0.7"}));
}

TEST_F(LanTest, SearchFindsTheTargetOrTheListedPanels) {
    Start();
    const std::string target = lan::SearchCaption("127.0.0.1", server->Port());
    // The panel listens on an ephemeral port: the address found names it.
    EXPECT_EQ(lan::SearchNodes(lib, server->Port(), target.c_str()),
              std::vector<std::string>{server->Endpoint()});
    EXPECT_EQ(lan::SearchNodes(server->Port(), ""), std::vector<std::string>{server->Endpoint()});
    server->Stop();
    EXPECT_TRUE(lan::SearchNodes(lib, server->Port(), target.c_str()).empty());
}

}  // namespace
}  // namespace kz::test
