#include "decode.h"

#include "utf8.h"

namespace pelnor {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the maximal ill-formed subsequence at s[p], which starts no well-formed sequence;
// 0 when the bytes end before the sequence could be completed.
std::size_t ill_formed_length(const std::uint8_t* s, std::size_t n, std::size_t p) {
  const std::uint8_t b0 = s[p];
  std::size_t len;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  for (std::size_t i = 1; i < len; ++i) {
    if (p + i >= n) return 0;
    const bool fits = i == 1 ? s[p + i] >= lo && s[p + i] <= hi : (s[p + i] & 0xC0) == 0x80;
    if (!fits) return i;
  }
  return 1;  // unreachable for a sequence that utf8_sequence_length rejected
}

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

std::string decode_bytes(const Tokenizer& tokenizer, std::span<const TokenId> ids) {
  std::string out;
  out.reserve(4 * ids.size());
  for (TokenId id : ids) {
    if (const std::optional<Bytes> bytes = token_bytes_of(tokenizer, id)) {
      out.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    }
  }
  return out;
}

std::optional<Utf8Error> find_utf8_error(Bytes bytes) {
  for (std::size_t p = 0; p < bytes.size();) {
    const std::size_t len = utf8_sequence_length(bytes.data(), bytes.size(), p);
    if (len == 0) return Utf8Error{p, ill_formed_length(bytes.data(), bytes.size(), p)};
    p += len;
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
  const std::size_t n = bytes.size();
  std::size_t p = 0;
  while (p < n && utf8_sequence_length(s, n, p) != 0) p += utf8_sequence_length(s, n, p);
  if (p == n) return bytes;
  std::string out(bytes, 0, p);
  while (p < n) {
    const std::size_t len = utf8_sequence_length(s, n, p);
    if (len != 0) {
      out.append(bytes, p, len);
      p += len;
      continue;
    }
    const std::size_t bad = ill_formed_length(s, n, p);
    out += kReplacement;
    p += bad == 0 ? n - p : bad;
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

}  // namespace pelnor
