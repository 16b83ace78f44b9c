#pragma once
// The per-atom virial component order of the force kernels: component q is (displacement axis kVirialRow[q]) x
// (force axis kVirialColumn[q]), in the order xx, yy, zz, xy, xz, yz, yx, zx, zy. Only .cu files include this.
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kVirialComponentCount = 9;
__host__ __device__ constexpr int virial_row(int q) { return q < 3 ? q : (q < 5 ? 0 : (q < 7 ? 1 : 2)); }
__host__ __device__ constexpr int virial_column(int q) {
  return q < 3 ? q : (q == 3 ? 1 : (q == 4 ? 2 : (q == 5 ? 2 : (q == 6 ? 0 : (q == 7 ? 0 : 1)))));
}

}  // namespace
}  // namespace quarvel::cuda_backend
