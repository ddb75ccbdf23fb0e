#include "scratch.h"

#include "result.h"

namespace pelnor {
namespace {

MergeScratch& thread_merge_scratch() {
  thread_local MergeScratch scratch;
  return scratch;
}

}  // namespace

MergeScratchLease::MergeScratchLease() : scratch_(thread_merge_scratch()) {
  if (scratch_.in_use) throw InternalError("merge scratch borrowed twice on one thread");
  scratch_.in_use = true;
}

MergeScratchLease::~MergeScratchLease() {
  scratch_.in_use = false;
}

}  // namespace pelnor
