// Many texts on several threads, with results in input order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ids.h"
#include "tokenizer.h"

namespace pelnor {

// Returns the thread count for a batch: `threads`, or the processor count when it is 0 (4 when
// that is unknown), at most one thread per text.
unsigned batch_thread_count(std::uint64_t threads, std::size_t texts);

// The batch calls take texts as byte views, which must stay valid until they return.

// All texts' ids concatenated in input order; text i occupies ids[offsets[i], offsets[i + 1]).
struct BatchIds {
  IdVector ids;
  std::vector<std::int64_t> offsets;
};

BatchIds encode_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                      std::uint64_t threads, bool with_special);

std::vector<std::size_t> count_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                                     std::uint64_t threads, bool with_special);

std::vector<Truncation> truncate_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                                       std::uint64_t max_tokens, std::uint64_t threads);

}  // namespace pelnor
