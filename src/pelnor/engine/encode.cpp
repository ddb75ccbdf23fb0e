#include "pelnor/engine/encode.h"

#include <algorithm>
#include <cassert>

#include "pelnor/bpe/merge.h"
#include "pelnor/bpe/pcache.h"
#include "pelnor/engine/registry.h"
#include "pelnor/scratch.h"
#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_split.h"
#include "pelnor/text/utf8.h"

namespace pelnor {
namespace {

// A piece the pre-tokenizer has cut but the encode loop has not yet encoded. A short piece
// carries its key and hash, computed when it was cut, when the slot it will look up first (its
// cache slots, or with no cache its whole-token slot) was prefetched.
struct UpcomingPiece {
  std::size_t start;
  std::size_t len;
  bool keyed;  // 1 to 15 bytes, not starting with a three-byte character
  PieceKey key;
  std::uint64_t hash;
};

// How many pieces the pre-tokenizer runs ahead of the encoding: enough that a prefetched slot
// has arrived from memory by the time its piece is encoded.
constexpr std::size_t kPiecesAhead = 8;

// Appends the ids of a short piece without the cache: most short pieces are one token, found
// with one probe of the whole-token table; the others are merged.
void encode_short_piece(const Vocab& vocab, Bytes piece, const UpcomingPiece& upcoming,
                        IdVector& out) {
  if (piece.size() <= kMaxWholeTokenBytes) {
    const TokenId whole = vocab.whole_token(upcoming.key, upcoming.hash);
    if (whole != NONE_RANK) return out.push_back(whole);
  }
  merge_piece_from(vocab, piece, longest_prefix(vocab, piece), out);
}

void encode_cached_piece(const Vocab& vocab, Bytes piece, const UpcomingPiece& upcoming,
                         IdVector& out, const CacheHandle& cache) {
  const std::size_t home_pair = (upcoming.hash >> cache.shift) & ~std::size_t{1};
  const CacheSlot* home = &cache.slots[home_pair];
  const PieceKey key = upcoming.key;
  const CacheSlot* hit = slot_matches(home[0], key)   ? &home[0]
                         : slot_matches(home[1], key) ? &home[1]
                         : slot_empty(home[0]) || slot_empty(home[1])
                             ? nullptr
                             : find_in_window_tail(cache, key, home_pair);
  if (hit != nullptr) return append_cached(*hit, out);
  const std::size_t before = out.size();
  encode_short_piece(vocab, piece, upcoming, out);
  store_piece(cache, key, home_pair, out.data() + before, out.size() - before);
}

// Appends the ids of a piece the cache does not serve: a long one, or one that starts with a
// three-byte character (CJK text and the like), for which the merge has its own start.
void encode_long_piece(const Vocab& vocab, Bytes piece, IdVector& out) {
  if (starts_with_three_byte_char(piece.data(), piece.size()))
    return merge_piece(vocab, piece, out);
  merge_piece_from(vocab, piece, longest_prefix(vocab, piece), out);
}

// Cuts pieces by a hand-written pre-tokenizer: every byte of the text is in some piece.
struct RuleCutter {
  const UniClassTable& classes;
  NextPiece next_piece;
  bool operator()(Bytes text, std::size_t from, Span& piece) const {
    if (from >= text.size()) return false;
    piece = {from, next_piece(classes, text, from)};
    return true;
  }
};

struct RegexCutter {
  RegexSearch search;
  bool operator()(Bytes, std::size_t from, Span& piece) { return search.next(from, piece); }
};

struct LevelsCutter {
  LevelCutter levels;
  bool operator()(Bytes, std::size_t, Span& piece) { return levels.next(piece); }
};

// Encodes the pieces that next_piece cuts, telling on_piece(start, ids so far) as each piece's
// encoding begins.
template <class Cutter, class OnPiece>
void encode_pieces(const Tokenizer& tokenizer, Bytes text, IdVector& out, const CacheHandle& cache,
                   Cutter next_piece, OnPiece on_piece) {
  const Vocab& vocab = tokenizer.vocab();
  // A random slot of a large table is a trip to memory; cutting pieces ahead and prefetching
  // their slots lets those trips overlap instead of following one another.
  UpcomingPiece ring[kPiecesAhead];
  std::size_t cut = 0;
  std::size_t head = 0;
  std::size_t tail = 0;
  bool more = true;
  const auto cut_next = [&] {
    Span span{};
    more = next_piece(text, cut, span);
    if (!more) return;
    // Pieces come in order, each non-empty, within the text and ending past the last one; a
    // pattern may skip text, and \K in a look-behind may start a piece inside the last one.
    assert(span.len > 0 && span.start <= text.size() && span.len <= text.size() - span.start &&
           span.start + span.len > cut);
    UpcomingPiece& next = ring[tail++ % kPiecesAhead];
    next.start = span.start;
    next.len = span.len;
    const std::uint8_t* p = text.data() + span.start;
    cut = span.start + span.len;
    next.keyed = next.len <= kMaxKeyedPieceBytes && !starts_with_three_byte_char(p, next.len);
    if (!next.keyed) return;
    next.key = piece_key(p, next.len, text.size() - next.start);
    next.hash = piece_hash(next.key);
    if (cache.usable()) {
      __builtin_prefetch(&cache.slots[(next.hash >> cache.shift) & ~std::size_t{1}]);
    } else if (next.len <= kMaxWholeTokenBytes) {
      __builtin_prefetch(vocab.whole_token_home(next.hash));
    }
  };
  while (tail - head < kPiecesAhead && more) cut_next();
  while (head != tail) {
    const UpcomingPiece& piece = ring[head++ % kPiecesAhead];
    const Bytes bytes = text.subspan(piece.start, piece.len);
    on_piece(piece.start, out.size());
    if (!piece.keyed) {
      encode_long_piece(vocab, bytes, out);
    } else if (cache.usable()) {
      encode_cached_piece(vocab, bytes, piece, out, cache);
    } else {
      encode_short_piece(vocab, bytes, piece, out);
    }
    if (more) cut_next();
  }
}

// Returns use(cutter) for the cutter of the tokenizer's pre-tokenizer over text.
template <class Use>
decltype(auto) with_cutter(const Tokenizer& tokenizer, Bytes text, Use use) {
  switch (tokenizer.rule_set()) {
    case RuleSet::kRegex:
      return use(RegexCutter{RegexSearch(*tokenizer.splitter(), text)});
    case RuleSet::kLevels:
      return use(LevelsCutter{LevelCutter(tokenizer.levels(), text)});
    default:
      return use(RuleCutter{tokenizer.classes(), scanner_of(tokenizer.rule_set())});
  }
}

// Appends the ids of text as encode_into does, telling on_piece(start, ids so far) as each
// piece's encoding begins.
template <class OnPiece>
void encode_text(const Tokenizer& tokenizer, Bytes text, IdVector& out, unsigned hint,
                 OnPiece on_piece) {
  out.reserve_more(estimated_ids(text.size()));
  const CacheLease cache(tokenizer.identity(), hint);
  with_cutter(tokenizer, text, [&](auto cutter) {
    encode_pieces(tokenizer, text, out, cache.handle(), cutter, on_piece);
  });
}

}  // namespace

void encode_into(const Tokenizer& tokenizer, Bytes text, IdVector& out, unsigned hint) {
  encode_text(tokenizer, text, out, hint, [](std::size_t, std::size_t) {});
}

void for_each_piece(const Tokenizer& tokenizer, Bytes text,
                    const std::function<void(std::size_t, std::size_t)>& on_piece) {
  const auto walk = [&](auto cutter) {
    Span piece{};
    for (std::size_t from = 0; cutter(text, from, piece); from = piece.start + piece.len) {
      on_piece(piece.start, piece.len);
    }
  };
  with_cutter(tokenizer, text, walk);
}

IdVector encode_ordinary(const Tokenizer& tokenizer, Bytes text) {
  IdVector ids(estimated_ids(text.size()));
  encode_into(tokenizer, text, ids, 1);
  return ids;
}

std::size_t encode_into_last_piece(const Tokenizer& tokenizer, Bytes text, IdVector& out) {
  std::size_t last_piece = out.size();
  encode_text(tokenizer, text, out, 1, [&](std::size_t, std::size_t first) { last_piece = first; });
  return last_piece;
}

std::size_t unstable_start(const Vocab& vocab, const IdVector& ids, std::size_t last_piece) {
  const auto all_space = [&](TokenId id) {
    return std::ranges::all_of(vocab.token_bytes(id),
                               [](std::uint8_t b) { return b == ' ' || b == '\n' || b == '\t'; });
  };
  if (last_piece < ids.size() && all_space(ids[last_piece])) {
    while (last_piece > 0 && all_space(ids[last_piece - 1])) --last_piece;
  }
  return last_piece;
}

IdVector encode_single_piece(const Vocab& vocab, Bytes piece) {
  IdVector ids(estimated_ids(piece.size()));
  merge_piece(vocab, piece, ids);
  return ids;
}

IdVector encode_bytes_merged_tail(const Tokenizer& tokenizer, Bytes data) {
  const std::size_t valid = valid_utf8_prefix(data);
  if (valid == data.size()) return encode_ordinary(tokenizer, data);
  IdVector ids(estimated_ids(data.size()));
  const Vocab& vocab = tokenizer.vocab();
  const std::size_t tail_first =
      unstable_start(vocab, ids, encode_into_last_piece(tokenizer, data.first(valid), ids));
  std::vector<std::uint8_t> tail;
  for (std::size_t i = tail_first; i < ids.size(); ++i) {
    const Bytes token = vocab.token_bytes(ids[i]);
    tail.insert(tail.end(), token.begin(), token.end());
  }
  tail.insert(tail.end(), data.begin() + static_cast<std::ptrdiff_t>(valid), data.end());
  ids.truncate(tail_first);
  merge_piece(vocab, Bytes(tail.data(), tail.size()), ids);
  return ids;
}

std::size_t count(const Tokenizer& tokenizer, Bytes text) {
  return encode_ordinary(tokenizer, text).size();
}

Truncation truncate(const Tokenizer& tokenizer, Bytes text, std::uint64_t max_tokens) {
  const IdScratchLease scratch;
  IdVector& ids = scratch->ids;
  ids.clear();
  // Where the last piece whose ids begin within the budget starts: the cut is counted from
  // there, as text a pattern leaves unmatched lies between pieces and has no ids.
  std::size_t piece_start = 0;
  std::size_t piece_first = 0;
  encode_text(tokenizer, text, ids, 1, [&](std::size_t start, std::size_t first) {
    if (first < max_tokens) {
      piece_start = start;
      piece_first = first;
    }
  });
  const std::size_t total = ids.size();
  if (max_tokens >= total) return {text.size(), total};
  std::size_t cut = piece_start;
  for (std::size_t i = piece_first; i < max_tokens; ++i) cut += tokenizer.vocab().token_len(ids[i]);
  assert(cut < text.size());  // fewer ids kept than the text has
  // A byte-level token may end inside a character; the whole character is dropped.
  while (cut > 0 && (text[cut] & 0xC0) == 0x80) --cut;
  return {cut, total};
}

SpannedIds encode_with_offsets(const Tokenizer& tokenizer, Bytes text) {
  SpannedIds result{IdVector(estimated_ids(text.size())), {}};
  const IdVector& ids = result.ids;
  result.bounds.reserve(2 * estimated_ids(text.size()));
  // Each piece's ids tile the piece; they are spanned once the next piece begins.
  std::size_t piece_start = 0;
  std::size_t piece_first = 0;
  const auto span_piece = [&] {
    for (std::size_t i = piece_first, at = piece_start; i < ids.size(); ++i) {
      result.bounds.push_back(at);
      at += tokenizer.vocab().token_len(ids[i]);
      result.bounds.push_back(at);
    }
  };
  encode_text(tokenizer, text, result.ids, 1, [&](std::size_t start, std::size_t first) {
    span_piece();
    piece_start = start;
    piece_first = first;
  });
  span_piece();
  return result;
}

void to_char_offsets(Bytes text, std::vector<std::size_t>& offsets) {
  std::size_t pos = 0;
  std::size_t chars = 0;
  for (std::size_t& offset : offsets) {
    for (const std::size_t target = std::min(offset, text.size()); pos < target; ++pos) {
      chars += (text[pos] & 0xC0) != 0x80;
    }
    offset = chars;
  }
}

}  // namespace pelnor
