// The byte classes of a block, written once for every vector width: simd.h includes this file
// once per width, in a namespace that names the width's vector type Lanes, with
// PELNOR_LANES_TARGET the code generation the width needs. A lane is -1 where its byte is in the
// class, else 0.

// Bytes lo <= b <= hi, for bounds below 0x80; bytes >= 0x80 compare as negative and fail.
PELNOR_LANES_TARGET [[gnu::always_inline]] inline Lanes in_range(Lanes v, char lo, char hi) {
  return (v > static_cast<signed char>(lo - 1)) & (v < static_cast<signed char>(hi + 1));
}

PELNOR_LANES_TARGET [[gnu::always_inline]] inline Lanes whitespace_bytes(Lanes v) {
  return in_range(v, 0x09, 0x0D) | (v == ' ');
}

PELNOR_LANES_TARGET [[gnu::always_inline]] inline Lanes either_byte(Lanes v, char a, char b) {
  return (v == a) | (v == b);
}

template <AsciiRun kRun>
PELNOR_LANES_TARGET [[gnu::always_inline]] inline Lanes run_bytes(Lanes v) {
  if constexpr (kRun == AsciiRun::kLetter) {
    return in_range(v | 0x20, 'a', 'z');
  } else if constexpr (kRun == AsciiRun::kUpper) {
    return in_range(v, 'A', 'Z');
  } else if constexpr (kRun == AsciiRun::kLower) {
    return in_range(v, 'a', 'z');
  } else if constexpr (kRun == AsciiRun::kDigit) {
    return in_range(v, '0', '9');
  } else {
    const Lanes ascii = v > -1;
    const Lanes word = in_range(v | 0x20, 'a', 'z') | in_range(v, '0', '9');
    return ascii & ~(word | whitespace_bytes(v));
  }
}
