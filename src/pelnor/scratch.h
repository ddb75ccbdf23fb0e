// Per-thread state: working buffers that keep their capacity between calls.
#pragma once

#include <cstdint>
#include <vector>

#include "pelnor/ids.h"
#include "pelnor/result.h"
#include "pelnor/types.h"

namespace pelnor {

// One value of T per thread, created on the thread's first use and destroyed when the thread
// exits. A use after its destruction began is an internal error, not undefined behaviour.
template <class T>
class ThreadLocal {
 public:
  static T& get() {
    if (state_ == State::kDestroyed)
      throw InternalError("per-thread state used during thread exit");
    thread_local Holder holder;
    return holder.value;
  }

 private:
  enum class State : std::uint8_t { kNew, kAlive, kDestroyed };
  struct Holder {
    Holder() { state_ = State::kAlive; }
    ~Holder() { state_ = State::kDestroyed; }
    T value;
  };
  // Trivially destructible, so it stays readable while the thread's other state is destroyed.
  static thread_local State state_;
};

template <class T>
thread_local typename ThreadLocal<T>::State ThreadLocal<T>::state_ = ThreadLocal<T>::State::kNew;

// Borrows the calling thread's T for one scope; borrowing it again inside is an internal error.
template <class T>
class Lease {
 public:
  Lease() : value_(ThreadLocal<T>::get()) {
    if (value_.in_use) throw InternalError("per-thread scratch borrowed twice");
    value_.in_use = true;
  }
  ~Lease() { value_.in_use = false; }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  T& operator*() const { return value_; }
  T* operator->() const { return &value_; }

 private:
  T& value_;
};

// The backtracking merge's token stack and reachable-position bitmap.
struct MergeScratch {
  std::vector<TokenId> stack;
  std::vector<std::uint64_t> reachable;
  bool in_use = false;
};

// The ids of one truncation.
struct IdScratch {
  IdVector ids;
  bool in_use = false;
};

using MergeScratchLease = Lease<MergeScratch>;
using IdScratchLease = Lease<IdScratch>;

}  // namespace pelnor
