#include "pelnor/engine/tokenizer.h"

#include <algorithm>
#include <atomic>

#include "pelnor/engine/data.h"
#include "pelnor/engine/split_levels.h"
#include "pelnor/file.h"

namespace pelnor {
namespace {

std::atomic<std::uint64_t> next_identity{1};

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

}  // namespace

Result<Tokenizer> Tokenizer::create(std::string_view name, std::string_view datadir) {
  const BuiltinEncoding* encoding = find_builtin(name);
  if (encoding == nullptr) {
    std::string message = "pelnor: unknown encoding: " + std::string(name) + " (built-in: ";
    for (const std::string_view known : builtin_encodings()) {
      if (!message.ends_with("(built-in: ")) message += ", ";
      message += known;
    }
    return Error{ErrorKind::kData, message + ")"};
  }
  // The system reads a path up to its first NUL: such a datadir would name another directory.
  if (datadir.find('\0') != std::string_view::npos) {
    return Error{ErrorKind::kArgument, "pelnor: datadir holds an embedded null byte"};
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
    const BuiltinEncoding& kind = first_with_rules(rules);
    Result<UniClassTable> classes =
        UniClassTable::parse(*builtin_file(kind.class_file), kind.class_file, kind.classes);
    if (!classes.ok()) return classes.failure();
    tokenizer.classes_ = std::move(classes.value());
  }
  return with_tables(std::move(tokenizer), name, rules, vocab, special_tokens);
}

Result<Tokenizer> Tokenizer::from_levels(std::string_view name, Bytes vocab, Bytes special_tokens,
                                         Bytes levels) {
  Result<std::vector<SplitLevel>> parsed_levels = parse_split_levels(levels, name);
  if (!parsed_levels.ok()) return parsed_levels.failure();
  Tokenizer tokenizer;
  tokenizer.levels_ = std::move(parsed_levels.value());
  return with_tables(std::move(tokenizer), name, RuleSet::kLevels, vocab, special_tokens);
}

Result<Tokenizer> Tokenizer::with_tables(Tokenizer tokenizer, std::string_view name, RuleSet rules,
                                         Bytes vocab, Bytes special_tokens) {
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
  decode_bytes_.resize(decode_bytes_.size() + kTokenBytesPadding);
}

TokenArrays Tokenizer::decode_arrays() const {
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

}  // namespace pelnor
