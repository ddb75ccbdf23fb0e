#include "pelnor/bpe/merge.h"

#include <cassert>
#include <functional>
#include <queue>
#include <tuple>
#include <vector>

#include "pelnor/scratch.h"
#include "pelnor/text/utf8.h"

namespace pelnor {
namespace {

// Longest token prefix of p[0, n), walking the trie two bytes a step. kThreeByteShortcut
// answers a leading three-byte character with one read. The tail table is asked only where
// the walk stops: an edge's rank already covers the odd-length token inside it.
template <bool kThreeByteShortcut>
TokenId walk_longest_prefix(const Vocab& v, const std::uint8_t* p, std::size_t n) {
  if (n == 0) return NONE_RANK;
  if (n == 1) return v.node_rank(v.root_child(p[0]));
  std::uint32_t node;
  TokenId best;
  bool covered = false;  // byte i is already accounted for in best
  if (kThreeByteShortcut && starts_with_three_byte_char(p, n)) {
    const std::uint32_t index = Vocab::bmp3_index(p);
    best = v.bmp3_rank(index);
    if (!v.bmp3_continues(index)) return best;
    node = v.bmp3_node(index);
    covered = true;
  } else {
    node = v.prefix2_node(p[0], p[1]);
    best = v.prefix2_rank(p[0], p[1]);
  }
  std::size_t i = 2;
  while (node != 0) {
    if (n - i < 2) {
      const TokenId tail = n - i == 1 && !covered ? v.find_tail(node, p[i]) : NONE_RANK;
      return tail != NONE_RANK ? tail : best;
    }
    E2Edge edge;
    if (v.find_e2(node, p[i], p[i + 1], edge)) {
      node = edge.child;
      if (edge.rank != NONE_RANK) best = edge.rank;
      i += 2;
      covered = false;
      continue;
    }
    const TokenId tail = covered ? NONE_RANK : v.find_tail(node, p[i]);
    return tail != NONE_RANK ? tail : best;
  }
  return best;
}

// Finds a valid tokenization by trying ever shorter tokens, left to right, remembering the
// positions from which no tokenization of the rest exists. It goes on where the greedy pass
// stopped, which is where a search from the start would first differ from it: out[base..]
// holds the tokens accepted so far, covering the piece up to start, and candidate is the
// longest token at start, the one that did not fit after them.
template <bool kThreeByteShortcut>
void backtrack(const Vocab& v, Bytes piece, std::size_t base, std::size_t start, TokenId candidate,
               IdVector& out) {
  MergeScratchLease scratch;
  std::vector<TokenId>& stack = scratch->stack;
  std::vector<std::uint64_t>& reachable = scratch->reachable;
  const std::size_t len = piece.size();
  stack.assign(out.data() + base, out.data() + out.size());
  out.truncate(base);
  reachable.assign((len + 64) / 64, ~std::uint64_t{0});
  for (;;) {
    const TokenId previous = stack.empty() ? NONE_RANK : stack.back();
    for (; candidate != NONE_RANK; candidate = v.next_prefix(candidate)) {
      const std::size_t end = start + v.token_len(candidate);
      if ((reachable[end / 64] >> (end % 64) & 1) &&
          (previous == NONE_RANK || v.is_compatible(previous, candidate))) {
        break;
      }
    }
    if (candidate != NONE_RANK) {
      stack.push_back(candidate);
      start += v.token_len(candidate);
      if (start >= len) break;
      candidate = walk_longest_prefix<kThreeByteShortcut>(v, piece.data() + start, len - start);
      if (candidate == NONE_RANK) break;
      continue;
    }
    reachable[start / 64] &= ~(std::uint64_t{1} << (start % 64));
    if (stack.empty()) break;
    candidate = stack.back();
    stack.pop_back();
    start -= v.token_len(candidate);
  }
  // Every byte is a token, so some tokenization of the piece always exists.
  assert(start >= len);
  out.append(stack.data(), stack.size());
}

// The greedy pass: longest tokens from the left, each compatible with the one before; the
// first incompatible pair hands the rest of the piece to the backtracking search.
template <bool kThreeByteShortcut>
void merge_greedy(const Vocab& v, Bytes piece, TokenId first, IdVector& out) {
  const std::size_t base = out.size();
  TokenId token = first;
  TokenId previous = NONE_RANK;
  for (std::size_t pos = 0;;) {
    // The verdict on (previous, token) is a trip to memory that does not decide where the next
    // token starts: it is started here and read after the next token is found.
    if (previous != NONE_RANK) v.prefetch_compatible(previous, token);
    out.push_back(token);
    pos += v.token_len(token);
    const TokenId next = pos < piece.size() ? walk_longest_prefix<kThreeByteShortcut>(
                                                  v, piece.data() + pos, piece.size() - pos)
                                            : NONE_RANK;
    if (previous != NONE_RANK && !v.is_compatible(previous, token)) {
      out.truncate(out.size() - 1);
      return backtrack<kThreeByteShortcut>(v, piece, base, pos - v.token_len(token), token, out);
    }
    if (pos >= piece.size()) return;
    previous = token;
    token = next;
  }
}

// Byte-pair merging as it is defined: the joined neighbours of lowest rank merge first, the
// leftmost pair among equals. The trie walk stands in for this only where every token is two
// tokens of lower rank joined and every byte is a token; other tables come here. A piece that is a
// token is that token, and a single byte that is no token is dropped. A heap keeps long pieces
// near-linear. Gaps' placeholders are no tokens here.
void merge_by_ranks(const Vocab& v, Bytes piece, IdVector& out) {
  const auto mergeable_rank = [&](Bytes bytes) {
    const TokenId rank = v.rank_of(bytes);
    return rank != NONE_RANK && !v.is_gap(rank) ? rank : NONE_RANK;
  };
  if (piece.size() <= kMaxTokenBytes) {
    const TokenId whole = mergeable_rank(piece);
    if (whole != NONE_RANK) return out.push_back(whole);
  }
  const std::size_t n = piece.size();
  // Parts are [start, end[start]); a start that is no longer a part's start has end 0.
  std::vector<std::size_t> end(n), previous(n);
  for (std::size_t i = 0; i < n; ++i) {
    end[i] = i + 1;
    previous[i] = i - 1;
  }
  using Candidate = std::tuple<TokenId, std::size_t, std::size_t, std::size_t>;  // rank, l, m, r
  std::priority_queue<Candidate, std::vector<Candidate>, std::greater<>> candidates;
  const auto consider = [&](std::size_t left, std::size_t middle) {
    const std::size_t right = end[middle];
    if (right - left > kMaxTokenBytes) return;
    const TokenId rank = mergeable_rank(piece.subspan(left, right - left));
    if (rank != NONE_RANK) candidates.emplace(rank, left, middle, right);
  };
  for (std::size_t i = 0; i + 1 < n; ++i) consider(i, i + 1);
  while (!candidates.empty()) {
    const auto [rank, left, middle, right] = candidates.top();
    candidates.pop();
    if (end[left] != middle || end[middle] != right) continue;  // a part has changed since
    end[left] = right;
    end[middle] = 0;
    if (right < n) previous[right] = left;
    if (left > 0) consider(previous[left], left);
    if (right < n) consider(left, right);
  }
  for (std::size_t start = 0; start < n; start = end[start]) {
    const TokenId rank = mergeable_rank(piece.subspan(start, end[start] - start));
    if (rank != NONE_RANK) out.push_back(rank);
  }
}

// Whether the ids appended since `from` spell as many bytes as the piece has: with every byte a
// token, the merge covers the whole piece.
[[maybe_unused]] bool tiles(const Vocab& vocab, Bytes piece, const IdVector& out,
                            std::size_t from) {
  std::size_t len = 0;
  for (std::size_t i = from; i < out.size(); ++i) len += vocab.token_len(out[i]);
  return len == piece.size();
}

}  // namespace

TokenId longest_prefix(const Vocab& vocab, Bytes span) {
  return walk_longest_prefix<false>(vocab, span.data(), span.size());
}

void merge_piece(const Vocab& vocab, Bytes piece, IdVector& out) {
  if (piece.empty()) return;
  if (!vocab.merges_pairwise() || !vocab.has_every_byte()) return merge_by_ranks(vocab, piece, out);
  [[maybe_unused]] const std::size_t before = out.size();
  merge_greedy<true>(vocab, piece, walk_longest_prefix<true>(vocab, piece.data(), piece.size()),
                     out);
  assert(tiles(vocab, piece, out, before));
}

void merge_piece_from(const Vocab& vocab, Bytes piece, TokenId first, IdVector& out) {
  if (piece.empty()) return;
  if (!vocab.merges_pairwise() || !vocab.has_every_byte()) return merge_by_ranks(vocab, piece, out);
  [[maybe_unused]] const std::size_t before = out.size();
  merge_greedy<false>(vocab, piece, first, out);
  assert(tiles(vocab, piece, out, before));
}

}  // namespace pelnor
