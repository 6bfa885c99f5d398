// The simulator's panel description: any text as the description file. A description the
// parser accepts must pass the check a description built in code gets.
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "sim/PanelDescription.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kz::sim::PanelDescription description;
    std::string error;
    // Card folders are read below the scratch folder (empty); the input cannot point the
    // parser at the machine's own folders, whose walk would only measure the disk.
    if (text.find("dir") != std::string_view::npos || text.find("DIR") != std::string_view::npos) {
        return 0;
    }
    if (kz::sim::ParsePanelDescription(text, description, &error, kz::fuzz::ScratchFolder())) {
        std::string why;
        if (!kz::sim::ValidatePanelDescription(description, &why)) {
            std::fprintf(stderr, "parsed but invalid: %s\n", why.c_str());
            std::abort();
        }
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    return 0;
}
