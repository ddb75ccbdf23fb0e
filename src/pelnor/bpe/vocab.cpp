#include "pelnor/bpe/vocab.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <span>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace pelnor {
namespace {

using namespace packing;

// A load factor of at most 0.45: count / slots <= 9 / 20.
bool within_load(std::size_t count, std::size_t slots) {
  return count * 20 <= slots * 9;
}

std::size_t power_of_two_at_least(std::size_t n) {
  std::size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

unsigned log2_exact(std::size_t power) {
  unsigned bits = 0;
  while ((std::size_t{1} << bits) < power) ++bits;
  return bits;
}

std::uint32_t read_u16(const std::uint8_t* p) {
  return p[0] | p[1] << 8;
}
std::uint32_t read_u32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

Error bad_vocab(std::string_view reason, std::string_view label) {
  return Error{ErrorKind::kData,
               "pelnor: bad vocab file (" + std::string(reason) + "): " + std::string(label)};
}

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

// Runs side() on a helper thread while main() runs on this one; both have finished when it
// returns, and an exception of either is rethrown here. Without a thread both run in turn.
template <class Side, class Main>
void run_beside(Side side, Main main) {
  std::exception_ptr side_failure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        side();
      } catch (...) {
        side_failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    side();
    main();
    return;
  }
  try {
    main();
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  if (side_failure) std::rethrow_exception(side_failure);
}

std::uint32_t rank18(TokenId rank) {
  return rank == NONE_RANK ? kRank18None : rank;
}

// The (parent node, byte) -> child map of the trie under construction; depth-1 nodes live in
// the vocabulary's root_children instead, so every key here is at least 256 and never 0.
class ChildMap {
 public:
  // Sized for about `expected` entries, so that a typical vocabulary never rehashes.
  explicit ChildMap(std::size_t expected)
      : slots_(std::max<std::size_t>(1024, power_of_two_at_least(expected * 20 / 9 + 1)), 0),
        mask_(slots_.size() - 1) {}

  // Slot: key << 20 | child, 0 = empty.
  static constexpr unsigned kChildBits = 20;

  std::uint32_t find(std::uint32_t parent, std::uint8_t byte) const {
    const std::uint64_t key = std::uint64_t{parent} << 8 | byte;
    for (std::uint64_t i = int_home(key) & mask_;; i = (i + 1) & mask_) {
      if (slots_[i] == 0) return 0;
      if (slots_[i] >> kChildBits == key) {
        return static_cast<std::uint32_t>(slots_[i] & ((1u << kChildBits) - 1));
      }
    }
  }

  void insert(std::uint32_t parent, std::uint8_t byte, std::uint32_t child) {
    if (!within_load(count_ + 1, slots_.size())) grow();
    place(std::uint64_t{parent} << 8 | byte, child);
    ++count_;
  }

 private:
  void place(std::uint64_t key, std::uint64_t child) {
    std::uint64_t i = int_home(key) & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = key << kChildBits | child;
  }

  void grow() {
    TableVector<std::uint64_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (std::uint64_t slot : old) {
      if (slot != 0) place(slot >> kChildBits, slot & ((1u << kChildBits) - 1));
    }
  }

  TableVector<std::uint64_t> slots_;
  std::uint64_t mask_ = 0;
  std::size_t count_ = 0;
};

// Longest run of occupied slots, a run wrapping from the last slot to the first counting once.
std::size_t longest_run(std::span<const std::uint64_t> slots) {
  const std::size_t n = slots.size();
  std::size_t first_empty = 0;
  while (first_empty < n && slots[first_empty] != 0) ++first_empty;
  if (first_empty == n) return n;
  std::size_t longest = 0, run = 0;
  for (std::size_t k = 1; k <= n; ++k) {
    if (slots[(first_empty + k) % n] != 0) {
      longest = std::max(longest, ++run);
    } else {
      run = 0;
    }
  }
  return longest;
}

}  // namespace

namespace {

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

std::size_t Vocab::rank_slot(Bytes bytes) const {
  for (std::size_t i = hash_bytes(bytes) & rank_mask_;; i = (i + 1) & rank_mask_) {
    const TokenId rank = rank_slots_[i];
    if (rank == NONE_RANK || std::ranges::equal(token_bytes(rank), bytes)) return i;
  }
}

// Builds the trie tables of a vocabulary whose byte strings are in place.
class Vocab::Builder {
 public:
  // Byte-pair vocabularies have about two trie nodes per token.
  Builder(Vocab& vocab, std::string_view label)
      : v_(vocab), label_(label), children_(2 * std::size_t{vocab.token_count_}) {}

