#include "decode.h"

#include "utf8.h"

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

}  // namespace pelnor
