#include "ops/memory/ImageAreas.h"

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/File.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

namespace {
std::string AreaText(const MemArea& area) {
    return Format("%s %08X,%08X",
                  area.type == kAreaFrom ? "FROM" : (area.type == kAreaSram ? "SRAM" : "?"),
                  area.start, area.size);
}

AreaPlan Fail(AreaPlan plan, int error, std::string line = {}) {
    plan.areas.clear();
    plan.error = error;
    if (!line.empty()) {
        plan.lines.push_back(std::move(line));
    }
    return plan;
}
}  // namespace

AreaPlan ModelAreaPlan(const CIniSection* section) {
    AreaPlan plan;
    const AreaCheck check = CModelDefs::CheckAreas(section, plan.areas, plan.imageUnit);
    const std::string key = Printable(check.key);
    switch (check.fault) {
        case AreaFault::None:
            return plan;
        case AreaFault::NoAreas:
            return Fail(plan, msg::kModelAreasInvalid, GetString(msg::kNoAreas));
        case AreaFault::BadArea:
            return Fail(plan, msg::kModelAreasInvalid,
                        Format(GetString(msg::kAreaKeyInvalid).c_str(), key.c_str()));
        case AreaFault::TooMany:
            return Fail(plan, msg::kModelAreasInvalid,
                        Format(GetString(msg::kTooManyAreas).c_str(), key.c_str()));
        case AreaFault::Wraps:
            return Fail(plan, msg::kModelAreasInvalid,
                        Format(GetString(msg::kAreaWraps).c_str(), key.c_str()));
        case AreaFault::BadUnit:
            break;
    }
    return Fail(plan, msg::kModelAreasInvalid, GetString(msg::kUnitInvalid));
}

AreaPlan ImageAreaPlan(const MemImageFile& image, const std::string& path,
                       const CIniSection* section, OldImageAreas oldFormat) {
    AreaPlan model = ModelAreaPlan(section);
    if (model.error != 0) {
        return model;
    }
    AreaPlan plan;
    const bool old = !image.HasAreaTable();
    plan.imageUnit = old || image.Unit() == 0 ? model.imageUnit : image.Unit();
    if (!old) {
        // The table decides which panel addresses are touched: it must be the model's.
        const int count = image.AreaCount();
        if (count < 1 || count > static_cast<int>(kImageMaxAreas) ||
            static_cast<std::size_t>(count) != model.areas.size()) {
            return Fail(plan, msg::kImageAreasDiffer,
                        Format(GetString(msg::kImageAreaCount).c_str(), count,
                               static_cast<int>(model.areas.size())));
        }
        plan.areas = image.Areas();
        for (std::size_t i = 0; i < plan.areas.size(); ++i) {
            const MemArea& a = plan.areas[i];
            const MemArea& m = model.areas[i];
            if (a.type != m.type || a.start != m.start || a.size != m.size) {
                return Fail(
                    plan, msg::kImageAreasDiffer,
                    Format(GetString(msg::kImageAreaDiffers).c_str(), static_cast<int>(i + 1),
                           AreaText(a).c_str(), AreaText(m).c_str()));
            }
        }
    } else if (oldFormat == OldImageAreas::RecordedFrom) {
        MemArea from;
        from.type = kAreaFrom;
        if (model.areas.front().type == kAreaFrom) {
            from.start = model.areas.front().start;
        }
        from.size = image.FromSize();
        if (std::uint64_t{from.start} + from.size > std::uint64_t{0x100000000}) {
            return Fail(plan, msg::kImageAreasDiffer,
                        Format(GetString(msg::kImageAreaDiffers).c_str(), 1, AreaText(from).c_str(),
                               AreaText(model.areas.front()).c_str()));
        }
        plan.areas.push_back(from);
    } else {
        for (const MemArea& area : model.areas) {
            if (oldFormat == OldImageAreas::Model || area.type == kAreaFrom) {
                plan.areas.push_back(area);
            }
        }
    }
    // Every byte the areas occupy must be in the file before anything is transferred.
    std::uint64_t promised = 0;
    for (const MemArea& area : plan.areas) {
        promised += StoredAreaLength(area.size, plan.imageUnit);
    }
    std::uint64_t length = 0;
    const platform::File file = platform::File::Open(path, platform::File::Mode::Read);
    if (!file.Valid() || !file.Size(length) || length < kImageHeaderSize + promised) {
        return Fail(plan, msg::kImageTooShort);
    }
    if (!old && length != kImageHeaderSize + promised) {
        return Fail(plan, msg::kImageTooLong);
    }
    return plan;
}

std::uint64_t ImageOffsetOf(const std::vector<MemArea>& areas, std::uint32_t unit, int index) {
    std::uint64_t offset = 0;
    for (int i = 0; i < index && i < static_cast<int>(areas.size()); ++i) {
        offset += StoredAreaLength(areas[static_cast<std::size_t>(i)].size, unit);
    }
    return offset;
}

}  // namespace kz
