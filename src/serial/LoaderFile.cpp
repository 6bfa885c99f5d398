#include "serial/LoaderFile.h"

#include <fstream>

#include "platform/ProgramFolder.h"

namespace kz {

std::string LoaderFilePath(const std::string& name) {
    if (name.find('/') == std::string::npos && name.find('\\') == std::string::npos) {
        return platform::ProgramFolder() + name;
    }
    return name;
}

std::optional<LoaderImage> ReadLoaderFile(const std::string& path, std::uint32_t maxBytes,
                                          LoaderFileFault* fault) {
    auto fail = [fault](LoaderFileFault why) -> std::optional<LoaderImage> {
        if (fault) {
            *fault = why;
        }
        return std::nullopt;
    };
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return fail(LoaderFileFault::CannotOpen);
    }
    file.seekg(0, std::ios::end);
    const std::streamoff fileSize = file.tellg();
    file.seekg(0, std::ios::beg);
    if (fileSize < 4 || fileSize > static_cast<std::streamoff>(maxBytes)) {
        return fail(LoaderFileFault::BadSize);
    }
    unsigned char address[4];
    LoaderImage image;
    image.program.resize(static_cast<std::size_t>(fileSize) - 4);
    file.read(reinterpret_cast<char*>(address), 4);
    file.read(image.program.data(), static_cast<std::streamsize>(image.program.size()));
    if (!file || file.gcount() != static_cast<std::streamsize>(image.program.size())) {
        return fail(LoaderFileFault::ShortRead);
    }
    image.address =
        static_cast<std::uint32_t>(address[0]) | static_cast<std::uint32_t>(address[1]) << 8 |
        static_cast<std::uint32_t>(address[2]) << 16 | static_cast<std::uint32_t>(address[3]) << 24;
    if (fault) {
        *fault = LoaderFileFault::None;
    }
    return image;
}

}  // namespace kz
