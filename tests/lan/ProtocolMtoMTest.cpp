// The LAN adapter's entries, driven by a small step table against the real library file and
// the LAN panel simulator: identity and the two loader paths, the password, memory through
// several requests, aborts, faults of the library and the node search.
#include "lan/ProtocolMtoM.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <thread>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "support/RecordingView.h"
#include "support/TestFolder.h"
#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

using sim::LanFault;
using Op = kevrosa::Op;

// An operation made of whatever steps the test lists. An error sends the walk to closeAt
// (when it lies ahead); the end of the table posts WM_OPERATION_COMPLETE.
class MtoMRunner : public CProtocolMtoM {
  public:
    using Step = std::function<bool(MtoMRunner&, int nEvent)>;
    ~MtoMRunner() override { Shutdown(); }

    bool Diapatcher(int nEvent) override {
        while (m_nPhase < static_cast<int>(steps.size())) {
            if (!steps[static_cast<std::size_t>(m_nPhase)](*this, nEvent)) {
                return false;
            }
            nEvent = EVENT_NONE;
            m_nPhase = m_nError != 0 && m_nPhase < closeAt ? closeAt : m_nPhase + 1;
        }
        if (!finished) {
            finished = true;
            PostComplete();
        }
        return false;
    }

    std::vector<Step> steps;
    int closeAt = 1000;
    bool finished = false;
    std::vector<std::uint8_t> Received() const {
        return {m_pchBuff.get(), m_pchBuff.get() + m_dwRecvLength};
    }

    using CProtocolMtoM::m_bHardwareKnown;
    using CProtocolMtoM::m_bOldLoader;
    using CProtocolMtoM::m_csHardware;
    using CProtocolMtoM::m_csLoaderName;
    using CProtocolMtoM::m_csSupportName;
    using CProtocolMtoM::m_dwFRomSize;
    using CProtocolMtoM::m_dwRequestAddress;
    using CProtocolMtoM::m_dwRequestSize;
    using CProtocolMtoM::m_dwSRamSize;
    using CProtocolMtoM::m_dwWriteAddress;
    using CProtocolMtoM::m_dwWriteSize;
    using CProtocolMtoM::m_pchWriteSource;
};

MtoMRunner::Step Entry(bool (CProtocolMtoM::*entry)(int)) {
    return [entry](MtoMRunner& r, int nEvent) { return (r.*entry)(nEvent); };
}

// Picks the first node offered, or cancels when there is none.
class FirstNode : public INodeChooser {
  public:
    bool ChooseNode(const std::vector<std::string>& nodes, std::string* address) override {
        offered = nodes;
        if (nodes.empty()) {
            return false;
        }
        *address = nodes.front();
        return true;
    }
    std::vector<std::string> offered;
};

class AdapterTest : public LanTest {
  protected:
    AdapterTest() {
        std::vector<std::uint8_t> loader = {0x00, 0x10, 0x00, 0x00, 'S', 'L', 'D', 'R'};
        program.Write("SLOADER.BIN", std::string(loader.begin(), loader.end()));
        std::string extension(lan::kExtensionHeader, 'H');
        extension += std::string("\x02\x00", 2);
        for (const std::string block : {"first block", "second"}) {
            const auto n = static_cast<std::uint32_t>(block.size());
            extension.append(reinterpret_cast<const char*>(&n), 4);
            extension += block;
        }
        program.Write(lan::kExtensionFile, extension);
        runner.SetView(&view);
        runner.SetPrompt(&view);
        runner.m_csLoaderName = "SLOADER.BIN";
    }

    void Begin(sim::PanelDescription panel = sim::DemoPanel(),
               const std::string& libraryFile = KZ_KEVROSA_FILE) {
        Start(std::move(panel), libraryFile);
        runner.SetNodeAddress(server->Endpoint());
    }

    // Runs the steps until the run has posted WM_OPERATION_COMPLETE.
    void Run(std::vector<MtoMRunner::Step> steps) {
        runner.steps = std::move(steps);
        runner.PostEvent(EVENT_NONE);
        ASSERT_TRUE(view.WaitComplete());
        runner.WaitIdle();
    }

    // Identity, loader and hardware: what every memory operation starts with.
    std::vector<MtoMRunner::Step> Connected() {
        return {Entry(&CProtocolMtoM::ReadID), Entry(&CProtocolMtoM::DownloadSLOADER),
                Entry(&CProtocolMtoM::ReadHW_Entry)};
    }

