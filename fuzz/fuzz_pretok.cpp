// The pre-tokenizers on arbitrary bytes: pieces tile the input, and the fast path agrees with
// the general path at every position.
#include <cstddef>
#include <cstdint>

#include "pelnor/engine/data.h"
#include "pelnor/text/pretok.h"
#include "pelnor/text/pretok_o200k.h"
#include "pelnor/text/pretok_r50k.h"

namespace {

const pelnor::UniClassTable& table(int classes) {
  static const pelnor::UniClassTable three =
      pelnor::UniClassTable::parse(*pelnor::builtin_file("uniclass.bin"), "", 3).value();
  static const pelnor::UniClassTable five =
      pelnor::UniClassTable::parse(*pelnor::builtin_file("uniclass_o200k.bin"), "", 5).value();
  return classes == 3 ? three : five;
}

template <std::size_t (*kFast)(const pelnor::UniClassTable&, pelnor::Bytes, std::size_t),
          std::size_t (*kGeneral)(const pelnor::UniClassTable&, pelnor::Bytes, std::size_t)>
void check(const pelnor::UniClassTable& classes, pelnor::Bytes text) {
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t len = kFast(classes, text, p);
    if (len == 0 || p + len > text.size() || len != kGeneral(classes, text, p)) __builtin_trap();
    p += len;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const pelnor::Bytes text(data, size);
  check<pelnor::cl100k_next_piece, pelnor::cl100k_next_piece_general>(table(3), text);
  constexpr auto kLineBreakFirst = pelnor::WhitespaceRules::kLineBreakFirst;
  check<pelnor::cl100k_next_piece<kLineBreakFirst>,
        pelnor::cl100k_next_piece_general<kLineBreakFirst>>(table(3), text);
  check<pelnor::o200k_next_piece, pelnor::o200k_next_piece_general>(table(5), text);
  check<pelnor::r50k_next_piece, pelnor::r50k_next_piece_general>(table(3), text);
  return 0;
}
