#include "diag/Trace.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/TraceProtocol.h"
#include "diag/TraceViewer.h"

namespace kz {
namespace {

// Every test runs in its own process; the process id keeps parallel runs apart.
std::string TestPrefix() {
    return "kztest" + std::to_string(::getpid());
}

bool ObjectExists(const std::string& name) {
    int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

int SlotObjectsLeft(const std::string& prefix) {
    int count = 0;
    for (int i = 0; i < trace::kSlotCount; ++i) {
        count += ObjectExists(trace::SlotName(prefix, i)) ? 1 : 0;
    }
    return count;
}

// Overwrites bytes of an existing control block, as a broken viewer might leave it.
void PatchControlBlock(const std::string& prefix, std::size_t offset, const void* bytes,
                       std::size_t count) {
    int fd = ::shm_open(trace::ControlBlockName(prefix).c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    void* base =
        ::mmap(nullptr, trace::kControlHeaderSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(base, MAP_FAILED);
    std::memcpy(static_cast<char*>(base) + offset, bytes, count);
    ::munmap(base, trace::kControlHeaderSize);
    ::close(fd);
}

// Creates a control block by hand (no viewer behind it).
void WriteControlBlock(const std::string& prefix, std::uint32_t id, const char* signature) {
    int fd = ::shm_open(trace::ControlBlockName(prefix).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 64), 0);
    ::close(fd);
    char header[trace::kControlHeaderSize] = {};
    std::memcpy(header, &id, sizeof(id));
    // The rest of the header is zero, so a signature that fits stays NUL-terminated.
    std::memcpy(
        header + trace::kSignatureOffset, signature,
        std::min(std::strlen(signature), trace::kControlHeaderSize - trace::kSignatureOffset - 1));
    PatchControlBlock(prefix, 0, header, sizeof(header));
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        prefix_ = TestPrefix();
        SetTraceObjectPrefix(prefix_);
    }
    void TearDown() override {
        ::shm_unlink(trace::ControlBlockName(prefix_).c_str());
        for (int i = 0; i < trace::kSlotCount; ++i) {
            ::shm_unlink(trace::SlotName(prefix_, i).c_str());
        }
        SetTraceObjectPrefix(std::string(trace::kDefaultPrefix));
    }

    // A viewer that collects every line it is handed.
    std::unique_ptr<TraceViewer> StartViewer() {
        auto viewer = std::make_unique<TraceViewer>([this](const TraceLine& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
        std::string error;
        EXPECT_TRUE(viewer->Start(&error)) << error;
        return viewer;
    }
    std::vector<TraceLine> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::string prefix_;
    std::mutex mutex_;
    std::vector<TraceLine> lines_;
};

TEST_F(TraceTest, DefaultPrefixIsTheProtocolName) {
    SetTraceObjectPrefix(std::string(trace::kDefaultPrefix));
    EXPECT_EQ(TraceObjectPrefix(), "Wendix32");
    EXPECT_EQ(trace::ControlBlockName("Wendix32"), "/Wendix32");
    EXPECT_EQ(trace::SlotName("Wendix32", 0), "/Wendix32_00");
    EXPECT_EQ(trace::SlotName("Wendix32", 99), "/Wendix32_99");
    EXPECT_EQ(trace::SocketName("Wendix32", 42), std::string("\0Wendix32.42", 12));
}

TEST_F(TraceTest, WithoutViewerNothingIsSentOrLeftBehind) {
    EXPECT_FALSE(TraceMessage("KZmnt", "CProtocol::Open()\n"));
    EXPECT_FALSE(ObjectExists(trace::ControlBlockName(prefix_)));
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

TEST_F(TraceTest, DeliversTagAndFormattedText) {
    auto viewer = StartViewer();
    EXPECT_TRUE(TraceMessage("KZmntTimeCheck", "CBackup::Initialize %x\n", 0x1a2bu));
    EXPECT_TRUE(TraceMessage("  KZmnt", "%s = [%d] , [%d]\n", "ReadData_Phase2", 3, -1));
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].tag, "KZmntTimeCheck");
    EXPECT_EQ(lines[0].text, "CBackup::Initialize 1a2b\n");
    EXPECT_EQ(lines[1].tag, "  KZmnt");
    EXPECT_EQ(lines[1].text, "ReadData_Phase2 = [3] , [-1]\n");
    // Each call gives its slot back once the viewer has read it.
    EXPECT_EQ(lines[0].slot, 0);
    EXPECT_EQ(lines[1].slot, 0);
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

TEST_F(TraceTest, LongTextAndTagAreCut) {
    auto viewer = StartViewer();
    std::string text(10000, 'x');
    std::string tag(300, 't');
    EXPECT_TRUE(TraceMessage(tag.c_str(), "%s", text.c_str()));
    std::string exact(8191, 'y');
    EXPECT_TRUE(TraceMessage("M", "%s", exact.c_str()));
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].tag, std::string(127, 't'));
    EXPECT_EQ(lines[0].text, std::string(8191, 'x'));
    EXPECT_EQ(lines[1].text, exact);
}

// A broken control block under a running viewer: the call must not reach the viewer.
struct BrokenBlock {
    const char* name;
    std::size_t offset;
    std::string bytes;
};

class TraceBrokenControlBlock : public TraceTest,
                                public ::testing::WithParamInterface<BrokenBlock> {};

TEST_P(TraceBrokenControlBlock, SendsNothing) {
    auto viewer = StartViewer();
    const auto& broken = GetParam();
    PatchControlBlock(prefix_, broken.offset, broken.bytes.data(), broken.bytes.size());
    EXPECT_FALSE(TraceMessage("KZmnt", "dropped\n"));
    EXPECT_TRUE(Lines().empty());
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

INSTANTIATE_TEST_SUITE_P(Trace, TraceBrokenControlBlock,
                         ::testing::Values(BrokenBlock{"ZeroViewerId", 0, std::string(4, '\0')},
                                           BrokenBlock{"WrongSignature", 4, "Wendix33"},
                                           BrokenBlock{"SignatureNotTerminated", 12, "X"},
                                           BrokenBlock{"EmptySignature", 4, std::string(1, '\0')}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TraceTest, StaleControlBlockOfADeadViewerDropsTheLineAndFreesTheSlot) {
    // An id no viewer listens for: the notification cannot be delivered.
    WriteControlBlock(prefix_, 0x7ffffff0u, "Wendix32");
    EXPECT_FALSE(TraceMessage("KZmnt", "lost\n"));
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

TEST_F(TraceTest, AllSlotsBusyDropsTheLine) {
    auto viewer = StartViewer();
    for (int i = 0; i < trace::kSlotCount; ++i) {
        int fd = ::shm_open(trace::SlotName(prefix_, i).c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    EXPECT_FALSE(TraceMessage("KZmnt", "dropped\n"));
    EXPECT_TRUE(Lines().empty());
    // The busy slots belong to others and stay.
    EXPECT_EQ(SlotObjectsLeft(prefix_), trace::kSlotCount);
}

TEST_F(TraceTest, TwoThreadsTracingAtOnceUseDifferentSlots) {
    std::mutex mutex;
    std::vector<TraceLine> lines;
    bool first = true;
    TraceViewer viewer([&](const TraceLine& line) {
        bool hold;
        {
            std::lock_guard lock(mutex);
            lines.push_back(line);
            hold = std::exchange(first, false);
        }
        // Keep the first caller's slot busy until the second caller has claimed one too.
        for (int i = 0; hold && i < 2000 && SlotObjectsLeft(prefix_) < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    ASSERT_TRUE(viewer.Start());
    bool results[2] = {};
    std::thread a([&] { results[0] = TraceMessage("KZmnt", "from %s\n", "a"); });
    std::thread b([&] { results[1] = TraceMessage("CComm", "from %s\n", "b"); });
    a.join();
    b.join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].slot, lines[1].slot);
    std::set<std::string> texts{lines[0].text, lines[1].text};
    EXPECT_EQ(texts, (std::set<std::string>{"from a\n", "from b\n"}));
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

TEST_F(TraceTest, ViewerClearsStaleSlotsAndRefusesASecondViewer) {
    int fd = ::shm_open(trace::SlotName(prefix_, 0).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    auto viewer = StartViewer();
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);

    TraceViewer second([](const TraceLine&) {});
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_FALSE(error.empty());

    // The running viewer is undisturbed by the refused one.
    EXPECT_TRUE(TraceMessage("KZmnt", "still here\n"));
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0].slot, 0);
}

TEST_F(TraceTest, ViewerTakesOverTheBlockOfADeadViewer) {
    WriteControlBlock(prefix_, 0x7ffffff0u, "Wendix32");
    auto viewer = StartViewer();
    EXPECT_TRUE(TraceMessage("KZmnt", "taken over\n"));
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(TraceTest, StoppedViewerRemovesItsControlBlock) {
    auto viewer = StartViewer();
    EXPECT_TRUE(ObjectExists(trace::ControlBlockName(prefix_)));
    viewer->Stop();
    EXPECT_FALSE(viewer->Running());
    EXPECT_FALSE(ObjectExists(trace::ControlBlockName(prefix_)));
    EXPECT_FALSE(TraceMessage("KZmnt", "after stop\n"));
    // Starting again works.
    EXPECT_TRUE(viewer->Start());
    EXPECT_TRUE(TraceMessage("KZmnt", "again\n"));
}

TEST_F(TraceTest, TracingFromTheViewerHandlerDoesNotWaitForItself) {
    bool inner = true;
    TraceViewer viewer([&](const TraceLine&) { inner = TraceMessage("KZmnt", "inner\n"); });
    ASSERT_TRUE(viewer.Start());
    EXPECT_TRUE(TraceMessage("KZmnt", "outer\n"));
    EXPECT_FALSE(inner);
}

}  // namespace
}  // namespace kz
