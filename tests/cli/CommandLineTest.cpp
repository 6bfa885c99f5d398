// kzmnt-cli's command line: where options may stand, what "--" ends, and the reasons a
// command line is refused.

#include "CommandLine.h"

#include <gtest/gtest.h>

#include <ostream>

namespace kz::cli {
namespace {

struct Parsed {
    bool ok = false;
    std::string error;
    CliOptions options;
};

Parsed Parse(std::vector<std::string> words) {
    words.insert(words.begin(), "kzmnt-cli");
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    Parsed parsed;
    parsed.ok =
        ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.options, &parsed.error);
    return parsed;
}

struct AcceptedCase {
    const char* name;
    std::vector<std::string> words;
    std::string command;
    std::vector<std::string> args;
    std::optional<std::string> comment;
    std::optional<std::string> folder;
    bool yes;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineAcceptedTest : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(CommandLineAcceptedTest, SplitsOptionsFromTheCommandsWords) {
    const AcceptedCase& c = GetParam();
    const Parsed parsed = Parse(c.words);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.command, c.command);
    EXPECT_EQ(parsed.options.args, c.args);
    EXPECT_EQ(parsed.options.comment, c.comment);
    EXPECT_EQ(parsed.options.folder, c.folder);
    EXPECT_EQ(parsed.options.yes, c.yes);
}

TEST(CommandLineNodes, EveryNodeIsKeptTheLastIsThePanel) {
    const Parsed parsed =
        Parse({"--node", "127.0.0.1", "backup-all", "d", "--node=010.0.0.2:8001"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.nodes, (std::vector<std::string>{"127.0.0.1", "10.0.0.2:8001"}));
    EXPECT_EQ(parsed.options.node, "10.0.0.2:8001");
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CommandLineAcceptedTest,
    ::testing::Values(
        AcceptedCase{"OptionsAfterTheCommand",
                     {"backup", "a.mem", "--comment", "x", "-y"},
                     "backup",
                     {"a.mem"},
                     "x",
                     {},
                     true},
        AcceptedCase{
            "InlineValue", {"--folder=/f", "info", "a.mem"}, "info", {"a.mem"}, {}, "/f", false},
        AcceptedCase{"EmptyInlineValueIsEmpty",
                     {"backup", "a.mem", "--comment=", "--yes"},
                     "backup",
                     {"a.mem"},
                     "",
                     {},
                     true},
        AcceptedCase{"ValueThatLooksLikeAnOption",
                     {"backup", "a.mem", "--comment", "--yes"},
                     "backup",
                     {"a.mem"},
                     "--yes",
                     {},
                     false},
        AcceptedCase{"DoubleDashEndsTheOptions",
                     {"comment", "--", "a.mem", "-x", "--yes"},
                     "comment",
                     {"a.mem", "-x", "--yes"},
                     {},
                     {},
                     false},
        AcceptedCase{"LoneDashIsAWord", {"info", "-"}, "info", {"-"}, {}, {}, false},
        AcceptedCase{"NodeTakesOneValue",
                     {"--node", "127.0.0.1", "backup-all", "d", "--node", "127.0.0.2:8001"},
                     "backup-all",
                     {"d"},
                     {},
                     {},
                     false},
        AcceptedCase{"LaterValueWins",
                     {"--folder", "/a", "info", "x", "--folder", "/b"},
                     "info",
                     {"x"},
                     {},
                     "/b",
                     false}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    std::vector<std::string> words;
    const char* error;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class CommandLineRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(CommandLineRefusedTest, NamesTheOptionAndWhy) {
    const Parsed parsed = Parse(GetParam().words);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CommandLineRefusedTest,
    ::testing::Values(
        RefusedCase{"UnknownOption", {"--fast", "info", "a"}, "unknown option --fast"},
        RefusedCase{"UnknownInlineOption", {"info", "a", "--fast=1"}, "unknown option --fast=1"},
        RefusedCase{"MissingValue", {"info", "a", "--password"}, "--password needs a value"},
        RefusedCase{"BadNode",
                    {"--node", "1.2.3", "info", "a"},
                    "--node 1.2.3: not an IPv4 address (a.b.c.d, each part 0 to 255) with an "
                    "optional :PORT (1024 to 65535)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kz::cli
