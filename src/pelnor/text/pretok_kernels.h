// What the ASCII fast paths of the pre-tokenizers share: the end of a piece of punctuation or
// whitespace read from a block's class masks, and the kernel entry points built from a rule's
// fast paths.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "pelnor/text/pretok.h"
#include "pelnor/text/simd.h"
#include "pelnor/types.h"

namespace pelnor {

// The ASCII fast path of a number piece from the digit at p: up to three digits; one that stops
// at a byte >= 0x80, which may be a number character, is cut by general().
template <class General>
[[gnu::always_inline]] inline std::size_t scanned_digits(const std::uint8_t* s, std::size_t n,
                                                         std::size_t p, General general) {
  std::size_t end = p + 1;
  while (end < n && end < p + 3 && simd::is_ascii_digit(s[end])) ++end;
  return end < p + 3 && end < n && s[end] >= 0x80 ? general() : end - p;
}

// The ASCII fast path of a piece from p that is no word and no number: an optional space, then a
// run of other characters and the bytes after it that other_tail takes, or else whitespace,
// ending as kRules orders it. A run that stops at a byte >= 0x80 is cut by general().
template <class Scans, WhitespaceRules kRules, class OtherTail, class General>
[[gnu::always_inline]] inline std::size_t scanned_other_or_whitespace(const std::uint8_t* s,
                                                                      std::size_t n, std::size_t p,
                                                                      OtherTail other_tail,
                                                                      General general) {
  const auto stopped_at_non_ascii = [&](std::size_t end) { return end < n && s[end] >= 0x80; };
  const std::size_t q = s[p] == ' ' ? p + 1 : p;
  if (q < n && s[q] >= 0x80) return general();
  if (q < n && simd::is_ascii_other(s[q])) {
    std::size_t end = Scans::template run_end<simd::AsciiRun::kOther>(s, q + 1, n);
    if (stopped_at_non_ascii(end)) return general();
    while (end < n && other_tail(s[end])) ++end;
    return end - p;
  }
  std::size_t last_newline = n;
  const std::size_t end = Scans::whitespace_run_end(s, p, n, last_newline);
  if (stopped_at_non_ascii(end)) return general();
  // ASCII whitespace characters are one byte each.
  return whitespace_piece_end<kRules>(p, end, n, last_newline == n ? 0 : last_newline + 1,
                                      end - 1) -
         p;
}

// The ASCII fast path of the rules both pre-tokenizers follow for a piece from p that starts with
// no letter (and no contraction): up to three digits, else a word after one byte that is no line
// break, else what scanned_other_or_whitespace cuts. word_piece(k) is the length from p of the
// pre-tokenizer's word from the letter at k.
template <class Scans, WhitespaceRules kRules, class WordPiece, class OtherTail, class General>
[[gnu::always_inline]] inline std::size_t scanned_number_word_or_other(const std::uint8_t* s,
                                                                       std::size_t n, std::size_t p,
                                                                       WordPiece word_piece,
                                                                       OtherTail other_tail,
                                                                       General general) {
  const std::uint8_t b = s[p];
  if (simd::is_ascii_digit(b)) return scanned_digits(s, n, p, general);
  if (!simd::is_ascii_newline(b) && p + 1 < n) {
    if (s[p + 1] >= 0x80) return general();
    if (simd::is_ascii_letter(s[p + 1])) return word_piece(p + 1);
  }
  return scanned_other_or_whitespace<Scans, kRules>(s, n, p, other_tail, general);
}

#if defined(PELNOR_X86_KERNELS)

// Returns the length of the piece from p, which the block classes `c` show to be no word and no
// number: an optional space, then a run of other characters and any bytes of `other_tail` after
// it, or else whitespace. Pieces that reach the block's end are cut by kScanned, those that stop
// at a byte >= 0x80 by general(). Always inlined, so that each kernel compiles as it did with
// this written out in it.
template <NextPiece kScanned, class General>
[[gnu::always_inline]] inline std::size_t block_other_or_whitespace(
    const UniClassTable& table, Bytes text, std::size_t p, const simd::BlockClasses& c,
    std::uint64_t letters, std::uint64_t other_tail, General general) {
  using simd::has_bit;
  using simd::ones_from;
  constexpr std::size_t kWidth = simd::Sse2Block::kWidth;
  constexpr std::uint64_t kBlockBits = (std::uint64_t{1} << kWidth) - 1;
  const std::size_t q = text.data()[p] == ' ' ? 1 : 0;
  if (has_bit(c.non_ascii, q)) return general();
  const std::uint64_t other = ~(letters | c.digit | c.whitespace | c.non_ascii) & kBlockBits;
  if (has_bit(other, q)) {
    std::size_t end = q + ones_from(other, q);
    if (end == kWidth) return kScanned(table, text, p);
    if (has_bit(c.non_ascii, end)) return general();
    end += ones_from(other_tail, end);
    return end == kWidth ? kScanned(table, text, p) : end;
  }
  const std::size_t end = ones_from(c.whitespace, 0);
  if (end == kWidth) return kScanned(table, text, p);
  if (has_bit(c.non_ascii, end)) return general();
  // The run ends inside the block, so before the end of the text.
  if (const std::uint64_t newlines = c.newline & ((std::uint64_t{1} << end) - 1)) {
    return 64 - static_cast<std::size_t>(std::countl_zero(newlines));
  }
  return end > 1 ? end - 1 : 1;
}

#endif

// The kernels of the pre-tokenizer whose tag is Rules. Its file defines the fast paths for the
// tag, found by argument-dependent lookup: scanned_fast_path<Scans>(Rules{}, table, text, p)
// cuts the piece from p by its rules over the runs that Scans finds, and
// block_fast_path<kScanned>(Rules{}, table, text, p) by the same rules read from the class masks
// of the 16 bytes from p, handing the pieces that run past them to kScanned.
template <class Rules>
struct PretokKernels {
  static std::size_t scalar(const UniClassTable& table, Bytes text, std::size_t p) {
    assert(p < text.size());
    return scanned_fast_path<simd::ScalarScans>(Rules{}, table, text, p);
  }

#if defined(PELNOR_X86_KERNELS)
  static std::size_t scanned_sse2(const UniClassTable& table, Bytes text, std::size_t p) {
    return scanned_fast_path<simd::Scans<simd::Kernel::kSse2>>(Rules{}, table, text, p);
  }

