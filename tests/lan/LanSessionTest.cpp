// The LAN library through the binding, against the LAN panel simulator: identity, password,
// loader, hardware data and memory, the old-loader path, early completions and faults.
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "sim/kevrosa/KevrosaWire.h"
#include "tests/lan/LanFixture.h"

namespace kz::test {
namespace {

using sim::LanFault;
namespace wire = kevrosa;

TEST_F(LanTest, IdentityPasswordAndHardwareText) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.password = "secret";
    Start(panel);
    OpenSession();

    std::vector<std::uint8_t> buffer(lan::kAdapterBufferSize, 0xEE);
    std::memcpy(buffer.data(), lan::kBelRequest, sizeof lan::kBelRequest);
    ASSERT_EQ(lib.Bel(sock, nullptr, lan::kBelIdentity, buffer.data(),
                      buffer.data() + lan::kBelAnswerOffset),
              0);
    const std::uint8_t* answer = buffer.data() + lan::kBelAnswerOffset;
    std::uint32_t core;
    std::memcpy(&core, answer + lan::kBelCoreIdOffset, 4);
    EXPECT_EQ(core, 0x8C93u);
    EXPECT_STREQ(reinterpret_cast<const char*>(answer + lan::kBelTextOffset), "KZ,8C93,V4.60");

    lan::KzFileLimit query = lan::kPasswordQueryLimit;
    int hasPassword = 0;
    lan::KzFileList list[lan::kListEntries];
    std::uint8_t bytes[lan::kListByteArea];
    ASSERT_EQ(lib.List(sock, nullptr, &query, &hasPassword, list, bytes), 0);
    EXPECT_NE(hasPassword, 0);

    auto code = [](const std::string& text) {
        std::vector<char> c(lan::kPasswordCodeSize, 10);
        for (std::size_t j = 0; j < text.size(); ++j) {
            c[j] = static_cast<char>(text[j] + 10);
        }
        c[24] = 0;
        return c;
    };
    std::uint32_t accepted = 0;
    auto wrong = code("secreT");
    EXPECT_NE(lib.Password(sock, nullptr, wrong.data(), &accepted), 0);
    EXPECT_NE(accepted, 0u);
    auto right = code("secret");
    EXPECT_EQ(lib.Password(sock, nullptr, right.data(), &accepted), 0);
    EXPECT_EQ(accepted, 0u);

    // Hardware data needs the loader.
    auto early =
        Async([&](lan::MtoMCallback cb) { return lib.ReadHardData(sock, cb, buffer.data()); });
    EXPECT_NE(early.call, lan::kResultAccepted);
    StartLoader();
    auto hw =
        Async([&](lan::MtoMCallback cb) { return lib.ReadHardData(sock, cb, buffer.data()); });
    ASSERT_EQ(hw.result, 0);
    const std::string text(reinterpret_cast<const char*>(buffer.data()));
    EXPECT_EQ(text, "0019,8C93,100000,400000,20000");
    EXPECT_EQ(std::stoul(text.substr(0, 4), nullptr, 16), text.size() - 4);
}

TEST_F(LanTest, MemoryRoundTripUpToTheRequestLimit) {
    Start();
    OpenSession();
    std::vector<std::uint8_t> out(lan::kMaxTransfer + 1);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    // Before the loader runs the panel refuses memory requests.
    auto refused = Async([&](lan::MtoMCallback cb) {
        return lib.UploadingMaintenanceTool(sock, cb, 0x400000, 16, out.data());
    });
    EXPECT_NE(refused.call, lan::kResultAccepted);
    StartLoader();

    auto write = Async([&](lan::MtoMCallback cb) {
        return lib.DownloadingMaintenanceTool(sock, cb, 0x400000, lan::kMaxTransfer, out.data());
    });
    ASSERT_EQ(write.result, 0);
    std::vector<std::uint8_t> in(lan::kMaxTransfer + 1, 0);
    auto read = Async([&](lan::MtoMCallback cb) {
        return lib.UploadingMaintenanceTool(sock, cb, 0x400000, lan::kMaxTransfer, in.data());
    });
    ASSERT_EQ(read.result, 0);
    EXPECT_TRUE(std::equal(out.begin(), out.end() - 1, in.begin()));
    EXPECT_EQ(in.back(), 0) << "the read wrote past its size";
    EXPECT_EQ(server->ReadMemory(0x400000, lan::kMaxTransfer),
              std::vector<std::uint8_t>(out.begin(), out.end() - 1));

    // One byte more than a request may carry is refused before anything is sent.
    for (bool isWrite : {true, false}) {
        const unsigned before = server->Counters().requests;
        auto tooBig = Async([&](lan::MtoMCallback cb) {
            return isWrite ? lib.DownloadingMaintenanceTool(sock, cb, 0x400000,
                                                            lan::kMaxTransfer + 1, out.data())
                           : lib.UploadingMaintenanceTool(sock, cb, 0x400000, lan::kMaxTransfer + 1,
                                                          in.data());
        });
        EXPECT_NE(tooBig.call, lan::kResultAccepted);
        EXPECT_EQ(tooBig.cause, wire::kCauseBadArgument);
        EXPECT_EQ(server->Counters().requests, before);
    }
}

// A link rate delays the panel's messages but keeps their bytes, and stopping the panel
// does not wait for an answer the slow link is still holding back.
TEST_F(LanTest, LinkRateKeepsTheBytesAndYieldsToAStop) {
    Start();
    OpenSession();
    StartLoader();
    server->SetLinkRate(100'000'000);
    std::vector<std::uint8_t> out(lan::kMaxTransfer);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(i * 13 + 1);
    }
    auto write = Async([&](lan::MtoMCallback cb) {
        return lib.DownloadingMaintenanceTool(sock, cb, 0x400000, lan::kMaxTransfer, out.data());
    });
    ASSERT_EQ(write.result, 0);
    std::vector<std::uint8_t> in(lan::kMaxTransfer, 0);
    auto read = Async([&](lan::MtoMCallback cb) {
        return lib.UploadingMaintenanceTool(sock, cb, 0x400000, lan::kMaxTransfer, in.data());
    });
    ASSERT_EQ(read.result, 0);
    EXPECT_EQ(in, out);

