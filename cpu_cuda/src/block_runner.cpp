#include "block_runner.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_memory_poison.hpp"

namespace cpu_cuda::detail {
namespace {
constexpr int kWarpLanes = 32;
constexpr unsigned int kLaneBitsMask = 31;  // the device reads lane operands through their low five bits
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kFiberStackBytes = 512 * 1024;  // sanitizer red zones multiply frame sizes
#else
constexpr std::size_t kFiberStackBytes = 128 * 1024;  // per-thread local arrays of a few KiB and their callees
#endif

bool is_warp_collective(CollectiveKind kind) { return kind != CollectiveKind::sync_threads; }
bool is_shuffle(CollectiveKind kind) {
  return kind == CollectiveKind::shuffle_idx || kind == CollectiveKind::shuffle_up ||
         kind == CollectiveKind::shuffle_down || kind == CollectiveKind::shuffle_xor;
}
bool valid_width(int width) { return width >= 1 && width <= kWarpLanes && (width & (width - 1)) == 0; }

bool same_site(const CallSite& a, const CallSite& b) {
  return a.line == b.line && (a.file == b.file || std::strcmp(a.file, b.file) == 0);
}
bool same_collective(const CollectiveRequest& a, const CollectiveRequest& b) {
  return a.kind == b.kind && a.mask == b.mask && same_site(a.site, b.site);
}

const char* collective_name(CollectiveKind kind) {
  switch (kind) {
    case CollectiveKind::sync_threads: return "__syncthreads";
    case CollectiveKind::sync_warp: return "__syncwarp";
    case CollectiveKind::shuffle_idx: return "__shfl_sync";
    case CollectiveKind::shuffle_up: return "__shfl_up_sync";
    case CollectiveKind::shuffle_down: return "__shfl_down_sync";
    case CollectiveKind::shuffle_xor: return "__shfl_xor_sync";
    case CollectiveKind::ballot: return "__ballot_sync";
    case CollectiveKind::any: return "__any_sync";
    case CollectiveKind::all: return "__all_sync";
  }
  return "collective";
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// "3, 5-7": the lanes set in `lanes`, runs written as ranges.
std::string lane_list(unsigned int lanes) {
  std::string text;
  for (int lane = 0; lane < kWarpLanes;) {
    if (!((lanes >> lane) & 1u)) { ++lane; continue; }
    int last = lane;
    while (last + 1 < kWarpLanes && ((lanes >> (last + 1)) & 1u)) ++last;
    if (!text.empty()) text += ", ";
    text += std::to_string(lane);
    if (last > lane) text += "-" + std::to_string(last);
    lane = last + 1;
  }
  return text;
}

std::string hex(unsigned int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// The kernel's name, cut out of the compiler's text for kernel_signature<Kernel>().
std::string kernel_name(const char* signature) {
  const std::string text(signature);
  const std::string key = "Kernel = ";
  const std::size_t start = text.find(key);
  const std::size_t end = text.rfind(']');
  if (start == std::string::npos || end == std::string::npos || end < start) return text;
  std::string name = text.substr(start + key.size(), end - start - key.size());
  if (!name.empty() && name.front() == '&') name.erase(0, 1);
  return name;
}

// The lane whose value a shuffle returns to `lane`, by the device's rules: the source must lie in the caller's
// segment of `width` lanes (idx wraps within it, up/down/xor fall back to the caller's own lane).
int shuffle_source(CollectiveKind kind, int lane, int operand, int width) {
  const int segment_first = lane & ~(width - 1);
  const int segment_last = segment_first | (width - 1);
  const int offset = static_cast<int>(static_cast<unsigned int>(operand) & kLaneBitsMask);
  switch (kind) {
    case CollectiveKind::shuffle_idx: return segment_first | (operand & (width - 1));
    case CollectiveKind::shuffle_up: return lane - offset >= segment_first ? lane - offset : lane;
    case CollectiveKind::shuffle_down: return lane + offset <= segment_last ? lane + offset : lane;
    case CollectiveKind::shuffle_xor: return (lane ^ offset) <= segment_last ? (lane ^ offset) : lane;
    default: return lane;
  }
}
}  // namespace

BlockRunner& this_thread_runner() {
  thread_local BlockRunner runner;
  return runner;
}

bool BlockRunner::run_block(const KernelLaunch& launch, uint3 coordinates, unsigned long linear_block,
                            void* dynamic_shared, std::string& fault) {
  launch_ = &launch;
  dynamic_shared_ = dynamic_shared;
  fault_ = &fault;
  block_index_ = coordinates;
  // Alternate blocks start their threads from opposite ends, so a missing barrier shows in either direction.
  descending_ = (linear_block % 2) == 0;
  thread_count_ = static_cast<int>(launch.block.x * launch.block.y * launch.block.z);
  next_unstarted_ = 0;
  current_ = -1;
  waiting_ = 0;
  fault_pending_ = false;
  threads_.assign(static_cast<std::size_t>(thread_count_), Thread{});
  detail::block_index = coordinates;
  detail::block_dim = launch.block;
  detail::grid_dim = launch.grid;

  while (!fault_pending_) {
    if (next_unstarted_ < thread_count_) {
      const int stack = acquire_stack();
      starting_stack_ = stack;
      switch_into(stacks_[static_cast<std::size_t>(stack)]->fresh_context(&BlockRunner::fiber_entry), stack);
      continue;
    }
    if (waiting_ == 0) break;
    if (!resolve_waiting_threads()) break;
    for (int position = 0; position < thread_count_ && !fault_pending_; ++position) {
      const int thread = thread_at(position);
      Thread& t = threads_[static_cast<std::size_t>(thread)];
      if (t.state != ThreadState::ready) continue;
      enter_thread(thread);
      switch_into(t.context, t.stack);
    }
  }
  const bool ok = !fault_pending_;
  if (!ok) {
    for (Thread& t : threads_) {  // abandoned where they wait; their stacks are reused
      if (t.state != ThreadState::waiting && t.state != ThreadState::ready) continue;
      stacks_[static_cast<std::size_t>(t.stack)]->abandon();
      release_stack(t.stack);
    }
  }
  launch_ = nullptr;
  fault_ = nullptr;
  return ok;
}

void BlockRunner::fiber_entry(FiberTransfer transfer) {
  auto* runner = static_cast<BlockRunner*>(transfer.data);
  runner->scheduler_stack_ = enter_new_fiber();
  runner->scheduler_context_ = transfer.fctx;
  runner->run_unstarted_threads(runner->starting_stack_);
}

void BlockRunner::run_unstarted_threads(int stack) {
  // Threads run one after another on this fiber until one waits at a collective: that thread keeps the fiber,
  // and the scheduler starts the next thread on a fresh one. A block without collectives runs whole on one fiber.
  while (next_unstarted_ < thread_count_) {
    const int thread = thread_at(next_unstarted_++);
    threads_[static_cast<std::size_t>(thread)].stack = stack;
    enter_thread(thread);
    launch_->invoke(launch_->arguments);
    threads_[static_cast<std::size_t>(thread)].state = ThreadState::exited;
  }
  done_stack_ = stack;
  back_to_scheduler(Signal::stack_done);
  std::abort();  // a finished fiber is never resumed
}

int BlockRunner::thread_at(int position) const { return descending_ ? thread_count_ - 1 - position : position; }

void BlockRunner::enter_thread(int thread) {
  current_ = thread;
  threads_[static_cast<std::size_t>(thread)].state = ThreadState::running;
  const unsigned int linear = static_cast<unsigned int>(thread);
  const dim3 block = launch_->block;
  detail::thread_index = uint3{linear % block.x, (linear / block.x) % block.y, linear / (block.x * block.y)};
}

void BlockRunner::switch_into(FiberContext context, int stack) {
  const FiberTransfer back = switch_fiber(context, stacks_[static_cast<std::size_t>(stack)]->bounds(), this);
  if (last_signal_ == Signal::thread_waits) {
    threads_[static_cast<std::size_t>(current_)].context = back.fctx;
  } else {
    release_stack(done_stack_);
  }
}

void BlockRunner::back_to_scheduler(Signal signal) {
  last_signal_ = signal;
  const FiberTransfer back = switch_fiber(scheduler_context_, scheduler_stack_, this, signal == Signal::stack_done);
  scheduler_context_ = back.fctx;
}

std::uint64_t BlockRunner::arrive(const CollectiveRequest& request) {
  Thread& self = threads_[static_cast<std::size_t>(current_)];
  self.request = request;
  self.state = ThreadState::waiting;
  ++waiting_;
  const int warp = current_ / kWarpLanes;
  const int lane = current_ % kWarpLanes;
  if (is_warp_collective(request.kind) && !((request.mask >> lane) & 1u)) {
    report_fault("lane " + std::to_string(lane) + " calls " + describe(request) + ", whose mask leaves it out", warp);
  } else if (is_shuffle(request.kind) && !valid_width(request.width)) {
    report_fault("lane " + std::to_string(lane) + " calls " + describe(request) + " with width " +
                 std::to_string(request.width) + ", not a power of two from 1 to 32", warp);
  }
  back_to_scheduler(Signal::thread_waits);
  return self.result;
}

int BlockRunner::acquire_stack() {
  if (free_stacks_.empty()) {
    stacks_.push_back(std::make_unique<FiberStack>(kFiberStackBytes));
    return static_cast<int>(stacks_.size()) - 1;
  }
  const int stack = free_stacks_.back();
  free_stacks_.pop_back();
  return stack;
}

void BlockRunner::release_stack(int stack) { free_stacks_.push_back(stack); }

bool BlockRunner::resolve_waiting_threads() {
  // Every thread now waits or has exited. Lanes that wait at an earlier collective may still join a later one once
  // the earlier one completes, so a fault shows only in a round where no collective can complete.
  if (complete_ready_warp_collectives()) return true;
  for (int thread = 0; thread < thread_count_; ++thread) {
    const Thread& t = threads_[static_cast<std::size_t>(thread)];
    if (t.state != ThreadState::waiting || !is_warp_collective(t.request.kind)) continue;
    report_stuck_warp_collective(thread / kWarpLanes, thread % kWarpLanes);
    return false;
  }
  return resolve_block_barrier();
}

bool BlockRunner::complete_ready_warp_collectives() {
  bool completed = false;
  for (int warp = 0; warp * kWarpLanes < thread_count_; ++warp) {
    unsigned int unvisited = 0;
    for (int lane = 0; lane < kWarpLanes && warp * kWarpLanes + lane < thread_count_; ++lane) {
      const Thread& t = threads_[static_cast<std::size_t>(warp * kWarpLanes + lane)];
      if (t.state == ThreadState::waiting && is_warp_collective(t.request.kind)) unvisited |= 1u << lane;
    }
    while (unvisited != 0) {
      const int lane = __builtin_ctz(unvisited);
      const unsigned int mask = threads_[static_cast<std::size_t>(warp * kWarpLanes + lane)].request.mask;
      const unsigned int joined = lanes_waiting_with(warp, lane);
      unvisited &= ~(joined | (1u << lane));
      if (joined != mask) continue;
      complete_warp_collective(warp, mask);
      completed = true;
    }
  }
  return completed;
}

unsigned int BlockRunner::lanes_waiting_with(int warp, int lane) const {
  const CollectiveRequest& request = threads_[static_cast<std::size_t>(warp * kWarpLanes + lane)].request;
  unsigned int joined = 0;
  for (int other = 0; other < kWarpLanes && warp * kWarpLanes + other < thread_count_; ++other) {
    const Thread& t = threads_[static_cast<std::size_t>(warp * kWarpLanes + other)];
    if (((request.mask >> other) & 1u) && t.state == ThreadState::waiting && same_collective(request, t.request)) {
      joined |= 1u << other;
    }
  }
  return joined;
}

void BlockRunner::report_stuck_warp_collective(int warp, int first_lane) {
  const CollectiveRequest& request = threads_[static_cast<std::size_t>(warp * kWarpLanes + first_lane)].request;
  unsigned int exited = 0;
  unsigned int elsewhere = 0;
  int elsewhere_example = -1;
  for (int lane = 0; lane < kWarpLanes; ++lane) {
    if (!((request.mask >> lane) & 1u)) continue;
    const int thread = warp * kWarpLanes + lane;
    if (thread >= thread_count_ || threads_[static_cast<std::size_t>(thread)].state == ThreadState::exited) {
      exited |= 1u << lane;
    } else if (!same_collective(request, threads_[static_cast<std::size_t>(thread)].request)) {
      elsewhere |= 1u << lane;
      if (elsewhere_example < 0) elsewhere_example = thread;
    }
  }
  if (exited != 0) {
    report_fault(describe(request) + " in lane " + std::to_string(first_lane) + " waits for lanes " +
                     lane_list(exited) + ", which have exited",
                 warp);
    return;
  }
  report_fault(describe(request) + " in lane " + std::to_string(first_lane) + " waits for lanes " +
                   lane_list(elsewhere) + ", which wait at " +
                   describe(threads_[static_cast<std::size_t>(elsewhere_example)].request) + " instead",
               warp);
}

void BlockRunner::complete_warp_collective(int warp, unsigned int mask) {
  Thread* lanes = &threads_[static_cast<std::size_t>(warp * kWarpLanes)];
  const CollectiveKind kind = lanes[__builtin_ctz(mask)].request.kind;
  unsigned int votes = 0;
  for (int lane = 0; lane < kWarpLanes; ++lane) {
    if (((mask >> lane) & 1u) && lanes[lane].request.payload != 0) votes |= 1u << lane;
  }
  for (int lane = 0; lane < kWarpLanes; ++lane) {
    if (!((mask >> lane) & 1u)) continue;
    Thread& t = lanes[lane];
    switch (kind) {
      case CollectiveKind::ballot: t.result = votes; break;
      case CollectiveKind::any: t.result = votes != 0 ? 1 : 0; break;
      case CollectiveKind::all: t.result = votes == mask ? 1 : 0; break;
      case CollectiveKind::shuffle_idx:
      case CollectiveKind::shuffle_up:
      case CollectiveKind::shuffle_down:
      case CollectiveKind::shuffle_xor: {
        const int source = shuffle_source(kind, lane, t.request.lane_operand, t.request.width);
        // A lane outside the mask does not take part: the device leaves the value undefined.
        t.result = ((mask >> source) & 1u) ? lanes[source].request.payload : kUndefinedShuffleBits;
        break;
      }
      case CollectiveKind::sync_warp:
      case CollectiveKind::sync_threads: t.result = 0; break;
    }
    t.state = ThreadState::ready;
    --waiting_;
  }
}

bool BlockRunner::resolve_block_barrier() {
  int reference = -1;
  for (int thread = 0; thread < thread_count_ && reference < 0; ++thread) {
    if (threads_[static_cast<std::size_t>(thread)].state == ThreadState::waiting) reference = thread;
  }
  const CollectiveRequest& request = threads_[static_cast<std::size_t>(reference)].request;
  for (int thread = 0; thread < thread_count_; ++thread) {
    const Thread& t = threads_[static_cast<std::size_t>(thread)];
    if (t.state != ThreadState::waiting || same_site(t.request.site, request.site)) continue;
    const int warp = thread / kWarpLanes;
    unsigned int lanes = 0;
    for (int lane = 0; lane < kWarpLanes && warp * kWarpLanes + lane < thread_count_; ++lane) {
      const Thread& other = threads_[static_cast<std::size_t>(warp * kWarpLanes + lane)];
      if (other.state == ThreadState::waiting && !same_site(other.request.site, request.site)) lanes |= 1u << lane;
    }
    report_fault(describe(request) + " in thread " + std::to_string(reference) + " waits for lanes " +
                     lane_list(lanes) + ", which wait at " + describe(t.request) + " instead",
                 warp);
    return false;
  }
  for (Thread& t : threads_) {
    if (t.state != ThreadState::waiting) continue;
    t.state = ThreadState::ready;
    --waiting_;
  }
  return true;
}

void BlockRunner::report_fault(const std::string& what, int warp) {
  fault_pending_ = true;
  *fault_ = "device fault in kernel " + kernel_name(launch_->kernel_signature) + ", block (" +
            std::to_string(block_index_.x) + ", " + std::to_string(block_index_.y) + ", " +
            std::to_string(block_index_.z) + "), warp " + std::to_string(warp) + ": " + what;
}

std::string BlockRunner::describe(const CollectiveRequest& request) const {
  std::string text = collective_name(request.kind);
  if (is_warp_collective(request.kind)) text += "(mask " + hex(request.mask) + ")";
  return text + " at " + base_name(request.site.file) + ":" + std::to_string(request.site.line);
}

std::uint64_t arrive_at_collective(const CollectiveRequest& request) {
  BlockRunner& runner = this_thread_runner();
  if (!runner.running()) {
    std::fprintf(stderr, "cpu_cuda: a barrier or warp collective was called outside a kernel\n");
    std::abort();
  }
  return runner.arrive(request);
}
}  // namespace cpu_cuda::detail

namespace cpu_cuda {
void* dynamic_shared_memory() { return detail::this_thread_runner().dynamic_shared(); }
}  // namespace cpu_cuda
