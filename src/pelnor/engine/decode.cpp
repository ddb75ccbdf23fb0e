#include "pelnor/engine/decode.h"

#include "pelnor/text/utf8.h"

#include <cstring>

namespace pelnor {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// A token of up to this many bytes is decoded as a fixed-width copy (the output keeps that much
// room past its end, and the vocabulary's bytes are padded), which compiles to two moves where a
// copy of its own length is a call.
constexpr std::size_t kWide = 16;
static_assert(kWide <= kTokenBytesPadding);

}  // namespace

std::optional<Bytes> token_bytes_of(const Tokenizer& tokenizer, TokenId id) {
  if (id < tokenizer.vocab().token_count()) {
    if (tokenizer.is_unfilled_gap(id)) return std::nullopt;
    const TokenArrays tokens = tokenizer.decode_arrays();
    return Bytes(tokens.bytes + tokens.offsets[id], tokens.offsets[id + 1] - tokens.offsets[id]);
  }
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
    if (id >= base ? !tokenizer.is_special(id) : tokenizer.is_unfilled_gap(id)) return id;
  }
  return std::nullopt;
}

namespace {

// Appends what the fast loop leaves: a token longer than the fixed-width copy, a special token,
// or nothing for an unknown id; returns the new end of the output.
[[gnu::noinline]] char* append_other(const Tokenizer& tokenizer, TokenId id, ByteVector& out,
                                     char* at) {
  out.commit(at - (out.data() + out.size()));
  if (const std::optional<Bytes> bytes = token_bytes_of(tokenizer, id)) {
    // Keeps the room for a fixed-width copy after it.
    out.reserve_more(bytes->size() + kWide);
    out.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  }
  return out.data() + out.size();
}

// Grows the output to twice its capacity; returns the new end.
[[gnu::noinline]] char* grow(ByteVector& out, char* at) {
  out.commit(at - (out.data() + out.size()));
  out.reserve(2 * out.capacity());
  return out.data() + out.size();
}

}  // namespace

ByteVector decode_bytes(const Tokenizer& tokenizer, std::span<const TokenId> ids) {
  // Room for this many bytes a token to start with (English takes about 4.4); the output grows
  // when the tokens are longer, so it is filled in one pass without sizing it first.
  constexpr std::size_t kStartBytesPerToken = 5;
  const TokenId token_count = tokenizer.vocab().token_count();
  const TokenArrays tokens = tokenizer.decode_arrays();
  ByteVector out(ids.size() * kStartBytesPerToken + kWide);
  char* at = out.data();
  // The end of the room for a fixed-width copy, kept in a local: a byte store may alias the
  // vector's own fields.
  char* room_end = out.data() + out.capacity() - kWide;
  for (const TokenId id : ids) {
    // The room is checked before the token's length is known, so that the branch waits on no
    // table read.
    if (at > room_end) [[unlikely]] {
      at = grow(out, at);
      room_end = out.data() + out.capacity() - kWide;
    }
    // The length as the difference of neighbouring offsets: one cache line, where the length
    // table would be a second random read.
    const std::uint32_t offset = id < token_count ? tokens.offsets[id] : 0;
    const std::uint32_t len = id < token_count ? tokens.offsets[id + 1] - offset : kWide + 1;
    if (len <= kWide) [[likely]] {
      std::memcpy(at, tokens.bytes + offset, kWide);
      at += len;
    } else {
      at = append_other(tokenizer, id, out, at);
      room_end = out.data() + out.capacity() - kWide;
    }
  }
  out.commit(at - (out.data() + out.size()));
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

bool valid_utf8_is_its_text(std::string_view bytes, DecodeErrors mode) {
  return mode != DecodeErrors::kIgnore || bytes.find(kReplacement) == std::string_view::npos;
}

Result<std::string> text_of_bytes(std::string bytes, DecodeErrors mode) {
  if (mode == DecodeErrors::kStrict) {
    const auto error =
        find_utf8_error(Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    if (error) return Error{ErrorKind::kArgument, strict_decode_message(*error)};
    return bytes;
  }
  std::string text = replace_invalid_utf8(std::move(bytes));
  if (mode == DecodeErrors::kIgnore) remove_replacement_characters(text);
  return text;
}

}  // namespace pelnor
