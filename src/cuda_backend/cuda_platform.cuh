#pragma once
// The one door from device sources to CUDA: the real runtime under nvcc, the CPU stand-in otherwise.
// Both builds provide `launch_kernel` and `dynamic_shared_memory`, so kernels and launchers carry no #ifdef.
#include <cstddef>

#ifdef __CUDACC__
#include <cuda_runtime.h>

namespace quarvel::cuda_backend {
// Launches Kernel on the default stream; the caller checks cudaGetLastError afterwards.
template <auto Kernel, typename... Args>
inline void launch_kernel(dim3 grid, dim3 block, std::size_t dynamic_shared_bytes, Args... args) {
  Kernel<<<grid, block, dynamic_shared_bytes>>>(args...);
}

// The block's dynamic shared memory, 16-byte aligned, sized by the launch.
template <typename T>
__device__ __forceinline__ T* dynamic_shared_memory() {
  extern __shared__ __align__(16) unsigned char quarvel_dynamic_shared[];
  return reinterpret_cast<T*>(quarvel_dynamic_shared);
}
}  // namespace quarvel::cuda_backend
#else
#include <cpu_cuda/cuda_runtime.hpp>

namespace quarvel::cuda_backend {
template <auto Kernel, typename... Args>
inline void launch_kernel(dim3 grid, dim3 block, std::size_t dynamic_shared_bytes, Args... args) {
  cpu_cuda::launch<Kernel>(grid, block, dynamic_shared_bytes, args...);
}

template <typename T>
inline T* dynamic_shared_memory() {
  return static_cast<T*>(cpu_cuda::dynamic_shared_memory());
}
}  // namespace quarvel::cuda_backend
#endif
