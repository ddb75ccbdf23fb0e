#include "pelnor/text/pretok_r50k.h"

#include <cassert>

#include "pelnor/text/pretok.h"
#include "pelnor/text/simd.h"

namespace pelnor {
namespace {

using simd::AsciiRun;

// Returns the length of a lower-case contraction suffix (s t m d ll re ve) at `after`, or 0.
std::size_t contraction_suffix(const std::uint8_t* s, std::size_t n, std::size_t after) {
  if (after >= n) return 0;
  const std::uint8_t c1 = s[after];
  if (c1 == 's' || c1 == 't' || c1 == 'm' || c1 == 'd') return 1;
  if (after + 1 >= n) return 0;
  const std::uint8_t c2 = s[after + 1];
  if ((c1 == 'l' && c2 == 'l') || (c1 == 'r' && c2 == 'e') || (c1 == 'v' && c2 == 'e')) return 2;
  return 0;
}

// The class bit of a character's run: letter, number, or none for other characters.
std::uint8_t run_class(std::uint8_t flags) {
  if (flags & kLetter) return kLetter;
  if (flags & kNumber) return kNumber;
  return 0;
}

}  // namespace

std::size_t r50k_next_piece_general(const UniClassTable& table, Bytes text, std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const Char c = decode_char(s, n, p);
  if (c.cp == '\'') {
    if (const std::size_t suffix = contraction_suffix(s, n, p + c.len)) return c.len + suffix;
  }
  // One space may lead a run of letters, numbers or other characters.
  std::size_t q = p;
  Char at_q = c;
  if (c.cp == ' ' && p + c.len < n) {
    q = p + c.len;
    at_q = decode_char(s, n, q);
  }
  const std::uint8_t flags = table.flags(at_q.cp);
  if ((flags & kWhitespace) == 0) {
    const std::uint8_t bits = run_class(flags);
    const std::size_t end = bits != 0 ? class_run_end(table, s, n, q + at_q.len, bits)
                                      : other_run_end(table, s, n, q + at_q.len);
    return end - p;
  }
  // A whitespace run: whole at the end of the text, else without its last character, which
  // leads the next piece.
  const WhitespaceRun run = whitespace_run(table, s, n, p);
  if (run.end == n || run.last_char == p) return run.end - p;
  return run.last_char - p;
}

// ASCII bytes are classified by fixed ranges and runs scanned sixteen bytes at a time; a scan
// that stops at a byte >= 0x80 might go on with a non-ASCII character of its class, so the
// piece is redone on the general path.
std::size_t r50k_next_piece(const UniClassTable& table, Bytes text, std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  assert(p < n);
  const auto general = [&] { return r50k_next_piece_general(table, text, p); };
  const auto stopped_at_non_ascii = [&](std::size_t end) { return end < n && s[end] >= 0x80; };
  const auto run = [&](std::size_t end) { return stopped_at_non_ascii(end) ? general() : end - p; };
  if (s[p] == '\'') {
    if (const std::size_t suffix = contraction_suffix(s, n, p + 1)) return 1 + suffix;
  }
  const std::size_t q = s[p] == ' ' && p + 1 < n ? p + 1 : p;
  const std::uint8_t b = s[q];
  if (b >= 0x80) return general();
  if (simd::is_ascii_letter(b))
    return run(simd::BaselineScans::run_end<AsciiRun::kLetter>(s, q + 1, n));
  if (simd::is_ascii_digit(b))
    return run(simd::BaselineScans::run_end<AsciiRun::kDigit>(s, q + 1, n));
  if (!simd::is_ascii_whitespace(b))
    return run(simd::BaselineScans::run_end<AsciiRun::kOther>(s, q + 1, n));
  std::size_t last_newline = n;
  const std::size_t end = simd::BaselineScans::whitespace_run_end(s, p, n, last_newline);
  if (stopped_at_non_ascii(end)) return general();
  if (end == n) return n - p;
  return end - p > 1 ? end - 1 - p : 1;
}

}  // namespace pelnor