    // At 500 bytes/s the request and its acceptance pass in a tenth of a second; the answer
    // would take over a minute. The stop must not wait for it (30 s is only a safety net).
    server->SetLinkRate(500);
    ASSERT_EQ(lib.UploadingMaintenanceTool(sock, &Completions::Callback, 0x400000,
                                           lan::kMaxTransfer, in.data()),
              lan::kResultAccepted);
    auto stopped = std::async(std::launch::async, [&] { server->Stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the stop waited for the slow link";
    const auto [result, cause] = done.Next();
    EXPECT_NE(result, 0);
    EXPECT_EQ(cause, wire::kCauseConnection);
}

TEST_F(LanTest, OldPanelNeedsTheExtensionAndAColdRestart) {
    sim::PanelDescription panel = sim::DemoPanel();
    panel.lanVersion = "V4.50";
    Start(panel);
    OpenSession();
    StartLoader();
    std::vector<std::uint8_t> in(16);
    auto read = [&] {
        return Async([&](lan::MtoMCallback cb) {
            return lib.UploadingMaintenanceTool(sock, cb, 0, 16, in.data());
        });
    };
    EXPECT_NE(read().call, lan::kResultAccepted);

    std::vector<std::uint8_t> block(300, 0x5A);
    for (std::uint16_t n = 0; n < 2; ++n) {
        ASSERT_EQ(Async([&](lan::MtoMCallback cb) {
                      return lib.ExtendProgramDownloading(sock, cb, lan::kExtensionProgram, n, 300,
                                                          block.data());
                  }).result,
                  0);
    }
    ASSERT_EQ(Async([&](lan::MtoMCallback cb) {
                  return lib.ExtendProgramDownloading(sock, cb, lan::kExtensionProgram, 0, 0,
                                                      nullptr);
              }).result,
              0);
    ASSERT_EQ(Async([&](lan::MtoMCallback cb) { return lib.ColdRest(sock, cb); }).result, 0);

    // The restart ended the session; a new one needs the loader once more.
    CloseSession();
    OpenSession();
    EXPECT_NE(read().call, lan::kResultAccepted);
    StartLoader();
    EXPECT_EQ(read().result, 0);
    EXPECT_EQ(server->Counters().coldRestarts, 1u);
    EXPECT_EQ(server->Counters().loaderStarts, 2u);
}

TEST_F(LanTest, CompletionMayArriveBeforeTheAcceptingCallReturns) {
    Start();
    server->AddFault(Fault(wire::Op::Begin, LanFault::Kind::Early));
    OpenSession();
    auto begin = Async([&](lan::MtoMCallback cb) { return lib.Communication(sock, cb); });
    EXPECT_EQ(begin.call, lan::kResultAccepted);
    EXPECT_EQ(begin.result, 0);
    EXPECT_TRUE(done.SawCompletionBeforeReturn());
    // The session goes on normally afterwards.
    EXPECT_EQ(Async([&](lan::MtoMCallback cb) { return lib.Quit(sock, cb); }).result, 0);
}

struct FaultCase {
    const char* name;
    LanFault::Kind kind;
    std::uint32_t cause;
    int call;            // expected result of the accepting call
    int result;          // expected completion result; -1: none comes (or none is due)
    std::uint32_t seen;  // expected m_dwErrorCode
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class LanFaultTest : public LanTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LanFaultTest, ReadRequestMeetsTheFault) {
    const FaultCase& c = GetParam();
    Start();
    LanFault fault = Fault(wire::Op::Read, c.kind);
    fault.cause = c.cause;
    fault.delay = std::chrono::milliseconds(200);
    server->AddFault(fault);
    OpenSession();
    StartLoader();
    std::vector<std::uint8_t> in(lan::kMaxTransfer);
    const Outcome o = Async([&](lan::MtoMCallback cb) {
        done.callReturned = true;
        const int r = lib.UploadingMaintenanceTool(sock, cb, 0, lan::kMaxTransfer, in.data());
        if (c.kind == LanFault::Kind::Never && r == lan::kResultAccepted) {
            // No completion will come: give the request up instead of waiting.
            lib.CancelMtoM(sock);
            return -2;
        }
        return r;
    });
    EXPECT_EQ(o.call, c.kind == LanFault::Kind::Never ? -2 : c.call);
    if (c.call == lan::kResultAccepted && c.result >= 0) {
        EXPECT_EQ(o.result, c.result);
    }
    EXPECT_EQ(o.cause, c.seen);
    if (c.kind == LanFault::Kind::Late) {
        EXPECT_EQ(in, server->ReadMemory(0, lan::kMaxTransfer));
    }
    // After a lost connection nothing is accepted any more; otherwise the session goes on.
    const bool lost = c.kind == LanFault::Kind::Drop;
    const Outcome next = Async([&](lan::MtoMCallback cb) { return lib.Quit(sock, cb); });
    EXPECT_EQ(next.call == lan::kResultAccepted, !lost);
    if (!lost) {
        EXPECT_EQ(next.result, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LanFaultTest,
    ::testing::Values(FaultCase{"Refused", LanFault::Kind::Refuse, 0x77, 2, -1, 0x77},
                      FaultCase{"FailedWithCardError", LanFault::Kind::Fail, lan::kErrorCardRead, 1,
                                2, lan::kErrorCardRead},
                      FaultCase{"NeverCompleted", LanFault::Kind::Never, 0, 1, -1, 0},
                      FaultCase{"CompletedLate", LanFault::Kind::Late, 0, 1, 0, 0},
                      FaultCase{"ConnectionDropped", LanFault::Kind::Drop, 0, 1, 2,
                                wire::kCauseConnection}),
    [](const auto& info) { return std::string(info.param.name); });

// A request accepted and never completed fails once the panel has been silent for the
// answer wait (shortened here); the session goes on.
TEST_F(LanTest, AnAnswerThatNeverComesFailsTheRequest) {
    Start();
    server->AddFault(Fault(wire::Op::Read, LanFault::Kind::Never));
    // Read when the socket is made.
    ::setenv("KEVROSA_ANSWER_WAIT_MS", "200", 1);
    OpenSession();
    ::unsetenv("KEVROSA_ANSWER_WAIT_MS");
    StartLoader();
    std::vector<std::uint8_t> in(16);
    const Outcome read = Async([&](lan::MtoMCallback cb) {
        return lib.UploadingMaintenanceTool(sock, cb, 0x400000, 16, in.data());
    });
    EXPECT_EQ(read.call, lan::kResultAccepted);
    EXPECT_EQ(read.result, 2);
    EXPECT_EQ(read.cause, wire::kCauseTimeout);
    EXPECT_EQ(Async([&](lan::MtoMCallback cb) { return lib.Quit(sock, cb); }).result, 0);
}

struct CancelCase {
    const char* name;
    wire::Op op;
    LanFault::Kind kind;
};

class CancelTest : public LanTest, public ::testing::WithParamInterface<CancelCase> {};

// CancelMtoM from another thread ends a call that waits for the panel at once, with the
// cause kCauseCancelled (the library itself would wait 10 s).
TEST_P(CancelTest, EndsACallThatWaitsForThePanel) {
    const CancelCase& c = GetParam();
    Start();
    server->AddFault(Fault(c.op, c.kind));
    sock = lib.CreateMtoMSocket(lan::kSocketKind);
    ASSERT_NE(sock, nullptr);
    lan::SetUserPointer(sock, &done);
    const unsigned before = server->Counters().requests;
    const bool opens = c.op == wire::Op::Open;
    std::thread canceller([&] {
        // The request has reached the panel: the call waits for its answer.
        while (server->Counters().requests < before + (opens ? 1 : 2)) {
            std::this_thread::yield();
        }
        lib.CancelMtoM(sock);
    });
    int call;
    if (opens) {
        call = lib.OpenMtoMLAN(sock, nullptr, server->Endpoint().c_str());
    } else {
        ASSERT_EQ(lib.OpenMtoMLAN(sock, nullptr, server->Endpoint().c_str()), 0);
        lan::KzFileLimit query = lan::kPasswordQueryLimit;
        int hasPassword = 0;
        lan::KzFileList list[lan::kListEntries];
        std::uint8_t bytes[lan::kListByteArea];
        call = c.op == wire::Op::Begin ? lib.Communication(sock, &Completions::Callback)
                                       : lib.List(sock, nullptr, &query, &hasPassword, list, bytes);
    }
    canceller.join();
    EXPECT_NE(call, lan::kResultSuccess);
    EXPECT_NE(call, lan::kResultAccepted);
    EXPECT_EQ(lan::ErrorCode(sock), wire::kCauseCancelled);
    EXPECT_EQ(done.Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, CancelTest,
    ::testing::Values(CancelCase{"OpenNeverAccepted", wire::Op::Open, LanFault::Kind::Silent},
                      CancelCase{"OpenNeverCompleted", wire::Op::Open, LanFault::Kind::Never},
                      CancelCase{"AcceptanceNeverComes", wire::Op::Begin, LanFault::Kind::Silent},
                      CancelCase{"SynchronousAnswerNeverComes", wire::Op::PasswordQuery,
                                 LanFault::Kind::Never}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LanTest, LibraryMissingAFunctionAnswers128) {
    Start(sim::DemoPanel(), KZ_KEVROSA_WITHOUT_QUIT_FILE);
    EXPECT_FALSE(lib.Has(lan::Function::Quit));
    EXPECT_TRUE(lib.Has(lan::Function::Communication));
    OpenSession();
    EXPECT_EQ(Async([&](lan::MtoMCallback cb) { return lib.Communication(sock, cb); }).result, 0);
    EXPECT_EQ(lib.Quit(sock, &Completions::Callback), lan::kResultMissing);

    // Without any library every call answers the same, and no socket is made.
    CloseSession();
    lib.Unload();
    EXPECT_EQ(lib.CreateMtoMSocket(lan::kSocketKind), nullptr);
    EXPECT_EQ(lib.OpenMtoMLAN(nullptr, nullptr, "127.0.0.1"), lan::kResultMissing);
    EXPECT_EQ(lib.SetTransitionType(nullptr, lan::kTransitionSearch), 128u);
    std::filesystem::remove(program.path() / lan::kLibraryFile);
    EXPECT_FALSE(lib.Load());
}

TEST_F(LanTest, LibraryIsLoadedAgainForEachSession) {
    Start();
    for (int session = 0; session < 3; ++session) {
        OpenSession();
        EXPECT_EQ(Async([&](lan::MtoMCallback cb) { return lib.Communication(sock, cb); }).result,
                  0);
        CloseSession();
        lib.Unload();
        ASSERT_TRUE(lib.Load());
    }
    EXPECT_EQ(server->Counters().connections, 3u);
}

TEST(LanPanelDescription, VersionKeySelectsTheOldLoaderPath) {
    sim::PanelDescription d;
    ASSERT_TRUE(sim::ParsePanelDescription("[panel]\ncoreid = 8C93\nlanversion = V4.50\n", d));
    EXPECT_EQ(d.lanVersion, "V4.50");
    EXPECT_EQ(sim::DemoPanel().lanVersion, "V4.60");
}

TEST(LanFaultText, ParsesWhatTheSimulatorIsToldOnItsCommandLine) {
    auto f = sim::ParseLanFault("Read:fail:46");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->op, wire::Op::Read);
    EXPECT_EQ(f->kind, LanFault::Kind::Fail);
    EXPECT_EQ(f->cause, 0x46u);
    f = sim::ParseLanFault("write:late:250");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->delay, std::chrono::milliseconds(250));
    f = sim::ParseLanFault("Identity:silent");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, LanFault::Kind::Silent);
    f = sim::ParseLanFault("cfreadrange:hostile:../a:b");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->name, "../a:b");
    for (const char* bad :
         {"read", "reed:fail", "read:bogus", "read:fail:xyz", "read:late", "read:late:-1",
          "read:drop:5", "read:silent:1", "read:hostile:x", "cfreadrange:hostile"}) {
        std::string error;
        EXPECT_FALSE(sim::ParseLanFault(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
}  // namespace kz::test
