// kzmnt-cli's command line: the input is the words of argv, separated by NUL bytes.
#include <string>
#include <vector>

#include "CommandLine.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kz::fuzz::InputReader in(data, size);
    std::vector<std::string> words{"kzmnt-cli"};
    while (!in.Empty() && words.size() < 64) {
        words.push_back(in.Until('\0'));
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    kz::cli::CliOptions options;
    std::string error;
    (void)kz::cli::ParseCommandLine(static_cast<int>(words.size()), argv.data(), options, &error);
    return 0;
}
