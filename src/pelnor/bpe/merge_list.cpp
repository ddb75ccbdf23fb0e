#include "pelnor/bpe/merge_list.h"

#include <algorithm>
#include <array>

#include "pelnor/bpe/open_addressing.h"

namespace pelnor {
namespace {

// The merges by pair, first listing only: open addressing on (left, right) + 1.
class PairTable {
 public:
  explicit PairTable(std::span<const ListedMerge> merges) {
    std::size_t slots = power_of_two_at_least(merges.size() + 1);
    while (!within_load(merges.size(), slots)) slots *= 2;
    keys_.assign(slots, 0);
    found_.resize(slots);
    mask_ = slots - 1;
    for (std::size_t i = 0; i < merges.size(); ++i) {
      const std::uint64_t key = key_of(merges[i].left, merges[i].right);
      std::size_t slot = int_home(key) & mask_;
      while (keys_[slot] != 0 && keys_[slot] != key) slot = (slot + 1) & mask_;
      if (keys_[slot] == 0) {
        keys_[slot] = key;
        found_[slot] = {i, merges[i].merged};
      }
    }
  }

  struct Found {
    std::size_t priority;
    TokenId merged;
  };

  const Found* find(TokenId left, TokenId right) const {
    const std::uint64_t key = key_of(left, right);
    for (std::size_t slot = int_home(key) & mask_;; slot = (slot + 1) & mask_) {
      if (keys_[slot] == key) return &found_[slot];
      if (keys_[slot] == 0) return nullptr;
    }
  }

 private:
  static std::uint64_t key_of(TokenId left, TokenId right) {
    return (std::uint64_t{left} << 32 | right) + 1;
  }

  std::vector<std::uint64_t> keys_;
  std::vector<Found> found_;
  std::size_t mask_ = 0;
};

}  // namespace

std::vector<TokenId> tokens_unformed_by(const TokenStrings& tokens,
                                        std::span<const ListedMerge> merges) {
  const PairTable listed(merges);
  std::array<TokenId, 256> byte_rank;
  byte_rank.fill(NONE_RANK);
  for (TokenId rank = 0; rank < tokens.count(); ++rank) {
    if (tokens.len(rank) == 1) byte_rank[tokens.bytes(rank)[0]] = rank;
  }
  std::vector<TokenId> unformed;
  std::vector<TokenId> parts;
  for (TokenId rank = 0; rank < tokens.count(); ++rank) {
    const Bytes bytes = tokens.bytes(rank);
    if (bytes.size() < 2) continue;
    parts.clear();
    for (const std::uint8_t byte : bytes) parts.push_back(byte_rank[byte]);
    if (std::ranges::find(parts, NONE_RANK) != parts.end()) {
      unformed.push_back(rank);
      continue;
    }
    for (;;) {
      const PairTable::Found* best = nullptr;
      std::size_t at = 0;
      for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const PairTable::Found* found = listed.find(parts[i], parts[i + 1]);
        if (found != nullptr && (best == nullptr || found->priority < best->priority)) {
          best = found;
          at = i;
        }
      }
      if (best == nullptr) break;
      parts[at] = best->merged;
      parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    }
    if (parts.size() != 1 || parts[0] != rank) unformed.push_back(rank);
  }
  return unformed;
}

}  // namespace pelnor
