// The LAN CF receive and send end to end through the real library file and the LAN panel
// simulator: a round trip of the card's files, and each card error with its closing path.
#include "ops/cf/CfReceiveMtoM.h"

#include <filesystem>
#include <mutex>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/cf/CfSendMtoM.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "support/RecordingView.h"
#include "support/TestFolder.h"
#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

namespace fs = std::filesystem;
using sim::LanFault;
using Op = kevrosa::Op;

// Records the step each dispatcher call starts at: an entry that waits for the panel (Quit,
// Reset) is always the start of a later call.
template <class Operation>
class Traced : public Operation {
  public:
    ~Traced() override { this->Shutdown(); }
    bool Diapatcher(int nEvent) override {
        {
            std::lock_guard lock(mutex);
            starts.push_back(this->m_nPhase);
        }
        return Operation::Diapatcher(nEvent);
    }
    bool Reached(int phase) {
        std::lock_guard lock(mutex);
        return std::find(starts.begin(), starts.end(), phase) != starts.end();
    }
    std::mutex mutex;
    std::vector<int> starts;
};

class CfMtoMTest : public LanTest {
  protected:
    template <class Operation>
    int Run(Operation& op, const std::string& folder) {
        op.SetView(&view);
        op.SetPrompt(&view);
        op.SetNodeAddress(server->Endpoint());
        op.SetFolder(folder);
        op.PostEvent(EVENT_NONE);
        EXPECT_TRUE(view.WaitComplete());
        op.WaitIdle();
        return op.m_nError;
    }

    std::string Folder(const std::string& name) {
        fs::create_directories(program.path() / name);
        return (program.path() / name).string();
    }

    platform::ScaledClock clock{20};
    platform::ScopedClock clockGuard{clock};
    RecordingView view;
};

TEST_F(CfMtoMTest, ReceiveThenSendCarriesEveryCardFile) {
    Start();
    const sim::CfFiles card = server->CfCardFiles();
    const std::string folder = Folder("pc");
    {
        Traced<CCfReceiveMtoM> receive;
        ASSERT_EQ(Run(receive, folder), msg::kCompleted)
            << ::testing::PrintToString(view.Lines()) << ::testing::PrintToString(receive.starts);
        EXPECT_EQ(view.Progress(), 100);
    }
    auto pcFile = [&](const char* sub, const char* name) {
        return program.Read(std::string("pc/") + sub + "/" + name);
    };
    const auto& image = card.at("ZI00001.BIN");
    EXPECT_TRUE(pcFile("data", "ZI00001.BIN") == std::string(image.begin(), image.end()));
    const auto& csv = card.at("ZR00001.CSV");
    EXPECT_EQ(pcFile("file", "ZR00001.CSV"), std::string(csv.begin(), csv.end()));
    EXPECT_TRUE(fs::exists(program.path() / "pc" / "Sram" / "ZD00000.BIN"));

    // Onto an empty card: the card holds the same files again.
    sim::PanelDescription blank = sim::DemoPanel();
    blank.cfFiles.clear();
    server->Stop();
    server = std::make_unique<sim::LanServer>(blank);
    ASSERT_TRUE(server->Start(0));
    program.Write("Kevrosa.conf", server->Endpoint() + "\n");
    RecordingView sendView;
    {
        CCfSendMtoM send;
        send.SetView(&sendView);
        send.SetPrompt(&sendView);
        send.SetNodeAddress(server->Endpoint());
        send.SetFolder(folder);
        send.PostEvent(EVENT_NONE);
        ASSERT_TRUE(sendView.WaitComplete());
        send.WaitIdle();
        EXPECT_EQ(send.m_nError, msg::kCompleted);
    }
    EXPECT_TRUE(server->CfCardFiles() == card);
}

// A request that fails with m_dwErrorCode, or is never answered: the message and the
// closing path.
struct CardErrorCase {
    const char* name;
    bool receive;
    LanFault::Kind kind;
    std::uint32_t cause;
    int error;
    bool quit;
    bool reset;  // receive only
};

class CardErrorTest : public CfMtoMTest, public ::testing::WithParamInterface<CardErrorCase> {};

TEST_P(CardErrorTest, EndsWithItsMessageAndClosingPath) {
    const CardErrorCase& c = GetParam();
    Start();
    LanFault fault;
    fault.op = c.receive ? Op::CfReadRange : Op::CfWrite;
    fault.kind = c.kind;
    fault.cause = c.cause;
    server->AddFault(fault);
    if (c.kind == LanFault::Kind::Never) {
        IniText ini;
        ini.Section("CONFIG").Key("ReadTimeout", 1).Key("WriteTimeout", 1);
        program.Write("KZMNT.INI", ini.str());
    }
    const std::string folder = Folder("pc");
    if (c.receive) {
        Traced<CCfReceiveMtoM> receive;
        EXPECT_EQ(Run(receive, folder), c.error);
        EXPECT_EQ(receive.Reached(39), c.quit);
        EXPECT_EQ(receive.Reached(40), c.reset);
        EXPECT_EQ(server->Counters().coldRestarts, c.reset ? 1u : 0u);
    } else {
        program.Write("pc/data/ZI00007.BIN", "seven");
        Traced<CCfSendMtoM> send;
        EXPECT_EQ(Run(send, folder), c.error);
        EXPECT_EQ(send.Reached(39), c.quit);
        EXPECT_EQ(server->Counters().cfFilesStored, 0u);
    }
}

