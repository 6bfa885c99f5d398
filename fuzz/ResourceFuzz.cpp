// The RESOURCE texts file: any bytes as the file. Every built-in id is looked up afterwards
// in both languages, so a loaded text is read back whole.
#include <vector>

#include "FuzzSupport.h"
#include "config/StringTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<int> ids = kz::BuiltInStringIds(kz::Language::English);
    const std::string path = kz::fuzz::WriteScratchFile("KZMNT.RES", data, size);
    if (kz::LoadResourceFile(path)) {
        for (int id : ids) {
            (void)kz::GetString(id, kz::Language::English);
            (void)kz::GetString(id, kz::Language::Japanese);
        }
        for (int id : {0, 1, 65535, 65536, -1}) {
            (void)kz::GetString(id, kz::Language::Japanese);
        }
    }
    kz::ClearResourceTexts();
    return 0;
}
