// Where two copies of memory differ: a panel against an image (a verify) or one image
// against another (kzmnt-cli diff, File → Compare images). Both report the same ranges.
//
// A range is a run of differing bytes in one area; two differences fewer than kJoinGap
// equal bytes apart belong to one range (damaged memory rarely differs in every byte, and
// a byte that happens to match should not split it). A range records its area ("FROM1",
// "SRAM2", in the model's key names), the address of its first differing byte, its length
// from the first to the last differing byte, and that first byte on each side.
//
// Thread-safety: no shared state; a collector belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/ModelDefs.h"

namespace kz {

inline constexpr std::uint64_t kJoinGap = 16;
// The ranges a verify of every difference or an image comparison lists; the count of all
// of them is reported beyond it.
inline constexpr std::size_t kDiffRangeLimit = 100;

struct DiffRange {
    std::string area;
    std::uint64_t address = 0;  // the first differing byte
    std::uint64_t length = 0;   // first to last differing byte
    std::uint8_t first = 0;     // the first differing byte: panel (or the first image)
    std::uint8_t second = 0;    // the same byte of the image (or the second image)
};

// The name of areas[index]: "FROM" or "SRAM" and its number among the areas of its kind.
std::string AreaName(const std::vector<MemArea>& areas, std::size_t index);

class DiffCollector {
  public:
    explicit DiffCollector(std::size_t limit = kDiffRangeLimit) : m_limit(limit) {}

    // Compares count bytes of a and b that lie at address in area; calls for one area come
    // in address order. A call for another area, or one that does not continue where the
    // last one ended, closes the range still open.
    void Compare(const std::string& area, std::uint64_t address, const std::uint8_t* a,
                 const std::uint8_t* b, std::size_t count);
    // Closes the range still open (call before reading the results).
    void Finish();

    // The ranges found, at most the limit, in order.
    const std::vector<DiffRange>& Ranges() const { return m_ranges; }
    std::uint64_t RangeCount() const { return m_rangeCount; }
    std::uint64_t ByteCount() const { return m_byteCount; }
    bool Any() const { return m_rangeCount > 0 || m_open.has_value(); }

  private:
    void Close();

    std::size_t m_limit;
    std::vector<DiffRange> m_ranges;
    std::uint64_t m_rangeCount = 0;
    std::uint64_t m_byteCount = 0;
    std::optional<DiffRange> m_open;
    std::string m_area;               // of the last call
    std::uint64_t m_nextAddress = 0;  // where the last call ended
};

// The first differing byte of count bytes of a and b: its index, or nothing when equal.
std::optional<std::size_t> FirstDifference(const std::uint8_t* a, const std::uint8_t* b,
                                           std::size_t count);

// ---- Two images ---------------------------------------------------------------------------

// A header field whose values differ, both as display text.
struct FieldDifference {
    std::string field;  // "Model", "Core ID", ..., or an area's name for its table entry
    std::string first;
    std::string second;
};

struct ImageComparison {
    // 0 when both images were read; otherwise 1 or 2 (the image that could not be read)
    // and why (a status text).
    int unreadable = 0;
    std::string reason;
    std::vector<FieldDifference> fields;
    std::vector<DiffRange> ranges;  // at most kDiffRangeLimit
    std::uint64_t rangeCount = 0;
    std::uint64_t byteCount = 0;

    bool Equal() const { return unreadable == 0 && fields.empty() && rangeCount == 0; }
};

// Compares the images at first and second: the header fields (model, core ID, I/O code,
// signature, FROM and SRAM sizes, comment, unit, area table) and the bytes of every area
// both tables hold at the same place (of an area whose size differs, the bytes both have).
// An image without an area table is compared as one block of data ("data", offsets for
// addresses). An image is unreadable when it is no regular file, is shorter than a header
// or than its table promises.
ImageComparison CompareImages(const std::string& first, const std::string& second);

// A readable comparison as both front-ends show it: one line per differing field ("Comment:
// a | b") and per listed range ("FROM1 at 00012340, length 16: 5A | 00"), the count of all
// ranges when there are any, and last "The images are equal." or "The images differ.".
// Texts are made printable. Nothing for a comparison with an unreadable image.
std::vector<std::string> ComparisonLines(const ImageComparison& comparison);

}  // namespace kz
