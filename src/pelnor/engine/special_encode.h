// Encoding with tiktoken's special-token policy, and with every special string recognised.
#pragma once

#include <optional>
#include <string>

#include "pelnor/engine/special.h"
#include "pelnor/engine/tokenizer.h"
#include "pelnor/ids.h"
#include "pelnor/result.h"

namespace pelnor {

// One of allowed_special / disallowed_special, resolved.
struct SpecialPolicy {
  enum class Kind {
    kAbsent,   // omitted or None
    kAll,      // "all": every special string of the encoding
    kStrings,  // an explicit collection
  };
  Kind kind = Kind::kAbsent;
  SpecialSet strings;  // for kStrings
};

// The members of the effective disallowed set (disallowed minus allowed) that a text holds, as
// two namings word them: the first in byte-wise order of those occurring anywhere, and the first
// in the text (the longest where several start there).
struct DisallowedFound {
  std::string smallest;
  std::string first;
};
std::optional<DisallowedFound> find_disallowed(const Tokenizer& tokenizer, Bytes text,
                                               const SpecialPolicy& allowed,
                                               const SpecialPolicy& disallowed);

// Returns the ids of text under tiktoken's policy (each allowed special string becoming its id),
// or the failure naming the disallowed special string that the text holds: the message names
// the smallest, the failure's subject is the first.
Result<IdVector> encode_with_policy(const Tokenizer& tokenizer, Bytes text,
                                    const SpecialPolicy& allowed, const SpecialPolicy& disallowed);

// Returns the ids of text, each allowed special string becoming its id.
IdVector encode_allowing(const Tokenizer& tokenizer, Bytes text, const SpecialPolicy& allowed);

// Returns the ids of text, every special string of the encoding becoming its id.
IdVector encode_with_special(const Tokenizer& tokenizer, Bytes text);

// The ValueError text for a disallowed special string found in the text.
std::string disallowed_special_message(std::string_view member);

}  // namespace pelnor
