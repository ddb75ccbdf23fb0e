// Many texts on several threads, with results in input order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pelnor/engine/encode.h"
#include "pelnor/engine/tokenizer.h"
#include "pelnor/ids.h"

namespace pelnor {

// Returns the thread count a batch asks for: `threads`, or the processor count when it is 0 (4
// when that is unknown), at most the processor count and one thread per text. A call runs on
// fewer while other calls' workers hold processors.
unsigned batch_thread_count(std::uint64_t threads, std::size_t texts);

// A view of the batch runner for tests; not part of any public interface.
namespace batch_inspection {
// Worker threads that batch calls are running in the process now.
unsigned running_workers();
}  // namespace batch_inspection

// The batch calls take texts as byte views, which must stay valid until they return.

// The ids of a batch's texts, as the threads that encoded them left them.
class BatchEncoding {
 public:
  std::size_t text_count() const { return runs_.size(); }
  std::size_t total_ids() const { return total_ids_; }
  // Writes all texts' ids concatenated in input order to ids (total_ids() of them) and
  // text_count() + 1 offsets: text i occupies ids[offsets[i], offsets[i + 1]).
  void copy_to(TokenId* ids, std::int64_t* offsets) const;
  // Returns the ids of text i.
  std::span<const TokenId> ids_of(std::size_t i) const {
    const Run& run = runs_[i];
    return {buffers_[run.buffer].data() + run.start, run.count};
  }

 private:
  friend BatchEncoding encode_batch(const Tokenizer&, std::span<const Bytes>, std::uint64_t, bool);
  struct Run {
    std::size_t buffer, start, count;
  };
  std::vector<Run> runs_;
  std::vector<IdVector> buffers_;
  std::size_t total_ids_ = 0;
};

BatchEncoding encode_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                           std::uint64_t threads, bool with_special);

std::vector<std::size_t> count_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                                     std::uint64_t threads, bool with_special);

std::vector<Truncation> truncate_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                                       std::uint64_t max_tokens, std::uint64_t threads);

}  // namespace pelnor
