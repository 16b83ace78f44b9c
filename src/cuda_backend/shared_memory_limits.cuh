#pragma once
// The per-block dynamic shared memory limits launchers size their blocks against, and the raising of a kernel's
// limit. Only .cu files include this header; each gets its own copy (anonymous namespace).
#include <cstddef>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// Bytes of dynamic shared memory every supported device grants a block without opting in (48 KiB); needs at or
// below it launch without querying the device or raising the kernel's attribute.
constexpr std::size_t kDefaultDynamicSharedBytes = 49152;

// The dynamic shared memory of one launch, and what its kernel's attribute must allow first.
struct SharedMemoryLaunch {
  std::size_t bytes = 0;
  std::size_t raised_limit = 0;  // the device's limit when `bytes` is above the default, else 0 (left alone)
};

// Lets `kernel` launch with `launch.bytes`. The attribute is the kernel's in the whole process, so it is raised
// to the device's limit and never set to one call's need: a call that needs less, on another thread or model,
// cannot lower it under a launch that needs more.
template <typename Kernel>
void allow_dynamic_shared_memory(Kernel* kernel, const SharedMemoryLaunch& launch, const char* step) {
  if (launch.raised_limit == 0) return;
  check_cuda(cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize,
                                  static_cast<int>(launch.raised_limit)),
             step);
}

}  // namespace
}  // namespace quarvel::cuda_backend
