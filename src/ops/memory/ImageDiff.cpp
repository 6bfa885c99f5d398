#include "ops/memory/ImageDiff.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "ops/memory/ImageAreas.h"
#include "ops/memory/MemImageFile.h"
#include "platform/Format.h"
#include "platform/Printable.h"

namespace kz {

std::string AreaName(const std::vector<MemArea>& areas, std::size_t index) {
    if (index >= areas.size()) {
        return {};
    }
    const int type = areas[index].type;
    const auto number =
        std::count_if(areas.begin(), areas.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                      [type](const MemArea& area) { return area.type == type; });
    return (type == kAreaSram ? "SRAM" : "FROM") + std::to_string(number);
}

std::optional<std::size_t> FirstDifference(const std::uint8_t* a, const std::uint8_t* b,
                                           std::size_t count) {
    const auto [left, right] = std::mismatch(a, a + count, b);
    if (left == a + count) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(left - a);
}

void DiffCollector::Compare(const std::string& area, std::uint64_t address, const std::uint8_t* a,
                            const std::uint8_t* b, std::size_t count) {
    if (area != m_area || address != m_nextAddress) {
        Close();
        m_area = area;
    }
    m_nextAddress = address + count;
    if (count == 0 || std::memcmp(a, b, count) == 0) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (a[i] == b[i]) {
            continue;
        }
        const std::uint64_t at = address + i;
        ++m_byteCount;
        if (m_open && at - (m_open->address + m_open->length - 1) <= kJoinGap) {
            m_open->length = at - m_open->address + 1;
        } else {
            Close();
            m_open = DiffRange{area, at, 1, a[i], b[i]};
        }
    }
}

void DiffCollector::Finish() {
    Close();
}

void DiffCollector::Close() {
    if (!m_open) {
        return;
    }
    ++m_rangeCount;
    if (m_ranges.size() < m_limit) {
        m_ranges.push_back(std::move(*m_open));
    }
    m_open.reset();
}

// ---- Two images ---------------------------------------------------------------------------

namespace {

struct LoadedImage {
    MemImageFile file;
    std::uint64_t dataLength = 0;  // the bytes after the header
};

// Loads the header of the image at path and checks that the file holds what it promises;
// the reason (a status text) when it cannot be read as an image.
std::string LoadImage(const std::string& path, LoadedImage& image) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec) || !image.file.LoadHeader(path)) {
        return Format(GetString(msg::kDiffNotImage).c_str(), path.c_str());
    }
    const std::uint64_t size = std::filesystem::file_size(path, ec);
    image.dataLength = ec || size < kImageHeaderSize ? 0 : size - kImageHeaderSize;
    if (image.file.HasAreaTable() && image.dataLength < image.file.DataSize()) {
        return Format(GetString(msg::kDiffImageShort).c_str(), path.c_str());
    }
    return {};
}

std::string Hex(std::uint32_t value, int digits) {
    return Format("%0*X", digits, value);
}

std::string AreaTableText(const MemImageFile& image) {
    if (!image.HasAreaTable()) {
        return "-";
    }
    const std::vector<MemArea> areas = image.Areas();
    std::string text;
    for (std::size_t i = 0; i < areas.size(); ++i) {
        text += (text.empty() ? "" : " ") + AreaName(areas, i) + "=" + Hex(areas[i].start, 8) +
                "," + Hex(areas[i].size, 8);
    }
    return text;
}

std::uint32_t UnitOf(const MemImageFile& image) {
    return image.Unit() == 0 ? kDefaultTransferUnit : image.Unit();
}

// Compares count bytes at offsets a and b of the two images' data, addressed from address.
// 0, or the image (1 or 2) that could not be read (cut short meanwhile).
int CompareData(const MemImageFile& first, std::uint64_t a, const MemImageFile& second,
                std::uint64_t b, std::uint64_t count, const std::string& area,
                std::uint64_t address, DiffCollector& diff) {
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<std::uint8_t> left(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, kChunk)));
    std::vector<std::uint8_t> right(left.size());
    for (std::uint64_t done = 0; done < count;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kChunk));
        if (!first.ReadImageData(a + done, left.data(), n)) {
            return 1;
        }
        if (!second.ReadImageData(b + done, right.data(), n)) {
            return 2;
        }
        diff.Compare(area, address + done, left.data(), right.data(), n);
        done += n;
    }
    return 0;
}

}  // namespace

