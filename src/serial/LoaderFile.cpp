#include "serial/LoaderFile.h"

#include "platform/File.h"
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
    // Read only from a regular file: a FIFO or a device named as the loader would block the
    // run or never end.
    std::string bytes;
    switch (platform::ReadRegularFile(path, maxBytes, bytes)) {
        case platform::ReadOutcome::Read:
            break;
        case platform::ReadOutcome::CannotOpen:
            return fail(LoaderFileFault::CannotOpen);
        case platform::ReadOutcome::TooLarge:
            return fail(LoaderFileFault::BadSize);
        case platform::ReadOutcome::ShortRead:
            return fail(LoaderFileFault::ShortRead);
    }
    if (bytes.size() < 4) {
        return fail(LoaderFileFault::BadSize);
    }
    const auto* address = reinterpret_cast<const unsigned char*>(bytes.data());
    LoaderImage image;
    image.program = bytes.substr(4);
    image.address =
        static_cast<std::uint32_t>(address[0]) | static_cast<std::uint32_t>(address[1]) << 8 |
        static_cast<std::uint32_t>(address[2]) << 16 | static_cast<std::uint32_t>(address[3]) << 24;
    if (fault) {
        *fault = LoaderFileFault::None;
    }
    return image;
}

}  // namespace kz
