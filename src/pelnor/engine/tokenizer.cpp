#include "pelnor/engine/tokenizer.h"

#include <algorithm>
#include <atomic>

#include "pelnor/bpe/merge.h"
#include "pelnor/bpe/pcache.h"
#include "pelnor/engine/data.h"
#include "pelnor/engine/file.h"
#include "pelnor/engine/scratch.h"
#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_o200k.h"
#include "pelnor/text/pretok_r50k.h"

namespace pelnor {
namespace {

struct Encoding {
  std::string_view name;
  std::string_view vocab_file;
  std::string_view special_file;
  std::string_view class_file;
  int classes;
  RuleSet rules;
};

// In tiktoken's order of its encodings.
constexpr Encoding kRegistry[] = {
    {"gpt2", "r50k.vocab", "r50k.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"r50k_base", "r50k.vocab", "r50k.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"p50k_base", "p50k.vocab", "p50k.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"p50k_edit", "p50k.vocab", "p50k_edit.special", "uniclass.bin", 3, RuleSet::kR50k},
    {"cl100k_base", "cl100k.vocab", "cl100k.special", "uniclass.bin", 3, RuleSet::kCl100k},
    {"o200k_base", "o200k.vocab", "o200k.special", "uniclass_o200k.bin", 5, RuleSet::kO200k},
    {"o200k_harmony", "o200k.vocab", "o200k_harmony.special", "uniclass_o200k.bin", 5,
     RuleSet::kO200k},
};

std::atomic<std::uint64_t> next_identity{1};

const Encoding* find_encoding(std::string_view name) {
  for (const Encoding& encoding : kRegistry) {
    if (encoding.name == name) return &encoding;
  }
  return nullptr;
}

std::string join_path(std::string_view directory, std::string_view file) {
  std::string path(directory);
  if (path.back() != '/') path += '/';
  path += file;
  return path;
}

Result<std::unique_ptr<Vocab>> load_vocab_file(const std::string& path) {
  const FileContent file = read_file(path, kMaxVocabFileBytes);
  switch (file.failure) {
    case FileContent::Failure::kOpen:
      return Error{ErrorKind::kData,
                   "pelnor: cannot open vocab file " + path + ": " + file.description};
    case FileContent::Failure::kRead:
    case FileContent::Failure::kTooLarge:
      return Error{ErrorKind::kData, "pelnor: cannot read " + path + ": " + file.description};
    case FileContent::Failure::kNone:
      break;
  }
  return Vocab::parse(file.bytes, path);
}

bool starts_with_three_byte_char(const std::uint8_t* p, std::size_t len) {
  return len > 2 && (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80;
}

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

}  // namespace

std::vector<std::string_view> builtin_encodings() {
  std::vector<std::string_view> names;
  for (const Encoding& encoding : kRegistry) names.push_back(encoding.name);
  return names;
}

Result<Tokenizer> Tokenizer::create(std::string_view name, std::string_view datadir) {
  const Encoding* encoding = find_encoding(name);
  if (encoding == nullptr) {
    std::string message = "pelnor: unknown encoding: " + std::string(name) + " (built-in: ";
    for (const Encoding& known : kRegistry) {
      if (&known != kRegistry) message += ", ";
      message += known.name;
    }
    return Error{ErrorKind::kData, message + ")"};
  }
  if (datadir.empty()) {
    return from_data(name, encoding->rules, *builtin_file(encoding->vocab_file),
                     *builtin_file(encoding->special_file));
  }
  Tokenizer tokenizer;
  tokenizer.rule_set_ = encoding->rules;
  Result<std::unique_ptr<Vocab>> vocab = load_vocab_file(join_path(datadir, encoding->vocab_file));
  if (!vocab.ok()) return vocab.failure();
  Result<UniClassTable> classes =
      load_uniclass_file(join_path(datadir, encoding->class_file), encoding->classes);
  if (!classes.ok()) return classes.failure();
  tokenizer.identity_ = next_identity.fetch_add(1);
  tokenizer.name_ = name;
  const std::string special_path = join_path(datadir, encoding->special_file);
  // Without a readable special-tokens file the encoding simply has no special tokens; one too
  // large to be such a file is a fault in the data directory, not an absent file.
  const FileContent special_file = read_file(special_path, kMaxSpecialFileBytes);
  if (special_file.failure == FileContent::Failure::kTooLarge) {
    return Error{ErrorKind::kData,
                 "pelnor: cannot read " + special_path + ": " + special_file.description};
  }
  if (special_file.failure == FileContent::Failure::kNone) {
    Result<SpecialTokens> specials = parse_special_tokens(special_file.bytes, special_path);
    if (!specials.ok()) return specials.failure();
    tokenizer.special_tokens_ = std::move(specials.value());
  }
  tokenizer.classes_ = std::move(classes.value());
  tokenizer.vocab_ = std::move(vocab.value());
  tokenizer.special_index_ = SpecialIndex::build(tokenizer.special_tokens_);
  tokenizer.lay_out_gaps();
  return tokenizer;
}

Result<Tokenizer> Tokenizer::from_data(std::string_view name, RuleSet rules, Bytes vocab,
                                       Bytes special_tokens, std::string_view pattern) {
  Tokenizer tokenizer;
  if (rules == RuleSet::kRegex) {
    Result<std::unique_ptr<const RegexSplitter>> splitter = RegexSplitter::compile(pattern);
    if (!splitter.ok()) return splitter.failure();
    tokenizer.splitter_ = std::move(splitter.value());
  } else {
    const Encoding& kind = *std::ranges::find(kRegistry, rules, &Encoding::rules);
    Result<UniClassTable> classes =
        UniClassTable::parse(*builtin_file(kind.class_file), kind.class_file, kind.classes);
    if (!classes.ok()) return classes.failure();
    tokenizer.classes_ = std::move(classes.value());
  }
  Result<std::unique_ptr<Vocab>> parsed = Vocab::parse(vocab, name);
  if (!parsed.ok()) return parsed.failure();
  tokenizer.rule_set_ = rules;
  tokenizer.identity_ = next_identity.fetch_add(1);
  tokenizer.name_ = name;
  Result<SpecialTokens> specials = parse_special_tokens(special_tokens, name);
  if (!specials.ok()) return specials.failure();
  tokenizer.vocab_ = std::move(parsed.value());
  tokenizer.special_tokens_ = std::move(specials.value());
  tokenizer.special_index_ = SpecialIndex::build(tokenizer.special_tokens_);
  tokenizer.lay_out_gaps();
  return tokenizer;
}

std::uint64_t Tokenizer::n_vocab() const {
  std::uint64_t n = vocab_->token_count();
  for (const SpecialToken& special : special_tokens_) {
    n = std::max<std::uint64_t>(n, std::uint64_t{special.id} + 1);
  }
  return n;
}

void Tokenizer::lay_out_gaps() {
  // By rank, each gap's decoded bytes: those of the first special token of its id, as for ids
  // past the vocabulary, or none.
  std::vector<std::pair<TokenId, Bytes>> gaps;
  for (TokenId rank = 0; rank < vocab_->token_count(); ++rank) {
    if (!vocab_->is_gap(rank)) continue;
    const auto fill = std::ranges::find(special_tokens_, rank, &SpecialToken::id);
    if (fill == special_tokens_.end()) {
      unfilled_gaps_.push_back(rank);
      gaps.emplace_back(rank, Bytes{});
    } else {
      gaps.emplace_back(
          rank, Bytes(reinterpret_cast<const std::uint8_t*>(fill->text.data()), fill->text.size()));
    }
  }
  if (gaps.empty()) return;
  decode_offsets_.reserve(vocab_->token_count() + 1);
  decode_offsets_.push_back(0);
  auto gap = gaps.begin();
  for (TokenId rank = 0; rank < vocab_->token_count(); ++rank) {
    Bytes bytes = vocab_->token_bytes(rank);
    if (gap != gaps.end() && gap->first == rank) bytes = (gap++)->second;
    decode_bytes_.insert(decode_bytes_.end(), bytes.begin(), bytes.end());
    decode_offsets_.push_back(static_cast<std::uint32_t>(decode_bytes_.size()));
  }
  decode_bytes_.resize(decode_bytes_.size() + Vocab::kTokenBytesPadding);
}

Vocab::TokenArrays Tokenizer::decode_arrays() const {
  if (decode_offsets_.empty()) return vocab_->token_arrays();
  return {decode_bytes_.data(), decode_offsets_.data()};
}

std::optional<TokenId> Tokenizer::end_of_text() const {
  for (const SpecialToken& special : special_tokens_) {
    if (special.text == "<|endoftext|>") return special.id;
  }
  return std::nullopt;
}

bool Tokenizer::is_special(TokenId id) const {
  return std::ranges::any_of(special_tokens_,
                             [&](const SpecialToken& special) { return special.id == id; });
}

std::optional<TokenId> Tokenizer::single_token(Bytes piece) const {
  // A gap's placeholder is no token.
  const TokenId rank = vocab_->rank_of(piece);
  if (rank != NONE_RANK && !vocab_->is_gap(rank)) return rank;
  const std::string_view wanted(reinterpret_cast<const char*>(piece.data()), piece.size());
  for (const SpecialToken& special : special_tokens_) {
    if (special.text == wanted) return special.id;
  }
  return std::nullopt;
}

std::size_t Tokenizer::memory_bytes() const {
  std::size_t total = vocab_->memory_bytes() + classes_.memory_bytes() + decode_bytes_.size() +
                      decode_offsets_.size() * sizeof(std::uint32_t) +
                      unfilled_gaps_.size() * sizeof(TokenId);
  for (const SpecialToken& token : special_tokens_) total += token.text.size() + 32;
  return total;
}

namespace {

// Appends the ids of text as encode_into does, telling on_piece(start, ids so far) as each
// piece's encoding begins.
template <class OnPiece>
void encode_text(const Tokenizer& tokenizer, Bytes text, IdVector& out, unsigned hint,
                 OnPiece on_piece) {
  out.reserve_more(estimated_ids(text.size()));
  const CacheLease cache(tokenizer.identity(), hint);
  switch (tokenizer.rule_set()) {
    case RuleSet::kCl100k:
      return encode_pieces(tokenizer, text, out, cache.handle(),
                           RuleCutter{tokenizer.classes(), cl100k_scanner(simd::active_kernel())},
                           on_piece);
    case RuleSet::kO200k:
      return encode_pieces(tokenizer, text, out, cache.handle(),
                           RuleCutter{tokenizer.classes(), o200k_scanner(simd::active_kernel())},
                           on_piece);
    case RuleSet::kR50k:
      return encode_pieces(tokenizer, text, out, cache.handle(),
                           RuleCutter{tokenizer.classes(), r50k_next_piece}, on_piece);
    case RuleSet::kRegex:
      return encode_pieces(tokenizer, text, out, cache.handle(),
                           RegexCutter{RegexSearch(*tokenizer.splitter(), text)}, on_piece);
  }
}

}  // namespace

void encode_into(const Tokenizer& tokenizer, Bytes text, IdVector& out, unsigned hint) {
  encode_text(tokenizer, text, out, hint, [](std::size_t, std::size_t) {});
}

IdVector encode_ordinary(const Tokenizer& tokenizer, Bytes text) {
  IdVector ids(estimated_ids(text.size()));
  encode_into(tokenizer, text, ids, 1);
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
