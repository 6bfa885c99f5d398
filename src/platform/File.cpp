#include "platform/File.h"

#include <utility>

namespace kz::platform {

File::~File() {
    Reset();
}

File::File(File&& other) noexcept
    : m_handle(std::exchange(other.m_handle, -1)), m_bAppend(other.m_bAppend) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Reset();
        m_handle = std::exchange(other.m_handle, -1);
        m_bAppend = other.m_bAppend;
    }
    return *this;
}

ReadOutcome ReadRegularFile(const std::string& path, std::uint64_t maxBytes, std::string& content) {
    content.clear();
    File file = File::Open(path, File::Mode::Read);
    std::uint64_t size = 0;
    if (!file || !file.Size(size)) {
        return ReadOutcome::CannotOpen;
    }
    if (size > maxBytes || size > content.max_size()) {
        return ReadOutcome::TooLarge;
    }
    content.resize(static_cast<std::size_t>(size));
    if (size > 0 && !file.ReadAt(0, content.data(), content.size())) {
        content.clear();
        return ReadOutcome::ShortRead;
    }
    return ReadOutcome::Read;
}

}  // namespace kz::platform
