// The pre-tokenizers on arbitrary bytes: pieces tile the input, and the batches of the fast path
// agree with the general path at every position.
#include <cstddef>
#include <cstdint>
#include <iterator>

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

// Cuts with the active kernel in batches and checks each piece against the general path.
template <std::size_t (*kGeneral)(const pelnor::UniClassTable&, pelnor::Bytes, std::size_t)>
void check(pelnor::CutPieces cut_pieces, const pelnor::UniClassTable& classes, pelnor::Bytes text) {
  std::size_t ends[8];
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t count = cut_pieces(classes, text, p, ends, std::size(ends));
    if (count == 0 || count > std::size(ends)) __builtin_trap();
    for (std::size_t k = 0; k < count; p = ends[k++]) {
      if (ends[k] <= p || ends[k] > text.size() || ends[k] - p != kGeneral(classes, text, p)) {
        __builtin_trap();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const pelnor::Bytes text(data, size);
  const pelnor::simd::Kernel kernel = pelnor::simd::active_kernel();
  check<pelnor::cl100k_next_piece_general>(pelnor::cl100k_cutter(kernel), table(3), text);
  check<pelnor::o200k_next_piece_general>(pelnor::o200k_cutter(kernel), table(5), text);
  check<pelnor::r50k_next_piece_general>(pelnor::cut_each<pelnor::r50k_next_piece>, table(3), text);
  return 0;
}
