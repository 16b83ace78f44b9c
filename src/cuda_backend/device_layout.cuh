#pragma once
// Index helpers of the workspace layouts and launch-shape helpers shared by the device source files.
#include <cstddef>
#include <cstdint>

#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {

// Component c of atom i in a capacity-strided (structure-of-arrays) array.
__host__ __device__ __forceinline__ std::size_t soa(int c, int i, int capacity) {
  return static_cast<std::size_t>(c) * static_cast<std::size_t>(capacity) + static_cast<std::size_t>(i);
}

// Component c of record i in an array of `width` consecutive values per record (aos3, row_major9).
__host__ __device__ __forceinline__ std::size_t aos(int c, int i, int width) {
  return static_cast<std::size_t>(i) * static_cast<std::size_t>(width) + static_cast<std::size_t>(c);
}

// Component c of atom i in a caller's array with its own atom and component strides (LAMMPS layouts).
__host__ __device__ __forceinline__ std::size_t strided(int c, int i, int atom_stride, int component_stride) {
  return static_cast<std::size_t>(i) * static_cast<std::size_t>(atom_stride) +
         static_cast<std::size_t>(c) * static_cast<std::size_t>(component_stride);
}

// The calling thread's index along x over the whole grid.
__device__ __forceinline__ std::int64_t global_thread_x() {
  return static_cast<std::int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

// Blocks of `block` threads that cover `count` work items (count >= 0).
inline unsigned blocks_for(std::int64_t count, int block) {
  return static_cast<unsigned>((count + block - 1) / block);
}

}  // namespace quarvel::cuda_backend
