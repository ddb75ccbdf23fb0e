#include "pelnor/text/pretok.h"

#include "pelnor/text/pretok_kernels.h"
#include "pelnor/text/simd.h"

namespace pelnor {

using simd::AsciiRun;
using simd::Kernel;

// The tag of this pre-tokenizer's fast paths, with its whitespace rules in the order kRules: the
// order decides only a whitespace piece's end.
template <WhitespaceRules kRules>
struct Cl100kRules {};

// Kept out of line: the fast paths call it rarely and should not carry its body.
template <WhitespaceRules kRules>
[[gnu::noinline]] std::size_t cl100k_next_piece_general(const UniClassTable& table, Bytes text,
                                                        std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const Char c = decode_char(s, n, p);
  const std::size_t after = p + c.len;
  if (c.cp == '\'') {
    if (const std::size_t suffix = contraction_after_apostrophe(s, n, after)) return c.len + suffix;
  }
  const std::uint8_t flags = table.flags(c.cp);
  if (flags & kLetter) return class_run_end(table, s, n, after, kLetter) - p;
  if (!is_newline(c.cp) && !(flags & kNumber) && after < n) {
    const Char next = decode_char(s, n, after);
    if (table.flags(next.cp) & kLetter) {
      return class_run_end(table, s, n, after + next.len, kLetter) - p;
    }
  }
  if (flags & kNumber) return number_run_end(table, s, n, p) - p;
  return general_other_or_whitespace<kRules>(table, s, n, p, c, flags, simd::is_ascii_newline) - p;
}

// ASCII bytes are classified by fixed ranges and runs scanned a block at a time; any scan that
// stops at a byte >= 0x80 might continue with a non-ASCII character of its class, so the
// piece is redone on the general path.
template <class Scans, WhitespaceRules kRules>
std::size_t scanned_fast_path(Cl100kRules<kRules>, const UniClassTable& table, Bytes text,
                              std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const auto general = [&] { return cl100k_next_piece_general<kRules>(table, text, p); };
  const auto stopped_at_non_ascii = [&](std::size_t end) { return end < n && s[end] >= 0x80; };
  // A run of letters from the letter at k.
  const auto letter_piece = [&](std::size_t k) {
    const std::size_t end = Scans::template run_end<AsciiRun::kLetter>(s, k + 1, n);
    return stopped_at_non_ascii(end) ? general() : end - p;
  };
  const std::uint8_t b = s[p];
  if (b >= 0x80) return general();
  if (simd::is_ascii_letter(b)) return letter_piece(p);
  if (b == '\'') {
    if (const std::size_t suffix = contraction_after_apostrophe(s, n, p + 1)) return 1 + suffix;
  }
  return scanned_number_word_or_other<Scans, kRules>(s, n, p, letter_piece, simd::is_ascii_newline,
                                                     general);
}

#if defined(PELNOR_X86_KERNELS)

// The same rules read from the class masks of the 16 bytes from p: most pieces end inside them,
// and those that run past them, or start too near the end of the text, are cut by kScanned.
template <NextPiece kScanned, WhitespaceRules kRules>
std::size_t block_fast_path(Cl100kRules<kRules>, const UniClassTable& table, Bytes text,
                            std::size_t p) {
  using Block = simd::Sse2Block;
  using simd::has_bit;
  using simd::ones_from;
  constexpr std::size_t kWidth = Block::kWidth;
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  if (p + kWidth > n) return kScanned(table, text, p);
  const auto general = [&] { return cl100k_next_piece_general<kRules>(table, text, p); };
  const simd::BlockClasses c = Block::classify(s + p);
  const std::uint64_t letters = c.letter;
  // A run of letters from a letter at k.
  const auto letter_run = [&](std::size_t k) {
    const std::size_t end = k + ones_from(letters, k);
    if (end == kWidth) return kScanned(table, text, p);
    return has_bit(c.non_ascii, end) ? general() : end;
  };
  if (has_bit(c.non_ascii, 0)) return general();
  if (has_bit(letters, 0)) return letter_run(0);
  if (s[p] == '\'') {
    if (const std::size_t suffix = contraction_after_apostrophe(s, n, p + 1)) return 1 + suffix;
  }
  if (has_bit(c.digit, 0)) {
    const std::size_t digits = ones_from(c.digit, 0);
    if (digits >= 3) return 3;
    return has_bit(c.non_ascii, digits) ? general() : digits;
  }
  if (!has_bit(c.newline, 0)) {
    if (has_bit(c.non_ascii, 1)) return general();
    if (has_bit(letters, 1)) return letter_run(1);
  }
  return block_other_or_whitespace<kScanned>(table, text, p, c, letters, c.newline, general);
}

#endif

template <WhitespaceRules kRules>
NextPiece cl100k_scanner(Kernel kernel) {
  return PretokKernels<Cl100kRules<kRules>>::scanner(kernel);
}

template NextPiece cl100k_scanner<WhitespaceRules::kWholeRunAtTextEnd>(Kernel);
template NextPiece cl100k_scanner<WhitespaceRules::kLineBreakFirst>(Kernel);
template std::size_t cl100k_next_piece_general<WhitespaceRules::kWholeRunAtTextEnd>(
    const UniClassTable&, Bytes, std::size_t);
template std::size_t cl100k_next_piece_general<WhitespaceRules::kLineBreakFirst>(
    const UniClassTable&, Bytes, std::size_t);

}  // namespace pelnor
