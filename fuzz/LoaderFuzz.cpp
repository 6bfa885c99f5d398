// The loader file the serial link downloads: any bytes as the file, read with the limits
// the commands use.
#include <cstdlib>

#include "FuzzSupport.h"
#include "serial/LoaderFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = kz::fuzz::WriteScratchFile("ILOADER.BIN", data, size);
    for (std::uint32_t limit : {16u, 0x8000u, 0x10000u}) {
        kz::LoaderFileFault fault = kz::LoaderFileFault::ShortRead;
        const auto image = kz::ReadLoaderFile(path, limit, &fault);
        if (image.has_value() != (fault == kz::LoaderFileFault::None)) {
            std::abort();
        }
        if (image && image->program.size() + 4 != size) {
            std::abort();  // the program is the file after its address word
        }
    }
    return 0;
}