ImageComparison CompareImages(const std::string& first, const std::string& second) {
    ImageComparison result;
    LoadedImage images[2];
    const std::string* paths[2] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        result.reason = LoadImage(*paths[i], images[i]);
        if (!result.reason.empty()) {
            result.unreadable = i + 1;
            return result;
        }
    }
    const MemImageFile& a = images[0].file;
    const MemImageFile& b = images[1].file;
    auto field = [&](int nameId, const std::string& left, const std::string& right) {
        if (left != right) {
            result.fields.push_back({GetString(nameId), left, right});
        }
    };
    field(msg::kFieldModel, a.GetImageModelName(), b.GetImageModelName());
    field(msg::kFieldCoreId, a.GetImageCoreIDText(), b.GetImageCoreIDText());
    field(msg::kFieldIoCode, a.GetImageIOCodeText(), b.GetImageIOCodeText());
    field(msg::kFieldSignature, Hex(a.Signature(), 4), Hex(b.Signature(), 4));
    field(msg::kFieldFromSize, Hex(a.FromSize(), 8), Hex(b.FromSize(), 8));
    field(msg::kFieldSramSize, Hex(a.SramSize(), 8), Hex(b.SramSize(), 8));
    field(msg::kFieldComment, a.GetImageComment(), b.GetImageComment());
    field(msg::kFieldUnit, Hex(a.Unit(), 8), Hex(b.Unit(), 8));
    field(msg::kFieldAreas, AreaTableText(a), AreaTableText(b));

    DiffCollector diff;
    int unread = 0;
    if (a.HasAreaTable() && b.HasAreaTable()) {
        const std::vector<MemArea> areasA = a.Areas();
        const std::vector<MemArea> areasB = b.Areas();
        for (std::size_t i = 0; i < areasA.size() && unread == 0; ++i) {
            // The same area is the one of the same kind at the same start.
            const auto match = std::find_if(areasB.begin(), areasB.end(), [&](const MemArea& m) {
                return m.type == areasA[i].type && m.start == areasA[i].start;
            });
            if (match == areasB.end()) {
                continue;
            }
            const auto j = static_cast<int>(match - areasB.begin());
            unread = CompareData(a, ImageOffsetOf(areasA, UnitOf(a), static_cast<int>(i)), b,
                                 ImageOffsetOf(areasB, UnitOf(b), j),
                                 std::min(areasA[i].size, match->size), AreaName(areasA, i),
                                 areasA[i].start, diff);
        }
    } else {
        // Without an area table the data is one block, addressed by its offset.
        field(msg::kFieldDataLength, std::to_string(images[0].dataLength),
              std::to_string(images[1].dataLength));
        unread = CompareData(a, 0, b, 0, std::min(images[0].dataLength, images[1].dataLength),
                             "data", 0, diff);
    }
    if (unread != 0) {
        result.unreadable = unread;
        result.reason = Format(GetString(msg::kDiffImageShort).c_str(), paths[unread - 1]->c_str());
        return result;
    }
    diff.Finish();
    result.ranges = diff.Ranges();
    result.rangeCount = diff.RangeCount();
    result.byteCount = diff.ByteCount();
    return result;
}

std::vector<std::string> ComparisonLines(const ImageComparison& comparison) {
    std::vector<std::string> lines;
    if (comparison.unreadable != 0) {
        return lines;
    }
    for (const FieldDifference& field : comparison.fields) {
        lines.push_back(Format(GetString(msg::kDiffField).c_str(), field.field.c_str(),
                               Printable(field.first).c_str(), Printable(field.second).c_str()));
    }
    for (const DiffRange& range : comparison.ranges) {
        lines.push_back(Format(GetString(msg::kDiffRange).c_str(), range.area.c_str(),
                               static_cast<unsigned>(range.address),
                               std::to_string(range.length).c_str(), range.first, range.second));
    }
    if (comparison.rangeCount > 0) {
        lines.push_back(Format(
            GetString(msg::kDiffRangeCount).c_str(), std::to_string(comparison.rangeCount).c_str(),
            std::to_string(comparison.byteCount).c_str(), static_cast<int>(kDiffRangeLimit)));
    }
    lines.push_back(GetString(comparison.Equal() ? msg::kDiffEqual : msg::kDiffDiffer));
    return lines;
}

}  // namespace kz
