#include "pelnor/bpe/pcache.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <bit>
#include <random>
#include <thread>

#include "pelnor/engine/encode.h"
#include "pelnor/engine/tokenizer.h"
#include "test_support.h"

namespace pelnor {
namespace {

using cache_inspection::TableView;
using testing::as_bytes;
using testing::on_fresh_thread;

constexpr std::size_t kSlotsOf16MiB = 524288;
constexpr std::size_t kSlotsOf1MiB = 32768;

const Tokenizer& tokenizer(int which) {
  static const Tokenizer tokenizers[] = {Tokenizer::create("cl100k_base", "").value(),
                                         Tokenizer::create("o200k_base", "").value(),
                                         Tokenizer::create("o200k_harmony", "").value()};
  return tokenizers[which];
}

std::vector<std::uint64_t> identities(const std::vector<TableView>& tables) {
  std::vector<std::uint64_t> out;
  for (const TableView& t : tables) out.push_back(t.identity);
  return out;
}

class PieceCache : public ::testing::Test {
 protected:
  void SetUp() override { cache_inspection::drain_pool(); }
  void TearDown() override { cache_inspection::drain_pool(); }
};

TEST_F(PieceCache, FirstEncodeCreatesTheTableEvenForEmptyText) {
  on_fresh_thread([] {
    encode_ordinary(tokenizer(0), Bytes());
    const auto registry = cache_inspection::thread_registry();
    ASSERT_EQ(registry.size(), 1u);
    EXPECT_EQ(registry[0].identity, tokenizer(0).identity());
    EXPECT_EQ(registry[0].slots, kSlotsOf16MiB);
    EXPECT_EQ(registry[0].occupied, 0u);
  });
}

TEST_F(PieceCache, ThirdTokenizerParksTheOldestWhichReturnsWithItsEntries) {
  on_fresh_thread([] {
    const Bytes text = as_bytes("The quick brown fox jumps over the lazy dog.");
    // 4 MiB tables, so that three of them fit the budget and parking frees nothing.
    const auto encode = [&](int which, Bytes what) {
      IdVector ids;
      encode_into(tokenizer(which), what, ids, 8);
    };
    encode(0, text);
    encode(1, text);
    encode(0, text);
    encode(1, text);
    EXPECT_EQ(identities(cache_inspection::thread_registry()),
              (std::vector{tokenizer(0).identity(), tokenizer(1).identity()}));
    const std::size_t entries = cache_inspection::thread_registry()[0].occupied;
    EXPECT_GT(entries, 5u);
    EXPECT_TRUE(cache_inspection::parked().empty());

    encode(2, text);
    EXPECT_EQ(identities(cache_inspection::thread_registry()),
              (std::vector{tokenizer(1).identity(), tokenizer(2).identity()}));
    const auto parked = cache_inspection::parked();
    ASSERT_EQ(parked.size(), 1u);
    EXPECT_EQ(parked[0].identity, tokenizer(0).identity());
    EXPECT_EQ(parked[0].occupied, entries);

    encode(0, Bytes());
    const auto registry = cache_inspection::thread_registry();
    EXPECT_EQ(identities(registry),
              (std::vector{tokenizer(2).identity(), tokenizer(0).identity()}));
    EXPECT_EQ(registry[1].occupied, entries);
    EXPECT_EQ(identities(cache_inspection::parked()), std::vector{tokenizer(1).identity()});
  });
}

TEST_F(PieceCache, ExitedThreadsTableIsAdoptedByTheNextThread) {
  on_fresh_thread([] { encode_ordinary(tokenizer(1), as_bytes("hello hello world")); });
  const auto parked = cache_inspection::parked();
  ASSERT_EQ(parked.size(), 1u);
  const std::size_t entries = parked[0].occupied;
  EXPECT_GT(entries, 0u);
  on_fresh_thread([&] {
    encode_ordinary(tokenizer(1), Bytes());
    const auto registry = cache_inspection::thread_registry();
    ASSERT_EQ(registry.size(), 1u);
    EXPECT_EQ(registry[0], (TableView{tokenizer(1).identity(), parked[0].slots, entries}));
  });
  EXPECT_EQ(cache_inspection::parked().size(), 1u);
}

TEST_F(PieceCache, TablesForAHintOfWorkersFitTheBudgetTogether) {
  // As many threads as the hint says each get a table: the largest, up to 16 MiB, that lets (up
  // to 32 workers) all of them fit the budget at once, and none below 1 MiB.
  std::size_t previous = kSlotsOf16MiB;
  for (const unsigned hint : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 9u, 16u, 17u, 32u, 64u}) {
    std::size_t slots = 0;
    on_fresh_thread([&] {
      IdVector ids;
      encode_into(tokenizer(0), as_bytes("x"), ids, hint);
      slots = cache_inspection::thread_registry()[0].slots;
    });
    cache_inspection::drain_pool();
    EXPECT_TRUE(std::has_single_bit(slots)) << hint;
    EXPECT_LE(slots, previous) << hint;
    EXPECT_GE(slots, kSlotsOf1MiB) << hint;
    if (hint <= 1) {
      EXPECT_EQ(slots, kSlotsOf16MiB);
    }
    // The largest such table: twice its size would not fit.
    const std::uint64_t workers = std::max(hint, 1u);
    if (hint <= 32) {
      EXPECT_LE(workers * slots * sizeof(CacheSlot), kCacheBudgetBytes) << hint;
    }
    if (hint <= 32 && slots < kSlotsOf16MiB) {
      EXPECT_GT(workers * 2 * slots * sizeof(CacheSlot), kCacheBudgetBytes) << hint;
    }
    previous = slots;
  }
}

TEST_F(PieceCache, BudgetHeldByLivingThreadsLeavesLaterThreadsUncachedButCorrect) {
  const std::uint64_t before = cache_inspection::budget_bytes();
  const Bytes text = as_bytes("Budget exhausted, results unchanged: 12345 don't panic.");
  const IdVector reference = encode_ordinary(tokenizer(0), text);
  cache_inspection::drain_pool();
  std::barrier holding(3);
  std::barrier release(3);
  std::vector<std::thread> holders;
  for (int i = 0; i < 2; ++i) {
    holders.emplace_back([&, i] {
      encode_ordinary(tokenizer(i), Bytes());
      holding.arrive_and_wait();
      release.arrive_and_wait();
    });
  }
  holding.arrive_and_wait();
  EXPECT_LE(cache_inspection::budget_bytes(), kCacheBudgetBytes);
  if (before == 0) {
    EXPECT_EQ(cache_inspection::budget_bytes(), kCacheBudgetBytes);
  }
  on_fresh_thread([&] {
    const IdVector ids = encode_ordinary(tokenizer(0), text);
    EXPECT_TRUE(std::ranges::equal(ids, reference));
    const auto registry = cache_inspection::thread_registry();
    ASSERT_EQ(registry.size(), 1u);
    EXPECT_EQ(registry[0].slots, 0u);  // disabled: the whole budget is held
  });
  release.arrive_and_wait();
  for (std::thread& t : holders) t.join();
}

TEST_F(PieceCache, BudgetNeverExceedsItsLimitUnderLoad) {
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> highest{0};
  std::thread watcher([&] {
    while (!done) {
      std::uint64_t now = cache_inspection::budget_bytes();
      std::uint64_t seen = highest.load();
      while (now > seen && !highest.compare_exchange_weak(seen, now)) {
      }
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 12; ++t) {
    workers.emplace_back([t] {
      for (int round = 0; round < 20; ++round) {
        on_fresh_thread([&] {
          IdVector ids;
          encode_into(tokenizer((t + round) % 3), as_bytes("load and more load"), ids,
                      static_cast<unsigned>(1 + (t * 7 + round) % 20));
        });
      }
    });
  }
  for (std::thread& w : workers) w.join();
  done = true;
  watcher.join();
  // The watcher may first run after the work is done; the tables still exist then.
  highest = std::max(highest.load(), cache_inspection::budget_bytes());
  EXPECT_GT(highest.load(), 0u);
  EXPECT_LE(highest.load(), kCacheBudgetBytes);
}

TEST_F(PieceCache, NestedCallOnOneThreadRunsUncached) {
  on_fresh_thread([] {
    const CacheLease outer(tokenizer(0).identity(), 1);
    EXPECT_TRUE(outer.handle().usable());
    const CacheLease inner(tokenizer(0).identity(), 1);
    EXPECT_FALSE(inner.handle().usable());
    const IdVector nested = encode_ordinary(tokenizer(0), as_bytes("nested call"));
    EXPECT_EQ(nested.size(), 2u);
  });
}

TEST_F(PieceCache, OnlyShortPiecesWithFewIdsAreStored) {
  const auto stored_after = [](const std::string& text) {
    std::size_t occupied = 0;
    on_fresh_thread([&] {
      encode_ordinary(tokenizer(0), as_bytes(text));
      occupied = cache_inspection::thread_registry()[0].occupied;
    });
    cache_inspection::drain_pool();
    return occupied;
  };
  EXPECT_EQ(stored_after(std::string(15, 'a')), 1u);
  EXPECT_EQ(stored_after(std::string(16, 'a')), 0u);        // long pieces bypass the cache
  EXPECT_EQ(stored_after(std::string(15, '\xff')), 0u);     // 15 ids do not fit an entry
  EXPECT_EQ(stored_after("\xe4\xb8\xad\xe6\x96\x87"), 0u);  // starts with a 3-byte character
  EXPECT_EQ(stored_after("\xc3\xa9t\xc3\xa9"), 1u);
}

// Keys whose home pair is the same fill it and then the window after it; a taken slot is never
// reused while the window has room, whatever bits its key has.
TEST(PieceCacheTable, KeysSharingAHomePairAllStay) {
  std::vector<CacheSlot> slots(64);
  const CacheHandle cache{slots.data(), slots.size(), 1, 58};
  const char* const pieces[] = {"ab", " the", "xyz", "hello w"};
  for (TokenId id = 0; id < 4; ++id) {
    const Bytes piece = as_bytes(pieces[id]);
    store_piece(cache, piece_key(piece.data(), piece.size(), piece.size()), 6, &id, 1);
  }
  for (TokenId id = 0; id < 4; ++id) {
    const Bytes piece = as_bytes(pieces[id]);
    const PieceKey key = piece_key(piece.data(), piece.size(), piece.size());
    const CacheSlot* slot = id < 2 ? &slots[6 + id] : find_in_window_tail(cache, key, 6);
    ASSERT_NE(slot, nullptr) << pieces[id];
    ASSERT_TRUE(slot_matches(*slot, key)) << pieces[id];
    IdVector ids;
    append_cached(*slot, ids);
    EXPECT_EQ(std::vector<TokenId>(ids.data(), ids.data() + ids.size()), std::vector<TokenId>{id});
  }
}

// Far more distinct pieces than a 1 MiB table holds, so that windows fill and entries are
// overwritten: the second pass, mostly hits, still gives the ids of an uncached encode.
TEST_F(PieceCache, CrowdedTableStillGivesUncachedIds) {
  std::mt19937 random(11);
  std::string text;
  for (int i = 0; i < 120000; ++i) {
    text += ' ';
    for (std::size_t n = 1 + random() % 9; n > 0; --n)
      text += static_cast<char>('a' + random() % 26);
  }
  on_fresh_thread([&] {
    const auto encode = [&](unsigned hint) {
      IdVector ids;
      encode_into(tokenizer(1), as_bytes(text), ids, hint);
      return std::vector<TokenId>(ids.begin(), ids.end());
    };
    const std::vector<TokenId> first = encode(17);
    ASSERT_EQ(cache_inspection::thread_registry()[0].slots, kSlotsOf1MiB);
    const std::vector<TokenId> second = encode(17);
    const CacheLease outer(tokenizer(1).identity(), 1);
    const std::vector<TokenId> uncached = encode(17);
    EXPECT_EQ(first, uncached);
    EXPECT_EQ(second, uncached);
  });
}

// Forks while other threads keep taking the pool's lock and holding tables: every child
// encodes at once (no lock left held by a thread it does not have) with a budget that counts
// only the tables it can reach, so that its own thread gets a table.
TEST_F(PieceCache, ForkedChildEncodesWithTheTablesItCanReach) {
  const std::string text = "fork while others encode, fork again";
  const IdVector expected = encode_ordinary(tokenizer(1), as_bytes(text));
  cache_inspection::drain_pool();
  std::atomic<bool> stop{false};
  std::barrier holding(3);
  std::vector<std::thread> busy;
  for (int t = 0; t < 2; ++t) {
    busy.emplace_back([&, t] {
      IdVector ids;
      encode_into(tokenizer(t), as_bytes("held by a thread the child lacks"), ids, 1);
      holding.arrive_and_wait();
      while (!stop) on_fresh_thread([&] { encode_ordinary(tokenizer(2), as_bytes(text)); });
    });
  }
  holding.arrive_and_wait();
  for (int round = 0; round < 20; ++round) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      bool ok = cache_inspection::budget_bytes() < kCacheBudgetBytes;
      const IdVector ids = encode_ordinary(tokenizer(1), as_bytes(text));
      ok = ok && std::ranges::equal(ids, expected) &&
           cache_inspection::thread_registry().back().slots == kSlotsOf16MiB;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
  }
  stop = true;
  for (std::thread& t : busy) t.join();
}

TEST(PieceKey, LengthIsPartOfTheKey) {
  const std::uint8_t text[32] = {0x61, 0x62, 0x00};
  const PieceKey with_zero = piece_key(text, 3, sizeof text);
  const PieceKey without = piece_key(text, 2, sizeof text);
  EXPECT_FALSE(with_zero.key0 == without.key0 && with_zero.key1 == without.key1);
  // Bytes past the piece never enter the key, whether or not 16 bytes could be loaded.
  const std::uint8_t other[32] = {0x61, 0x62, 0x63, 0x64};
  const PieceKey near_end = piece_key(other, 2, 2);
  const PieceKey loaded = piece_key(other, 2, sizeof other);
  EXPECT_EQ(near_end.key0, without.key0);
  EXPECT_EQ(loaded.key0, without.key0);
  EXPECT_EQ(loaded.key1, without.key1);
}

}  // namespace
}  // namespace pelnor
