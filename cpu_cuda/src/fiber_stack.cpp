#include "fiber_stack.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define CPU_CUDA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CPU_CUDA_ASAN 1
#endif
#endif

#ifdef CPU_CUDA_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace cpu_cuda::detail {
namespace {
std::size_t page_bytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
}  // namespace

FiberStack::FiberStack(std::size_t usable_bytes) {
  const std::size_t page = page_bytes();
  usable_bytes_ = (usable_bytes + page - 1) / page * page;
  mapping_bytes_ = usable_bytes_ + page;
  // Reserved lazily: only the pages a thread touches take memory.
  mapping_ = mmap(nullptr, mapping_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping_ == MAP_FAILED) throw std::bad_alloc();
  mprotect(mapping_, page, PROT_NONE);  // guard page: stacks grow down into it
  usable_ = static_cast<char*>(mapping_) + page;
}

FiberStack::~FiberStack() { munmap(mapping_, mapping_bytes_); }

FiberContext FiberStack::fresh_context(void (*entry)(FiberTransfer)) {
#ifdef CPU_CUDA_ASAN
  // Frames abandoned on this stack leave poisoned red zones behind. A fiber that finished leaves only the frames of
  // its entry, which the next fiber's entry lays out again the same way.
  if (abandoned_) ASAN_UNPOISON_MEMORY_REGION(usable_, usable_bytes_);
#endif
  abandoned_ = false;
  return boost::context::detail::make_fcontext(usable_ + usable_bytes_, usable_bytes_, entry);
}

FiberTransfer switch_fiber(FiberContext target, StackBounds target_stack, void* data, bool leaving_for_good) {
#ifdef CPU_CUDA_ASAN
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(leaving_for_good ? nullptr : &fake_stack, target_stack.bottom, target_stack.size);
  const FiberTransfer back = boost::context::detail::jump_fcontext(target, data);
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
  return back;
#else
  (void)target_stack;
  (void)leaving_for_good;
  return boost::context::detail::jump_fcontext(target, data);
#endif
}

StackBounds enter_new_fiber() {
  StackBounds from;
#ifdef CPU_CUDA_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &from.bottom, &from.size);
#endif
  return from;
}
}  // namespace cpu_cuda::detail
