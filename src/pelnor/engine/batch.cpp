#include "pelnor/engine/batch.h"

#include <pthread.h>
#include <algorithm>

#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "pelnor/bpe/pcache.h"
#include "pelnor/engine/special_encode.h"
#include "pelnor/text/utf8.h"

namespace pelnor {
namespace {

constexpr std::size_t kCountVectorIds = 4096;
constexpr std::size_t kMaxBlockBytes = 32 << 10;
constexpr std::size_t kBlocksPerThread = 16;

// Cuts the texts into blocks of consecutive texts of about the same size in bytes (at least
// one text each, up to 32 KiB, small enough that every thread gets many), returned as the
// index where each block starts plus the text count. Workers draw whole blocks, so that a
// batch of short texts does not turn every text into a step of the shared counter and a write
// to a result line the other threads are writing too.
std::vector<std::size_t> block_bounds(std::span<const Bytes> texts, unsigned threads) {
  std::size_t total = 0;
  for (const Bytes& text : texts) total += text.size();
  const std::size_t target =
      std::clamp<std::size_t>(total / (std::size_t{threads} * kBlocksPerThread), 1, kMaxBlockBytes);
  std::vector<std::size_t> bounds{0};
  std::size_t filled = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    filled += texts[i].size();
    if (filled >= target && i + 1 < texts.size()) {
      bounds.push_back(i + 1);
      filled = 0;
    }
  }
  bounds.push_back(texts.size());
  return bounds;
}

unsigned processor_count() {
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 4 : processors;
}

// Worker threads of batch calls running in the process. A call starts workers only on the
// processors that other calls' workers leave free, so that many callers at once do not start
// callers x processors threads; a call granted fewer than two runs on its own thread.
std::atomic<unsigned> running_workers{0};

// A child forked while a batch runs has none of its workers, and the call that reserved them
// never returns there to give them back.
void forget_workers_in_child() {
  running_workers.store(0, std::memory_order_relaxed);
}

class WorkerReservation {
 public:
  explicit WorkerReservation(unsigned wanted) {
    static const int fork_handler = pthread_atfork(nullptr, nullptr, forget_workers_in_child);
    (void)fork_handler;
    if (wanted < 2) return;
    const unsigned limit = processor_count();
    unsigned running = running_workers.load(std::memory_order_relaxed);
    for (;;) {
      const unsigned granted = std::min(wanted, running < limit ? limit - running : 0u);
      if (granted < 2) return;
      if (running_workers.compare_exchange_weak(running, running + granted,
                                                std::memory_order_relaxed)) {
        granted_ = granted;
        return;
      }
    }
  }
  ~WorkerReservation() {
    if (granted_ != 0) running_workers.fetch_sub(granted_, std::memory_order_relaxed);
  }
  WorkerReservation(const WorkerReservation&) = delete;
  WorkerReservation& operator=(const WorkerReservation&) = delete;

  // The threads the call runs on: its workers, or 1 for the calling thread alone.
  unsigned threads() const { return granted_ == 0 ? 1 : granted_; }

