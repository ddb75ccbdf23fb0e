// Scans of ASCII runs for the pre-tokenizers' fast paths, at three widths: the scalar scans that
// define them, SSE2 (16 bytes) and AVX2 (32 bytes). Every byte of 0x80 or above ends every run.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#define PELNOR_X86_KERNELS 1
#endif

namespace pelnor::simd {

enum class AsciiRun { kLetter, kUpper, kLower, kDigit, kOther };

// The width the scans run at. Any kernel that kernel_supported() accepts gives the same results.
enum class Kernel { kScalar, kSse2, kAvx2 };
inline constexpr Kernel kAllKernels[] = {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2};

// Returns whether this build and CPU run the kernel.
bool kernel_supported(Kernel kernel);
// Returns the kernel the pre-tokenizers use: the one PELNOR_KERNEL names (scalar, sse2, avx2)
// when supported, otherwise the widest supported; chosen once per process.
Kernel active_kernel();
// Returns the kernel's name as PELNOR_KERNEL spells it.
const char* kernel_name(Kernel kernel);

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

// The ASCII classes of a block of bytes from some position: bit k of a mask is the byte at k.
struct BlockClasses {
  std::uint64_t letter;
  std::uint64_t upper;
  std::uint64_t lower;
  std::uint64_t digit;
  std::uint64_t whitespace;
  std::uint64_t newline;  // \n and \r
  std::uint64_t slash;
  std::uint64_t non_ascii;  // 0x80 and above
};

// Returns the classes of the `width` bytes (at most 64) from p; the definition the vector
// classifiers must equal.
inline BlockClasses classify_scalar(const std::uint8_t* p, std::size_t width) {
  BlockClasses classes{};
  for (std::size_t k = 0; k < width; ++k) {
    const std::uint64_t bit = std::uint64_t{1} << k;
    if (is_ascii_letter(p[k])) classes.letter |= bit;
    if (is_ascii_upper(p[k])) classes.upper |= bit;
    if (is_ascii_lower(p[k])) classes.lower |= bit;
    if (is_ascii_digit(p[k])) classes.digit |= bit;
    if (is_ascii_whitespace(p[k])) classes.whitespace |= bit;
    if (is_ascii_newline(p[k])) classes.newline |= bit;
    if (p[k] == '/') classes.slash |= bit;
    if (p[k] >= 0x80) classes.non_ascii |= bit;
  }
  return classes;
}

inline bool has_bit(std::uint64_t mask, std::size_t k) {
  return (mask >> k & 1) != 0;
}

// Returns the number of consecutive set bits from bit k (k < 64).
inline std::size_t ones_from(std::uint64_t mask, std::size_t k) {
  return static_cast<std::size_t>(std::countr_zero(~(mask >> k)));
}

struct ScalarScans {
  // Returns the first index in [i, n) whose byte is outside the run, or n.
  template <AsciiRun kRun>
  static std::size_t run_end(const std::uint8_t* s, std::size_t i, std::size_t n) {
    while (i < n && in_run<kRun>(s[i])) ++i;
    return i;
  }

  // Returns the end of the whitespace run from i; last_newline gets the index of its last \n or
  // \r, or stays unchanged when it holds none.
  static std::size_t whitespace_run_end(const std::uint8_t* s, std::size_t i, std::size_t n,
                                        std::size_t& last_newline) {
    for (; i < n && is_ascii_whitespace(s[i]); ++i) {
      if (is_ascii_newline(s[i])) last_newline = i;
    }
    return i;
  }

  // Returns the end of the run of capitals from i and the run of small letters after it, the
  // shape of an o200k word.
  static std::size_t cased_word_end(const std::uint8_t* s, std::size_t i, std::size_t n) {
    return run_end<AsciiRun::kLower>(s, run_end<AsciiRun::kUpper>(s, i, n), n);
  }
};

#if defined(PELNOR_X86_KERNELS)

// The scans over blocks of Block::kWidth bytes, whose class masks have bit k for byte k; the
// bytes after the last whole block go to the narrower Block::Tail.
template <class Block>
struct BlockScans {
  using Tail = typename Block::Tail;
  static constexpr std::size_t kWidth = Block::kWidth;
  static constexpr std::uint64_t kBlockBits = (std::uint64_t{1} << kWidth) - 1;

  template <AsciiRun kRun>
  static std::size_t run_end(const std::uint8_t* s, std::size_t i, std::size_t n) {
    for (; i + kWidth <= n; i += kWidth) {
      const std::uint64_t outside = ~Block::template mask<kRun>(s + i) & kBlockBits;
      if (outside != 0) return i + static_cast<std::size_t>(std::countr_zero(outside));
    }
    return Tail::template run_end<kRun>(s, i, n);
  }

  static std::size_t whitespace_run_end(const std::uint8_t* s, std::size_t i, std::size_t n,
                                        std::size_t& last_newline) {
    for (; i + kWidth <= n; i += kWidth) {
      const std::uint64_t outside = ~Block::whitespace(s + i) & kBlockBits;
      std::uint64_t newlines = Block::newlines(s + i);
      if (outside != 0) newlines &= (outside & -outside) - 1;  // newlines before the run ends
      if (newlines != 0)
        last_newline = i + 63 - static_cast<std::size_t>(std::countl_zero(newlines));
      if (outside != 0) return i + static_cast<std::size_t>(std::countr_zero(outside));
    }
    return Tail::whitespace_run_end(s, i, n, last_newline);
  }

