// The merge of short pieces equals classic byte-pair encoding, through both entry points.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pelnor/bpe/merge.h"
#include "pelnor/bpe/vocab.h"
#include "pelnor/engine/data.h"

namespace {

const pelnor::Vocab& vocab() {
  static const std::unique_ptr<pelnor::Vocab> parsed =
      pelnor::Vocab::parse(*pelnor::builtin_file("cl100k.vocab"), "fuzz").value();
  return *parsed;
}

pelnor::TokenId rank(const std::string& s) {
  return vocab().rank_of(pelnor::Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

// Merge the lowest-ranked adjacent pair until none merges, leftmost on a tie.
std::vector<pelnor::TokenId> classic(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts;
  for (std::size_t i = 0; i < size; ++i) parts.emplace_back(1, static_cast<char>(data[i]));
  for (;;) {
    std::size_t best = parts.size();
    pelnor::TokenId best_rank = pelnor::NONE_RANK;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      const pelnor::TokenId r = rank(parts[i] + parts[i + 1]);
      if (r < best_rank) best_rank = r, best = i;
    }
    if (best == parts.size()) break;
    parts[best] += parts[best + 1];
    parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  std::vector<pelnor::TokenId> ids;
  for (const std::string& part : parts) ids.push_back(rank(part));
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64) return 0;
  const pelnor::Bytes piece(data, size);
  pelnor::IdVector a, b;
  pelnor::merge_piece(vocab(), piece, a);
  pelnor::merge_piece_from(vocab(), piece, pelnor::longest_prefix(vocab(), piece), b);
  const std::vector<pelnor::TokenId> want = classic(data, size);
  if (!std::equal(a.begin(), a.end(), want.begin(), want.end()) ||
      !std::equal(b.begin(), b.end(), want.begin(), want.end())) {
    __builtin_trap();
  }
  return 0;
}
