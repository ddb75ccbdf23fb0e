#include "pelnor/engine/special_encode.h"

#include <algorithm>
#include <cstdio>

#include "pelnor/engine/encode.h"
#include "pelnor/generated/unicode_tables.h"
#include "pelnor/text/pretok.h"

namespace pelnor {
namespace {

bool contains(const SpecialSet& set, std::string_view s) {
  return std::ranges::binary_search(set, s);
}

// Marks the values of `strings` (in order) that `policy` does not allow.
std::vector<bool> not_allowed(const std::vector<std::string_view>& strings,
                              const SpecialPolicy& allowed) {
  std::vector<bool> excluded(strings.size());
  for (std::size_t i = 0; i < strings.size(); ++i) {
    excluded[i] =
        allowed.kind != SpecialPolicy::Kind::kAll &&
        (allowed.kind == SpecialPolicy::Kind::kAbsent || !contains(allowed.strings, strings[i]));
  }
  return excluded;
}

// Appends the ids of text cut at the special strings that `excluded` leaves active.
void encode_split(const Tokenizer& tokenizer, Bytes text, const std::vector<bool>& excluded,
                  IdVector& out) {
  for_each_segment(
      tokenizer, text, excluded,
      [&](std::size_t start, std::size_t end) {
        encode_into(tokenizer, text.subspan(start, end - start), out, 1);
      },
      [&](std::size_t, std::size_t, TokenId id) { out.push_back(id); });
}

// The table entries that `allowed` does not make ids, by index in the table; empty where all
// are.
std::vector<bool> excluded_by(const Tokenizer& tokenizer, const SpecialPolicy& allowed) {
  if (allowed.kind == SpecialPolicy::Kind::kAll) return {};
  std::vector<std::string_view> table;
  for (const SpecialToken& token : tokenizer.special_tokens()) table.push_back(token.text);
  return not_allowed(table, allowed);
}

bool allows_none(const SpecialPolicy& allowed) {
  return allowed.kind == SpecialPolicy::Kind::kAbsent ||
         (allowed.kind == SpecialPolicy::Kind::kStrings && allowed.strings.empty());
}

// Appends c in the debug form of strings: quotes, backslashes, controls, combining and
// non-printable characters escaped.
void append_debug_char(std::string& out, std::uint32_t cp, std::string_view utf8) {
  switch (cp) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case 0:
      out += "\\0";
      return;
    default:
      break;
  }
  if (in_ranges(kGraphemeExtend, kGraphemeExtendCount, cp) ||
      in_ranges(kNonPrintable, kNonPrintableCount, cp)) {
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, "\\u{%x}", cp);
    out += escaped;
    return;
  }
  out += utf8;
}

std::string debug_form(std::string_view s) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  for (std::size_t p = 0; p < s.size();) {
    const Char c = decode_char(bytes, s.size(), p);
    append_debug_char(out, c.cp, s.substr(p, c.len));
    p += c.len;
  }
  return out + "\"";
}

}  // namespace

std::optional<DisallowedFound> find_disallowed(const Tokenizer& tokenizer, Bytes text,
                                               const SpecialPolicy& allowed,
                                               const SpecialPolicy& disallowed) {
  const SpecialIndex& index = tokenizer.special_index();
  if (disallowed.kind != SpecialPolicy::Kind::kStrings) {
    if (allowed.kind == SpecialPolicy::Kind::kAll) return std::nullopt;
    // Every special string, less the allowed ones.
    std::vector<bool> excluded;
    if (allowed.kind == SpecialPolicy::Kind::kStrings) {
      excluded.resize(index.strings.size());
      for (std::size_t i = 0; i < index.strings.size(); ++i) {
        excluded[i] = contains(allowed.strings, index.strings[i]);
      }
    }
    const auto found = index.in_set_order.occurrences(text, excluded);
    if (!found) return std::nullopt;
    return DisallowedFound{index.strings[found->smallest], index.strings[found->first]};
  }
  const SpecialSet* removed = allowed.kind == SpecialPolicy::Kind::kAll       ? &index.strings
                              : allowed.kind == SpecialPolicy::Kind::kStrings ? &allowed.strings
                                                                              : nullptr;
  std::vector<std::string_view> effective;
  for (const std::string& member : disallowed.strings) {
    if (removed == nullptr || !contains(*removed, member)) effective.push_back(member);
  }
  if (effective.empty()) return std::nullopt;
  const auto found = StringMatcher(effective).occurrences(text, {});
  if (!found) return std::nullopt;
  return DisallowedFound{std::string(effective[found->smallest]),
                         std::string(effective[found->first])};
}

