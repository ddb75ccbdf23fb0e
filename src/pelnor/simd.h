// Sixteen-byte scans of ASCII runs for the pre-tokenizers' fast paths, with the scalar twins
// that define them. Every byte of 0x80 or above ends every run.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelnor::simd {

enum class AsciiRun { kLetter, kUpper, kLower, kDigit, kOther };

// first <= b < first + count
inline bool in_ascii_span(std::uint8_t b, char first, unsigned count) {
  return static_cast<unsigned>(b - first) < count;
}
inline bool is_ascii_upper(std::uint8_t b) {
  return in_ascii_span(b, 'A', 26);
}
inline bool is_ascii_lower(std::uint8_t b) {
  return in_ascii_span(b, 'a', 26);
}
inline bool is_ascii_letter(std::uint8_t b) {
  return in_ascii_span(b | 0x20, 'a', 26);
}
inline bool is_ascii_digit(std::uint8_t b) {
  return in_ascii_span(b, '0', 10);
}
inline bool is_ascii_whitespace(std::uint8_t b) {
  return b == ' ' || in_ascii_span(b, '\t', 5);
}
inline std::uint8_t to_ascii_lower(std::uint8_t b) {
  return is_ascii_upper(b) ? b | 0x20 : b;
}
inline bool is_ascii_newline(std::uint8_t b) {
  return b == '\n' || b == '\r';
}
// Punctuation, symbols and control bytes other than whitespace.
inline bool is_ascii_other(std::uint8_t b) {
  return b < 0x80 && !is_ascii_letter(b) && !is_ascii_digit(b) && !is_ascii_whitespace(b);
}

template <AsciiRun kRun>
bool in_run(std::uint8_t b) {
  if constexpr (kRun == AsciiRun::kLetter) return is_ascii_letter(b);
  if constexpr (kRun == AsciiRun::kUpper) return is_ascii_upper(b);
  if constexpr (kRun == AsciiRun::kLower) return is_ascii_lower(b);
  if constexpr (kRun == AsciiRun::kDigit) return is_ascii_digit(b);
  if constexpr (kRun == AsciiRun::kOther) return is_ascii_other(b);
}

// Returns the first index in [i, n) whose byte is outside the run, or n.
template <AsciiRun kRun>
std::size_t run_end_scalar(const std::uint8_t* s, std::size_t i, std::size_t n) {
  while (i < n && in_run<kRun>(s[i])) ++i;
  return i;
}

// Returns the end of the ASCII whitespace run from i; last_newline gets the index of its last
// \n or \r, or stays unchanged when it holds none.
inline std::size_t whitespace_run_end_scalar(const std::uint8_t* s, std::size_t i, std::size_t n,
                                             std::size_t& last_newline) {
  for (; i < n && is_ascii_whitespace(s[i]); ++i) {
    if (is_ascii_newline(s[i])) last_newline = i;
  }
  return i;
}

#if defined(__SSE2__)

namespace detail {

// Bytes lo <= b <= hi, for bounds below 0x80; bytes >= 0x80 compare as negative and fail.
inline __m128i in_range(__m128i v, char lo, char hi) {
  return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
}

inline __m128i whitespace_mask(__m128i v) {
  return _mm_or_si128(in_range(v, 0x09, 0x0D), _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
}

template <AsciiRun kRun>
__m128i run_mask(__m128i v) {
  if constexpr (kRun == AsciiRun::kLetter) {
    return in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z');
  } else if constexpr (kRun == AsciiRun::kUpper) {
    return in_range(v, 'A', 'Z');
  } else if constexpr (kRun == AsciiRun::kLower) {
    return in_range(v, 'a', 'z');
  } else if constexpr (kRun == AsciiRun::kDigit) {
    return in_range(v, '0', '9');
  } else {
    const __m128i ascii = _mm_cmpgt_epi8(v, _mm_set1_epi8(-1));
    const __m128i word = _mm_or_si128(in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z'),
                                      in_range(v, '0', '9'));
    return _mm_andnot_si128(_mm_or_si128(word, whitespace_mask(v)), ascii);
  }
}

inline __m128i load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace detail

template <AsciiRun kRun>
std::size_t run_end(const std::uint8_t* s, std::size_t i, std::size_t n) {
  for (; i + 16 <= n; i += 16) {
    const unsigned outside =
        ~static_cast<unsigned>(_mm_movemask_epi8(detail::run_mask<kRun>(detail::load(s + i)))) &
        0xFFFF;
    if (outside != 0) return i + static_cast<unsigned>(__builtin_ctz(outside));
  }
  return run_end_scalar<kRun>(s, i, n);
}

inline std::size_t whitespace_run_end(const std::uint8_t* s, std::size_t i, std::size_t n,
                                      std::size_t& last_newline) {
  for (; i + 16 <= n; i += 16) {
    const __m128i v = detail::load(s + i);
    const unsigned outside =
        ~static_cast<unsigned>(_mm_movemask_epi8(detail::whitespace_mask(v))) & 0xFFFF;
    unsigned newlines = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')))));
    if (outside != 0) newlines &= (outside & -outside) - 1;  // newlines before the run ends
    if (newlines != 0) last_newline = i + 31 - static_cast<unsigned>(__builtin_clz(newlines));
    if (outside != 0) return i + static_cast<unsigned>(__builtin_ctz(outside));
  }
  return whitespace_run_end_scalar(s, i, n, last_newline);
}

#else

template <AsciiRun kRun>
std::size_t run_end(const std::uint8_t* s, std::size_t i, std::size_t n) {
  return run_end_scalar<kRun>(s, i, n);
}

inline std::size_t whitespace_run_end(const std::uint8_t* s, std::size_t i, std::size_t n,
                                      std::size_t& last_newline) {
  return whitespace_run_end_scalar(s, i, n, last_newline);
}

#endif

}  // namespace pelnor::simd
