#include "pelnor/text/pretok_o200k.h"

#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_kernels.h"
#include "pelnor/text/simd.h"

namespace pelnor {
namespace {

using simd::AsciiRun;
using simd::Kernel;

// The tag of this pre-tokenizer's fast paths.
struct O200kRules {};

constexpr WhitespaceRules kO200kWhitespace = WhitespaceRules::kLineBreakFirst;

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

[[gnu::noinline]] std::size_t o200k_next_piece_general(const UniClassTable& table, Bytes text,
                                                       std::size_t p) {
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
  return general_other_or_whitespace<kO200kWhitespace>(table, s, n, p, c, flags,
                                                       is_other_run_tail) -
         p;
}

namespace {

// ASCII bytes are classified by fixed ranges and runs scanned with Scans; any scan that stops at a
// byte >= 0x80 might continue with a non-ASCII character of its class, so the piece is redone on
// the general path.
template <class Scans>
std::size_t scanned_fast_path(O200kRules, const UniClassTable& table, Bytes text, std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const auto general = [&] { return o200k_next_piece_general(table, text, p); };
  const auto stopped_at_non_ascii = [&](std::size_t end) { return end < n && s[end] >= 0x80; };
  // An ASCII word from a letter at start, capitals then small letters, with its contraction.
  const auto ascii_word = [&](std::size_t start) -> std::size_t {
    const std::size_t end = Scans::cased_word_end(s, start, n);
    return stopped_at_non_ascii(end) ? kNeedsGeneral : with_contraction(s, n, end);
  };
  const auto word_piece = [&](std::size_t start) {
    const std::size_t end = ascii_word(start);
    return end == kNeedsGeneral ? general() : end - p;
  };
  const std::uint8_t b = s[p];
  if (b >= 0x80) return general();
  if (simd::is_ascii_letter(b)) return word_piece(p);
  return scanned_number_word_or_other<Scans, kO200kWhitespace>(s, n, p, word_piece,
                                                               is_other_run_tail, general);
}

#if defined(PELNOR_X86_KERNELS)

// The same rules read from the class masks of the 16 bytes from p: most pieces end inside them,
// and those that run past them, or start too near the end of the text, are cut by kScanned.
template <NextPiece kScanned>
std::size_t block_fast_path(O200kRules, const UniClassTable& table, Bytes text, std::size_t p) {
  using Block = simd::Sse2Block;
  using simd::has_bit;
  using simd::ones_from;
  constexpr std::size_t kWidth = Block::kWidth;
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  if (p + kWidth > n) return kScanned(table, text, p);
  const auto general = [&] { return o200k_next_piece_general(table, text, p); };
  const simd::BlockClasses c = Block::classify(s + p);
  // A word of capitals then small letters from a letter at k.
  const auto word = [&](std::size_t k) {
    std::size_t end = k + ones_from(c.upper, k);
    if (end < kWidth) end += ones_from(c.lower, end);
    if (end == kWidth) return kScanned(table, text, p);
    if (has_bit(c.non_ascii, end)) return general();
    return with_contraction(s, n, p + end) - p;
  };
  if (has_bit(c.non_ascii, 0)) return general();
  const std::uint64_t letters = c.upper | c.lower;
  if (has_bit(letters, 0)) return word(0);
  if (has_bit(c.digit, 0)) {
    const std::size_t digits = ones_from(c.digit, 0);
    if (digits >= 3) return 3;
    return has_bit(c.non_ascii, digits) ? general() : digits;
  }
  if (!has_bit(c.newline, 0)) {
    if (has_bit(c.non_ascii, 1)) return general();
    if (has_bit(letters, 1)) return word(1);
  }
  return block_other_or_whitespace<kScanned>(table, text, p, c, letters, c.newline | c.slash,
                                             general);
}

#endif

}  // namespace

NextPiece o200k_scanner(Kernel kernel) {
  return PretokKernels<O200kRules>::scanner(kernel);
}

}  // namespace pelnor
