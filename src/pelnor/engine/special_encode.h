// Encoding with tiktoken's special-token policy, and with every special string recognised.
#pragma once

#include <optional>
#include <string>

#include "pelnor/engine/encode.h"
#include "pelnor/engine/special.h"
#include "pelnor/engine/tokenizer.h"
#include "pelnor/ids.h"
#include "pelnor/result.h"
#include "pelnor/text/pretok_regex.h"

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

// encode_with_offsets and truncate (of engine/encode.h) with the allowed special strings as
// their ids, each spanning its string; a special string is kept or cut whole.
SpannedIds encode_with_offsets_allowing(const Tokenizer& tokenizer, Bytes text,
                                        const SpecialPolicy& allowed);
Truncation truncate_allowing(const Tokenizer& tokenizer, Bytes text, std::uint64_t max_tokens,
                             const SpecialPolicy& allowed);

// The ids of text, each allowed special string its id, and where those begin that more text
// after it could change (see unstable_start).
struct UnstableTail {
  IdVector ids;
  std::size_t first_unstable;
};
UnstableTail encode_with_unstable_tail(const Tokenizer& tokenizer, Bytes text,
                                       const SpecialPolicy& allowed);

// Returns the ids of text, every special string of the encoding becoming its id.
IdVector encode_with_special(const Tokenizer& tokenizer, Bytes text);

// Walks text in order, cut where the special strings that `excluded` leaves active occur (the
// first entry of the table wins among those starting at one position): on_text(start, end) for
// each stretch of plain text between them, on_special(start, end, id) for each of them. Every
// call that recognises special strings cuts the text here, so that all of them agree. A failure
// of the splitting pattern names its offset in the whole text.
template <class OnText, class OnSpecial>
void for_each_segment(const Tokenizer& tokenizer, Bytes text, const std::vector<bool>& excluded,
                      OnText on_text, OnSpecial on_special) {
  const auto plain = [&](std::size_t start, std::size_t end) {
    try {
      on_text(start, end);
    } catch (const SplitTooCostly& failure) {
      throw failure.from_base(start);
    }
  };
  const SpecialTokens& table = tokenizer.special_tokens();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto match = tokenizer.special_index().in_table_order.find_first(text, pos, excluded);
    if (!match) break;
    if (match->position > pos) plain(pos, match->position);
    const SpecialToken& special = table[match->value];
    on_special(match->position, match->position + special.text.size(), special.id);
    pos = match->position + special.text.size();
  }
  if (pos < text.size()) plain(pos, text.size());
}

// The ValueError text for a disallowed special string found in the text.
std::string disallowed_special_message(std::string_view member);

}  // namespace pelnor