  // Independent work runs on two threads: the byte-string index beside the trie, then the e2,
  // tail and three-byte tables and half the split candidates beside the other half; the splits
  // themselves, each depending on those of lower ranks, come last.
  Result<bool> build() {
    bool repeated = false;
    bool trie_fits = false;
    run_beside([&] { repeated = !build_rank_index(); },
               [&] {
                 trie_fits = build_trie();
                 if (!trie_fits) return;
                 build_prefix2();
                 walk_token_paths();
               });
    // Two ranks for one byte string leave the merge without a single answer.
    if (repeated) return bad_vocab("repeated token bytes", label_);
    if (!trie_fits) {
      return Error{ErrorKind::kData,
                   "pelnor: trie too large for packed e2 (max 2^20 nodes): " + std::string(label_)};
    }
    const TokenId middle = v_.token_count_ / 2;
    SplitCandidates low, high;
    run_beside(
        [&] {
          build_tail_table();
          build_e2_table();
          build_bmp3();
          high = split_candidates(middle, v_.token_count_);
        },
        [&] { low = split_candidates(0, middle); });
    build_pairs(middle, low, high);
    return true;
  }

 private:
  // Returns false when a byte string repeats.
  bool build_rank_index() {
    v_.rank_slots_.assign(power_of_two_at_least(2 * std::size_t{v_.token_count_}), NONE_RANK);
    v_.rank_mask_ = v_.rank_slots_.size() - 1;
    for (TokenId rank = 0; rank < v_.token_count_; ++rank) {
      const std::size_t slot = v_.rank_slot(v_.token_bytes(rank));
      if (v_.rank_slots_[slot] != NONE_RANK) return false;
      v_.rank_slots_[slot] = rank;
    }
    return true;
  }

  std::uint32_t child(std::uint32_t node, std::uint8_t byte) const {
    return node == 0 ? v_.root_children_[byte] : children_.find(node, byte);
  }

  // Returns false when the trie reaches the node limit. Gaps' placeholders stay out of it (their
  // bytes' nodes are 0), so no walk finds one and the tables built from it know none.
  bool build_trie() {
    v_.node_rank_.assign(1, NONE_RANK);
    has_children_.assign(1, 0);
    node_after_byte_.reserve(v_.token_bytes_.size());
    for (TokenId r = 0; r < v_.token_count_; ++r) {
      if (v_.is_gap(r)) {
        node_after_byte_.resize(node_after_byte_.size() + v_.token_lens_[r], 0);
        continue;
      }
      std::uint32_t node = 0;
      for (std::uint8_t byte : v_.token_bytes(r)) {
        std::uint32_t next = child(node, byte);
        if (next == 0) {
          if (v_.node_rank_.size() + 1 >= kMaxTrieNodes) return false;
          next = static_cast<std::uint32_t>(v_.node_rank_.size());
          v_.node_rank_.push_back(NONE_RANK);
          has_children_.push_back(0);
          has_children_[node] = 1;
          if (node == 0) {
            v_.root_children_[byte] = next;
          } else {
            children_.insert(node, byte, next);
          }
        }
        node = next;
        node_after_byte_.push_back(node);
      }
      v_.node_rank_[node] = r;
    }
    v_.has_every_byte_ = std::ranges::all_of(v_.root_children_, [&](std::uint32_t node) {
      return node != 0 && v_.node_rank_[node] != NONE_RANK;
    });
    return true;
  }

  void build_prefix2() {
    v_.prefix2_node_.assign(65536, 0);
    v_.prefix2_rank_.assign(65536, NONE_RANK);
    for (unsigned b0 = 0; b0 < 256; ++b0) {
      const std::uint32_t first = v_.root_children_[b0];
      if (first == 0) continue;
      for (unsigned b1 = 0; b1 < 256; ++b1) {
        const std::uint32_t second = children_.find(first, static_cast<std::uint8_t>(b1));
        const TokenId second_rank = second != 0 ? v_.node_rank_[second] : NONE_RANK;
        v_.prefix2_node_[b0 << 8 | b1] = second;
        v_.prefix2_rank_[b0 << 8 | b1] =
            second_rank != NONE_RANK ? second_rank : v_.node_rank_[first];
      }
    }
  }

