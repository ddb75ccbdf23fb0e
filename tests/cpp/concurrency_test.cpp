// Many threads on one tokenizer, the batch runner, and threads that exit holding tables.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "pelnor/bpe/pcache.h"
#include "pelnor/engine/batch.h"
#include "pelnor/engine/encode.h"
#include "pelnor/engine/special_encode.h"
#include "pelnor/engine/tokenizer.h"
#include "test_support.h"

namespace pelnor {
namespace {

using testing::as_bytes;

const Tokenizer& shared_tokenizer() {
  static const Tokenizer tokenizer = Tokenizer::create("o200k_harmony", "").value();
  return tokenizer;
}

std::vector<std::string> sample_texts() {
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) {
    std::string text;
    for (int j = 0; j < i * 7; ++j) {
      text += "word" + std::to_string(j * 31 % 97) + (j % 5 == 0 ? "\n" : " ");
    }
    if (i % 6 == 0) text += "<|endoftext|> tail";
    if (i % 9 == 0) text += "日本語 Grüße";
    texts.push_back(text);
  }
  texts.emplace_back();
  return texts;
}

std::vector<TokenId> ids_of(const IdVector& ids) {
  return {ids.begin(), ids.end()};
}

TEST(Concurrency, ThreadsSharingOneTokenizerGetTheSameIds) {
  const Tokenizer& tokenizer = shared_tokenizer();
  const std::vector<std::string> texts = sample_texts();
  std::vector<std::vector<TokenId>> expected;
  for (const std::string& text : texts) {
    expected.push_back(ids_of(encode_ordinary(tokenizer, as_bytes(text))));
  }
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (std::size_t i = t % texts.size(); i < texts.size(); i += 3) {
          IdVector ids;
          encode_into(tokenizer, as_bytes(texts[i]), ids, 8);
          mismatches += ids_of(ids) != expected[i];
          mismatches +=
              encode_with_special(tokenizer, as_bytes(texts[i])).size() == 0 && !texts[i].empty();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
}

struct FlatIds {
  std::vector<TokenId> ids;
  std::vector<std::int64_t> offsets;
  std::vector<TokenId> text(std::size_t i) const {
    return {ids.begin() + offsets[i], ids.begin() + offsets[i + 1]};
  }
};

FlatIds flat(const BatchEncoding& batch) {
  FlatIds out{std::vector<TokenId>(batch.total_ids()),
              std::vector<std::int64_t>(batch.text_count() + 1)};
  batch.copy_to(out.ids.data(), out.offsets.data());
  return out;
}

TEST(Concurrency, BatchResultsEqualSingleCallsForEveryThreadCount) {
  const Tokenizer& tokenizer = shared_tokenizer();
  const std::vector<std::string> texts = sample_texts();
  std::vector<Bytes> views;
  for (const std::string& text : texts) views.push_back(as_bytes(text));
  for (std::uint64_t threads : {0, 1, 2, 7, 64}) {
    const FlatIds batch = flat(encode_batch(tokenizer, views, threads, false));
    const FlatIds special = flat(encode_batch(tokenizer, views, threads, true));
    const std::vector<std::size_t> counts = count_batch(tokenizer, views, threads, false);
    const std::vector<Truncation> cuts = truncate_batch(tokenizer, views, 5, threads);
    ASSERT_EQ(batch.offsets.size(), texts.size() + 1);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::vector<TokenId> single = ids_of(encode_ordinary(tokenizer, as_bytes(texts[i])));
      EXPECT_EQ(batch.text(i), single) << i << " threads " << threads;
      const std::vector<TokenId> with_special =
          ids_of(encode_with_special(tokenizer, as_bytes(texts[i])));
      EXPECT_EQ(special.text(i), with_special);
      EXPECT_EQ(counts[i], single.size());
      const Truncation cut = truncate(tokenizer, as_bytes(texts[i]), 5);
      EXPECT_EQ(cuts[i].cut, cut.cut);
      EXPECT_EQ(cuts[i].total, cut.total);
    }
  }
}

// Short texts are handed out many to a block: every text must still land in its own place.
TEST(Concurrency, ManyShortTextsAmongLongOnesKeepInputOrder) {
  const Tokenizer& tokenizer = shared_tokenizer();
  std::vector<std::string> texts;
  for (int i = 0; i < 5000; ++i) {
    texts.push_back(i % 1000 == 0 ? std::string(40000, 'a' + i / 1000)
                    : i % 7 == 0  ? std::string()
                                  : " n" + std::to_string(i));
  }
  std::vector<Bytes> views;
  for (const std::string& text : texts) views.push_back(as_bytes(text));
  for (std::uint64_t threads : {2, 3}) {
    const FlatIds batch = flat(encode_batch(tokenizer, views, threads, false));
    const std::vector<std::size_t> counts = count_batch(tokenizer, views, threads, false);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::vector<TokenId> single = ids_of(encode_ordinary(tokenizer, views[i]));
      ASSERT_EQ(batch.text(i), single) << i << " threads " << threads;
      ASSERT_EQ(counts[i], single.size()) << i;
    }
  }
}

