#include "diag/TraceObjects.h"

#include <sys/mman.h>

namespace kz::trace {

Mapping Mapping::Map(std::intptr_t object, std::size_t size, bool writable) {
    Mapping mapping;
    int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* address = ::mmap(nullptr, size, protection, MAP_SHARED, static_cast<int>(object), 0);
    if (address != MAP_FAILED) {
        mapping.address_ = address;
        mapping.size_ = size;
    }
    return mapping;
}

void Mapping::Reset() {
    if (address_ != nullptr) {
        ::munmap(address_, size_);
        address_ = nullptr;
        size_ = 0;
    }
}

bool& OnViewerThread() {
    thread_local bool onViewerThread = false;
    return onViewerThread;
}

}  // namespace kz::trace
