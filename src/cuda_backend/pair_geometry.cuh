#pragma once
// Pair separations as the force kernels take them: r_j - r_i in double through the nearest periodic image, then
// rounded to float for the single-precision pair arithmetic. Only .cu files include this header.
#include <cstdint>

#include "cuda_platform.cuh"
#include "device_layout.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kPairAxes = 3;

// One pair's displacement r_j - r_i (Angstrom, float) and its length.
struct PairSeparation {
  float d[kPairAxes];
  float r;
};

// Row `row` of a row-major 3x3 matrix dotted with v.
__host__ __device__ __forceinline__ double matrix_row_dot(const double* m, int row, const double* v) {
  return fma(m[row * kPairAxes + 2], v[2], fma(m[row * kPairAxes], v[0], m[row * kPairAxes + 1] * v[1]));
}

// d (Angstrom, double) replaced by its nearest image: when any axis is periodic, fractional coordinates through
// the inverse lose their nearest integer (halves to even) on the periodic axes and go back through the cell.
__host__ __device__ __forceinline__ void apply_minimum_image(const double* box, const double* inverse,
                                                             const std::int32_t* pbc, double* d) {
  if (pbc[0] == 0 && pbc[1] == 0 && pbc[2] == 0) return;
  double s[kPairAxes];
  for (int c = 0; c < kPairAxes; ++c) {
    s[c] = matrix_row_dot(inverse, c, d);
    if (pbc[c] != 0) s[c] -= rint(s[c]);
  }
  for (int c = 0; c < kPairAxes; ++c) d[c] = matrix_row_dot(box, c, s);
}

// Separation of atoms i and j (positions_soa3 with stride `capacity`) in the given cell.
__host__ __device__ __forceinline__ PairSeparation pair_separation(const double* positions_soa3, int capacity, int i,
                                                                   int j, const double* box, const double* inverse,
                                                                   const std::int32_t* pbc) {
  double d[kPairAxes];
  for (int c = 0; c < kPairAxes; ++c) {
    d[c] = positions_soa3[soa(c, j, capacity)] - positions_soa3[soa(c, i, capacity)];
  }
  apply_minimum_image(box, inverse, pbc, d);
  PairSeparation p;
  for (int c = 0; c < kPairAxes; ++c) p.d[c] = static_cast<float>(d[c]);
  p.r = sqrtf(fmaf(p.d[2], p.d[2], fmaf(p.d[0], p.d[0], p.d[1] * p.d[1])));
  return p;
}

}  // namespace
}  // namespace quarvel::cuda_backend
