// "Kevrosa.conf", the node list of our LAN library: any bytes as the file, read the way the
// node search reads it beside the library.
#include <cstdlib>

#include "FuzzSupport.h"
#include "sim/kevrosa/KevrosaSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kz::kevrosa::library::Session;
    const std::string path = kz::fuzz::WriteScratchFile("Kevrosa.conf", data, size);
    const auto text = Session::ReadConfigFile(path);
    if (!text) {
        std::abort();
    }
    for (const auto& endpoint : Session::ParseConfig(*text)) {
        if (endpoint.port < kz::lan::kMinNodePort || endpoint.port > kz::lan::kMaxNodePort) {
            std::abort();
        }
    }
    return 0;
}
