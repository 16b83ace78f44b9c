#pragma once
// The per-block dynamic shared memory limits launchers size their blocks against. Only .cu files include this
// header; each gets its own copy (anonymous namespace).
#include <cstddef>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// Bytes of dynamic shared memory every supported device grants a block without opting in (48 KiB); needs at or
// below it launch without querying the device or raising the kernel's attribute.
constexpr std::size_t kDefaultDynamicSharedBytes = 49152;

// The most dynamic shared memory a block may have on the current device: the larger of its opt-in and default
// per-block limits. The two step texts name the failed query.
inline std::size_t device_dynamic_shared_limit(const char* device_step, const char* properties_step) {
  int device = 0;
  check_cuda(cudaGetDevice(&device), device_step);
  cudaDeviceProp properties{};
  check_cuda(cudaGetDeviceProperties(&properties, device), properties_step);
  return properties.sharedMemPerBlockOptin > properties.sharedMemPerBlock ? properties.sharedMemPerBlockOptin
                                                                          : properties.sharedMemPerBlock;
}

}  // namespace
}  // namespace quarvel::cuda_backend
