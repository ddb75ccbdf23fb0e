// Code-point range tables generated from the Unicode Character Database.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelnor {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;
};

// Characters with the Grapheme_Extend property (combining characters).
extern const CodePointRange kGraphemeExtend[];
extern const std::size_t kGraphemeExtendCount;

// Characters shown as escapes in debug output: controls, format characters, surrogates, private
// use, unassigned code points, and separators other than the space.
extern const CodePointRange kNonPrintable[];
extern const std::size_t kNonPrintableCount;

// Returns whether cp lies in one of the sorted, disjoint ranges.
inline bool in_ranges(const CodePointRange* ranges, std::size_t count, std::uint32_t cp) {
  std::size_t lo = 0, hi = count;
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (ranges[mid].last < cp) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < count && ranges[lo].first <= cp;
}

}  // namespace pelnor
