// The CF receive path: the card's block and file headers and the file data of a CF receive,
// with any bytes as the panel's answers (see SerialSession.h for how the input is cut into
// answers). Every run must end, and whatever the panel names, files may only appear in the
// PC folder the run was given.
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "FuzzSupport.h"
#include "SerialSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace fs = std::filesystem;
    kz::test::TestFolder& folder = kz::fuzz::SerialFolder();
    std::mutex mutex;
    kz::fuzz::InputReader in(data, size);
    {
        kz::test::ScriptedPeer peer(folder.link(), [&](const std::string& frame) -> std::string {
            std::lock_guard lock(mutex);
            const std::uint32_t length = in.Byte() | (in.Byte() << 8);
            std::string answer = in.Take(length);
            if (std::getenv("KZ_FUZZ_VERBOSE") != nullptr) {
                std::fprintf(stderr, "  %s -> %s\n", kz::fuzz::Printable(frame).c_str(),
                             kz::fuzz::Printable(answer).c_str());
            }
            return answer;
        });
        kz::test::RecordingView view;
        if (!kz::fuzz::RunCfReceive(view)) {
            std::fprintf(stderr, "the CF receive did not end\n");
            std::abort();
        }
        if (std::getenv("KZ_FUZZ_VERBOSE") != nullptr) {
            for (const std::string& line : view.Lines()) {
                std::fprintf(stderr, "  %s\n", line.c_str());
            }
        }
    }
    const fs::path root = folder.dir().str();
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
        const fs::path relative = entry.path().lexically_relative(root);
        const std::string top = relative.begin()->string();
        if (top != "pc" && top != "KZMNT.INI" && top != kz::fuzz::kSerialLoader) {
            std::fprintf(stderr, "written outside the PC folder: %s\n", relative.c_str());
            std::abort();
        }
    }
    return 0;
}
