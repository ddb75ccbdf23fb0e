// Strict UTF-8: what Python accepts as text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelnor/types.h"

namespace pelnor {

// One step through bytes as UTF-8 at s[p]: a well-formed sequence and its length (1 to 4), or
// the maximal ill-formed subsequence there (overlong forms, surrogates and values above U+10FFFF
// are ill-formed) with length 1 to 3, or 0 when the bytes end inside a sequence that was
// well-formed so far.
struct Utf8Step {
  bool well_formed;
  std::size_t length;
};

inline Utf8Step utf8_step(const std::uint8_t* s, std::size_t n, std::size_t p) {
  const std::uint8_t b0 = s[p];
  if (b0 < 0x80) return {true, 1};
  std::size_t len;
  std::uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {false, 1};
  }
  for (std::size_t i = 1; i < len; ++i) {
    if (p + i >= n) return {false, 0};
    const bool fits = i == 1 ? s[p + i] >= lo && s[p + i] <= hi : (s[p + i] & 0xC0) == 0x80;
    if (!fits) return {false, i};
  }
  return {true, len};
}

// Returns the length of the longest prefix of bytes that is well-formed UTF-8.
inline std::size_t valid_utf8_prefix(Bytes bytes) {
  std::size_t p = 0;
  while (p < bytes.size()) {
    const Utf8Step step = utf8_step(bytes.data(), bytes.size(), p);
    if (!step.well_formed) break;
    p += step.length;
  }
  return p;
}

// Returns whether p[0, n) starts with a three-byte UTF-8 character (CJK text and the like).
inline bool starts_with_three_byte_char(const std::uint8_t* p, std::size_t n) {
  return n >= 3 && (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80;
}

// Returns whether bytes are well-formed UTF-8.
inline bool is_valid_utf8(Bytes bytes) {
  return valid_utf8_prefix(bytes) == bytes.size();
}

}  // namespace pelnor
