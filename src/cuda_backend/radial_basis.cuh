#pragma once
// The Chebyshev pair basis of the descriptors and its derivative with respect to the pair distance, as the
// force kernels need them. Only .cu files include this header.
//
// f_0 = fc and f_b = (fc/2)(T_b(x) + 1) for b >= 1, with the smooth cutoff fc = (cos(pi r/rc) + 1)/2 (0 from rc
// on) and x = 2 (r/rc - 1)^2 - 1. With t = r/rc - 1, dx/dr = 4t/rc and T_b' = b U_{b-1}, so
// f_b' = (fc'/2)(T_b + 1) + fc (2b U_{b-1}) t/rc.
#include "cuda_platform.cuh"
#include "static_loops.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr float kPiF = 3.14159274f;  // the float nearest to pi
// -pi/2 one unit in the last place smaller in magnitude than the nearest float (bits 0xBFC90FDA); fc' carries it.
constexpr float kMinusHalfPiF = -1.57079625f;

// Value and r-derivative of one basis function.
struct BasisTerm {
  float value;
  float slope;  // 1/Angstrom
};

// Produces (f_b, f_b') for b = 0, 1, 2, ... on successive calls; every term is 0 from the cutoff on.
class PairBasisWithSlope {
 public:
  __host__ __device__ __forceinline__ PairBasisWithSlope(float r, float rc) {
    inverse_rc_ = 1.0f / rc;
    if (r >= rc) {
      fc_ = 0.0f;
      dfc_ = 0.0f;
    } else {
      const float theta = (inverse_rc_ * r) * kPiF;
      fc_ = fmaf(cosf(theta), 0.5f, 0.5f);
      dfc_ = inverse_rc_ * (sinf(theta) * kMinusHalfPiF);
    }
    t_ = fmaf(inverse_rc_, r, -1.0f);
    x_ = fmaf(t_, 2.0f * t_, -1.0f);
  }

  __host__ __device__ __forceinline__ BasisTerm next() {
    const int b = b_++;
    if (b == 0) return {fc_, dfc_};
    if (b == 1) {
      chebyshev_ = x_;
      second_kind_ = 2.0f * x_;  // U_1, kept for b = 2
      const float half = 0.5f * (x_ + 1.0f);
      return {half * fc_, fmaf(2.0f * t_ * inverse_rc_, fc_, half * dfc_)};
    }
    // Here chebyshev_ = T_{b-1}, previous_ = T_{b-2}, second_kind_ = U_{b-1}.
    const float following = (2.0f * x_) * chebyshev_ - previous_;
    previous_ = chebyshev_;
    chebyshev_ = following;
    const float half = 0.5f * (chebyshev_ + 1.0f);
    const float slope = fmaf(dfc_, half, fc_ * inverse_rc_ * t_ * (2.0f * static_cast<float>(b) * second_kind_));
    const float next_second_kind = (2.0f * x_) * second_kind_ - previous_second_kind_;
    previous_second_kind_ = second_kind_;
    second_kind_ = next_second_kind;
    return {half * fc_, slope};
  }

 private:
  float inverse_rc_;
  float fc_;
  float dfc_;
  float t_;
  float x_;
  float previous_ = 1.0f;               // T_{b-2}
  float chebyshev_ = 1.0f;              // T_{b-1}
  float previous_second_kind_ = 1.0f;   // U_{b-2}
  float second_kind_ = 1.0f;            // U_{b-1}
  int b_ = 0;
};

// Slopes one pass keeps in registers: a whole basis of the largest size a model file may declare (basis_size 16),
// so that every model's pair takes a single pass; only hand-made larger bases take more.
constexpr int kSlopesPerPass = 17;

// Calls visit(first, slopes) for successive passes over the basis of a pair, with slopes[k] = f'_{first + k}(r)
// for first + k < basis_count and 0 beyond: each slope is computed once per pair, however many radial functions
// contract it. The array is indexed by compile-time constants only, so it stays in registers.
template <typename Visit>
__device__ __forceinline__ void for_each_slope_pass(float r, float rc, int basis_count, Visit&& visit) {
  PairBasisWithSlope basis(r, rc);
  for (int first = 0; first < basis_count; first += kSlopesPerPass) {
    float slopes[kSlopesPerPass];
    unrolled<kSlopesPerPass>([&](auto index) {
      constexpr int k = decltype(index)::value;
      slopes[k] = first + k < basis_count ? basis.next().slope : 0.0f;
    });
    visit(first, slopes);
  }
}

// sum of slopes[k] c_{first + k} over the pass's basis functions, fused multiply-adds from 0 in ascending k, with
// c_k at coefficients[k step] (read-only): g_n'(r) of one pass when c_k = c[n][k]. The pointer is walked rather
// than indexed, so that the offsets k step need no register each; it stops at the last coefficient.
__device__ __forceinline__ float contract_slopes(const float (&slopes)[kSlopesPerPass], int first,
                                                int basis_count, const float* coefficients, int step) {
  const float* c = coefficients + first * step;
  float sum = 0.0f;
  unrolled<kSlopesPerPass>([&](auto index) {
    constexpr int k = decltype(index)::value;
    if (first + k < basis_count) sum = fmaf(slopes[k], __ldg(c), sum);
    if (first + k + 1 < basis_count) c += step;
  });
  return sum;
}

}  // namespace
}  // namespace quarvel::cuda_backend
