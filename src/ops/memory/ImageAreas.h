// The area plan of a memory transfer: the model's areas must read (hex values, sizes above
// 0, at most 24 areas, none past address FFFFFFFF), and before a restore or a verify moves
// any data the image's area table must be the model's and its file must hold exactly what
// the table promises. Both links plan through these functions (see CMemoryPlan).
//
// Thread-safety: no state; the caller owns the reader and the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/ModelDefs.h"
#include "ops/memory/MemImageFile.h"

namespace kz {

// What a restore or verify does with an old-format image, which carries no usable table.
enum class OldImageAreas {
    Model,         // the model's areas
    ModelFrom,     // the model's FROM areas only
    RecordedFrom,  // one FROM area at the start of the model's first area, of the FROM size
                   // the header records
};

struct AreaPlan {
    int error = 0;                                   // a message id; 0 when the transfer may start
    std::vector<std::string> lines;                  // status lines that say what is wrong
    std::vector<MemArea> areas;                      // the areas to transfer (empty on error)
    std::uint32_t imageUnit = kDefaultTransferUnit;  // the unit the image was written with
};

// The model's areas and unit for a transfer; on a fault 4020 with the line that says which
// key is wrong.
AreaPlan ModelAreaPlan(const CIniSection* section);

// The areas to transfer for the image at path (its header loaded into image): 4020 when the
// model's areas do not read, 4026 when a current-format table differs from them in count,
// type, start or size (or a recorded FROM area runs past address FFFFFFFF), 4019 when the
// file is shorter than the areas need, 4027 when a current-format file is longer (an
// old-format image may hold more).
AreaPlan ImageAreaPlan(const MemImageFile& image, const std::string& path,
                       const CIniSection* section, OldImageAreas oldFormat);

// Bytes an area of size occupies in an image with unit (at least one whole unit).
inline std::uint64_t StoredAreaLength(std::uint32_t size, std::uint32_t unit) {
    return size >= unit ? size : unit;
}

// Where area index's data starts in an image with those areas and unit.
std::uint64_t ImageOffsetOf(const std::vector<MemArea>& areas, std::uint32_t unit, int index);

}  // namespace kz