constexpr auto kFail = LanFault::Kind::Fail;
constexpr auto kRefuse = LanFault::Kind::Refuse;
constexpr auto kNever = LanFault::Kind::Never;

INSTANTIATE_TEST_SUITE_P(
    Causes, CardErrorTest,
    ::testing::Values(
        CardErrorCase{"ReceiveNoCard", true, kFail, 0x45, msg::kNoCfCard, true, true},
        CardErrorCase{"ReceiveCardRead", true, kFail, 0x46, msg::kCardRead, true, true},
        CardErrorCase{"ReceiveCardWrite", true, kFail, 0x47, msg::kCardWrite, true, true},
        CardErrorCase{"ReceiveCardDelete", true, kFail, 0x48, msg::kCardDelete, true, true},
        CardErrorCase{"ReceiveCardFolder", true, kFail, 0x49, msg::kCardFolderCreate, true, true},
        CardErrorCase{"ReceivePcFile", true, kFail, 0xE1, msg::kFileWrite, false, true},
        CardErrorCase{"ReceiveOther", true, kFail, 0x101, msg::kCheckPower, false, false},
        CardErrorCase{"ReceiveRefused", true, kRefuse, 0x103, msg::kCheckPower, false, false},
        CardErrorCase{"ReceiveNeverAnswered", true, kNever, 0, msg::kTimeOut, true, true},
        CardErrorCase{"SendNoCard", false, kFail, 0x45, msg::kNoCfCard, true, false},
        CardErrorCase{"SendCardFolder", false, kFail, 0x49, msg::kCardFolderCreate, true, false},
        CardErrorCase{"SendPcFile", false, kFail, 0xE1, msg::kCheckPower, false, false},
        CardErrorCase{"SendRefused", false, kRefuse, 0x103, msg::kCheckPower, false, false},
        CardErrorCase{"SendNeverAnswered", false, kNever, 0, msg::kTimeOut, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CfMtoMTest, AbortOfAReceiveThatNeverCompletesEndsWith4001) {
    Start();
    server->AddFault([] {
        LanFault fault;
        fault.op = Op::CfReadRange;
        fault.kind = LanFault::Kind::Never;
        return fault;
    }());
    const std::string folder = Folder("pc");
    Traced<CCfReceiveMtoM> receive;
    receive.SetView(&view);
    receive.SetPrompt(&view);
    receive.SetNodeAddress(server->Endpoint());
    receive.SetFolder(folder);
    receive.PostEvent(EVENT_NONE);
    // The image request goes out in the same pass that shows the image caption.
    for (;;) {
        const auto lines = view.Lines();
        if (std::find(lines.begin(), lines.end(), GetString(5004)) != lines.end()) {
            break;
        }
        std::this_thread::yield();
    }
    receive.PostEvent(EVENT_ABORT);
    ASSERT_TRUE(view.WaitComplete());
    receive.WaitIdle();
    EXPECT_EQ(receive.m_nError, msg::kAborted);
    EXPECT_TRUE(receive.Reached(39));
}

// A card file whose name cannot be used is named (shown safely) and left out; the receive
// stores every other file, closes the session as usual and ends with the invalid-name error.
TEST_F(CfMtoMTest, ReceiveLeavesOutHostileNamesAndGoesOn) {
    Start();
    const sim::CfFiles card = server->CfCardFiles();
    // One hostile name in each of the first three categories.
    for (const char* name : {"ZI00001/../../y", "../x", "ZF00001\x1B[2J\x07"}) {
        LanFault fault;
        fault.op = Op::CfReadRange;
        fault.kind = LanFault::Kind::HostileName;
        fault.name = name;
        server->AddFault(fault);
    }
    const std::string folder = Folder("pc");
    Traced<CCfReceiveMtoM> receive;
    EXPECT_EQ(Run(receive, folder), msg::kCfInvalidName);
    EXPECT_TRUE(receive.Reached(39) && receive.Reached(40));
    const std::vector<std::string> lines = view.Lines();
    for (const char* shown : {"ZI00001/../../y", "../x", "ZF00001\\x1B[2J\\x07"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            Format(GetString(msg::kCfNameLeftOut).c_str(), shown)),
                  lines.end())
            << shown << ::testing::PrintToString(lines);
    }
    EXPECT_EQ(lines.back(), GetString(msg::kCfInvalidName));
    // Every file of the card arrived; nothing else was written anywhere.
    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(program.path())) {
        const std::string relative = fs::relative(e.path(), program.path()).string();
        if (e.is_regular_file() && relative.rfind("pc/", 0) == 0) {
            const auto bytes = card.find(e.path().filename().string());
            ASSERT_NE(bytes, card.end()) << relative;
            EXPECT_EQ(program.Read(relative),
                      std::string(bytes->second.begin(), bytes->second.end()));
            ++files;
        } else {
            EXPECT_TRUE(e.is_directory() || relative.find('/') == std::string::npos) << relative;
        }
    }
    EXPECT_EQ(files, card.size());
}

TEST_F(CfMtoMTest, ReceiveRefusesACategoryFolderThatIsALink) {
    Start();
    const std::string folder = Folder("pc");
    const std::string elsewhere = Folder("elsewhere");
    for (const char* sub : {"file", "log", "trend", "capture", "alarm", "Sram"}) {
        fs::create_directories(fs::path(folder) / sub);
    }
    fs::create_directory_symlink(elsewhere, fs::path(folder) / "data");
    Traced<CCfReceiveMtoM> receive;
    EXPECT_EQ(Run(receive, folder), msg::kFileWrite);
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

}  // namespace
}  // namespace kz::test
