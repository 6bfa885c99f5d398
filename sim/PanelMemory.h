// The memory of a simulated panel: a few regions over a 32-bit address space, each with a
// computed fill. Storage is sparse: a 4 KiB page costs memory only once something has been
// written into it (the page is then materialised from the fill). Addresses outside every
// region read as 0xFF and ignore writes, like an unpopulated bus.
//
// Thread-safety: none; the owner (Panel) serialises all calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "sim/PanelDescription.h"

namespace kz::sim {

class PanelMemory {
  public:
    static constexpr std::uint32_t kPageSize = 4096;

    // Regions are taken as they are (ValidatePanelDescription checks them); patches are not
    // applied here.
    explicit PanelMemory(std::vector<MemoryRegion> regions = {});

    // The byte at address: written data, else the region's fill, else 0xFF.
    std::uint8_t Read(std::uint32_t address) const;
    // Fills out with the bytes from address on; addresses wrap at 2^32.
    void Read(std::uint32_t address, std::span<std::uint8_t> out) const;
    // Stores bytes from address on. Returns how many landed inside a region (the others
    // are dropped).
    std::size_t Write(std::uint32_t address, std::span<const std::uint8_t> bytes);

    // True when address lies in a region.
    bool Contains(std::uint32_t address) const { return RegionAt(address) != nullptr; }
    // Pages that have been materialised by writes.
    std::size_t PagesInUse() const { return pages_.size(); }
    const std::vector<MemoryRegion>& Regions() const { return regions_; }

  private:
    using Page = std::array<std::uint8_t, kPageSize>;

    const MemoryRegion* RegionAt(std::uint32_t address) const;
    Page& Materialise(std::uint32_t pageIndex);

    std::vector<MemoryRegion> regions_;  // sorted by start
    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> pages_;
};

}  // namespace kz::sim
