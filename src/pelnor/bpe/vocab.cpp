#include "pelnor/bpe/vocab.h"

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "pelnor/bpe/trie_builder.h"

namespace pelnor {
namespace {

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

}  // namespace

// Independent work runs on two threads: the rank index beside the trie, then the packed trie
// tables and half the split candidates beside the other half; the splits themselves, each
// depending on those of lower ranks, come last.
Result<std::unique_ptr<Vocab>> Vocab::parse(Bytes data, std::string_view label) {
  Result<TokenStrings> tokens = read_vocab_file(data, label);
  if (!tokens.ok()) return tokens.failure();
  std::unique_ptr<Vocab> vocab(new Vocab());
  Vocab& v = *vocab;
  v.tokens_ = std::move(tokens).value();
  {
    TrieBuilder trie(v.tokens_, v.trie_);
    bool repeated = false;
    bool trie_fits = false;
    run_beside([&] { repeated = !v.ranks_.build(v.tokens_); },
               [&] { trie_fits = trie.build_paths(); });
    // Two ranks for one byte string leave the merge without a single answer.
    if (repeated) return bad_vocab("repeated token bytes", label);
    if (!trie_fits) {
      return Error{ErrorKind::kData,
                   "pelnor: trie too large for packed e2 (max 2^20 nodes): " + std::string(label)};
    }
    const TokenId count = v.tokens_.count();
    const TokenId middle = count / 2;
    SplitCandidates low, high;
    run_beside(
        [&] {
          trie.build_packed();
          high = split_candidates(v.tokens_, v.ranks_, v.trie_, middle, count);
        },
        [&] { low = split_candidates(v.tokens_, v.ranks_, v.trie_, 0, middle); });
    v.merges_pairwise_ = v.compat_.build(v.tokens_, middle, low, high);
  }
  // Built once the builder's temporaries are gone, so that it does not raise the peak of memory.
  v.whole_tokens_.build(v.tokens_);
  return vocab;
}

std::size_t Vocab::memory_bytes() const {
  return tokens_.memory_bytes() + ranks_.memory_bytes() + trie_.memory_bytes() +
         compat_.memory_bytes() + whole_tokens_.memory_bytes();
}

}  // namespace pelnor