  // Records every token's e2 edges and tail entry, and its next_prefix.
  void walk_token_paths() {
    std::vector<std::uint8_t> edge_recorded(v_.node_rank_.size(), 0);
    e2_entries_.reserve(v_.node_rank_.size() / 2);
    tail_entries_.reserve(v_.token_count_);
    std::vector<std::uint32_t> path;
    v_.next_prefix_.assign(v_.token_count_, NONE_RANK);
    for (TokenId r = 0; r < v_.token_count_; ++r) {
      if (v_.is_gap(r)) continue;
      const Bytes bytes = v_.token_bytes(r);
      const std::size_t len = bytes.size();
      const std::uint32_t* after = node_after_byte_.data() + v_.token_offsets_[r];
      path.assign(1, 0);
      path.insert(path.end(), after, after + len);
      for (std::size_t p = 1; p < len; ++p) {
        if (v_.node_rank_[path[p]] != NONE_RANK) v_.next_prefix_[r] = v_.node_rank_[path[p]];
      }
      // An e2 key is identified by the node it reaches, so each is recorded once.
      for (std::size_t p = 2; p + 2 <= len; p += 2) {
        const std::uint32_t reached = path[p + 2];
        if (edge_recorded[reached]) continue;
        edge_recorded[reached] = 1;
        const TokenId rank = v_.node_rank_[reached] != NONE_RANK ? v_.node_rank_[reached]
                                                                 : v_.node_rank_[path[p + 1]];
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

  void build_tail_table() {
    std::size_t slots = 1024;
    while (!within_load(tail_entries_.size(), slots)) slots *= 2;
    v_.tail_table_.assign(slots, 0);
    v_.tail_mask_ = slots - 1;
    for (std::uint64_t slot : tail_entries_) {
      std::uint64_t i = int_home((slot >> kTailKeyShift) - 1) & v_.tail_mask_;
      while (v_.tail_table_[i] != 0) i = (i + 1) & v_.tail_mask_;
      v_.tail_table_[i] = slot;
    }
  }

  // Sizes the e2 table so that no run of occupied slots reaches slots / 2048, which makes a
  // fingerprint match exact: equal fingerprints force home slots a multiple of that apart.
  void build_e2_table() {
    std::size_t slots = 1u << 17;
    while (!within_load(e2_entries_.size(), slots)) slots *= 2;
    for (;; slots *= 2) {
      const unsigned shift = kE2KeyBits - log2_exact(slots);
      v_.e2_table_.assign(slots, 0);
      v_.e2_mask_ = slots - 1;
      v_.e2_shift_ = shift;
      for (const E2Entry& entry : e2_entries_) {
        std::uint64_t i = entry.mixed >> shift;
        while (v_.e2_table_[i] != 0) i = (i + 1) & v_.e2_mask_;
        v_.e2_table_[i] = e2_tag(entry.mixed) | entry.payload;
      }
      if (longest_run(v_.e2_table_) < slots / 2048) break;
    }
    v_.rank18_none_is_ambiguous_ = v_.token_count_ > kRank18None;
  }

  // The (prefix, suffix) pairs of tokens of lower rank that could be the split of each rank in
  // a range, longest prefix first: pairs[starts[i], starts[i + 1]) for rank begin + i. Only
  // lookups in finished tables, so halves of the ranks go to two threads, and the lookups of
  // one token do not wait on one another as they would between the verdicts of build_pairs.
  struct SplitCandidates {
    TableVector<Split> pairs;
    std::vector<std::uint32_t> starts;
  };

  SplitCandidates split_candidates(TokenId begin, TokenId end) const {
    SplitCandidates out;
    // Byte-pair vocabularies have fewer than two candidates per token.
    out.pairs.reserve(2 * std::size_t{end - begin});
    out.starts.reserve(end - begin + 1);
    out.starts.push_back(0);
    for (TokenId n = begin; n < end; ++n) {
      const Bytes bytes = v_.token_bytes(n);
      for (TokenId k = v_.next_prefix_[n]; k != NONE_RANK; k = v_.next_prefix_[k]) {
        if (k >= n) continue;
        const TokenId r = v_.rank_of(bytes.subspan(v_.token_lens_[k]));
        if (r != NONE_RANK && r < n && !v_.is_gap(r)) out.pairs.push_back({k, r});
      }
      out.starts.push_back(static_cast<std::uint32_t>(out.pairs.size()));
    }
    return out;
  }

  // Each token's split is its first candidate whose halves merge into it; ranks below `middle`
  // take their candidates from `low`, the others from `high`.
  void build_pairs(TokenId middle, const SplitCandidates& low, const SplitCandidates& high) {
    const std::size_t pair_slots = power_of_two_at_least(2 * std::size_t{v_.token_count_});
    v_.pair_table_.assign(pair_slots, 0);
    v_.pair_mask_ = pair_slots - 1;
    if (v_.token_count_ > kNarrowPairCacheMaxTokens) {
      v_.pair_cache32_ = ZeroedArray<std::uint32_t>(1u << 21);
    } else {
      v_.pair_cache16_ = ZeroedArray<std::uint16_t>(1u << 20);
    }
    v_.split_table_.resize(v_.token_count_);
    for (TokenId n = 0; n < v_.token_count_; ++n) {
      v_.split_table_[n] = {n, n};
      const SplitCandidates& range = n < middle ? low : high;
      const std::size_t i = n < middle ? n : n - middle;
      for (std::uint32_t c = range.starts[i]; c < range.starts[i + 1]; ++c) {
        const Split candidate = range.pairs[c];
        // The verdict is computed directly: caching it now would only store entries made
        // against an incomplete pair table, so the cache stays empty until encoding fills it.
        if (!v_.compute_compatible(candidate.left, candidate.right)) continue;
        v_.split_table_[n] = candidate;
        store_pair(candidate.left, candidate.right, n);
        break;
      }
      // A longer token that no merge of two lower-ranked tokens forms is beyond the trie walk;
      // a gap's placeholder is no token of the encoding, and no walk finds it.
      if (v_.token_lens_[n] > 1 && v_.split_table_[n].left == n && !v_.is_gap(n)) {
        v_.merges_pairwise_ = false;
      }
    }
  }

  void store_pair(TokenId left, TokenId right, TokenId merged) {
    const std::uint64_t key = std::uint64_t{left} << 18 | right;
    std::uint64_t i = int_home(key) & v_.pair_mask_;
    while (v_.pair_table_[i] != 0 && v_.pair_table_[i] >> kPairKeyShift != key + 1) {
      i = (i + 1) & v_.pair_mask_;
    }
    v_.pair_table_[i] = (key + 1) << kPairKeyShift | merged;
  }

  void build_bmp3() {
    v_.bmp3_node_.assign(65536, 0);
    v_.bmp3_rank_.assign(65536, NONE_RANK);
    v_.bmp3_continues_.assign(65536 / 64, 0);
    for (unsigned b0 = 0xE0; b0 <= 0xEF; ++b0) {
      for (unsigned b1 = 0x80; b1 <= 0xBF; ++b1) {
        const std::uint32_t second = v_.prefix2_node_[b0 << 8 | b1];
        const TokenId second_rank = v_.prefix2_rank_[b0 << 8 | b1];
        for (unsigned b2 = 0x80; b2 <= 0xBF; ++b2) {
          const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(b0),
                                         static_cast<std::uint8_t>(b1),
                                         static_cast<std::uint8_t>(b2)};
          const std::uint32_t third =
              second != 0 ? children_.find(second, static_cast<std::uint8_t>(b2)) : 0;
          const TokenId third_rank = third != 0 ? v_.node_rank_[third] : NONE_RANK;
          const std::uint32_t index = bmp3_index(bytes);
          v_.bmp3_node_[index] = second;
          v_.bmp3_rank_[index] = third_rank != NONE_RANK ? third_rank : second_rank;
          if (third != 0 && has_children_[third]) {
            v_.bmp3_continues_[index / 64] |= std::uint64_t{1} << (index % 64);
          }
        }
      }
    }
  }

  struct E2Entry {
    std::uint64_t mixed;    // the mixed key: home slot and fingerprint
    std::uint64_t payload;  // child << 18 | rank
  };

  Vocab& v_;
  std::string_view label_;
  ChildMap children_;
  std::vector<std::uint8_t> has_children_;
  // The trie node after each byte of each token, at the token's offset into token_bytes.
  TableVector<std::uint32_t> node_after_byte_;
  TableVector<E2Entry> e2_entries_;
  std::vector<std::uint64_t> tail_entries_;
};

Result<std::unique_ptr<Vocab>> Vocab::parse(Bytes data, std::string_view label) {
  if (data.size() < 4) return bad_vocab("truncated header", label);
  const std::uint32_t count = read_u32(data.data());
  if (count == 0 || count > kMaxTokenCount) {
    return bad_vocab("token count out of range (max 262144 ids)", label);
  }
  // Where each rank's bytes stand in the data; 0 = not seen (no record starts before 4).
  TableVector<std::size_t> record_of_rank(count, 0);
  std::size_t cursor = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (data.size() - cursor < 2) return bad_vocab("truncated record", label);
    const std::uint32_t len = read_u16(data.data() + cursor);
    if (len == 0 || len > kMaxTokenBytes) return bad_vocab("token length out of range", label);
    if (data.size() - cursor < 2 + len + 4) return bad_vocab("truncated token bytes", label);
    const std::uint32_t rank = read_u32(data.data() + cursor + 2 + len);
    if (rank >= count) return bad_vocab("rank out of range", label);
    if (record_of_rank[rank] != 0) return bad_vocab("duplicate rank", label);
    record_of_rank[rank] = cursor;
    cursor += len + 6;
  }
  if (cursor != data.size()) return bad_vocab("trailing bytes", label);

  std::unique_ptr<Vocab> vocab(new Vocab());
  Vocab& v = *vocab;
  v.token_count_ = count;
  v.token_bytes_.reserve(data.size() - 4 - 6 * std::size_t{count} + kTokenBytesPadding);
  v.token_offsets_.reserve(count + 1);
  v.token_offsets_.push_back(0);
  v.token_lens_.reserve(count);
  for (std::uint32_t rank = 0; rank < count; ++rank) {
    const std::size_t at = record_of_rank[rank];
    const std::uint32_t len = read_u16(data.data() + at);
    const std::uint8_t* bytes = data.data() + at + 2;
    v.token_bytes_.insert(v.token_bytes_.end(), bytes, bytes + len);
    v.token_offsets_.push_back(static_cast<std::uint32_t>(v.token_bytes_.size()));
    v.token_lens_.push_back(static_cast<std::uint8_t>(len));
  }
  v.token_bytes_.resize(v.token_bytes_.size() + kTokenBytesPadding);
  Result<bool> built = Builder(v, label).build();
  if (!built.ok()) return built.failure();
  // Built once the builder's temporaries are gone, so that it does not raise the peak of memory.
  v.build_whole_tokens();
  return vocab;
}

void Vocab::build_whole_tokens() {
  std::size_t short_tokens = 0;
  for (TokenId rank = 0; rank < token_count_; ++rank) {
    short_tokens += token_lens_[rank] <= kMaxWholeTokenBytes && !is_gap(rank);
  }
  // Up to 0.75 of the slots taken: four slots share a cache line, so a probe still reads about
  // one line, and the table costs the memory of a second rank index rather than four.
  const std::size_t slots = power_of_two_at_least(std::max<std::size_t>(short_tokens * 4 / 3, 2));
  whole_tokens_.assign(slots, WholeTokenSlot{0, 0});
  whole_token_shift_ = 64 - log2_exact(slots);
  for (TokenId rank = 0; rank < token_count_; ++rank) {
    const Bytes token = token_bytes(rank);
    if (token.size() > kMaxWholeTokenBytes || is_gap(rank)) continue;
    const std::size_t left = token_bytes_.size() - token_offsets_[rank];
    const PieceKey key = piece_key(token.data(), token.size(), left);
    std::size_t i = piece_hash(key) >> whole_token_shift_;
    while (whole_tokens_[i].rest != 0) i = (i + 1) & (slots - 1);
    whole_tokens_[i] = {key.key0,
                        whole_token_rest_key(key) | std::uint64_t{rank} << kWholeRankShift};
  }
}

TokenId Vocab::rank_of(Bytes bytes) const {
  return rank_slots_[rank_slot(bytes)];
}

bool Vocab::compute_compatible(TokenId a, TokenId b) const {
  std::uint32_t limit = 0xFFFFFFFF;
  for (;;) {
    const TokenId merged = find_pair(a, b);
    if (merged != NONE_RANK && merged < limit) return false;
    limit = b + 1;
    if (b < a) {
      if (split_table_[a].right == a) {
        if (split_table_[b].left == b) return true;
        b = split_table_[b].left;
      } else {
        limit = a;
        a = split_table_[a].right;
      }
    } else if (split_table_[b].left != b) {
      b = split_table_[b].left;
    } else if (split_table_[a].right == a) {
      return true;
    } else {
      limit = a;
      a = split_table_[a].right;
    }
  }
}

std::size_t Vocab::e2_longest_run() const {
  return longest_run(e2_table_);
}

std::size_t Vocab::memory_bytes() const {
  std::size_t total = token_bytes_.size() + 4 * token_offsets_.size() + token_lens_.size();
  total += 4 * (rank_slots_.size() + prefix2_node_.size() + prefix2_rank_.size() +
                bmp3_node_.size() + bmp3_rank_.size() + node_rank_.size() + next_prefix_.size()) +
           8 * bmp3_continues_.size();
  total += sizeof(Split) * split_table_.size() + sizeof(WholeTokenSlot) * whole_tokens_.size();
  total += 8 * (pair_table_.size() + e2_table_.size() + tail_table_.size());
  total += 2 * pair_cache16_.size() + 4 * pair_cache32_.size();
  return total;
}

}  // namespace pelnor
