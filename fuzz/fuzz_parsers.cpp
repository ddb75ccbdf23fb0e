// The three file parsers on arbitrary bytes: they accept or reject, never misbehave. The first
// input byte picks the parser.
#include <cstddef>
#include <cstdint>

#include "pelnor/bpe/vocab.h"
#include "pelnor/engine/special.h"
#include "pelnor/text/uniclass.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const pelnor::Bytes file(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0: {
      auto vocab = pelnor::Vocab::parse(file, "fuzz");
      if (vocab.ok()) {
        const pelnor::Vocab& v = *vocab.value();
        for (pelnor::TokenId r = 0; r < v.token_count(); ++r) {
          if (v.rank_of(v.token_bytes(r)) != r) __builtin_trap();
        }
      }
      break;
    }
    case 1: {
      auto tokens = pelnor::parse_special_tokens(file, "fuzz");
      if (tokens.ok()) pelnor::SpecialIndex::build(tokens.value());
      break;
    }
    default: {
      auto table = pelnor::UniClassTable::parse(file, "fuzz", data[0] % 4 == 2 ? 3 : 5);
      if (table.ok()) {
        for (std::uint32_t cp = 0; cp < 0x110000; cp += 0x1001) table.value().flags(cp);
      }
    }
  }
  return 0;
}