IdVector encode_allowing(const Tokenizer& tokenizer, Bytes text, const SpecialPolicy& allowed) {
  if (allows_none(allowed)) return encode_ordinary(tokenizer, text);
  IdVector ids(estimated_ids(text.size()));
  encode_split(tokenizer, text, excluded_by(tokenizer, allowed), ids);
  return ids;
}

SpannedIds encode_with_offsets_allowing(const Tokenizer& tokenizer, Bytes text,
                                        const SpecialPolicy& allowed) {
  if (allows_none(allowed)) return encode_with_offsets(tokenizer, text);
  SpannedIds result{IdVector(estimated_ids(text.size())), {}};
  for_each_segment(
      tokenizer, text, excluded_by(tokenizer, allowed),
      [&](std::size_t start, std::size_t end) {
        const SpannedIds stretch = encode_with_offsets(tokenizer, text.subspan(start, end - start));
        result.ids.append(stretch.ids.data(), stretch.ids.size());
        for (const std::size_t bound : stretch.bounds) result.bounds.push_back(start + bound);
      },
      [&](std::size_t start, std::size_t end, TokenId id) {
        result.ids.push_back(id);
        result.bounds.push_back(start);
        result.bounds.push_back(end);
      });
  return result;
}

UnstableTail encode_with_unstable_tail(const Tokenizer& tokenizer, Bytes text,
                                       const SpecialPolicy& allowed) {
  UnstableTail result{IdVector(estimated_ids(text.size())), 0};
  IdVector& ids = result.ids;
  std::size_t last_piece = 0;
  if (allows_none(allowed)) {
    last_piece = encode_into_last_piece(tokenizer, text, ids);
  } else {
    for_each_segment(
        tokenizer, text, excluded_by(tokenizer, allowed),
        [&](std::size_t start, std::size_t end) {
          last_piece = encode_into_last_piece(tokenizer, text.subspan(start, end - start), ids);
        },
        [&](std::size_t, std::size_t, TokenId id) {
          ids.push_back(id);
          last_piece = ids.size();  // a special string is final
        });
  }
  result.first_unstable = unstable_start(tokenizer.vocab(), ids, last_piece);
  return result;
}

Truncation truncate_allowing(const Tokenizer& tokenizer, Bytes text, std::uint64_t max_tokens,
                             const SpecialPolicy& allowed) {
  if (allows_none(allowed)) return truncate(tokenizer, text, max_tokens);
  // Where the budget runs out, once it has; a special string is kept or dropped whole.
  std::optional<std::size_t> cut;
  std::uint64_t total = 0;
  const auto spend = [&](std::size_t kept_end, std::uint64_t tokens) {
    if (!cut && total + tokens > max_tokens) cut = kept_end;
    total += tokens;
  };
  for_each_segment(
      tokenizer, text, excluded_by(tokenizer, allowed),
      [&](std::size_t start, std::size_t end) {
        const std::uint64_t left = cut ? 0 : max_tokens - total;
        const Truncation stretch = truncate(tokenizer, text.subspan(start, end - start), left);
        spend(start + stretch.cut, stretch.total);
      },
      [&](std::size_t start, std::size_t, TokenId) { spend(start, 1); });
  return {cut.value_or(text.size()), total};
}

IdVector encode_with_special(const Tokenizer& tokenizer, Bytes text) {
  IdVector ids(estimated_ids(text.size()));
  encode_split(tokenizer, text, {}, ids);
  return ids;
}

std::string disallowed_special_message(std::string_view member) {
  const std::string shown = debug_form(member);
  return "Encountered text corresponding to disallowed special token " + shown +
         ".\nIf you want this text to be encoded as a special token, pass it to "
         "`allowed_special`, e.g. `allowed_special={" +
         shown +
         ", ...}`.\nIf you want this text to be encoded as normal text, disable the check for "
         "this token by passing `disallowed_special=()`, or use `encode_ordinary`.";
}

Result<IdVector> encode_with_policy(const Tokenizer& tokenizer, Bytes text,
                                    const SpecialPolicy& allowed, const SpecialPolicy& disallowed) {
  if (const auto found = find_disallowed(tokenizer, text, allowed, disallowed)) {
    return Error{ErrorKind::kDisallowedSpecial, disallowed_special_message(found->smallest),
                 found->first};
  }
  return encode_allowing(tokenizer, text, allowed);
}

}  // namespace pelnor