 private:
  unsigned granted_ = 0;
};

// Runs the work of every text index, inline on the calling thread (hint 1) when fewer than two
// threads are wanted, else on `threads` fresh workers that draw blocks of texts, in order, from
// a shared counter. make_worker() is called once per working thread and returns the callable
// work(index, hint), which may keep per-thread state.
template <class MakeWorker>
void run_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts, unsigned threads,
               unsigned worker_hint, MakeWorker make_worker) {
  if (threads < 2) {
    auto work = make_worker();
    for (std::size_t i = 0; i < texts.size(); ++i) work(i, 1u);
    return;
  }
  const std::vector<std::size_t> bounds = block_bounds(texts, threads);
  const std::size_t blocks = bounds.size() - 1;
  // The calling thread only waits; its table serves a worker meanwhile.
  lend_thread_table(tokenizer.identity());
  std::atomic<std::size_t> next{0};
  // The first failure of any worker, raised on the calling thread once all have stopped.
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto drain = [&] {
    try {
      auto work = make_worker();
      for (std::size_t b; (b = next.fetch_add(1)) < blocks;) {
        for (std::size_t i = bounds[b]; i < bounds[b + 1]; ++i) work(i, worker_hint);
      }
    } catch (...) {
      next = blocks;
      const std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) {
    try {
      workers.emplace_back(drain);
    } catch (const std::system_error&) {
      // The system has no thread to give: the calling thread takes what is left.
      drain();
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
  if (failure) std::rethrow_exception(failure);
}

// The all-specials encode needs UTF-8; other bytes are encoded ordinarily.
bool recognise_specials(bool with_special, Bytes text) {
  return with_special && is_valid_utf8(text);
}

}  // namespace

unsigned batch_thread_count(std::uint64_t threads, std::size_t texts) {
  // Threads beyond the processors would only take turns on them.
  const std::uint64_t processors = processor_count();
  const std::uint64_t t = threads == 0 ? processors : std::min(threads, processors);
  return static_cast<unsigned>(std::min<std::uint64_t>(t, texts));
}

namespace batch_inspection {
unsigned running_workers() {
  return pelnor::running_workers.load();
}
}  // namespace batch_inspection

BatchEncoding encode_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                           std::uint64_t threads, bool with_special) {
  // Each thread appends the ids of its texts to one buffer of its own, so that no text costs an
  // allocation and no two threads write the same cache lines; copy_to then copies the texts'
  // runs in input order.
  using Run = BatchEncoding::Run;
  BatchEncoding result;
  result.runs_.resize(texts.size());
  const WorkerReservation reservation(batch_thread_count(threads, texts.size()));
  const unsigned t = reservation.threads();
  result.buffers_.resize(std::max(t, 1u));
  std::atomic<std::size_t> next_buffer{0};
  struct Worker {
    const Tokenizer& tokenizer;
    std::span<const Bytes> texts;
    bool with_special;
    std::vector<Run>& runs;
    IdVector& home;  // where the buffer goes when the thread's share is done
    std::size_t index;
    IdVector ids;
    // Never copied or moved: make_worker's result initialises the thread's worker in place.
    ~Worker() { home = std::move(ids); }
    void operator()(std::size_t i, unsigned hint) {
      const std::size_t start = ids.size();
      if (recognise_specials(with_special, texts[i])) {
        const IdVector special = encode_with_special(tokenizer, texts[i]);
        ids.append(special.data(), special.size());
      } else {
        encode_into(tokenizer, texts[i], ids, hint);
      }
      runs[i] = {index, start, ids.size() - start};
    }
  };
  run_batch(tokenizer, texts, t, t, [&] {
    const std::size_t index = next_buffer.fetch_add(1);
    return Worker{tokenizer, texts,     with_special, result.runs_, result.buffers_[index],
                  index,     IdVector()};
  });
  for (const Run& run : result.runs_) result.total_ids_ += run.count;
  return result;
}

void BatchEncoding::copy_to(TokenId* ids, std::int64_t* offsets) const {
  std::size_t written = 0;
  offsets[0] = 0;
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    const Run& run = runs_[i];
    if (run.count != 0) {
      std::memcpy(ids + written, buffers_[run.buffer].data() + run.start,
                  run.count * sizeof(TokenId));
    }
    written += run.count;
    offsets[i + 1] = static_cast<std::int64_t>(written);
  }
}

std::vector<std::size_t> count_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                                     std::uint64_t threads, bool with_special) {
  std::vector<std::size_t> counts(texts.size(), 0);
  const WorkerReservation reservation(batch_thread_count(threads, texts.size()));
  const unsigned t = reservation.threads();
  run_batch(tokenizer, texts, t, t, [&] {
    // One reusable vector per thread: counting allocates per thread, not per token.
    return [&, ids = IdVector(kCountVectorIds)](std::size_t i, unsigned hint) mutable {
      if (recognise_specials(with_special, texts[i])) {
        counts[i] = encode_with_special(tokenizer, texts[i]).size();
        return;
      }
      ids.clear();
      encode_into(tokenizer, texts[i], ids, hint);
      counts[i] = ids.size();
    };
  });
  return counts;
}

std::vector<Truncation> truncate_batch(const Tokenizer& tokenizer, std::span<const Bytes> texts,
                                       std::uint64_t max_tokens, std::uint64_t threads) {
  std::vector<Truncation> results(texts.size(), Truncation{0, 0});
  const WorkerReservation reservation(batch_thread_count(threads, texts.size()));
  run_batch(tokenizer, texts, reservation.threads(), 1, [&] {
    return [&](std::size_t i, unsigned) { results[i] = truncate(tokenizer, texts[i], max_tokens); };
  });
  return results;
}

}  // namespace pelnor