// A worker that runs out of memory fails the batch with an allocation failure (MemoryError in
// Python), not as an internal fault. A text too long for any id vector fails before it is read.
TEST(Concurrency, WorkerOutOfMemoryIsAnAllocationFailure) {
  const std::string small = "a short text";
  const Bytes impossible(reinterpret_cast<const std::uint8_t*>(small.data()),
                         static_cast<std::size_t>(-1) / 2);
  const std::vector<Bytes> texts = {as_bytes(small), impossible, as_bytes(small)};
  EXPECT_THROW(encode_batch(shared_tokenizer(), texts, 2, false), std::bad_alloc);
  EXPECT_THROW(count_batch(shared_tokenizer(), texts, 2, false), std::bad_alloc);
}

TEST(Concurrency, ThreadCountRule) {
  const unsigned processors = std::max(std::thread::hardware_concurrency(), 1u);
  EXPECT_EQ(batch_thread_count(64, 64), std::min(64u, processors));
  EXPECT_EQ(batch_thread_count(64, 3), std::min(3u, processors));
  EXPECT_EQ(batch_thread_count(1, 10), 1u);
  EXPECT_EQ(batch_thread_count(5, 0), 0u);
  EXPECT_EQ(batch_thread_count(0, 1000), processors);
}

// Many callers at once share the processors: the workers of all their calls together never
// outnumber them, and every call still gets its results.
TEST(Concurrency, ConcurrentBatchesStartNoMoreWorkersThanProcessors) {
  const unsigned processors = std::max(std::thread::hardware_concurrency(), 1u);
  const std::vector<std::string> texts = sample_texts();
  std::vector<Bytes> views;
  for (const std::string& text : texts) views.push_back(as_bytes(text));
  const std::vector<std::size_t> expected = count_batch(shared_tokenizer(), views, 1, false);
  std::atomic<bool> done{false};
  std::atomic<unsigned> most{0};
  std::thread watcher([&] {
    while (!done) most = std::max(most.load(), batch_inspection::running_workers());
  });
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int c = 0; c < 8; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        wrong += count_batch(shared_tokenizer(), views, 64, false) != expected;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  done = true;
  watcher.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(most.load(), processors);
  EXPECT_EQ(batch_inspection::running_workers(), 0u);
}

// A child forked while another thread's batch runs has none of its workers: its own batches
// get workers again instead of running on one thread for life.
TEST(Concurrency, ForkedChildCountsNoWorkersOfItsParent) {
  const Tokenizer& tokenizer = shared_tokenizer();
  std::string text;
  while (text.size() < (1 << 20))
    text += "a batch long enough to fork during it " + std::to_string(text.size());
  const std::vector<Bytes> texts(8, as_bytes(text));
  std::atomic<bool> stop{false};
  std::thread batches([&] {
    while (!stop) count_batch(tokenizer, texts, 2, false);
  });
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int forks = 0;
  while (forks < 5 && std::chrono::steady_clock::now() < give_up) {
    if (batch_inspection::running_workers() == 0) continue;
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) _exit(batch_inspection::running_workers() == 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ++forks;
  }
  stop = true;
  batches.join();
  EXPECT_EQ(forks, 5);
}

TEST(Concurrency, ThreadsExitingWhileOthersAdoptTheirTables) {
  const Tokenizer& tokenizer = shared_tokenizer();
  const IdVector expected = encode_ordinary(tokenizer, as_bytes("exit and adopt, exit and adopt"));
  std::vector<std::thread> waves;
  std::atomic<int> mismatches{0};
  for (int wave = 0; wave < 6; ++wave) {
    for (int t = 0; t < 4; ++t) {
      waves.emplace_back([&] {
        const IdVector ids = encode_ordinary(tokenizer, as_bytes("exit and adopt, exit and adopt"));
        mismatches += !std::ranges::equal(ids, expected);
      });
    }
    for (std::thread& thread : waves) thread.join();
    waves.clear();
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_LE(cache_inspection::budget_bytes(), kCacheBudgetBytes);
}

}  // namespace
}  // namespace pelnor
