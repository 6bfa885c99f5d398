// The trace over named file mappings and the viewer's window message.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/Trace.h"
#include "diag/TraceProtocol.h"
#include "diag/TraceViewer.h"

namespace kz {
namespace {

std::string Bare(const std::string& name) {
    return name.substr(1);  // without the leading '/'
}

bool ObjectExists(const std::string& name) {
    const HANDLE handle = ::OpenFileMappingA(FILE_MAP_READ, FALSE, Bare(name).c_str());
    if (handle == nullptr) {
        return false;
    }
    ::CloseHandle(handle);
    return true;
}

int SlotObjectsLeft(const std::string& prefix) {
    int count = 0;
    for (int i = 0; i < trace::kSlotCount; ++i) {
        count += ObjectExists(trace::SlotName(prefix, i)) ? 1 : 0;
    }
    return count;
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        prefix_ = "kztest" + std::to_string(::GetCurrentProcessId());
        SetTraceObjectPrefix(prefix_);
    }
    void TearDown() override { SetTraceObjectPrefix(std::string(trace::kDefaultPrefix)); }

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

TEST_F(TraceTest, WithoutViewerNothingIsSentOrLeftBehind) {
    EXPECT_FALSE(TraceMessage("KZmnt", "CProtocol::Open()\n"));
    EXPECT_FALSE(ObjectExists(trace::ControlBlockName(prefix_)));
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

TEST_F(TraceTest, DeliversTagAndFormattedTextAndFreesTheSlot) {
    auto viewer = StartViewer();
    EXPECT_TRUE(TraceMessage("KZmntTimeCheck", "CBackup::Initialize %x\n", 0x1a2bu));
    std::string text(10000, 'x');
    std::string tag(300, 't');
    EXPECT_TRUE(TraceMessage(tag.c_str(), "%s", text.c_str()));
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].tag, "KZmntTimeCheck");
    EXPECT_EQ(lines[0].text, "CBackup::Initialize 1a2b\n");
    EXPECT_EQ(lines[1].tag, std::string(127, 't'));
    EXPECT_EQ(lines[1].text, std::string(8191, 'x'));
    EXPECT_EQ(lines[0].slot, 0);
    EXPECT_EQ(lines[1].slot, 0);
    EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
}

// A control block without a window, or with the wrong signature: nothing is sent.
TEST_F(TraceTest, ABlockWithoutAWindowOrSignatureSendsNothing) {
    struct Case {
        std::uint32_t window;
        const char* signature;
    };
    const HWND live = ::GetDesktopWindow();
    const Case cases[] = {
        {0, "Wendix32"},
        {static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(live)), "Wendix31"}};
    for (const Case& c : cases) {
        const HANDLE block = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  trace::kControlBlockSize,
                                                  Bare(trace::ControlBlockName(prefix_)).c_str());
        ASSERT_NE(block, nullptr);
        auto* data = static_cast<char*>(::MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, 0));
        ASSERT_NE(data, nullptr);
        std::memcpy(data + trace::kViewerIdOffset, &c.window, sizeof c.window);
        std::strcpy(data + trace::kSignatureOffset, c.signature);
        SetTraceObjectPrefix(prefix_);  // no memory of the missing viewer
        EXPECT_FALSE(TraceMessage("KZmnt", "nobody\n")) << c.signature;
        EXPECT_EQ(SlotObjectsLeft(prefix_), 0);
        ::UnmapViewOfFile(data);
        ::CloseHandle(block);
    }
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
}

TEST_F(TraceTest, ASecondViewerIsRefusedAndAStoppedOneRemovesItsBlock) {
    auto viewer = StartViewer();
    TraceViewer second([](const TraceLine&) {});
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(TraceMessage("KZmnt", "still here\n"));
    ASSERT_EQ(Lines().size(), 1u);

    viewer->Stop();
    EXPECT_FALSE(viewer->Running());
    EXPECT_FALSE(ObjectExists(trace::ControlBlockName(prefix_)));
    EXPECT_FALSE(TraceMessage("KZmnt", "after stop\n"));
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