    int Lines(int id) {
        const auto lines = view.Lines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), GetString(id)));
    }

    // The request time-outs of KZMNT.INI, in seconds.
    void WriteTimeouts(int read, int write) {
        IniText ini;
        ini.Section("CONFIG").Key("ReadTimeout", read).Key("WriteTimeout", write);
        program.Write("KZMNT.INI", ini.str());
    }

    // Starts steps and posts an abort once the panel has received `requests` requests
    // (the last of them is then the one a library call waits on).
    void RunAbortingAfter(std::vector<MtoMRunner::Step> steps, unsigned requests) {
        runner.steps = std::move(steps);
        runner.PostEvent(EVENT_NONE);
        while (server->Counters().requests < requests) {
            std::this_thread::yield();
        }
        runner.PostEvent(EVENT_ABORT);
        ASSERT_TRUE(view.WaitComplete());
        runner.WaitIdle();
    }

    platform::ScaledClock clock{20};
    platform::ScopedClock clockGuard{clock};
    RecordingView view;
    MtoMRunner runner;
};

// ---- identity and the two loader paths -----------------------------------------------------

struct LoaderCase {
    const char* version;
    const char* coreId;
    const char* coreText;
    const char* autoName;
    bool oldLoader;
};

class LoaderPathTest : public AdapterTest, public ::testing::WithParamInterface<LoaderCase> {};

TEST_P(LoaderPathTest, IdentifiesAndStartsTheLoader) {
    const LoaderCase& c = GetParam();
    sim::PanelDescription panel = sim::DemoPanel();
    panel.lanVersion = c.version;
    panel.coreId = c.coreId;
    Begin(panel);
    Run(Connected());

    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(runner.m_csCoreID, c.coreText);
    EXPECT_EQ(runner.m_csAutoName, c.autoName);
    EXPECT_FALSE(runner.m_bOldLoader);  // cleared by the reconnection on the old path
    EXPECT_TRUE(runner.m_bHardwareKnown);
    EXPECT_EQ(runner.m_dwFRomSize, panel.fromSize);
    EXPECT_EQ(runner.m_dwSRamSize, panel.sramSize);
    const sim::LanCounters n = server->Counters();
    EXPECT_EQ(n.loaderDownloads, c.oldLoader ? 2u : 1u);
    EXPECT_EQ(n.extensionBlocks, c.oldLoader ? 2u : 0u);
    EXPECT_EQ(n.coldRestarts, c.oldLoader ? 1u : 0u);
    EXPECT_EQ(n.connections, c.oldLoader ? 2u : 1u);
    EXPECT_EQ(std::count(view.asked.begin(), view.asked.end(), msg::kReturnOnline),
              c.oldLoader ? 1 : 0);
    EXPECT_EQ(Lines(msg::kCoreIdCheck), 1);
    EXPECT_EQ(Lines(msg::kSloaderTransmission), 1);
}

INSTANTIATE_TEST_SUITE_P(Versions, LoaderPathTest,
                         ::testing::Values(LoaderCase{"V4.60", "8C93", "8C93", "8013", false},
                                           LoaderCase{"V4.51", "0123", " 123", " 123", false},
                                           LoaderCase{"V4.50", "8C93", "8C93", "8013", true},
                                           LoaderCase{"V3.99", "0123", " 123", " 123", true}));

TEST_F(AdapterTest, MissingLoaderFileEndsWith4003) {
    Begin();
    runner.m_csLoaderName = "NOSUCH.BIN";
    Run(Connected());
    EXPECT_EQ(runner.m_nError, msg::kIloaderRead);
    EXPECT_EQ(server->Counters().loaderDownloads, 0u);
}

TEST_F(AdapterTest, ExtensionProgramShorterThanItsBlockCountEndsWith4003) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.lanVersion = "V4.50";
    Begin(panel);
    // Three blocks announced, one present: the blocks it holds go out, then the run stops.
    std::string extension(lan::kExtensionHeader, 'H');
    extension += std::string("\x03\x00", 2);
    const std::uint32_t n = 5;
    extension.append(reinterpret_cast<const char*>(&n), 4);
    extension += "block";
    program.Write(lan::kExtensionFile, extension);
    Run(Connected());
    EXPECT_EQ(runner.m_nError, msg::kIloaderRead);
    const sim::LanCounters counters = server->Counters();
    EXPECT_EQ(counters.extensionBlocks, 1u);
    EXPECT_EQ(counters.coldRestarts, 0u);
}

