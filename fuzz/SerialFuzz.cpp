// The serial receive path: frame assembly and answer parsing of an identity read, with any
// bytes as the panel's answers (see SerialSession.h for how the input is cut into answers).
// Every run must end, whatever the panel says, and the engine must never read or write
// outside its buffers.
#include <cstdlib>
#include <mutex>

#include "FuzzSupport.h"
#include "SerialSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kz::test::TestFolder& folder = kz::fuzz::SerialFolder();
    std::mutex mutex;
    kz::fuzz::InputReader in(data, size);
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
    kz::test::CommandRunner runner;
    if (!kz::fuzz::RunIdentityRead(runner, view)) {
        std::fprintf(stderr, "the identity read did not end\n");
        std::abort();
    }
    if (std::getenv("KZ_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "  error %d\n", runner.m_nError);
    }
    return 0;
}
