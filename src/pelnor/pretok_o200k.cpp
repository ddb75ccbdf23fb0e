#include "pretok_o200k.h"

#include "pretok.h"
#include "simd.h"

namespace pelnor {
namespace {

using simd::AsciiRun;

constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);
// The fast path met a byte >= 0x80 and leaves the piece to the general path.
constexpr std::size_t kNeedsGeneral = kNoMatch - 1;

// Word form A: an optional upper-set run, then a required lower-set run. With no lower-set
// character after the upper run, the match ends after the run's last character that is also in
// the lower set (a mark or a Lm/Lo letter can serve as the lower part).
std::size_t word_form_a(const UniClassTable& table, const std::uint8_t* s, std::size_t n,
                        std::size_t start) {
  std::size_t upper_end = start;
  std::size_t after_last_lower = kNoMatch;
  while (upper_end < n) {
    const Char c = decode_char(s, n, upper_end);
    const std::uint8_t flags = table.flags(c.cp);
    if ((flags & kUpperSet) == 0) break;
    upper_end += c.len;
    if (flags & kLowerSet) after_last_lower = upper_end;
  }
  const std::size_t lower_end = class_run_end(table, s, n, upper_end, kLowerSet);
  return lower_end > upper_end ? lower_end : after_last_lower;
}

// Word form B: a required upper-set run, then an optional lower-set run.
std::size_t word_form_b(const UniClassTable& table, const std::uint8_t* s, std::size_t n,
                        std::size_t start) {
  const std::size_t upper_end = class_run_end(table, s, n, start, kUpperSet);
  if (upper_end == start) return kNoMatch;
  return class_run_end(table, s, n, upper_end, kLowerSet);
}

// Returns the end of a word that ends at `end`, with its contraction suffix if one follows.
std::size_t with_contraction(const std::uint8_t* s, std::size_t n, std::size_t end) {
  if (end < n && s[end] == '\'') {
    if (const std::size_t suffix = contraction_after_apostrophe(s, n, end + 1)) {
      return end + 1 + suffix;
    }
  }
  return end;
}

bool is_other_run_tail(std::uint8_t b) {
  return b == '\r' || b == '\n' || b == '/';
}

}  // namespace

std::size_t o200k_next_piece_general(const UniClassTable& table, Bytes text, std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const Char c = decode_char(s, n, p);
  const std::size_t after = p + c.len;
  const std::uint8_t flags = table.flags(c.cp);
  std::size_t word_end;
  if (!is_newline(c.cp) && (flags & (kLetter | kNumber)) == 0) {
    word_end = word_form_a(table, s, n, after);
    if (word_end == kNoMatch) word_end = word_form_a(table, s, n, p);
    if (word_end == kNoMatch) word_end = word_form_b(table, s, n, after);
    if (word_end == kNoMatch) word_end = word_form_b(table, s, n, p);
  } else {
    word_end = word_form_a(table, s, n, p);
    if (word_end == kNoMatch) word_end = word_form_b(table, s, n, p);
  }
  if (word_end != kNoMatch) return with_contraction(s, n, word_end) - p;
  if (flags & kNumber) return number_run_end(table, s, n, p) - p;
  const std::size_t q = c.cp == ' ' ? after : p;
  if (q < n) {
    const Char at_q = decode_char(s, n, q);
    if (is_other(table.flags(at_q.cp))) {
      std::size_t end = other_run_end(table, s, n, q + at_q.len);
      while (end < n && is_other_run_tail(s[end])) ++end;
      return end - p;
    }
  }
  if (flags & kWhitespace) {
    const WhitespaceRun run = whitespace_run(table, s, n, p);
    if (run.after_last_newline != 0) return run.after_last_newline - p;
    if (run.end == n) return n - p;
    if (run.last_char > p) return run.last_char - p;
    return run.end - p;
  }
  return 1;
}

std::size_t o200k_next_piece(const UniClassTable& table, Bytes text, std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const auto general = [&] { return o200k_next_piece_general(table, text, p); };
  const auto stopped_at_non_ascii = [&](std::size_t end) { return end < n && s[end] >= 0x80; };
  // An ASCII word from start, capitals then small letters, with its contraction; kNoMatch when
  // start holds no letter.
  const auto ascii_word = [&](std::size_t start) -> std::size_t {
    const std::size_t upper_end = simd::run_end<AsciiRun::kUpper>(s, start, n);
    if (stopped_at_non_ascii(upper_end)) return kNeedsGeneral;
    const std::size_t lower_end = simd::run_end<AsciiRun::kLower>(s, upper_end, n);
    if (stopped_at_non_ascii(lower_end)) return kNeedsGeneral;
    return lower_end > start ? with_contraction(s, n, lower_end) : kNoMatch;
  };
  const std::uint8_t b = s[p];
  if (b >= 0x80) return general();
  if (simd::is_ascii_letter(b)) {
    const std::size_t end = ascii_word(p);
    return end == kNeedsGeneral ? general() : end - p;
  }
  if (simd::is_ascii_digit(b)) {
    std::size_t end = p + 1;
    while (end < n && end < p + 3 && simd::is_ascii_digit(s[end])) ++end;
    return end < p + 3 && stopped_at_non_ascii(end) ? general() : end - p;
  }
  if (!simd::is_ascii_newline(b) && p + 1 < n) {
    if (s[p + 1] >= 0x80) return general();
    const std::size_t end = ascii_word(p + 1);
    if (end == kNeedsGeneral) return general();
    if (end != kNoMatch) return end - p;
  }
  const std::size_t q = b == ' ' ? p + 1 : p;
  if (q < n && s[q] >= 0x80) return general();
  if (q < n && simd::is_ascii_other(s[q])) {
    std::size_t end = simd::run_end<AsciiRun::kOther>(s, q + 1, n);
    if (stopped_at_non_ascii(end)) return general();
    while (end < n && is_other_run_tail(s[end])) ++end;
    return end - p;
  }
  std::size_t last_newline = n;
  const std::size_t end = simd::whitespace_run_end(s, p, n, last_newline);
  if (stopped_at_non_ascii(end)) return general();
  if (last_newline != n) return last_newline + 1 - p;
  if (end == n) return n - p;
  return end - p > 1 ? end - 1 - p : 1;
}

}  // namespace pelnor
