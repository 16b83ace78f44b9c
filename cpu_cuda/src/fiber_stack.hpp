#pragma once
// Stacks for the fibers that run a block's threads, and the switch between fibers with the annotations
// AddressSanitizer needs to follow a program onto another stack.
#include <boost/context/detail/fcontext.hpp>
#include <cstddef>

namespace cpu_cuda::detail {
using FiberContext = boost::context::detail::fcontext_t;
using FiberTransfer = boost::context::detail::transfer_t;

// The memory bounds of a stack, as the sanitizer wants them.
struct StackBounds {
  const void* bottom = nullptr;  // lowest usable address
  std::size_t size = 0;
};

// One fiber stack: an anonymous mapping with an inaccessible guard page below it, so that a thread overflowing
// its stack faults at once instead of writing over another thread's stack.
class FiberStack {
 public:
  explicit FiberStack(std::size_t usable_bytes);
  ~FiberStack();
  FiberStack(const FiberStack&) = delete;
  FiberStack& operator=(const FiberStack&) = delete;

  StackBounds bounds() const { return {usable_, usable_bytes_}; }
  // A fresh context that runs `entry` from the top of this stack; forgets whatever ran on it before.
  FiberContext fresh_context(void (*entry)(FiberTransfer));
  // The fiber on this stack is dropped while suspended, its frames never unwound.
  void abandon() { abandoned_ = true; }

 private:
  void* mapping_ = nullptr;
  std::size_t mapping_bytes_ = 0;
  char* usable_ = nullptr;
  std::size_t usable_bytes_ = 0;
  bool abandoned_ = false;
};

// Jumps to `target`, which runs on the stack `target_stack`, passing `data`; returns what the fiber that next
// jumps back here passes. `leaving_for_good` tells the sanitizer the current fiber is never resumed.
FiberTransfer switch_fiber(FiberContext target, StackBounds target_stack, void* data, bool leaving_for_good = false);

// Called first thing in a new fiber: completes the switch into it and answers the bounds of the stack it came from.
StackBounds enter_new_fiber();
}  // namespace cpu_cuda::detail
