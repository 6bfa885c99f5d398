// The LAN library's node search and CF card transfers against the LAN panel simulator.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "sim/kevrosa/KevrosaWire.h"
#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;
using sim::LanFault;

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<std::string> Tree(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        names.push_back(fs::relative(e.path(), root).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A port nobody listens on: taken from a panel that is stopped at once.
std::uint16_t ClosedPort() {
    sim::LanServer gone(sim::DemoPanel());
    EXPECT_TRUE(gone.Start(0));
    const std::uint16_t port = gone.Port();
    gone.Stop();
    return port;
}

TEST_F(LanTest, NodeSearchProbesTheListedEndpointsOrTheTarget) {
    Start();
    sim::LanServer second(sim::DemoPanel());
    ASSERT_TRUE(second.Start(0));
    const std::uint16_t closed = ClosedPort();
    Install(KZ_KEVROSA_FILE, "# panels\n" + server->Endpoint() +
                                 "\n\n127.0.0.1:" + std::to_string(closed) +
                                 "  # switched off\nnot an address\n" + second.Endpoint() + "\n");
    ASSERT_TRUE(lib.Load());

    auto search = [&](const char* target) {
        lan::MtoMSocket* s = lib.CreateMtoMSocket(lan::kSocketKind);
        EXPECT_NE(s, nullptr);
        lan::PrepareSearch(s, 8001);
        lib.SetTransitionType(s, lan::kTransitionSearch);
        EXPECT_EQ(lib.OpenMtoMLAN(s, nullptr, nullptr), 0);
        EXPECT_EQ(lib.FindNode(s, nullptr, target), 0);
        std::vector<std::pair<std::uint32_t, int>> found;
        for (const lan::Node& n : lan::ReadNodeTable(s)) {
            EXPECT_TRUE(n.valid);
            found.emplace_back(n.address, n.word);
        }
        lib.CloseMtoM(s, nullptr);
        lib.FreeMtoMSocket(s);
        return found;
    };
    using Found = std::vector<std::pair<std::uint32_t, int>>;
    EXPECT_EQ(search(nullptr),
              (Found{{0x7F000001u, server->Port()}, {0x7F000001u, second.Port()}}));
    EXPECT_EQ(search(second.Endpoint().c_str()), (Found{{0x7F000001u, second.Port()}}));
    EXPECT_EQ(search(("127.0.0.1:" + std::to_string(closed)).c_str()), Found{});
    // Only the probes reached the panels.
    EXPECT_EQ(server->Counters().requests, 1u);
    EXPECT_EQ(second.Counters().requests, 2u);
}

TEST_F(LanTest, CardFilesRoundTrip) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.cfFiles = {{"ZI00001.BIN", Bytes("first")},
                     {"ZI00042.BIN", std::vector<std::uint8_t>(70000, 0xA5)},
                     {"ZO00001.BIN", Bytes("sound")}};
    Start(panel);
    OpenSession();
    ASSERT_EQ(Async([&](lan::MtoMCallback cb) { return lib.Communication(sock, cb); }).result, 0);
    std::uint8_t name[] = "CF-CARD      ";
    ASSERT_EQ(Async([&](lan::MtoMCallback cb) { return lib.Support(sock, cb, name); }).result, 0);

    TempDir pc;
    fs::create_directory(pc.path() / "data");
    const std::string folder = (pc.path() / "data").string() + "/";
    pc.Write("data/ZI00001.BIN", "old copy");
    lan::KzFileLimit range{lan::EncodePrefix('Z', 'I'), 1, 8999};
    int count = -1;
    std::vector<lan::KzFileList> list(8999);
    auto read = Async([&](lan::MtoMCallback cb) {
        return lib.FileReadCard(sock, cb, &range, &count, list.data(), folder.c_str(), nullptr,
                                ".BIN");
    });
    ASSERT_EQ(read.result, 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(Tree(pc.path()),
              (std::vector<std::string>{"data", "data/ZI00001.BIN", "data/ZI00042.BIN"}));
    EXPECT_EQ(pc.Read("data/ZI00001.BIN"), "first");
    EXPECT_EQ(pc.Read("data/ZI00042.BIN"), std::string(70000, '\xA5'));

    // Back to the card under another number; the card file takes the PC file's extension.
    const std::string path = pc.Write("data/zr00012.csv", "No,Val\r\n1,2\r\n");
    lan::KzFileNo file{lan::EncodePrefix('Z', 'R'), 12};
    auto write = Async(
        [&](lan::MtoMCallback cb) { return lib.FileWriteCard(sock, cb, &file, path.c_str()); });
    ASSERT_EQ(write.result, 0);
    EXPECT_EQ(server->CfCardFiles().at("ZR00012.CSV"), Bytes("No,Val\r\n1,2\r\n"));
}

TEST_F(LanTest, CardWriteRefusesAFifoWithoutWaitingForItsWriter) {
    Start();
    OpenSession();
    TempDir pc;
    const std::string path = (pc.path() / "ZI00077.BIN").string();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    lan::KzFileNo file{lan::EncodePrefix('Z', 'I'), 77};
    auto pending = std::async(std::launch::async, [&] {
        return Async(
            [&](lan::MtoMCallback cb) { return lib.FileWriteCard(sock, cb, &file, path.c_str()); });
    });
    // A watchdog, not a measurement: a call still waiting for a writer after this long gets
    // one, so that the test fails instead of hanging.
    const bool waited = pending.wait_for(std::chrono::seconds(30)) == std::future_status::timeout;
    if (waited) {
        ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
    const Outcome write = pending.get();
    EXPECT_FALSE(waited);
    EXPECT_NE(write.call, lan::kResultAccepted);
    EXPECT_EQ(write.cause, kevrosa::kCausePcFileRead);
    EXPECT_EQ(server->CfCardFiles().count("ZI00077.BIN"), 0u);
}

TEST_F(LanTest, CardErrorsReachTheCaller) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.cfCardPresent = false;
    Start(panel);
    OpenSession();
    TempDir pc;
    lan::KzFileLimit range{lan::EncodePrefix('Z', 'I'), 1, 8999};
    int count = 0;
    std::vector<lan::KzFileList> list(8999);
    auto read = Async([&](lan::MtoMCallback cb) {
        return lib.FileReadCard(sock, cb, &range, &count, list.data(), pc.str().c_str(), nullptr,
                                ".BIN");
    });
    EXPECT_EQ(read.result, 2);
    EXPECT_EQ(read.cause, lan::kErrorNoCard);

    std::uint8_t other[] = "CF-CARD";
    auto support = Async([&](lan::MtoMCallback cb) { return lib.Support(sock, cb, other); });
    EXPECT_EQ(support.result, 2);
    EXPECT_EQ(support.cause, kevrosa::kCauseUnsupported);
}

// A file whose name from the panel cannot be used is left out and named; the others are
// stored, only ever under their own name inside the folder.
TEST_F(LanTest, PanelFileNamesNeverLeaveTheFolder) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.cfFiles = {{"ZI00001.BIN", Bytes("good")}};
    Start(panel);
    OpenSession();
    TempDir pc;
    fs::create_directories(pc.path() / "top" / "data");
    const std::string folder = (pc.path() / "top" / "data").string() + "/";
    lan::KzFileLimit range{lan::EncodePrefix('Z', 'I'), 1, 8999};
    int count = 0;
    std::vector<lan::KzFileList> list(8999);
    auto readCard = [&] {
        lan::SetErrorCode(sock, 0);
        list.assign(list.size(), lan::KzFileList{});
        return Async([&](lan::MtoMCallback cb) {
            return lib.FileReadCard(sock, cb, &range, &count, list.data(), folder.c_str(), nullptr,
                                    ".BIN");
        });
    };
    const std::vector<std::string> stored = {"top", "top/data", "top/data/ZI00001.BIN"};
    for (const std::string& hostile :
         std::vector<std::string>{"../../ZI00002.BIN", "ZI00002/../../x.BIN", "ZI0000/.BIN",
                                  "ZI00001.BIN", "ZO00002.BIN", "ZI99999.BIN", "ZI00002.B/N",
                                  "/tmp/ZI00002.BIN", "ZI00003.BIN\\..\\..\\x", "",
                                  "ZI00002\x1B[2J\x07", std::string("ZI00002\0.BIN", 12)}) {
        SCOPED_TRACE(hostile);
        LanFault fault = Fault(kevrosa::Op::CfReadRange, LanFault::Kind::HostileName);
        fault.name = hostile;
        server->AddFault(fault);
        auto o = readCard();
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.cause, lan::kNoticeNamesLeftOut);
        EXPECT_EQ(count, 1);
        const auto leftOut = lan::ReadLeftOutNames(o.cause, list.data(), list.size(), count);
        ASSERT_TRUE(leftOut);
        EXPECT_EQ(leftOut->total, 1u);
        ASSERT_EQ(leftOut->names.size(), 1u);
        EXPECT_EQ(leftOut->names[0].start, hostile.substr(0, lan::kLeftOutNameBytes));
        EXPECT_EQ(leftOut->names[0].cut, hostile.size() > lan::kLeftOutNameBytes);
        // The good file is stored, under its own name; nothing else is written.
        EXPECT_EQ(Tree(pc.path()), stored);
        EXPECT_EQ(pc.Read("top/data/ZI00001.BIN"), "good");
    }
    // Without a name left out the list is not read.
    auto clean = readCard();
    EXPECT_EQ(clean.result, 0);
    EXPECT_EQ(clean.cause, 0u);
    EXPECT_FALSE(lan::ReadLeftOutNames(clean.cause, list.data(), list.size(), count));
    fs::remove(pc.path() / "top" / "data" / "ZI00001.BIN");

    // A link planted at the target is refused, never written through.
    pc.Write("outside.BIN", "keep");
    fs::create_symlink(pc.path() / "outside.BIN", pc.path() / "top" / "data" / "ZI00001.BIN");
    auto o = readCard();
    EXPECT_EQ(o.result, 2);
    EXPECT_EQ(o.cause, lan::kErrorPcFileWrite);
    EXPECT_EQ(pc.Read("outside.BIN"), "keep");
    // And a category folder that is a link is not followed either.
    fs::remove(pc.path() / "top" / "data" / "ZI00001.BIN");
    fs::create_directory(pc.path() / "elsewhere");
    fs::remove(pc.path() / "top" / "data");
    fs::create_directory_symlink(pc.path() / "elsewhere", pc.path() / "top" / "data");
    o = readCard();
    EXPECT_EQ(o.cause, lan::kErrorPcFileWrite);
    EXPECT_TRUE(fs::is_empty(pc.path() / "elsewhere"));
}

}  // namespace
}  // namespace kz::test
