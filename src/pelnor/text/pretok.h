// The cl100k pre-tokenizer, and the character decoding both pre-tokenizers share.
#pragma once

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

// A pre-tokenizer: returns the byte length (at least 1) of the piece that starts at p <
// text.size().
using NextPiece = std::size_t (*)(const UniClassTable& table, Bytes text, std::size_t p);

// Returns the cl100k pre-tokenizer whose ASCII runs `kernel` scans; the CPU must support it.
NextPiece cl100k_scanner(simd::Kernel kernel);

// Returns the byte length (at least 1) of the cl100k piece that starts at p < text.size(), with
// the active kernel.
std::size_t cl100k_next_piece(const UniClassTable& table, Bytes text, std::size_t p);

// The same, always on the general path that decodes every character; the definition that the
// ASCII fast path of cl100k_next_piece must reproduce.
std::size_t cl100k_next_piece_general(const UniClassTable& table, Bytes text, std::size_t p);

}  // namespace pelnor
