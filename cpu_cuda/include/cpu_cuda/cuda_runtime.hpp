#pragma once
// Placeholder: runs every thread of every block in turn. Replaced by the fiber-based stand-in.
#include <cstddef>

struct uint3 { unsigned x, y, z; };
struct dim3 {
  unsigned x, y, z;
  constexpr dim3(unsigned vx = 1, unsigned vy = 1, unsigned vz = 1) : x(vx), y(vy), z(vz) {}
};
enum cudaError_t { cudaSuccess = 0 };
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline

namespace cpu_cuda {
extern thread_local uint3 thread_index, block_index;
extern thread_local dim3 block_dim, grid_dim;
void* dynamic_shared_memory();
template <auto Kernel, typename... Args>
void launch(dim3 grid, dim3 block, std::size_t, Args... args) {
  grid_dim = grid; block_dim = block;
  for (unsigned b = 0; b < grid.x; ++b)
    for (unsigned t = 0; t < block.x; ++t) { block_index = {b, 0, 0}; thread_index = {t, 0, 0}; Kernel(args...); }
}
}  // namespace cpu_cuda
#define threadIdx (::cpu_cuda::thread_index)
#define blockIdx (::cpu_cuda::block_index)
#define blockDim (::cpu_cuda::block_dim)
#define gridDim (::cpu_cuda::grid_dim)
cudaError_t cudaGetLastError();
