// The per-thread piece cache: ids of short pieces, per tokenizer, under one process budget.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pelnor/bpe/piece_key.h"
#include "pelnor/ids.h"
#include "pelnor/types.h"

namespace pelnor {

inline constexpr std::uint64_t kCacheBudgetBytes = 32ull << 20;
inline constexpr std::size_t kMaxCachedPieceBytes = kMaxKeyedPieceBytes;
inline constexpr std::size_t kMaxCachedIds = 4;
inline constexpr TokenId kMaxCachedFirstId = 0xFFFFFF;
inline constexpr std::size_t kCacheWindow = 6;
inline constexpr std::size_t kMaxTablesPerThread = 2;

// Slot layout (four little-endian words; both key words 0 = empty):
//   key0   bits 0-63   piece bytes 0-7, bytes past the piece 0
//   key1   bits 0-55   piece bytes 8-14, bytes past the piece 0; bits 56-63 piece length 1-15
//   value0 bits 0-6    id count k (1-4); bit 7 zero; bits 8-31 first id; bits 32-63 second id
//   value1 bits 0-31   third id; bits 32-63 fourth id (ids past k are 0)
struct alignas(32) CacheSlot {
  std::uint64_t key0, key1, value0, value1;
};

inline constexpr std::uint64_t kValueCountMask = 0x7F;
inline constexpr unsigned kValueFirstIdShift = 8;
inline constexpr std::uint64_t kValueFirstIdMask = 0xFFFFFF;

// One table of a tokenizer. A disabled handle (no usable cache) has no slots and shift 64.
struct CacheHandle {
  // A large table: zeroed, aligned to 2 MiB and mapped in 2 MiB pages where the system offers
  // them, since a text with many distinct pieces touches every page of it.
  CacheSlot* slots = nullptr;
  std::size_t slot_count = 0;
  std::uint64_t identity = 0;
  unsigned shift = 64;

  bool usable() const { return shift != 64; }
  std::size_t bytes() const { return slot_count * sizeof(CacheSlot); }
};

inline bool slot_matches(const CacheSlot& slot, PieceKey key) {
  return slot.key0 == key.key0 && slot.key1 == key.key1;
}

inline bool slot_empty(const CacheSlot& slot) {
  return (slot.key0 | slot.key1) == 0;
}

// Appends the ids of a matching slot with one 16-byte store of its four id words.
inline void append_cached(const CacheSlot& slot, IdVector& out) {
  assert((slot.value0 & kValueCountMask) >= 1 && (slot.value0 & kValueCountMask) <= kMaxCachedIds);
  const std::uint64_t ids[2] = {
      (slot.value0 >> kValueFirstIdShift & kValueFirstIdMask) | (slot.value0 & ~0xFFFFFFFFull),
      slot.value1};
  out.append_four(ids, slot.value0 & kValueCountMask);
}

// Returns the slot of key in the window after the home pair, or nullptr; the home pair itself
// is compared inline by the encode loop. A key is stored in the first empty slot of its window
// and slots never empty again, so while a slot of the home pair is empty the key can only be in
// the home pair: the rest of the window is searched only when both are taken.
const CacheSlot* find_in_window_tail(const CacheHandle& cache, PieceKey key, std::size_t home_pair);

// Stores ids[0, count) under key when they fit an entry.
void store_piece(const CacheHandle& cache, PieceKey key, std::size_t home_pair, const TokenId* ids,
                 std::size_t count);

// Holds the calling thread's cache table for one tokenizer during one encode call. Nested in
// another lease on the same thread it holds a disabled handle.
class CacheLease {
 public:
  CacheLease(std::uint64_t identity, unsigned parallelism_hint);
  ~CacheLease();
  CacheLease(const CacheLease&) = delete;
  CacheLease& operator=(const CacheLease&) = delete;

  const CacheHandle& handle() const { return handle_; }

 private:
  bool* registry_in_use_ = nullptr;  // the flag this lease set, cleared again when it ends
  CacheHandle handle_;
};

// Parks the calling thread's table for a tokenizer, when it holds one and is not encoding, so
// that a worker thread of a batch it is about to wait for adopts it instead of the table sitting
// idle while the budget leaves a worker without one.
void lend_thread_table(std::uint64_t identity);

// A view of the cache state for tests and benchmarks; not part of any public interface.
namespace cache_inspection {
struct TableView {
  std::uint64_t identity;
  std::size_t slots;     // 0 for a disabled handle
  std::size_t occupied;  // slots holding an entry
  bool operator==(const TableView&) const = default;
};
// Bytes of all tables that exist, in registries or parked.
std::uint64_t budget_bytes();
// The parked tables, in pool order.
std::vector<TableView> parked();
// The handles of the calling thread's registry, oldest first.
std::vector<TableView> thread_registry();
// Parks the calling thread's tables, then frees every parked table: the budget then counts only
// the tables other living threads hold.
void drain_pool();
}  // namespace cache_inspection

}  // namespace pelnor
