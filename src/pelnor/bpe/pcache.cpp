#include "pelnor/bpe/pcache.h"

#include <pthread.h>

#include <atomic>
#include <bit>
#include <cassert>
#include <mutex>

#include "pelnor/bpe/table_memory.h"
#include "pelnor/scratch.h"

namespace pelnor {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

struct CacheRegistry;

// The calling thread's registry once it has one; trivially destructible, so it stays readable.
thread_local CacheRegistry* this_thread_registry = nullptr;

// The thread's tables, oldest first.
struct CacheRegistry {
  CacheHandle handles[kMaxTablesPerThread];
  std::size_t count = 0;
  bool in_use = false;
  CacheRegistry() { this_thread_registry = this; }
  ~CacheRegistry();
};

// Tables no thread holds, each still tagged with its tokenizer and holding its entries. Never
// destroyed: threads that outlive main still park their tables here.
struct CachePool {
  std::mutex mutex;
  std::vector<CacheHandle> parked;
};

std::atomic<std::uint64_t> budget_used{0};

void lock_pool_for_fork();
void unlock_pool_in_parent();
void reset_pool_in_child();

CachePool& pool() {
  static CachePool* const instance = [] {
    pthread_atfork(lock_pool_for_fork, unlock_pool_in_parent, reset_pool_in_child);
    return new CachePool;
  }();
  return *instance;
}

// A forked child is left with the forking thread alone. The pool's lock is held across the fork,
// so that no thread that is gone in the child can hold it there, and the child's budget counts
// only the tables it can still reach: the parked ones and the forking thread's own. The tables
// of the parent's other threads stay behind in the child's memory, unused.
void lock_pool_for_fork() {
  pool().mutex.lock();
}

void unlock_pool_in_parent() {
  pool().mutex.unlock();
}

void reset_pool_in_child() {
  std::uint64_t reachable = 0;
  for (const CacheHandle& handle : pool().parked) reachable += handle.bytes();
  if (const CacheRegistry* registry = this_thread_registry) {
    for (std::size_t i = 0; i < registry->count; ++i) reachable += registry->handles[i].bytes();
  }
  budget_used.store(reachable, std::memory_order_relaxed);
  pool().mutex.unlock();
}

void free_table(const CacheHandle& handle) {
  unmap_large_table(handle.slots, handle.bytes());
}

// Parks a handle that has a table; a disabled one is simply dropped. The pool lock is held.
void park_locked(const CacheHandle& handle) {
  if (handle.usable()) pool().parked.push_back(handle);
}

CacheRegistry::~CacheRegistry() {
  std::lock_guard<std::mutex> lock(pool().mutex);
  for (std::size_t i = 0; i < count; ++i) park_locked(handles[i]);
  this_thread_registry = nullptr;
}

std::uint64_t largest_table_for(unsigned hint) {
  if (hint <= 2) return 16 * kMiB;
  if (hint <= 4) return 8 * kMiB;
  if (hint <= 8) return 4 * kMiB;
  if (hint <= 16) return 2 * kMiB;
  return 1 * kMiB;
}

// Reserves the largest table size (16 MiB down to 1 MiB) that the hint and the budget allow,
// or returns 0 when less than 1 MiB is left.
std::uint64_t reserve_budget(unsigned hint) {
  std::uint64_t used = budget_used.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t left = used < kCacheBudgetBytes ? kCacheBudgetBytes - used : 0;
    std::uint64_t size = largest_table_for(hint);
    while (size >= kMiB && size > left) size /= 2;
    if (size < kMiB) return 0;
    if (budget_used.compare_exchange_weak(used, used + size, std::memory_order_relaxed)) {
      return size;
    }
  }
}

// Returns a table of the reserved bytes, or, when the system cannot map one, a disabled handle
// with the reservation given back: the cache only speeds encoding up, and encoding goes on
// without it as it does when the budget is spent.
CacheHandle new_table(std::uint64_t identity, std::uint64_t bytes) {
  CacheHandle handle;
  handle.identity = identity;
  handle.slots = static_cast<CacheSlot*>(map_large_table(bytes));
  if (handle.slots == nullptr) {
    budget_used.fetch_sub(bytes, std::memory_order_relaxed);
    return CacheHandle{.identity = identity};
  }
  handle.slot_count = bytes / sizeof(CacheSlot);
  // Slots are found by masking an index, and the home pair by the top bits of a hash.
  assert(std::has_single_bit(handle.slot_count) && handle.slot_count >= kCacheWindow);
  handle.shift = 64 - static_cast<unsigned>(__builtin_ctzll(handle.slot_count));
  return handle;
}