  // Most words fit one block: both runs come from the masks of one load.
  static std::size_t cased_word_end(const std::uint8_t* s, std::size_t i, std::size_t n) {
    if (i + kWidth > n) return Tail::cased_word_end(s, i, n);
    const std::uint64_t upper = Block::template mask<AsciiRun::kUpper>(s + i);
    const auto upper_len = static_cast<unsigned>(std::countr_zero(~upper));
    if (upper_len == kWidth) {
      return run_end<AsciiRun::kLower>(s, run_end<AsciiRun::kUpper>(s, i + kWidth, n), n);
    }
    const std::uint64_t lower = Block::template mask<AsciiRun::kLower>(s + i) >> upper_len;
    const std::size_t end = i + upper_len + static_cast<std::size_t>(std::countr_zero(~lower));
    return end < i + kWidth ? end : run_end<AsciiRun::kLower>(s, i + kWidth, n);
  }
};

namespace detail {

// The bytes of a block as GCC's vector types, whose operators compile to SSE2 or AVX2
// instructions as the function holding them is compiled.
using Lanes16 = signed char __attribute__((vector_size(16)));
using Lanes32 = signed char __attribute__((vector_size(32)));

inline Lanes16 load16(const std::uint8_t* p) {
  return reinterpret_cast<Lanes16>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// The lanes' top bits: a byte's class bit, or its >= 0x80 bit for raw bytes.
inline std::uint64_t bits16(Lanes16 v) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(v)));
}

#define PELNOR_AVX2 [[gnu::target("avx2")]]

PELNOR_AVX2 inline Lanes32 load32(const std::uint8_t* p) {
  return reinterpret_cast<Lanes32>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

PELNOR_AVX2 inline std::uint64_t bits32(Lanes32 v) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(reinterpret_cast<__m256i>(v)));
}

// Each width's byte classes, compiled for its instructions: a function that takes or returns a
// 32-byte vector must itself be compiled for AVX.
namespace lanes16 {
using Lanes = Lanes16;
#define PELNOR_LANES_TARGET
#include "pelnor/text/simd_lanes.h"
#undef PELNOR_LANES_TARGET
}  // namespace lanes16

namespace lanes32 {
using Lanes = Lanes32;
#define PELNOR_LANES_TARGET PELNOR_AVX2
#include "pelnor/text/simd_lanes.h"
#undef PELNOR_LANES_TARGET
}  // namespace lanes32

}  // namespace detail

struct Sse2Block {
  using Tail = ScalarScans;
  static constexpr std::size_t kWidth = 16;
  template <AsciiRun kRun>
  static std::uint64_t mask(const std::uint8_t* p) {
    return detail::bits16(detail::lanes16::run_bytes<kRun>(detail::load16(p)));
  }
  static std::uint64_t whitespace(const std::uint8_t* p) {
    return detail::bits16(detail::lanes16::whitespace_bytes(detail::load16(p)));
  }
  static std::uint64_t newlines(const std::uint8_t* p) {
    return detail::bits16(detail::lanes16::either_byte(detail::load16(p), '\n', '\r'));
  }
  static BlockClasses classify(const std::uint8_t* p) {
    using namespace detail;
    using namespace detail::lanes16;
    const Lanes16 v = load16(p);
    return {bits16(run_bytes<AsciiRun::kLetter>(v)),
            bits16(run_bytes<AsciiRun::kUpper>(v)),
            bits16(run_bytes<AsciiRun::kLower>(v)),
            bits16(run_bytes<AsciiRun::kDigit>(v)),
            bits16(whitespace_bytes(v)),
            bits16(either_byte(v, '\n', '\r')),
            bits16(v == '/'),
            bits16(v)};
  }
};

// Compiled for AVX2 function by function, so the module still loads and runs on CPUs without
// it; only code that checked kernel_supported(Kernel::kAvx2) may call these.
struct Avx2Block {
  using Tail = BlockScans<Sse2Block>;
  static constexpr std::size_t kWidth = 32;
  template <AsciiRun kRun>
  PELNOR_AVX2 static std::uint64_t mask(const std::uint8_t* p) {
    return detail::bits32(detail::lanes32::run_bytes<kRun>(detail::load32(p)));
  }
  PELNOR_AVX2 static std::uint64_t whitespace(const std::uint8_t* p) {
    return detail::bits32(detail::lanes32::whitespace_bytes(detail::load32(p)));
  }
  PELNOR_AVX2 static std::uint64_t newlines(const std::uint8_t* p) {
    return detail::bits32(detail::lanes32::either_byte(detail::load32(p), '\n', '\r'));
  }
};

template <Kernel kKernel>
using Scans = std::conditional_t<
    kKernel == Kernel::kScalar, ScalarScans,
    std::conditional_t<kKernel == Kernel::kSse2, BlockScans<Sse2Block>, BlockScans<Avx2Block>>>;

// Marks a kernel's entry point: AVX2 code generation for the AVX2 kernel, with every scan it
// calls inlined into it (a scan compiled for AVX2 cannot be inlined into code that is not).
#define PELNOR_KERNEL_ENTRY_AVX2 [[gnu::target("avx2"), gnu::flatten]]

#else

// Without x86 vector units every kernel runs the scalar scans (and only the scalar one is
// supported).
template <Kernel>
using Scans = ScalarScans;
#define PELNOR_KERNEL_ENTRY_AVX2

#endif

// The scans every build has at its fixed width: SSE2 on x86-64, else scalar.
using BaselineScans = Scans<Kernel::kSse2>;

}  // namespace pelnor::simd
