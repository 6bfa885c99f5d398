#include <windows.h>

#include "diag/TraceObjects.h"

namespace kz::trace {

Mapping Mapping::Map(std::intptr_t object, std::size_t size, bool writable) {
    Mapping mapping;
    void* address =
        ::MapViewOfFile(reinterpret_cast<HANDLE>(object),
                        writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, size);
    if (address != nullptr) {
        mapping.address_ = address;
        mapping.size_ = size;
    }
    return mapping;
}

void Mapping::Reset() {
    if (address_ != nullptr) {
        ::UnmapViewOfFile(address_);
        address_ = nullptr;
        size_ = 0;
    }
}

bool& OnViewerThread() {
    thread_local bool onViewerThread = false;
    return onViewerThread;
}

}  // namespace kz::trace
