// The built-in string tables, one file per language. Internal to the string table.
#pragma once

#include <algorithm>
#include <span>
#include <string_view>

namespace kz::detail {

struct StringEntry {
    int id;
    std::string_view text;
};

// Both tables are sorted by id (each data file checks this at compile time).
std::span<const StringEntry> EnglishStrings();
std::span<const StringEntry> JapaneseStrings();

template <std::size_t N>
constexpr bool SortedUnique(const StringEntry (&table)[N]) {
    return std::adjacent_find(std::begin(table), std::end(table),
                              [](const StringEntry& a, const StringEntry& b) {
                                  return a.id >= b.id;
                              }) == std::end(table);
}

}  // namespace kz::detail