  // Out of line, so that only the long pieces pay for entering AVX2 code.
  [[gnu::noinline]] PELNOR_KERNEL_ENTRY_AVX2 static std::size_t scanned_avx2(
      const UniClassTable& table, Bytes text, std::size_t p) {
    return scanned_fast_path<simd::Scans<simd::Kernel::kAvx2>>(Rules{}, table, text, p);
  }

  static std::size_t sse2(const UniClassTable& table, Bytes text, std::size_t p) {
    assert(p < text.size());
    return block_fast_path<scanned_sse2>(Rules{}, table, text, p);
  }

  static std::size_t avx2(const UniClassTable& table, Bytes text, std::size_t p) {
    assert(p < text.size());
    return block_fast_path<scanned_avx2>(Rules{}, table, text, p);
  }
#else
  static std::size_t sse2(const UniClassTable& table, Bytes text, std::size_t p) {
    return scalar(table, text, p);
  }

  static std::size_t avx2(const UniClassTable& table, Bytes text, std::size_t p) {
    return scalar(table, text, p);
  }
#endif

  static NextPiece scanner(simd::Kernel kernel) {
    switch (kernel) {
      case simd::Kernel::kScalar:
        return scalar;
      case simd::Kernel::kSse2:
        return sse2;
      case simd::Kernel::kAvx2:
        return avx2;
    }
    return scalar;
  }
};

}  // namespace pelnor
