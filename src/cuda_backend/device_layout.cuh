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

// Registers of one multiprocessor, the same from compute capability 5.0 to 9.0.
constexpr int kRegistersPerMultiprocessor = 65536;

// Resident blocks of `block` threads at `registers` registers a thread. As a kernel's second launch bound it gives
// the compiler that register budget; with the first bound alone it trades registers for occupancy by its own
// guess and may spill to fit one more block.
constexpr int blocks_with_registers(int block, int registers) {
  return kRegistersPerMultiprocessor / (block * registers);
}

// Blocks of `block` threads that cover `count` work items (count >= 0).
inline unsigned blocks_for(std::int64_t count, int block) {
  return static_cast<unsigned>((count + block - 1) / block);
}

}  // namespace quarvel::cuda_backend
