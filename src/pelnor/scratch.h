// Per-thread working buffers that keep their capacity between calls.
#pragma once

#include <cstdint>
#include <vector>

#include "types.h"

namespace pelnor {

// The backtracking merge's token stack and reachable-position bitmap.
struct MergeScratch {
  std::vector<TokenId> stack;
  std::vector<std::uint64_t> reachable;
  bool in_use = false;
};

// Borrows the calling thread's merge scratch for one scope; nesting is an internal error.
class MergeScratchLease {
 public:
  MergeScratchLease();
  ~MergeScratchLease();
  MergeScratchLease(const MergeScratchLease&) = delete;
  MergeScratchLease& operator=(const MergeScratchLease&) = delete;

  MergeScratch& operator*() const { return scratch_; }
  MergeScratch* operator->() const { return &scratch_; }

 private:
  MergeScratch& scratch_;
};

}  // namespace pelnor
