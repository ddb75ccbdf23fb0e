// The little-endian integers of the data formats.
#pragma once

#include <cstdint>

namespace pelnor {

inline std::uint32_t read_u16(const std::uint8_t* p) {
  return p[0] | p[1] << 8;
}

inline std::uint32_t read_u32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace pelnor