// Without a loadable library every request fails as if the panel were off; the status list
// says what is really missing: no file at all, or a file that is no library.
class LibraryNotLoadedTest : public AdapterTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LibraryNotLoadedTest, TheReasonIsAStatusLine) {
    const bool present = GetParam();
    Begin();
    lib.Unload();
    std::filesystem::remove(program.path() / lan::kLibraryFile);
    if (present) {
        program.Write(lan::kLibraryFile, "not a library");
    }
    Run({Entry(&CProtocolMtoM::ReadID)});
    EXPECT_EQ(runner.m_nError, msg::kCheckPower);
    const std::string prefix = "    The LAN library could not be loaded: ";
    const auto lines = view.Lines();
    const auto named = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(prefix, 0) == 0;
    });
    ASSERT_NE(named, lines.end());
    // A copy that is there but broken is the one named, not the search path's failure.
    EXPECT_EQ(named->find(program.str()) != std::string::npos, present) << *named;
}

INSTANTIATE_TEST_SUITE_P(Lan, LibraryNotLoadedTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Broken" : "Missing"; });

// ---- password ------------------------------------------------------------------------------

struct PasswordCase {
    std::vector<std::string> typed;
    bool answerOk;  // the answer to "The password is wrong. Please input again."
    int error;
    int requests;
};

class PasswordTest : public AdapterTest, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(PasswordTest, AsksUntilAcceptedRefusedOrCancelled) {
    const PasswordCase& c = GetParam();
    sim::PanelDescription panel = sim::DemoPanel();
    panel.password = "secret";
    Begin(panel);
    auto typed = std::make_shared<std::vector<std::string>>(c.typed);
    view.onMessage = [this, typed](unsigned msg, std::uintptr_t) {
        if (msg == WM_PASSWORD_REQUEST) {
            runner.m_csPassword = typed->empty() ? "" : typed->front();
            if (!typed->empty()) {
                typed->erase(typed->begin());
            }
        }
    };
    view.answerOk = c.answerOk;
    Run({Entry(&CProtocolMtoM::Password)});
    EXPECT_EQ(runner.m_nError, c.error);
    EXPECT_EQ(view.Count(WM_PASSWORD_REQUEST), c.requests);
    if (c.error == msg::kPasswordRetry) {
        EXPECT_EQ(view.asked, (std::vector<int>{msg::kPasswordWrong, msg::kPasswordWrong,
                                                msg::kPasswordRetry}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PasswordTest,
    ::testing::Values(PasswordCase{{"secret"}, true, 0, 1},
                      PasswordCase{{"wrong", "secret"}, true, 0, 2},
                      PasswordCase{{"a", "b", "c", "secret"}, true, msg::kPasswordRetry, 3},
                      PasswordCase{{"wrong"}, false, msg::kAborted, 1},
                      PasswordCase{{""}, true, msg::kAborted, 1}));

TEST_F(AdapterTest, PanelWithoutPasswordAsksNothing) {
    Begin();
    Run({Entry(&CProtocolMtoM::Password)});
    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(view.Count(WM_PASSWORD_REQUEST), 0);
}

// ---- memory ------------------------------------------------------------------------------------

TEST_F(AdapterTest, WritesAndReadsBackInPiecesOfTheRequestLimit) {
    Begin();
    // The second read's completion comes before its acceptance.
    LanFault early = Fault(Op::Read, LanFault::Kind::Early);
    early.skip = 1;
    server->AddFault(early);
    std::vector<std::uint8_t> data(0x18000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    }
    runner.m_dwWriteAddress = 0x400000;
    runner.m_dwWriteSize = static_cast<std::uint32_t>(data.size());
    runner.m_pchWriteSource = data.data();
    std::vector<std::uint8_t> read;
    auto steps = Connected();
    steps.push_back(Entry(&CProtocolMtoM::WriteData));
    for (std::uint32_t offset = 0; offset < data.size(); offset += lan::kMaxTransfer) {
        steps.push_back([offset](MtoMRunner& r, int) {
            r.m_dwRequestAddress = 0x400000 + offset;
            r.m_dwRequestSize = lan::kMaxTransfer;
            return true;
        });
        steps.push_back(Entry(&CProtocolMtoM::ReadData_Entry));
        steps.push_back([&read](MtoMRunner& r, int) {
            const auto got = r.Received();
            read.insert(read.end(), got.begin(), got.end());
            return true;
        });
    }
    steps.push_back(Entry(&CProtocolMtoM::Quit_Entry));
    Run(steps);

    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(server->Counters().writes, 3u);
    EXPECT_EQ(server->Counters().reads, 3u);
    EXPECT_EQ(server->ReadMemory(0x400000, 0x18000), data);
    EXPECT_EQ(read, data);
}

TEST_F(AdapterTest, AbortDuringAReadEndsWith4001) {
    Begin();
    LanFault never = Fault(Op::Read, LanFault::Kind::Never);
    server->AddFault(never);
    runner.m_dwRequestAddress = 0x400000;
    runner.m_dwRequestSize = 0x100;
    auto steps = Connected();
    // Queued now, the abort reaches the read once its request is outstanding.
    steps.push_back([](MtoMRunner& r, int) {
        r.PostEvent(EVENT_ABORT);
        return true;
    });
    steps.push_back(Entry(&CProtocolMtoM::ReadData_Entry));
    steps.push_back([](MtoMRunner& r, int) {
        r.m_nError = -1;  // never reached: the abort redirects to the closing step
        return true;
    });
    steps.push_back(Entry(&CProtocolMtoM::Reset_Entry));
    runner.closeAt = static_cast<int>(steps.size()) - 1;
    Run(steps);
    EXPECT_EQ(runner.m_nError, msg::kAborted);
    EXPECT_EQ(server->Counters().coldRestarts, 1u);
}

// ---- the CF operations' session ------------------------------------------------------------

TEST_F(AdapterTest, ConnectsAndAsksForCardSupport) {
    Begin();
    Run({Entry(&CProtocolMtoM::Connect), Entry(&CProtocolMtoM::Support_Entry),
         Entry(&CProtocolMtoM::Quit_Entry)});
    EXPECT_EQ(runner.m_nError, 0);
    EXPECT_EQ(server->Counters().connections, 1u);
}

TEST_F(AdapterTest, UnsupportedNameEndsWith5003) {
    Begin();
    runner.m_csSupportName = "USB-MEMORY   ";
    Run({Entry(&CProtocolMtoM::Connect), Entry(&CProtocolMtoM::Support_Entry)});
    EXPECT_EQ(runner.m_nError, msg::kNoCfModel);
}

// ---- failures of the library and the panel ----------------------------------------------------

struct FaultCase {
    const char* name;
    Op op;
    LanFault::Kind kind;
    int error;
    bool runEnded;  // the transfer entry posted the completion itself
};

class FaultTest : public AdapterTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EndsAsTheEntryPrescribes) {
    const FaultCase& c = GetParam();
    Begin();
    server->AddFault(Fault(c.op, c.kind));
    runner.m_dwRequestAddress = 0x400000;
    runner.m_dwRequestSize = 0x100;
    bool afterReadRan = false;
    auto steps = Connected();
    steps.push_back(Entry(&CProtocolMtoM::ReadData_Entry));
    steps.push_back([&afterReadRan](MtoMRunner&, int) {
        afterReadRan = true;
        return true;
    });
    steps.push_back(Entry(&CProtocolMtoM::Reset_Entry));
    runner.closeAt = static_cast<int>(steps.size()) - 1;
    Run(steps);
    runner.WaitIdle();
    EXPECT_EQ(runner.m_nError, c.error);
    EXPECT_EQ(runner.finished, !c.runEnded);
    EXPECT_FALSE(afterReadRan && c.error != 0);
    EXPECT_EQ(view.Count(WM_OPERATION_COMPLETE), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"CommunicationRefused", Op::Begin, LanFault::Kind::Refuse, msg::kCheckPower,
                  false},
        FaultCase{"CommunicationFailed", Op::Begin, LanFault::Kind::Fail, msg::kCheckPower, false},
        FaultCase{"LoaderRefused", Op::LoaderDownload, LanFault::Kind::Refuse, msg::kCheckPower,
                  false},
        FaultCase{"ReadFailed", Op::Read, LanFault::Kind::Fail, msg::kCheckPower, true},
        FaultCase{"ReadDropped", Op::Read, LanFault::Kind::Drop, msg::kCheckPower, true},
        FaultCase{"HardwareFailed", Op::HardData, LanFault::Kind::Fail, msg::kCheckPower, true},
        // The closing restart that never completes still lets the run end.
        FaultCase{"RestartNeverCompletes", Op::ColdRestart, LanFault::Kind::Never, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- requests the panel never answers ------------------------------------------------------

struct TimeoutCase {
    const char* name;
    Op op;
    LanFault::Kind kind;
    int lateMs;  // Late only (real time)
    int readTimeout;
    int writeTimeout;
    int error;
};

class RequestTimeoutTest : public AdapterTest, public ::testing::WithParamInterface<TimeoutCase> {};

// ReadTimeout bounds the commands, WriteTimeout the data blocks (1 s or 60 s). A request
// that is not answered in time ends its entry with "Time Out...", and the closing step still
// runs (the run is not ended by the entry itself).
TEST_P(RequestTimeoutTest, EndsWithTimeOutAndTheClosingStep) {
    const TimeoutCase& c = GetParam();
    Begin();
    WriteTimeouts(c.readTimeout, c.writeTimeout);
    LanFault fault = Fault(c.op, c.kind);
    fault.delay = std::chrono::milliseconds(c.lateMs);
    server->AddFault(fault);
    std::vector<std::uint8_t> data(0x100, 0x5A);
    runner.m_dwWriteAddress = 0x400000;
    runner.m_dwWriteSize = static_cast<std::uint32_t>(data.size());
    runner.m_pchWriteSource = data.data();
    runner.m_dwRequestAddress = 0x400000;
    runner.m_dwRequestSize = 0x100;
    auto steps = Connected();
    steps.push_back(Entry(&CProtocolMtoM::WriteData));
    steps.push_back(Entry(&CProtocolMtoM::ReadData_Entry));
    steps.push_back(Entry(&CProtocolMtoM::Reset_Entry));
    runner.closeAt = static_cast<int>(steps.size()) - 1;
    Run(steps);
    EXPECT_EQ(runner.m_nError, c.error);
    EXPECT_TRUE(runner.finished) << "the entry ended the run itself";
    EXPECT_EQ(server->Counters().coldRestarts, 1u);
    EXPECT_EQ(view.Count(WM_OPERATION_COMPLETE), 1);
}

constexpr auto kNever = LanFault::Kind::Never;
constexpr auto kLate = LanFault::Kind::Late;

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestTimeoutTest,
    ::testing::Values(TimeoutCase{"Communication", Op::Begin, kNever, 0, 1, 60, msg::kTimeOut},
                      TimeoutCase{"Loader", Op::LoaderDownload, kNever, 0, 60, 1, msg::kTimeOut},
                      TimeoutCase{"LoaderStart", Op::LoaderStart, kNever, 0, 1, 60, msg::kTimeOut},
                      TimeoutCase{"Hardware", Op::HardData, kNever, 0, 1, 60, msg::kTimeOut},
                      TimeoutCase{"Write", Op::Write, kNever, 0, 60, 1, msg::kTimeOut},
                      TimeoutCase{"Read", Op::Read, kNever, 0, 1, 60, msg::kTimeOut},
                      TimeoutCase{"ReadPastReadTimeout", Op::Read, kLate, 1000, 1, 60,
                                  msg::kTimeOut},
                      // Each kind has its own time-out: a late answer within it is no time-out.
                      TimeoutCase{"ReadWithinReadTimeout", Op::Read, kLate, 300, 60, 1, 0},
                      TimeoutCase{"WriteWithinWriteTimeout", Op::Write, kLate, 300, 1, 60, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- an abort while a library call waits ---------------------------------------------------

struct AbortCase {
    const char* name;
    Op op;
    LanFault::Kind kind;
    unsigned requests;  // requests the panel has received when the abort comes
};

class AbortDuringCallTest : public AdapterTest, public ::testing::WithParamInterface<AbortCase> {};

// The abort cuts the waiting call short and the run ends as aborted, not with the failure
// of the cut call (the library would wait 10 s for these answers).
TEST_P(AbortDuringCallTest, EndsAsAborted) {
    const AbortCase& c = GetParam();
    Begin();
    server->AddFault(Fault(c.op, c.kind));
    RunAbortingAfter({Entry(&CProtocolMtoM::Password), Entry(&CProtocolMtoM::ReadID)}, c.requests);
    EXPECT_EQ(runner.m_nError, msg::kAborted);
}

constexpr auto kSilent = LanFault::Kind::Silent;

INSTANTIATE_TEST_SUITE_P(Calls, AbortDuringCallTest,
                         ::testing::Values(AbortCase{"OpenNeverCompleted", Op::Open, kNever, 1},
                                           AbortCase{"OpenNeverAccepted", Op::Open, kSilent, 1},
                                           AbortCase{"PasswordQuery", Op::PasswordQuery, kNever, 2},
                                           AbortCase{"CommunicationNeverAccepted", Op::Begin,
                                                     kSilent, 4},
                                           AbortCase{"Identity", Op::Identity, kNever, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, AbortBeforeTheSessionOpensOpensNone) {
    Begin();
    RunAbortingAfter({[](MtoMRunner& r, int) {
                          r.PostEvent(EVENT_ABORT);
                          return true;
                      },
                      Entry(&CProtocolMtoM::Password), Entry(&CProtocolMtoM::ReadID)},
                     0);
    EXPECT_EQ(runner.m_nError, msg::kAborted);
    EXPECT_EQ(server->Counters().connections, 0u);
}

// ---- libraries that lack functions ----------------------------------------------------------

struct LibraryCase {
    const char* name;
    const char* file;
    const char* missing;  // null: the library is complete
    int error;
};

class IncompleteLibraryTest : public AdapterTest,
                              public ::testing::WithParamInterface<LibraryCase> {};

// The run ends as it would anyway; the status list names the library and what it lacks,
// once however many sessions the run opens.
TEST_P(IncompleteLibraryTest, NamesTheFirstMissingFunction) {
    const LibraryCase& c = GetParam();
    Begin(sim::DemoPanel(), c.file);
    Run({Entry(&CProtocolMtoM::Password), Entry(&CProtocolMtoM::ReadID)});
    EXPECT_EQ(runner.m_nError, c.error);
    const std::string path = platform::ProgramFolder() + lan::kLibraryFile;
    const auto lines = view.Lines();
    const auto named = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("lacks the function") != std::string::npos;
    });
    if (c.missing == nullptr) {
        EXPECT_EQ(named, 0);
        return;
    }
    EXPECT_EQ(named, 1);
    const std::string line =
        Format(GetString(msg::kLanLibraryIncomplete).c_str(), path.c_str(), c.missing);
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
        << ::testing::PrintToString(lines);
}

INSTANTIATE_TEST_SUITE_P(Libraries, IncompleteLibraryTest,
                         ::testing::Values(LibraryCase{"Complete", KZ_KEVROSA_FILE, nullptr, 0},
                                           LibraryCase{"WithoutQuit", KZ_KEVROSA_WITHOUT_QUIT_FILE,
                                                       "MtoMDLE_Quit", 0},
                                           LibraryCase{"Partial", KZ_KEVROSA_PARTIAL_FILE,
                                                       "MtoMDLE_Bel", msg::kCheckPower}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterTest, LibraryWithoutQuitEndsWith4000) {
    Begin(sim::DemoPanel(), KZ_KEVROSA_WITHOUT_QUIT_FILE);
    auto steps = Connected();
    steps.push_back(Entry(&CProtocolMtoM::Quit_Entry));
    Run(steps);
    EXPECT_EQ(runner.m_nError, msg::kCheckPower);
    EXPECT_EQ(server->Counters().loaderStarts, 1u);
}

TEST_F(AdapterTest, NoLibraryEndsWith4000) {
    Begin();
    lib.Unload();
    std::filesystem::remove(program.path() / lan::kLibraryFile);
    Run(Connected());
    EXPECT_EQ(runner.m_nError, msg::kCheckPower);
}

// ---- node search ---------------------------------------------------------------------------

TEST_F(AdapterTest, NodeSearchOffersTheListedPanels) {
    Start();
    FirstNode chooser;
    runner.SetNodeChooser(&chooser);
    Run({Entry(&CProtocolMtoM::NodeSearch)});
    EXPECT_EQ(runner.m_nError, 0);
    // The panel serves on an ephemeral port: that port is part of what is offered and taken.
    EXPECT_EQ(chooser.offered, std::vector<std::string>{server->Endpoint()});
    EXPECT_EQ(runner.NodeAddress(), server->Endpoint());
    EXPECT_EQ(Lines(msg::kSearching), 1);
    EXPECT_EQ(Lines(msg::kSearchEnd), 1);
}

TEST_F(AdapterTest, NodeSearchFindingNothingEndsWith4001) {
    Start();
    server->Stop();
    FirstNode chooser;
    runner.SetNodeChooser(&chooser);
    Run({Entry(&CProtocolMtoM::NodeSearch)});
    EXPECT_EQ(runner.m_nError, msg::kAborted);
    EXPECT_TRUE(chooser.offered.empty());
}

}  // namespace
}  // namespace kz::test
