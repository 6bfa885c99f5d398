// The LAN adapter's answers: a CF receive over the LAN through a library whose every answer
// comes from the input (FakeKevrosa.cpp): node tables, the password query, the identity
// text, card lists and their left-out names. Every run must end, and files may appear only
// in the chosen PC folder.
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "FuzzSupport.h"
#include "lan/LanLibrary.h"
#include "ops/cf/CfReceiveMtoM.h"
#include "platform/Clock.h"
#include "platform/ProgramFolder.h"
#include "support/RecordingView.h"
#include "support/SimBench.h"
#include "support/TempDir.h"

namespace {

std::mutex g_mutex;
kz::fuzz::InputReader* g_input = nullptr;

struct Program {
    kz::test::TempDir dir;
    kz::platform::ScaledClock clock{20};
    Program() {
        kz::platform::SetClock(&clock);
        dir.Write("KZMNT.INI", "[CONFIG]\r\nCOMMTYPE=1\r\nReadTimeout=1\r\nWriteTimeout=1\r\n\r\n" +
                                   kz::test::DemoModels());
        std::filesystem::copy_file(KZ_FUZZ_LAN_LIBRARY, dir.path() / kz::lan::kLibraryFile);
        kz::platform::SetProgramFolder(dir.str());
    }
};

}  // namespace

// The library's source of answers.
extern "C" __attribute__((visibility("default"))) std::size_t KzFuzzLanTake(void* out,
                                                                            std::size_t n) {
    std::lock_guard lock(g_mutex);
    if (g_input == nullptr) {
        return 0;
    }
    const std::string piece = g_input->Take(n);
    std::memcpy(out, piece.data(), piece.size());
    return piece.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    static Program* program = new Program;
    kz::fuzz::InputReader in(data, size);
    const bool named = (in.Byte() & 1) != 0;
    {
        std::lock_guard lock(g_mutex);
        g_input = &in;
    }
    const std::string pc = program->dir.str() + "pc";
    std::error_code ec;
    fs::remove_all(pc, ec);
    fs::create_directories(pc, ec);
    {
        kz::test::RecordingView view;
        kz::CCfReceiveMtoM op;
        if (named) {
            op.SetNodeAddress("127.0.0.1");
        }
        op.SetView(&view);
        op.SetPrompt(&view);
        op.SetFolder(pc);
        op.PostEvent(kz::EVENT_NONE);
        if (!view.WaitMessage(kz::WM_OPERATION_COMPLETE, 1, std::chrono::seconds(120))) {
            std::fprintf(stderr, "the LAN CF receive did not end\n");
            std::abort();
        }
        op.WaitIdle();
        if (std::getenv("KZ_FUZZ_VERBOSE") != nullptr) {
            for (const std::string& line : view.Lines()) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
        }
    }
    {
        std::lock_guard lock(g_mutex);
        g_input = nullptr;
    }
    const fs::path root = program->dir.str();
    for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
        const std::string top = entry.path().lexically_relative(root).begin()->string();
        if (top != "pc" && top != "KZMNT.INI" && top != kz::lan::kLibraryFile) {
            std::fprintf(stderr, "written outside the PC folder: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    return 0;
}
