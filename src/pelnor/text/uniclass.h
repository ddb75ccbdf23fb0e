// Unicode character classes of the pre-tokenizers, loaded from a uniclass file.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

// Class bits, in file section order.
inline constexpr std::uint8_t kLetter = 0x01;      // general category L
inline constexpr std::uint8_t kNumber = 0x02;      // general category N
inline constexpr std::uint8_t kWhitespace = 0x04;  // property White_Space
inline constexpr std::uint8_t kUpperSet = 0x08;    // Lu, Lt, Lm, Lo and M
inline constexpr std::uint8_t kLowerSet = 0x10;    // Ll, Lm, Lo and M

inline constexpr int kMaxClasses = 5;
inline constexpr std::uint32_t kMaxRangesPerClass = 100000;
// The largest uniclass file: per class a range count and its (start, end) pairs.
inline constexpr std::size_t kMaxUniclassFileBytes =
    kMaxClasses * (4 + std::size_t{kMaxRangesPerClass} * 8);

class UniClassTable {
 public:
  UniClassTable() = default;

  // Parses a uniclass file of `classes` sections (3 or 5); label names it in the error.
  static Result<UniClassTable> parse(Bytes data, std::string_view label, int classes);

  // Returns the class bits of a code point (any value, also above U+10FFFF).
  std::uint8_t flags(std::uint32_t cp) const {
    return cp <= 0xFFFF ? bmp_flags_[cp] : supplementary_flags(cp);
  }
  // Returns the heap footprint: 4 bytes per range bound plus the flag table.
  std::size_t memory_bytes() const;

 private:
  std::uint8_t supplementary_flags(std::uint32_t cp) const;

  int classes_ = 0;
  std::array<std::vector<std::uint32_t>, kMaxClasses> starts_;
  std::array<std::vector<std::uint32_t>, kMaxClasses> ends_;
  std::vector<std::uint8_t> bmp_flags_;
};

// Reads the whole uniclass file at path and parses it with the path as label.
Result<UniClassTable> load_uniclass_file(const std::string& path, int classes);

}  // namespace pelnor
