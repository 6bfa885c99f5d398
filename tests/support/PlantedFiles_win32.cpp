#include <stdlib.h>

#include <filesystem>

#include "support/PlantedFiles.h"
#include "support/TempDir.h"

namespace kz::test {

// Named pipes live in their own namespace (\\.\pipe\), never in a folder.
bool MakeFifo(const std::string&) {
    return false;
}

std::optional<int> RunWithFileSizeLimit(std::uint64_t, const std::function<int()>&) {
    return std::nullopt;
}

void SetEnvironment(const char* name, const char* value) {
    // An empty value removes the variable.
    ::_putenv_s(name, value != nullptr ? value : "");
}

bool SymlinksWork() {
    static const bool work = [] {
        TempDir dir;
        std::error_code ec;
        std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link", ec);
        return !ec;
    }();
    return work;
}

}  // namespace kz::test
