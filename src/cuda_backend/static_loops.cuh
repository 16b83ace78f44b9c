#pragma once
// Loops whose index is a compile-time constant in every iteration, so that small per-thread arrays indexed by it
// stay in registers (an array indexed at run time lives in local memory). Only .cu files include this header.
#include <utility>

#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// A compile-time index; read it as decltype(index)::value.
template <int P>
struct StaticIndex {
  static constexpr int value = P;
};

template <typename F, int... P>
__host__ __device__ __forceinline__ void unrolled_over(std::integer_sequence<int, P...>, F&& f) {
  (f(StaticIndex<P>{}), ...);
}

// Calls f(StaticIndex<p>{}) for p = 0 .. N-1 in ascending order.
template <int N, typename F>
__host__ __device__ __forceinline__ void unrolled(F&& f) {
  unrolled_over(std::make_integer_sequence<int, N>{}, f);
}

}  // namespace
}  // namespace quarvel::cuda_backend