CacheHandle acquire(CacheRegistry& registry, std::uint64_t identity, unsigned hint) {
  for (std::size_t i = 0; i < registry.count; ++i) {
    if (registry.handles[i].identity == identity) return registry.handles[i];
  }
  CacheHandle handle;
  bool adopted = false;
  {
    std::lock_guard<std::mutex> lock(pool().mutex);
    if (registry.count == kMaxTablesPerThread) {
      park_locked(registry.handles[0]);
      registry.handles[0] = registry.handles[1];
      registry.count = 1;
    }
    std::vector<CacheHandle>& parked = pool().parked;
    for (std::size_t i = 0; i < parked.size(); ++i) {
      if (parked[i].identity != identity) continue;
      handle = parked[i];
      parked[i] = parked.back();
      parked.pop_back();
      adopted = true;
      break;
    }
    while (!adopted && budget_used.load(std::memory_order_relaxed) >= kCacheBudgetBytes &&
           !parked.empty()) {
      budget_used.fetch_sub(parked.back().bytes(), std::memory_order_relaxed);
      free_table(parked.back());
      parked.pop_back();
    }
  }
  if (!adopted) {
    handle.identity = identity;
    if (const std::uint64_t bytes = reserve_budget(hint)) handle = new_table(identity, bytes);
  }
  assert(registry.count < kMaxTablesPerThread);
  registry.handles[registry.count++] = handle;
  return handle;
}

}  // namespace

CacheLease::CacheLease(std::uint64_t identity, unsigned parallelism_hint) {
  CacheRegistry& registry = ThreadLocal<CacheRegistry>::get();
  if (registry.in_use) return;
  registry.in_use = true;
  registry_in_use_ = &registry.in_use;
  try {
    handle_ = acquire(registry, identity, parallelism_hint);
  } catch (...) {
    registry.in_use = false;
    throw;
  }
}

CacheLease::~CacheLease() {
  if (registry_in_use_ != nullptr) *registry_in_use_ = false;
}

void lend_thread_table(std::uint64_t identity) {
  CacheRegistry& registry = ThreadLocal<CacheRegistry>::get();
  if (registry.in_use) return;
  for (std::size_t i = 0; i < registry.count; ++i) {
    if (registry.handles[i].identity != identity || !registry.handles[i].usable()) continue;
    std::lock_guard<std::mutex> lock(pool().mutex);
    park_locked(registry.handles[i]);
    for (--registry.count; i < registry.count; ++i) registry.handles[i] = registry.handles[i + 1];
    return;
  }
}

const CacheSlot* find_in_window_tail(const CacheHandle& cache, PieceKey key,
                                     std::size_t home_pair) {
  assert(home_pair < cache.slot_count);
  for (std::size_t i = 2; i < kCacheWindow; ++i) {
    const CacheSlot& slot = cache.slots[(home_pair + i) & (cache.slot_count - 1)];
    if (slot_matches(slot, key)) return &slot;
  }
  return nullptr;
}

void store_piece(const CacheHandle& cache, PieceKey key, std::size_t home_pair, const TokenId* ids,
                 std::size_t count) {
  if (count == 0 || count > kMaxCachedIds || ids[0] > kMaxCachedFirstId) return;
  // An all-zero key would read as an empty slot; every key carries its piece's length.
  assert(home_pair < cache.slot_count && (key.key1 >> 56) != 0);
  CacheSlot* target = &cache.slots[home_pair];
  for (std::size_t i = 0; i < kCacheWindow; ++i) {
    CacheSlot& slot = cache.slots[(home_pair + i) & (cache.slot_count - 1)];
    if (slot_empty(slot)) {
      target = &slot;
      break;
    }
  }
  TokenId padded[kMaxCachedIds] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < count; ++i) padded[i] = ids[i];
  target->key0 = key.key0;
  target->key1 = key.key1;
  target->value0 =
      count | std::uint64_t{padded[0]} << kValueFirstIdShift | std::uint64_t{padded[1]} << 32;
  target->value1 = padded[2] | std::uint64_t{padded[3]} << 32;
}

namespace cache_inspection {

namespace {

TableView view(const CacheHandle& handle) {
  std::size_t occupied = 0;
  for (std::size_t i = 0; i < handle.slot_count; ++i) {
    occupied += handle.slots[i].key0 != 0 || handle.slots[i].key1 != 0;
  }
  return {handle.identity, handle.slot_count, occupied};
}

}  // namespace

std::uint64_t budget_bytes() {
  return budget_used.load();
}

std::vector<TableView> parked() {
  std::lock_guard<std::mutex> lock(pool().mutex);
  std::vector<TableView> out;
  for (const CacheHandle& handle : pool().parked) out.push_back(view(handle));
  return out;
}

std::vector<TableView> thread_registry() {
  const CacheRegistry& registry = ThreadLocal<CacheRegistry>::get();
  std::vector<TableView> out;
  for (std::size_t i = 0; i < registry.count; ++i) out.push_back(view(registry.handles[i]));
  return out;
}

void drain_pool() {
  CacheRegistry& registry = ThreadLocal<CacheRegistry>::get();
  std::lock_guard<std::mutex> lock(pool().mutex);
  for (std::size_t i = 0; i < registry.count; ++i) park_locked(registry.handles[i]);
  registry.count = 0;
  for (const CacheHandle& handle : pool().parked) {
    budget_used.fetch_sub(handle.bytes(), std::memory_order_relaxed);
    free_table(handle);
  }
  pool().parked.clear();
}

}  // namespace cache_inspection
}  // namespace pelnor
