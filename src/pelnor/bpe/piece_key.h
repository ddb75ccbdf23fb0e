// The key of a short piece: its bytes and length packed into two words, hashed by multiplying.
// The piece cache and the vocabulary's whole-token table share it, so a piece is hashed once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelnor {

inline constexpr std::size_t kMaxKeyedPieceBytes = 15;

// key0 holds bytes 0-7 and key1 bytes 8-14, little-endian, bytes past the piece 0; the top byte
// of key1 holds the length (1-15), so that a piece and its zero-padded extension differ.
struct PieceKey {
  std::uint64_t key0, key1;
};

inline constexpr unsigned kKeyLengthShift = 56;

// Builds the key of the piece at p (1 to 15 bytes) of a text with `left` bytes from p on.
// Sixteen bytes are loaded only where the text holds them.
inline PieceKey piece_key(const std::uint8_t* p, std::size_t len, std::size_t left) {
  std::uint64_t words[2] = {0, 0};
  // Two separate copies of constant or short length: one copy of a variable length compiles to
  // a byte loop whose stores the word loads below then wait for.
  if (left >= 16) {
    std::memcpy(words, p, 16);
  } else {
    std::memcpy(words, p, len);
  }
  if (len >= 8) {
    words[1] &= (std::uint64_t{1} << (8 * (len - 8))) - 1;
  } else {
    words[0] &= (std::uint64_t{1} << (8 * len)) - 1;
    words[1] = 0;
  }
  return {words[0], words[1] | std::uint64_t{len} << kKeyLengthShift};
}

inline std::uint64_t piece_hash(PieceKey key) {
  return key.key0 * 0x9E3779B97F4A7C15ull ^ key.key1 * 0xC2B2AE3D27D4EB4Full;
}

}  // namespace pelnor
