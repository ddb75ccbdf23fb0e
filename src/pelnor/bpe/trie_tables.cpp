#include "pelnor/bpe/trie_tables.h"

namespace pelnor {

std::size_t TrieTables::e2_longest_run() const {
  return longest_run(e2_table_);
}

std::size_t TrieTables::memory_bytes() const {
  return 4 * (prefix2_node_.size() + prefix2_rank_.size() + bmp3_node_.size() + bmp3_rank_.size() +
              node_rank_.size() + next_prefix_.size()) +
         8 * bmp3_continues_.size() + 8 * (e2_table_.size() + tail_table_.size());
}

}  // namespace pelnor
