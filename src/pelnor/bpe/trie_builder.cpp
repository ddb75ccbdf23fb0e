#include "pelnor/bpe/trie_builder.h"

#include <algorithm>

namespace pelnor {
namespace {

using namespace packing;

std::uint32_t rank18(TokenId rank) {
  return rank == NONE_RANK ? kRank18None : rank;
}

}  // namespace

ChildMap::ChildMap(std::size_t expected)
    : slots_(std::max<std::size_t>(1024, power_of_two_at_least(expected * 20 / 9 + 1)), 0),
      mask_(slots_.size() - 1) {}

std::uint32_t ChildMap::find(std::uint32_t parent, std::uint8_t byte) const {
  const std::uint64_t key = std::uint64_t{parent} << 8 | byte;
  for (std::uint64_t i = int_home(key) & mask_;; i = (i + 1) & mask_) {
    if (slots_[i] == 0) return 0;
    if (slots_[i] >> kChildBits == key) {
      return static_cast<std::uint32_t>(slots_[i] & ((1u << kChildBits) - 1));
    }
  }
}

void ChildMap::insert(std::uint32_t parent, std::uint8_t byte, std::uint32_t child) {
  if (!within_load(count_ + 1, slots_.size())) grow();
  place(std::uint64_t{parent} << 8 | byte, child);
  ++count_;
}

void ChildMap::place(std::uint64_t key, std::uint64_t child) {
  std::uint64_t i = int_home(key) & mask_;
  while (slots_[i] != 0) i = (i + 1) & mask_;
  slots_[i] = key << kChildBits | child;
}

void ChildMap::grow() {
  TableVector<std::uint64_t> old(slots_.size() * 2, 0);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  for (std::uint64_t slot : old) {
    if (slot != 0) place(slot >> kChildBits, slot & ((1u << kChildBits) - 1));
  }
}

// Byte-pair vocabularies have about two trie nodes per token.
TrieBuilder::TrieBuilder(const TokenStrings& tokens, TrieTables& tables)
    : tokens_(tokens), t_(tables), children_(2 * std::size_t{tokens.count()}) {}

bool TrieBuilder::build_paths() {
  if (!build_trie()) return false;
  build_prefix2();
  walk_token_paths();
  return true;
}

void TrieBuilder::build_packed() {
  build_tail_table();
  build_e2_table();
  build_bmp3();
}

std::uint32_t TrieBuilder::child(std::uint32_t node, std::uint8_t byte) const {
  return node == 0 ? t_.root_children_[byte] : children_.find(node, byte);
}

// Gaps' placeholders stay out of the trie (their bytes' nodes are 0), so no walk finds one and
// the tables built from it know none.
bool TrieBuilder::build_trie() {
  t_.node_rank_.assign(1, NONE_RANK);
  has_children_.assign(1, 0);
  node_after_byte_.reserve(tokens_.total_bytes());
  for (TokenId r = 0; r < tokens_.count(); ++r) {
    if (tokens_.is_gap(r)) {
      node_after_byte_.resize(node_after_byte_.size() + tokens_.len(r), 0);
      continue;
    }
    std::uint32_t node = 0;
    for (std::uint8_t byte : tokens_.bytes(r)) {
      std::uint32_t next = child(node, byte);
      if (next == 0) {
        if (t_.node_rank_.size() + 1 >= kMaxTrieNodes) return false;
        next = static_cast<std::uint32_t>(t_.node_rank_.size());
        t_.node_rank_.push_back(NONE_RANK);
        has_children_.push_back(0);
        has_children_[node] = 1;
        if (node == 0) {
          t_.root_children_[byte] = next;
        } else {
          children_.insert(node, byte, next);
        }
      }
      node = next;
      node_after_byte_.push_back(node);
    }
    t_.node_rank_[node] = r;
  }
  t_.has_every_byte_ = std::ranges::all_of(t_.root_children_, [&](std::uint32_t node) {
    return node != 0 && t_.node_rank_[node] != NONE_RANK;
  });
  return true;
}

void TrieBuilder::build_prefix2() {
  t_.prefix2_node_.assign(65536, 0);
  t_.prefix2_rank_.assign(65536, NONE_RANK);
  for (unsigned b0 = 0; b0 < 256; ++b0) {
    const std::uint32_t first = t_.root_children_[b0];
    if (first == 0) continue;
    for (unsigned b1 = 0; b1 < 256; ++b1) {
      const std::uint32_t second = children_.find(first, static_cast<std::uint8_t>(b1));
      const TokenId second_rank = second != 0 ? t_.node_rank_[second] : NONE_RANK;
      t_.prefix2_node_[b0 << 8 | b1] = second;
      t_.prefix2_rank_[b0 << 8 | b1] =
          second_rank != NONE_RANK ? second_rank : t_.node_rank_[first];
    }
  }
}

// Records every token's e2 edges and tail entry, and its next_prefix.
void TrieBuilder::walk_token_paths() {
  std::vector<std::uint8_t> edge_recorded(t_.node_rank_.size(), 0);
  e2_entries_.reserve(t_.node_rank_.size() / 2);
  tail_entries_.reserve(tokens_.count());
  std::vector<std::uint32_t> path;
  t_.next_prefix_.assign(tokens_.count(), NONE_RANK);
  for (TokenId r = 0; r < tokens_.count(); ++r) {
    if (tokens_.is_gap(r)) continue;
    const Bytes bytes = tokens_.bytes(r);
    const std::size_t len = bytes.size();
    const std::uint32_t* after = node_after_byte_.data() + tokens_.offset(r);
    path.assign(1, 0);
    path.insert(path.end(), after, after + len);
    for (std::size_t p = 1; p < len; ++p) {
      if (t_.node_rank_[path[p]] != NONE_RANK) t_.next_prefix_[r] = t_.node_rank_[path[p]];
    }
    // An e2 key is identified by the node it reaches, so each is recorded once.
    for (std::size_t p = 2; p + 2 <= len; p += 2) {
      const std::uint32_t reached = path[p + 2];
      if (edge_recorded[reached]) continue;
      edge_recorded[reached] = 1;
      const TokenId rank =
          t_.node_rank_[reached] != NONE_RANK ? t_.node_rank_[reached] : t_.node_rank_[path[p + 1]];
      e2_entries_.push_back({e2_mix(e2_key(path[p], bytes[p], bytes[p + 1])),
                             std::uint64_t{reached} << kE2ChildShift | rank18(rank)});
    }
    if (len % 2 == 1 && len >= 3) {
      const std::uint64_t key = std::uint64_t{path[len - 1]} << 8 | bytes[len - 1];
      tail_entries_.push_back((key + 1) << kTailKeyShift |
                              (has_children_[path[len]] ? kTailContinues : 0) | r);
    }
  }
}

void TrieBuilder::build_tail_table() {
  std::size_t slots = 1024;
  while (!within_load(tail_entries_.size(), slots)) slots *= 2;
  t_.tail_table_.assign(slots, 0);
  t_.tail_mask_ = slots - 1;
  for (std::uint64_t slot : tail_entries_) {
    std::uint64_t i = int_home((slot >> kTailKeyShift) - 1) & t_.tail_mask_;
    while (t_.tail_table_[i] != 0) i = (i + 1) & t_.tail_mask_;
    t_.tail_table_[i] = slot;
  }
}

// Sizes the e2 table so that no run of occupied slots reaches slots / 2048, which makes a
// fingerprint match exact: equal fingerprints force home slots a multiple of that apart.
void TrieBuilder::build_e2_table() {
  std::size_t slots = 1u << 17;
  while (!within_load(e2_entries_.size(), slots)) slots *= 2;
  for (;; slots *= 2) {
    const unsigned shift = kE2KeyBits - log2_exact(slots);
    t_.e2_table_.assign(slots, 0);
    t_.e2_mask_ = slots - 1;
    t_.e2_shift_ = shift;
    for (const E2Entry& entry : e2_entries_) {
      std::uint64_t i = entry.mixed >> shift;
      while (t_.e2_table_[i] != 0) i = (i + 1) & t_.e2_mask_;
      t_.e2_table_[i] = e2_tag(entry.mixed) | entry.payload;
    }
    if (longest_run(t_.e2_table_) < slots / 2048) break;
  }
  t_.rank18_none_is_ambiguous_ = tokens_.count() > kRank18None;
}

void TrieBuilder::build_bmp3() {
  t_.bmp3_node_.assign(65536, 0);
  t_.bmp3_rank_.assign(65536, NONE_RANK);
  t_.bmp3_continues_.assign(65536 / 64, 0);
  for (unsigned b0 = 0xE0; b0 <= 0xEF; ++b0) {
    for (unsigned b1 = 0x80; b1 <= 0xBF; ++b1) {
      const std::uint32_t second = t_.prefix2_node_[b0 << 8 | b1];
      const TokenId second_rank = t_.prefix2_rank_[b0 << 8 | b1];
      for (unsigned b2 = 0x80; b2 <= 0xBF; ++b2) {
        const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(b0), static_cast<std::uint8_t>(b1),
                                       static_cast<std::uint8_t>(b2)};
        const std::uint32_t third =
            second != 0 ? children_.find(second, static_cast<std::uint8_t>(b2)) : 0;
        const TokenId third_rank = third != 0 ? t_.node_rank_[third] : NONE_RANK;
        const std::uint32_t index = TrieTables::bmp3_index(bytes);
        t_.bmp3_node_[index] = second;
        t_.bmp3_rank_[index] = third_rank != NONE_RANK ? third_rank : second_rank;
        if (third != 0 && has_children_[third]) {
          t_.bmp3_continues_[index / 64] |= std::uint64_t{1} << (index % 64);
        }
      }
    }
  }
}

}  // namespace pelnor
