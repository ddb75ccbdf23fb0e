// The cl100k pre-tokenizer, and the character decoding both pre-tokenizers share.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "pelnor/text/simd.h"
#include "pelnor/text/uniclass.h"
#include "pelnor/types.h"

namespace pelnor {

// One character of the text as the pre-tokenizers see it: any byte sequence decodes, and a
// byte that starts no complete sequence stands for the Latin-1 character of its value.
struct Char {
  std::uint32_t cp;
  std::uint32_t len;
};

inline Char decode_char(const std::uint8_t* s, std::size_t n, std::size_t p) {
  assert(p < n);
  const std::uint32_t b0 = s[p];
  if (b0 < 0x80) return {b0, 1};
  if (b0 >= 0xC0 && b0 <= 0xDF && p + 1 < n) return {(b0 & 0x1F) << 6 | (s[p + 1] & 0x3Fu), 2};
  if (b0 >= 0xE0 && b0 <= 0xEF && p + 2 < n) {
    return {(b0 & 0x0F) << 12 | (s[p + 1] & 0x3Fu) << 6 | (s[p + 2] & 0x3Fu), 3};
  }
  if (b0 >= 0xF0 && b0 <= 0xF7 && p + 3 < n) {
    return {
        (b0 & 0x07) << 18 | (s[p + 1] & 0x3Fu) << 12 | (s[p + 2] & 0x3Fu) << 6 | (s[p + 3] & 0x3Fu),
        4};
  }
  return {b0, 1};
}

inline bool is_newline(std::uint32_t cp) {
  return cp == '\n' || cp == '\r';
}

// Not a letter, a number or whitespace.
inline bool is_other(std::uint8_t flags) {
  return (flags & (kLetter | kNumber | kWhitespace)) == 0;
}

// Returns the end of the run of characters that have one of `bits`, starting at p.
inline std::size_t class_run_end(const UniClassTable& table, const std::uint8_t* s, std::size_t n,
                                 std::size_t p, std::uint8_t bits) {
  while (p < n) {
    const Char c = decode_char(s, n, p);
    if ((table.flags(c.cp) & bits) == 0) break;
    p += c.len;
  }
  return p;
}

// Returns the end of the run of other characters starting at p.
inline std::size_t other_run_end(const UniClassTable& table, const std::uint8_t* s, std::size_t n,
                                 std::size_t p) {
  while (p < n) {
    const Char c = decode_char(s, n, p);
    if (!is_other(table.flags(c.cp))) break;
    p += c.len;
  }
  return p;
}

// Returns the end of at most three number characters starting at p.
inline std::size_t number_run_end(const UniClassTable& table, const std::uint8_t* s, std::size_t n,
                                  std::size_t p) {
  for (int taken = 0; taken < 3 && p < n; ++taken) {
    const Char c = decode_char(s, n, p);
    if ((table.flags(c.cp) & kNumber) == 0) break;
    p += c.len;
  }
  return p;
}

// Returns the length of the contraction suffix ('s 't 'm 'd 'll 're 've, ASCII case-insensitive)
// whose apostrophe ends at `after`, or 0.
inline std::size_t contraction_after_apostrophe(const std::uint8_t* s, std::size_t n,
                                                std::size_t after) {
  if (after >= n) return 0;
  const std::uint8_t c1 = simd::to_ascii_lower(s[after]);
  if (c1 == 's' || c1 == 't' || c1 == 'm' || c1 == 'd') return 1;
  if (after + 1 >= n) return 0;
  const std::uint8_t c2 = simd::to_ascii_lower(s[after + 1]);
  if ((c1 == 'l' && c2 == 'l') || (c1 == 'r' && c2 == 'e') || (c1 == 'v' && c2 == 'e')) return 2;
  return 0;
}

// A whitespace run from p: its end, the start of its last character, and the end of its last
// newline character (0 when it holds none), as both whitespace rules need them.
struct WhitespaceRun {
  std::size_t end;
  std::size_t last_char;
  std::size_t after_last_newline;
};

inline WhitespaceRun whitespace_run(const UniClassTable& table, const std::uint8_t* s,
                                    std::size_t n, std::size_t p) {
  WhitespaceRun run{p, p, 0};
  while (run.end < n) {
    const Char c = decode_char(s, n, run.end);
    if ((table.flags(c.cp) & kWhitespace) == 0) break;
    run.last_char = run.end;
    run.end += c.len;
    if (is_newline(c.cp)) run.after_last_newline = run.end;
  }
  return run;
}

// The whitespace rules' order: cl100k's `\s++$` comes before `\s*[\r\n]`, so that a run that
// reaches the end of the text is one piece even where it holds a line break; o200k has no
// `\s++$`, and a run is cut after its last line break wherever it ends.
enum class WhitespaceRules { kWholeRunAtTextEnd, kLineBreakFirst };

// Returns the end of the whitespace piece from p, in a run of whitespace that ends at run_end
// (n where the text ends), whose last character starts at last_char and whose last line break
// ends at after_last_newline (0 where it holds none): up to the last line break, or the whole
// run at the text's end, or the run less its last character, which goes with what follows.
template <WhitespaceRules kRules>
inline std::size_t whitespace_piece_end(std::size_t p, std::size_t run_end, std::size_t n,
                                        std::size_t after_last_newline, std::size_t last_char) {
  if (kRules == WhitespaceRules::kWholeRunAtTextEnd && run_end == n) return n;
  if (after_last_newline != 0) return after_last_newline;
  if (run_end == n) return n;
  return last_char > p ? last_char : run_end;
}

// Returns the end of the piece from p, which starts with c (of class flags), on the general
// path where it is no word and no number: an optional space, then a run of other characters and
// the bytes after it that other_tail takes, or else whitespace as kRules orders it, or else c.
template <WhitespaceRules kRules, class OtherTail>
inline std::size_t general_other_or_whitespace(const UniClassTable& table, const std::uint8_t* s,
                                               std::size_t n, std::size_t p, Char c,
                                               std::uint8_t flags, OtherTail other_tail) {
  const std::size_t q = c.cp == ' ' ? p + c.len : p;
  if (q < n) {
    const Char at_q = decode_char(s, n, q);
    if (is_other(table.flags(at_q.cp))) {
      std::size_t end = other_run_end(table, s, n, q + at_q.len);
      while (end < n && other_tail(s[end])) ++end;
      return end;
    }
  }
  if (flags & kWhitespace) {
    const WhitespaceRun run = whitespace_run(table, s, n, p);
    return whitespace_piece_end<kRules>(p, run.end, n, run.after_last_newline, run.last_char);
  }
  return p + c.len;
}

// A pre-tokenizer: returns the byte length (at least 1) of the piece that starts at p <
// text.size().
using NextPiece = std::size_t (*)(const UniClassTable& table, Bytes text, std::size_t p);

// Returns the cl100k pre-tokenizer whose ASCII runs `kernel` scans, its whitespace rules in the
// order kRules names (o200k's order is that of cl100k's older spelling); the CPU must support it.
template <WhitespaceRules kRules = WhitespaceRules::kWholeRunAtTextEnd>
NextPiece cl100k_scanner(simd::Kernel kernel);

// Returns the byte length (at least 1) of the cl100k piece that starts at p < text.size(), with
// the active kernel.
template <WhitespaceRules kRules = WhitespaceRules::kWholeRunAtTextEnd>
inline std::size_t cl100k_next_piece(const UniClassTable& table, Bytes text, std::size_t p) {
  return cl100k_scanner<kRules>(simd::active_kernel())(table, text, p);
}

// The same, always on the general path that decodes every character; the definition that the
// ASCII fast path of cl100k_next_piece must reproduce.
template <WhitespaceRules kRules = WhitespaceRules::kWholeRunAtTextEnd>
std::size_t cl100k_next_piece_general(const UniClassTable& table, Bytes text, std::size_t p);

}  // namespace pelnor
