// Strict UTF-8: what Python accepts as text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "types.h"

namespace pelnor {

// Returns the length of the well-formed UTF-8 sequence at s[p] (1 to 4), or 0 when the bytes
// there start no well-formed sequence (overlong forms, surrogates and values above U+10FFFF are
// ill-formed).
inline std::size_t utf8_sequence_length(const std::uint8_t* s, std::size_t n, std::size_t p) {
  const std::uint8_t b0 = s[p];
  if (b0 < 0x80) return 1;
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
    return 0;
  }
  if (n - p < len || s[p + 1] < lo || s[p + 1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if ((s[p + i] & 0xC0) != 0x80) return 0;
  }
  return len;
}

// Returns whether bytes are well-formed UTF-8.
inline bool is_valid_utf8(Bytes bytes) {
  for (std::size_t p = 0; p < bytes.size();) {
    const std::size_t len = utf8_sequence_length(bytes.data(), bytes.size(), p);
    if (len == 0) return false;
    p += len;
  }
  return true;
}

}  // namespace pelnor
