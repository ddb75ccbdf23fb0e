// Ids back to bytes, and the UTF-8 error modes of text results.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "pelnor/engine/tokenizer.h"
#include "pelnor/ids.h"
#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

// How text results treat bytes that are no valid UTF-8.
enum class DecodeErrors { kStrict, kIgnore, kReplace };

// Returns the mode of an `errors` name: "strict", "ignore", and any other name replaces.
DecodeErrors decode_errors_named(std::string_view name);

// Returns decoded bytes as text under the mode, or the strict mode's message.
Result<std::string> text_of_bytes(std::string bytes, DecodeErrors mode);

// Returns whether bytes, where they are valid UTF-8, are their own text under the mode: under
// every mode but ignore, which also deletes the U+FFFD the text holds.
bool valid_utf8_is_its_text(std::string_view bytes, DecodeErrors mode);

// Returns the bytes of one id: a base token's (a special token's where the id is a gap of the
// rank table), else the first special token's with that id.
std::optional<Bytes> token_bytes_of(const Tokenizer& tokenizer, TokenId id);

// Returns the first id that is no token, if any: neither a base token (a gap of the rank table
// that no special token takes is none) nor a special token.
std::optional<TokenId> first_unknown_id(const Tokenizer& tokenizer, std::span<const TokenId> ids);

// Returns the concatenated bytes of ids; unknown ids contribute nothing.
ByteVector decode_bytes(const Tokenizer& tokenizer, std::span<const TokenId> ids);

// Where bytes stop being valid UTF-8: the index of the first byte outside a valid prefix and the
// length of the maximal ill-formed subsequence there, 0 when the bytes end inside a sequence
// that was well-formed so far.
struct Utf8Error {
  std::size_t index;
  std::size_t length;
};
std::optional<Utf8Error> find_utf8_error(Bytes bytes);

// The strict mode's ValueError text for an error.
std::string strict_decode_message(const Utf8Error& error);

// Replaces each maximal ill-formed subsequence by U+FFFD.
std::string replace_invalid_utf8(std::string bytes);

// Deletes every U+FFFD from valid UTF-8 text.
void remove_replacement_characters(std::string& text);

}  // namespace pelnor
