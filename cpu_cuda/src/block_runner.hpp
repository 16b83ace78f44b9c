#pragma once
// Runs one block of a launch on the calling worker thread: every thread of the block is a fiber that runs straight
// through until it exits or meets a barrier or warp collective, where it waits until its partners have arrived.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cpu_cuda/cuda_runtime.hpp"
#include "fiber_stack.hpp"

namespace cpu_cuda::detail {
class BlockRunner {
 public:
  BlockRunner() = default;
  BlockRunner(const BlockRunner&) = delete;
  BlockRunner& operator=(const BlockRunner&) = delete;

  // Runs the block at `coordinates` of `launch` with `dynamic_shared` as its dynamic shared memory. Answers false
  // after a device fault, with `fault` describing it; the block's other threads are then abandoned.
  bool run_block(const KernelLaunch& launch, uint3 coordinates, unsigned long linear_block, void* dynamic_shared,
                 std::string& fault);

  // Called by the running thread at a collective: suspends it until the collective completes.
  std::uint64_t arrive(const CollectiveRequest& request);

  bool running() const { return launch_ != nullptr; }
  void* dynamic_shared() const { return dynamic_shared_; }

 private:
  enum class ThreadState : std::uint8_t { unstarted, running, waiting, ready, exited };
  struct Thread {
    ThreadState state = ThreadState::unstarted;
    int stack = -1;             // the stack the thread runs on, once started
    FiberContext context{};     // where it resumes while waiting
    CollectiveRequest request{};
    std::uint64_t result = 0;
  };
  // What a fiber tells the scheduler when it jumps back to it.
  enum class Signal { thread_waits, stack_done };

  static void fiber_entry(FiberTransfer transfer);
  [[noreturn]] void run_unstarted_threads(int stack);
  int thread_at(int position) const;  // the thread at `position` of this block's start order
  void enter_thread(int thread);
  void switch_into(FiberContext context, int stack);
  void back_to_scheduler(Signal signal);

  int acquire_stack();
  void release_stack(int stack);

  bool resolve_waiting_threads();
  bool complete_ready_warp_collectives();
  unsigned int lanes_waiting_with(int warp, int lane) const;  // lanes of its mask at the same collective
  void report_stuck_warp_collective(int warp, int first_lane);
  void complete_warp_collective(int warp, unsigned int mask);
  bool resolve_block_barrier();
  void report_fault(const std::string& what, int warp);
  std::string describe(const CollectiveRequest& request) const;

  const KernelLaunch* launch_ = nullptr;
  void* dynamic_shared_ = nullptr;
  std::string* fault_ = nullptr;
  uint3 block_index_{};
  bool descending_ = false;    // thread start order of this block
  int thread_count_ = 0;
  int next_unstarted_ = 0;     // position in start order
  int current_ = -1;           // thread now running
  int waiting_ = 0;
  bool fault_pending_ = false;
  std::vector<Thread> threads_;

  std::vector<std::unique_ptr<FiberStack>> stacks_;  // kept between blocks and launches
  std::vector<int> free_stacks_;
  int starting_stack_ = -1;     // handed to a fiber as it starts
  FiberContext scheduler_context_{};
  StackBounds scheduler_stack_{};
  Signal last_signal_ = Signal::stack_done;
  int done_stack_ = -1;         // the stack a finishing fiber hands back
};

// The block runner of the calling worker thread.
BlockRunner& this_thread_runner();
}  // namespace cpu_cuda::detail
