#include "sim/PanelMemory.h"

#include <algorithm>

namespace kz::sim {

PanelMemory::PanelMemory(std::vector<MemoryRegion> regions) : regions_(std::move(regions)) {
    std::sort(regions_.begin(), regions_.end(),
              [](const MemoryRegion& a, const MemoryRegion& b) { return a.start < b.start; });
}

const MemoryRegion* PanelMemory::RegionAt(std::uint32_t address) const {
    // The last region starting at or before address, if address falls inside it.
    auto it = std::upper_bound(regions_.begin(), regions_.end(), address,
                               [](std::uint32_t a, const MemoryRegion& r) { return a < r.start; });
    if (it == regions_.begin()) {
        return nullptr;
    }
    --it;
    return std::uint64_t{address} < std::uint64_t{it->start} + it->size ? &*it : nullptr;
}

std::uint8_t PanelMemory::Read(std::uint32_t address) const {
    const MemoryRegion* region = RegionAt(address);
    if (region == nullptr) {
        return 0xFF;
    }
    auto page = pages_.find(address / kPageSize);
    if (page != pages_.end()) {
        return (*page->second)[address % kPageSize];
    }
    return FillByte(*region, address);
}

void PanelMemory::Read(std::uint32_t address, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        // One page (or the part of it that is wanted) at a time, so that the region and
        // page look-ups are made once per page rather than per byte.
        const std::uint32_t a = address + static_cast<std::uint32_t>(done);
        const std::uint32_t inPage = a % kPageSize;
        const std::size_t count = std::min<std::size_t>(kPageSize - inPage, out.size() - done);
        auto page = pages_.find(a / kPageSize);
        const MemoryRegion* region = nullptr;
        std::uint64_t regionEnd = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t b = a + static_cast<std::uint32_t>(i);
            if (region == nullptr || b < region->start || b >= regionEnd) {
                region = RegionAt(b);
                regionEnd = region ? std::uint64_t{region->start} + region->size : 0;
            }
            std::uint8_t value = 0xFF;
            if (region != nullptr) {
                value = page != pages_.end() ? (*page->second)[inPage + i] : FillByte(*region, b);
            }
            out[done + i] = value;
        }
        done += count;
    }
}

PanelMemory::Page& PanelMemory::Materialise(std::uint32_t pageIndex) {
    auto& slot = pages_[pageIndex];
    if (!slot) {
        slot = std::make_unique<Page>();
        const std::uint32_t base = pageIndex * kPageSize;
        for (std::uint32_t i = 0; i < kPageSize; ++i) {
            const MemoryRegion* region = RegionAt(base + i);
            (*slot)[i] = region ? FillByte(*region, base + i) : 0xFF;
        }
    }
    return *slot;
}

std::size_t PanelMemory::Write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::size_t stored = 0;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(done);
        const std::uint32_t inPage = a % kPageSize;
        const std::size_t count = std::min<std::size_t>(kPageSize - inPage, bytes.size() - done);
        Page* page = nullptr;
        const MemoryRegion* region = nullptr;
        std::uint64_t regionEnd = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t b = a + static_cast<std::uint32_t>(i);
            if (region == nullptr || b < region->start || b >= regionEnd) {
                region = RegionAt(b);
                regionEnd = region ? std::uint64_t{region->start} + region->size : 0;
            }
            if (region == nullptr) {
                continue;  // no memory here: the byte is dropped, no page is made for it
            }
            if (page == nullptr) {
                page = &Materialise(a / kPageSize);
            }
            (*page)[inPage + i] = bytes[done + i];
            ++stored;
        }
        done += count;
    }
    return stored;
}

}  // namespace kz::sim
