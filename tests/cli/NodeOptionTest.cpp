// kzmnt-cli's --node value: exactly an IPv4 address with an optional user port, never an
// address cut at a stray character.

#include "NodeOption.h"

#include <gtest/gtest.h>

#include <ostream>

namespace kz::cli {
namespace {

struct NodeCase {
    const char* text;
    const char* node;  // null: refused
};

void PrintTo(const NodeCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class NodeOptionTest : public ::testing::TestWithParam<NodeCase> {};

TEST_P(NodeOptionTest, TakesOnlyAWholeAddressAndUserPort) {
    const std::optional<std::string> node = NodeOption(GetParam().text);
    if (GetParam().node == nullptr) {
        EXPECT_FALSE(node) << *node;
    } else {
        EXPECT_EQ(node.value_or("(refused)"), GetParam().node);
    }
}

INSTANTIATE_TEST_SUITE_P(Accepted, NodeOptionTest,
                         ::testing::Values(NodeCase{"192.168.1.20", "192.168.1.20"},
                                           NodeCase{"010.001.002.003", "10.1.2.3"},
                                           NodeCase{"0.0.0.0", "0.0.0.0"},
                                           NodeCase{"192.168.1.20:8000", "192.168.1.20:8000"},
                                           NodeCase{" 127.0.0.1 : 1024 ", "127.0.0.1:1024"},
                                           NodeCase{"127.0.0.1\t:\t65535", "127.0.0.1:65535"},
                                           NodeCase{"127.0.0.1:08000", "127.0.0.1:8000"}));

INSTANTIATE_TEST_SUITE_P(
    Refused, NodeOptionTest,
    ::testing::Values(NodeCase{"127.0.0.1x:8000", nullptr}, NodeCase{"1.2.3.4/8", nullptr},
                      NodeCase{"127.0.0.1x", nullptr}, NodeCase{"1.2.3.4 5", nullptr},
                      NodeCase{"1.2.3", nullptr}, NodeCase{"1.2.3.4.5", nullptr},
                      NodeCase{"1.2.3.4.", nullptr}, NodeCase{"1..3.4", nullptr},
                      NodeCase{".1.2.3", nullptr}, NodeCase{"256.1.1.1", nullptr},
                      NodeCase{"1.2.3.0400", nullptr}, NodeCase{"+1.2.3.4", nullptr},
                      NodeCase{"0x7f.0.0.1", nullptr}, NodeCase{"localhost", nullptr},
                      NodeCase{"255.255.255.255", nullptr}, NodeCase{"", nullptr},
                      NodeCase{":8000", nullptr}, NodeCase{"127.0.0.1:", nullptr},
                      NodeCase{"127.0.0.1:80", nullptr}, NodeCase{"127.0.0.1:1023", nullptr},
                      NodeCase{"127.0.0.1:65536", nullptr}, NodeCase{"127.0.0.1:8000x", nullptr},
                      NodeCase{"127.0.0.1:http", nullptr}, NodeCase{"127.0.0.1:8000:1", nullptr},
                      NodeCase{"127.0.0.1:-8000", nullptr}));

}  // namespace
}  // namespace kz::cli
