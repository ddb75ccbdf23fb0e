#include "decode.h"

#include "utf8.h"

#include <cstring>

namespace pelnor {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::optional<Bytes> token_bytes_of(const Tokenizer& tokenizer, TokenId id) {
  if (id < tokenizer.vocab().token_count()) return tokenizer.vocab().token_bytes(id);
  for (const SpecialToken& special : tokenizer.special_tokens()) {
    if (special.id == id) {
      return Bytes(reinterpret_cast<const std::uint8_t*>(special.text.data()), special.text.size());
    }
  }
  return std::nullopt;
}

std::optional<TokenId> first_unknown_id(const Tokenizer& tokenizer, std::span<const TokenId> ids) {
  const TokenId base = tokenizer.vocab().token_count();
  for (TokenId id : ids) {
    if (id >= base && !tokenizer.is_special(id)) return id;
  }
  return std::nullopt;
}

std::string decode_bytes(const Tokenizer& tokenizer, std::span<const TokenId> ids) {
  // A token of up to 16 bytes is copied as 16 fixed bytes (the output keeps that much room past
  // its end, and the vocabulary's bytes are read within their buffer), which compiles to two
  // moves where a copy of its own length is a call.
  constexpr std::size_t kWide = 16;
  // Room for this many bytes a token to start with (English takes about 4.4); the output grows
  // when the tokens are longer, so it is filled in one pass without sizing it first.
  constexpr std::size_t kStartBytesPerToken = 5;
  const Vocab& vocab = tokenizer.vocab();
  const Bytes all = vocab.all_token_bytes();
  std::string out(ids.size() * kStartBytesPerToken + kWide, '\0');
  std::size_t used = 0;
  // Each token's bytes are a random read, started a few tokens ahead.
  constexpr std::size_t kAhead = 8;
  const std::size_t n = ids.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n && ids[i + kAhead] < vocab.token_count()) {
      __builtin_prefetch(vocab.token_bytes(ids[i + kAhead]).data());
    }
    const TokenId id = ids[i];
    Bytes bytes;
    if (id < vocab.token_count()) {
      bytes = vocab.token_bytes(id);
    } else if (const std::optional<Bytes> special = token_bytes_of(tokenizer, id)) {
      bytes = *special;
    } else {
      continue;
    }
    const std::size_t len = bytes.size();
    if (out.size() - used < len + kWide) out.resize(2 * out.size() + len + kWide);
    char* at = out.data() + used;
    if (len <= kWide && bytes.data() + kWide <= all.data() + all.size()) {
      std::memcpy(at, bytes.data(), kWide);
    } else {
      std::memcpy(at, bytes.data(), len);
    }
    used += len;
  }
  out.resize(used);
  return out;
}

std::optional<Utf8Error> find_utf8_error(Bytes bytes) {
  // Runs of ASCII, most of most texts, are skipped eight bytes at a time.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  for (std::size_t p = 0; p < bytes.size();) {
    std::uint64_t word;
    if (bytes.size() - p >= 8 &&
        (std::memcpy(&word, bytes.data() + p, 8), (word & kHighBits) == 0)) {
      p += 8;
      continue;
    }
    const Utf8Step step = utf8_step(bytes.data(), bytes.size(), p);
    if (!step.well_formed) return Utf8Error{p, step.length};
    p += step.length;
  }
  return std::nullopt;
}

std::string strict_decode_message(const Utf8Error& error) {
  if (error.length == 0) {
    return "invalid utf-8 in decode: incomplete utf-8 byte sequence from index " +
           std::to_string(error.index);
  }
  return "invalid utf-8 in decode: invalid utf-8 sequence of " + std::to_string(error.length) +
         " bytes from index " + std::to_string(error.index);
}

std::string replace_invalid_utf8(std::string bytes) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::optional<Utf8Error> first = find_utf8_error(Bytes(s, bytes.size()));
  if (!first) return bytes;
  std::string out(bytes, 0, first->index);
  for (std::size_t p = first->index; p < bytes.size();) {
    const Utf8Step step = utf8_step(s, bytes.size(), p);
    if (step.well_formed) {
      out.append(bytes, p, step.length);
    } else {
      out += kReplacement;
    }
    // A sequence cut short by the end is one maximal subpart: the rest of the bytes.
    p += step.length == 0 ? bytes.size() - p : step.length;
  }
  return out;
}

void remove_replacement_characters(std::string& text) {
  std::size_t kept = 0;
  for (std::size_t p = 0; p < text.size();) {
    if (text.compare(p, kReplacement.size(), kReplacement) == 0) {
      p += kReplacement.size();
    } else {
      text[kept++] = text[p++];
    }
  }
  text.resize(kept);
}

DecodeErrors decode_errors_named(std::string_view name) {
  if (name == "strict") return DecodeErrors::kStrict;
  if (name == "ignore") return DecodeErrors::kIgnore;
  return DecodeErrors::kReplace;
}

Result<std::string> text_of_bytes(std::string bytes, DecodeErrors mode) {
  if (mode == DecodeErrors::kStrict) {
    const auto error =
        find_utf8_error(Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    if (error) return Error{strict_decode_message(*error)};
    return bytes;
  }
  std::string text = replace_invalid_utf8(std::move(bytes));
  if (mode == DecodeErrors::kIgnore) remove_replacement_characters(text);
  return text;
}

}  // namespace pelnor
