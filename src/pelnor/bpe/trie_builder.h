// Builds the trie tables of a vocabulary's tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelnor/bpe/open_addressing.h"
#include "pelnor/bpe/table_memory.h"
#include "pelnor/bpe/trie_tables.h"
#include "pelnor/bpe/vocab_file.h"

namespace pelnor {

// The (parent node, byte) -> child map of the trie under construction; depth-1 nodes live in
// the tables' root_children instead, so every key here is at least 256 and never 0.
class ChildMap {
 public:
  // Sized for about `expected` entries, so that a typical vocabulary never rehashes.
  explicit ChildMap(std::size_t expected);

  std::uint32_t find(std::uint32_t parent, std::uint8_t byte) const;
  void insert(std::uint32_t parent, std::uint8_t byte, std::uint32_t child);

 private:
  // Slot: key << 20 | child, 0 = empty.
  static constexpr unsigned kChildBits = 20;

  void place(std::uint64_t key, std::uint64_t child);
  void grow();

  TableVector<std::uint64_t> slots_;
  std::uint64_t mask_ = 0;
  std::size_t count_ = 0;
};

// Builds in two steps, so that the caller can run other work beside each: the trie and the
// tokens' paths through it (next_prefix is complete after it), then the packed tables.
class TrieBuilder {
 public:
  TrieBuilder(const TokenStrings& tokens, TrieTables& tables);

  // Builds the trie, the two-byte tables and next_prefix; returns false when the trie reaches
  // kMaxTrieNodes nodes.
  bool build_paths();
  // Builds the tail, e2 and three-byte tables.
  void build_packed();

 private:
  struct E2Entry {
    std::uint64_t mixed;    // the mixed key: home slot and fingerprint
    std::uint64_t payload;  // child << 18 | rank
  };

  std::uint32_t child(std::uint32_t node, std::uint8_t byte) const;
  bool build_trie();
  void build_prefix2();
  void walk_token_paths();
  void build_tail_table();
  void build_e2_table();
  void build_bmp3();

  const TokenStrings& tokens_;
  TrieTables& t_;
  ChildMap children_;
  std::vector<std::uint8_t> has_children_;
  // The trie node after each byte of each token, at the token's offset into the token bytes.
  TableVector<std::uint32_t> node_after_byte_;
  TableVector<E2Entry> e2_entries_;
  std::vector<std::uint64_t> tail_entries_;
};

}  // namespace pelnor
