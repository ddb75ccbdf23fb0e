#include "pelnor/text/pretok.h"

#include "pelnor/text/pretok_kernels.h"
#include "pelnor/text/simd.h"

namespace pelnor {

using simd::AsciiRun;
using simd::Kernel;

// Kept out of line: the fast paths call it rarely and should not carry its body.
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
  const std::size_t q = c.cp == ' ' ? after : p;
  if (q < n) {
    const Char at_q = decode_char(s, n, q);
    if (is_other(table.flags(at_q.cp))) {
      std::size_t end = other_run_end(table, s, n, q + at_q.len);
      while (end < n && simd::is_ascii_newline(s[end])) ++end;
      return end - p;
    }
  }
  if (flags & kWhitespace) {
    const WhitespaceRun run = whitespace_run(table, s, n, p);
    if (run.end == n) return n - p;
    if (run.after_last_newline != 0) return run.after_last_newline - p;
    if (run.last_char > p) return run.last_char - p;
    return run.end - p;
  }
  return 1;
}

namespace {

// ASCII bytes are classified by fixed ranges and runs scanned a block at a time; any scan that
// stops at a byte >= 0x80 might continue with a non-ASCII character of its class, so the
// piece is redone on the general path.
template <class Scans>
std::size_t cl100k_scanned(const UniClassTable& table, Bytes text, std::size_t p) {
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  const auto general = [&] { return cl100k_next_piece_general(table, text, p); };
  const auto stopped_at_non_ascii = [&](std::size_t end) { return end < n && s[end] >= 0x80; };
  const std::uint8_t b = s[p];
  if (b >= 0x80) return general();
  if (simd::is_ascii_letter(b)) {
    const std::size_t end = Scans::template run_end<AsciiRun::kLetter>(s, p + 1, n);
    return stopped_at_non_ascii(end) ? general() : end - p;
  }
  if (b == '\'') {
    if (const std::size_t suffix = contraction_after_apostrophe(s, n, p + 1)) return 1 + suffix;
  }
  if (simd::is_ascii_digit(b)) {
    std::size_t end = p + 1;
    while (end < n && end < p + 3 && simd::is_ascii_digit(s[end])) ++end;
    return end < p + 3 && stopped_at_non_ascii(end) ? general() : end - p;
  }
  if (!simd::is_ascii_newline(b) && p + 1 < n) {
    if (s[p + 1] >= 0x80) return general();
    if (simd::is_ascii_letter(s[p + 1])) {
      const std::size_t end = Scans::template run_end<AsciiRun::kLetter>(s, p + 2, n);
      return stopped_at_non_ascii(end) ? general() : end - p;
    }
  }
  const std::size_t q = b == ' ' ? p + 1 : p;
  if (q < n && s[q] >= 0x80) return general();
  if (q < n && simd::is_ascii_other(s[q])) {
    std::size_t end = Scans::template run_end<AsciiRun::kOther>(s, q + 1, n);
    if (stopped_at_non_ascii(end)) return general();
    while (end < n && simd::is_ascii_newline(s[end])) ++end;
    return end - p;
  }
  std::size_t last_newline = n;
  const std::size_t end = Scans::whitespace_run_end(s, p, n, last_newline);
  if (stopped_at_non_ascii(end)) return general();
  if (end == n) return n - p;
  if (last_newline != n) return last_newline + 1 - p;
  return end - p > 1 ? end - 1 - p : 1;
}

#if defined(PELNOR_X86_KERNELS)

// The same rules read from the class masks of the 16 bytes from p: most pieces end inside them,
// and those that run past them, or start too near the end of the text, are cut by kScanned.
template <NextPiece kScanned>
std::size_t cl100k_blocks(const UniClassTable& table, Bytes text, std::size_t p) {
  using Block = simd::Sse2Block;
  using simd::has_bit;
  using simd::ones_from;
  constexpr std::size_t kWidth = Block::kWidth;
  const std::uint8_t* s = text.data();
  const std::size_t n = text.size();
  if (p + kWidth > n) return kScanned(table, text, p);
  const auto general = [&] { return cl100k_next_piece_general(table, text, p); };
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

// The fast paths the kernels are built from.
struct Cl100kFastPaths {
  template <class Scans>
  static constexpr NextPiece scanned = cl100k_scanned<Scans>;
#if defined(PELNOR_X86_KERNELS)
  template <NextPiece kScanned>
  static constexpr NextPiece blocks = cl100k_blocks<kScanned>;
#endif
};

}  // namespace

NextPiece cl100k_scanner(Kernel kernel) {
  return PretokKernels<Cl100kFastPaths>::scanner(kernel);
}

std::size_t cl100k_next_piece(const UniClassTable& table, Bytes text, std::size_t p) {
  return cl100k_scanner(simd::active_kernel())(table, text, p);
}

}  // namespace pelnor
