#pragma once
// Fixed-order sums over one thread block in shared memory, for kernels whose totals must not depend on thread
// scheduling. Block sizes are powers of two. Only .cu files include this header.
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// Tree-sums each of the `Parts` per-thread arrays of `partial` (part c of thread t at c x block + t) into its
// element c x block, halving the stride with a barrier before each step and after the last. Every thread of the
// block calls it.
template <int Parts, typename T>
__device__ __forceinline__ void tree_sum_in_block(T* partial, int t, int block) {
  for (int stride = block / 2; stride > 0; stride /= 2) {
    __syncthreads();
    if (t < stride) {
      for (int c = 0; c < Parts; ++c) partial[c * block + t] = partial[c * block + t + stride] + partial[c * block + t];
    }
  }
  __syncthreads();
}

// values[0 .. count-1] lose their mean, summed in T in a fixed order by the block's single launch; `partial`
// holds one T per thread. Every thread of the block calls it.
template <typename T>
__device__ __forceinline__ void subtract_mean_in_one_block(T* values, int count, T* partial) {
  const int t = static_cast<int>(threadIdx.x);
  const int block = static_cast<int>(blockDim.x);
  T sum = T(0);
  for (int k = t; k < count; k += block) sum += values[k];
  partial[t] = sum;
  tree_sum_in_block<1>(partial, t, block);
  const T mean = partial[0] / static_cast<T>(count);
  for (int k = t; k < count; k += block) values[k] -= mean;
}

}  // namespace
}  // namespace quarvel::cuda_backend
