#include "pelnor/bpe/rank_index.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include <unistd.h>

#include "pelnor/bpe/open_addressing.h"

namespace pelnor {
namespace {

// From getentropy, not std::random_device: the C++ runtime's device calls arc4random, which
// would raise the C library a wheel needs to glibc 2.36.
std::uint64_t process_hash_seed() {
  static const std::uint64_t seed = [] {
    std::uint64_t value = 0;
    if (getentropy(&value, sizeof value) != 0) {  // only without getrandom (Linux before 3.17)
      value =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return value;
  }();
  return seed;
}

// A seeded hash of byte strings: eight bytes a step, multiply and fold.
std::uint64_t hash_bytes(Bytes s) {
  std::uint64_t h = process_hash_seed() ^ (s.size() * kGoldenMultiplier);
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    h = (h ^ word) * kGoldenMultiplier;
    h ^= h >> 29;
  }
  std::uint64_t rest = 0;
  if (i < s.size()) std::memcpy(&rest, s.data() + i, s.size() - i);
  h = (h ^ rest) * kGoldenMultiplier;
  return h ^ (h >> 32);
}

}  // namespace

bool RankIndex::build(const TokenStrings& tokens) {
  slots_.assign(power_of_two_at_least(2 * std::size_t{tokens.count()}), NONE_RANK);
  mask_ = slots_.size() - 1;
  for (TokenId rank = 0; rank < tokens.count(); ++rank) {
    const std::size_t at = slot(tokens.bytes(rank), tokens);
    if (slots_[at] != NONE_RANK) return false;
    slots_[at] = rank;
  }
  return true;
}

TokenId RankIndex::find(Bytes bytes, const TokenStrings& tokens) const {
  return slots_[slot(bytes, tokens)];
}

std::size_t RankIndex::slot(Bytes bytes, const TokenStrings& tokens) const {
  for (std::size_t i = hash_bytes(bytes) & mask_;; i = (i + 1) & mask_) {
    const TokenId rank = slots_[i];
    if (rank == NONE_RANK || std::ranges::equal(tokens.bytes(rank), bytes)) return i;
  }
}

}  // namespace pelnor
