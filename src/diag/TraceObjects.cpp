#include "diag/TraceObjects.h"

#include <atomic>
#include <cstring>

#include "diag/TraceProtocol.h"

namespace kz::trace {

namespace {
std::atomic_ref<std::uint32_t> IdField(const Mapping& control) {
    return std::atomic_ref<std::uint32_t>(
        *reinterpret_cast<std::uint32_t*>(control.Data() + kViewerIdOffset));
}
}  // namespace

std::uint32_t LoadViewerId(const Mapping& control) {
    return IdField(control).load(std::memory_order_acquire);
}

void StoreViewerId(const Mapping& control, std::uint32_t id) {
    IdField(control).store(id, std::memory_order_release);
}

std::uint32_t ViewerIdIn(const Mapping& header) {
    const char* signature = header.Data() + kSignatureOffset;
    if (header.Size() < kControlHeaderSize ||
        std::memcmp(signature, kSignature.data(), kSignature.size()) != 0 ||
        signature[kSignature.size()] != '\0') {
        return 0;
    }
    return LoadViewerId(header);
}

void SignControlBlock(const Mapping& control) {
    std::memcpy(control.Data() + kSignatureOffset, kSignature.data(), kSignature.size());
    control.Data()[kSignatureOffset + kSignature.size()] = '\0';
}

TraceLine LineIn(const Mapping& slot, int number) {
    const char* tag = slot.Data() + kTagOffset;
    const char* text = slot.Data() + kTextOffset;
    TraceLine line;
    line.slot = number;
    line.tag.assign(tag, ::strnlen(tag, kTagSize - 1));
    line.text.assign(text, ::strnlen(text, kTextSize - 1));
    return line;
}

}  // namespace kz::trace
