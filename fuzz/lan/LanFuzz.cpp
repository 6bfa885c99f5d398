// The LAN adapter's answers: a CF receive or a memory backup over the LAN through a library
// whose every answer comes from the input (FakeKevrosa.cpp): node tables, the password
// query, the identity and hardware texts, the panel's memory, card lists and their left-out
// names. Every run must end, and files may appear only in the chosen PC folder (and the
// service record beside the settings).
//
// The input's first byte: bit 0 names the node (else it is searched for), bit 1 runs a
// backup instead of a CF receive.
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "FuzzSupport.h"
#include "lan/LanLibrary.h"
#include "ops/History.h"
#include "ops/OperationHandle.h"
#include "ops/cf/CfReceiveMtoM.h"
#include "platform/Clock.h"
#include "platform/ProgramFolder.h"
#include "support/LoaderFile.h"
#include "support/RecordingView.h"
#include "support/SimBench.h"
#include "support/TempDir.h"

namespace {

std::mutex g_mutex;
kz::fuzz::InputReader* g_input = nullptr;

// The loader the demo models name, sent to the panel before a memory transfer.
constexpr const char* kLoaderName = "DEMO.LDR";

struct Program {
    kz::test::TempDir dir;
    kz::platform::ScaledClock clock{20};
    Program() {
        kz::platform::SetClock(&clock);
        dir.Write("KZMNT.INI", "[CONFIG]\r\nCOMMTYPE=1\r\nReadTimeout=1\r\nWriteTimeout=1\r\n\r\n" +
                                   kz::test::DemoModels("SLOADER=DEMO.LDR\r\n"));
        std::filesystem::copy_file(KZ_FUZZ_LAN_LIBRARY, dir.path() / kz::lan::kLibraryFile);
        dir.Write(kLoaderName, kz::test::LoaderText(0x00021000, 64));
        kz::platform::SetProgramFolder(dir.str());
    }
};

void WaitForTheEnd(kz::test::RecordingView& view, int before, const char* what) {
    if (!view.WaitMessage(kz::WM_OPERATION_COMPLETE, before + 1, std::chrono::seconds(120))) {
        std::fprintf(stderr, "the LAN %s did not end\n", what);
        std::abort();
    }
}

void RunCfReceive(kz::test::RecordingView& view, const std::string& pc, bool named) {
    kz::CCfReceiveMtoM op;
    if (named) {
        op.SetNodeAddress("127.0.0.1");
    }
    op.SetView(&view);
    op.SetPrompt(&view);
    op.SetFolder(pc);
    op.PostEvent(kz::EVENT_NONE);
    WaitForTheEnd(view, 0, "CF receive");
    op.WaitIdle();
}

// A backup into pc/a.mem; a question for the panel's model is answered with what the
// operation offers, as the window does when the user takes it.
void RunBackup(kz::test::RecordingView& view, const std::string& pc, bool named) {
    kz::StartPlan plan;
    plan.path = pc + "/a.mem";
    plan.comment = "fuzz";
    std::unique_ptr<kz::COperationHandle> handle =
        kz::COperationHandle::Create(kz::OperationKind::Backup, kz::Link::Lan, plan);
    handle->SetExactImagePath();
    handle->SetPowerResetLimit(std::chrono::seconds(2));
    kz::COperationHandle* h = handle.get();
    view.onMessage = [h](unsigned msg, std::uintptr_t) {
        if (msg == kz::WM_MODEL_INFO_REQUEST) {
            if (const std::optional<kz::ModelInfoExchange> x = h->ModelInfoRequest()) {
                h->AnswerModelInfo(true, x->modelName, x->bkFile, x->baud);
            }
        }
    };
    handle->Start(&view, &view, nullptr, named ? "127.0.0.1" : "");
    WaitForTheEnd(view, 0, "backup");
    handle->WaitIdle();
    view.onMessage = nullptr;
}

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
    const std::uint8_t mode = in.Byte();
    const bool named = (mode & 1) != 0;
    const bool backup = (mode & 2) != 0;
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
        if (backup) {
            RunBackup(view, pc, named);
        } else {
            RunCfReceive(view, pc, named);
        }
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
        if (top != "pc" && top != "KZMNT.INI" && top != kz::lan::kLibraryFile &&
            top != kz::kHistoryFileName && top != kLoaderName) {
            std::fprintf(stderr, "written outside the PC folder: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    return 0;
}
