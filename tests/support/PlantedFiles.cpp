#include "support/PlantedFiles.h"

#include <filesystem>
#include <fstream>

#include "support/TempDir.h"

namespace kz::test {

bool NamesAreCaseSensitive() {
    static const bool sensitive = [] {
        TempDir dir;
        std::ofstream(dir.path() / "a") << "a";
        return !std::filesystem::exists(dir.path() / "A");
    }();
    return sensitive;
}

}  // namespace kz::test
