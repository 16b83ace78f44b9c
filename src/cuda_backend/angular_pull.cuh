#pragma once
// The two differentiation steps of the angular forces: per centre atom and radial function the pull
// coefficients P_k = dE_i/dS_k (through the rotation invariants of the descriptor), and per pair the gradient of
// the centre atom's energy with respect to the pair displacement (through the radial functions and the real
// harmonics). Single precision throughout. Only .cu files include this header.
#include "angular_inputs.cuh"
#include "angular_harmonics.cuh"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

namespace ah = angular_harmonics;

constexpr int kLowOrderPullWidth = 24;   // sums per radial function up to degree 4
constexpr int kHighOrderPullWidth = 80;  // sums per radial function up to degree 8
constexpr int kLowOrderFpWidth = 10;     // channels up to degree 4: q_1..q_4 and six couplings
constexpr int kHighOrderFpWidth = 14;    // channels up to degree 8

// weight x dq222/dS added to pull (degree 2, k = 3..7).
__host__ __device__ __forceinline__ void add_q222_gradient(float weight, const float* s, float* pull) {
  const float a1 = -0.00749948062f, a2 = -0.134990647f, a3 = 0.0674953237f, a4 = 0.404971957f, a5 = -0.809943914f;
  pull[3] += weight * (3.0f * a1 * s[3] * s[3] + a2 * (s[4] * s[4] + s[5] * s[5]) + a3 * (s[6] * s[6] + s[7] * s[7]));
  pull[4] += weight * (2.0f * a2 * s[3] * s[4] - 2.0f * a4 * s[6] * s[4] + a5 * s[5] * s[7]);
  pull[5] += weight * (2.0f * a2 * s[3] * s[5] + 2.0f * a4 * s[6] * s[5] + a5 * s[4] * s[7]);
  pull[6] += weight * (2.0f * a3 * s[3] * s[6] + a4 * (s[5] * s[5] - s[4] * s[4]));
  pull[7] += weight * (2.0f * a3 * s[3] * s[7] + a5 * s[4] * s[5]);
}

// weight x dq1111/dS added to pull (degree 1, k = 0..2).
__host__ __device__ __forceinline__ void add_q1111_gradient(float weight, const float* s, float* pull) {
  const float square = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
  for (int k = 0; k < 3; ++k) pull[k] += weight * (0.106387243f * s[k] * square);
}

// weight x dq112/dS added to pull (degrees 1 and 2, k = 0..7).
__host__ __device__ __forceinline__ void add_q112_gradient(float weight, const float* s, float* pull) {
  const float b1 = 0.0274935514f, b2 = 0.164961308f, b3 = -0.0137467757f, b4 = 0.0412403271f, b5 = 0.0824806541f;
  pull[0] += weight * (2.0f * b1 * s[0] * s[3] + b2 * (s[1] * s[4] + s[2] * s[5]));
  pull[1] += weight * (b2 * s[0] * s[4] + 2.0f * b3 * s[3] * s[1] + 2.0f * b4 * s[6] * s[1] + b5 * s[2] * s[7]);
  pull[2] += weight * (b2 * s[0] * s[5] + 2.0f * b3 * s[3] * s[2] - 2.0f * b4 * s[6] * s[2] + b5 * s[1] * s[7]);
  pull[3] += weight * (b1 * s[0] * s[0] + b3 * (s[1] * s[1] + s[2] * s[2]));
  pull[4] += weight * (b2 * s[0] * s[1]);
  pull[5] += weight * (b2 * s[0] * s[2]);
  pull[6] += weight * (b4 * (s[1] * s[1] - s[2] * s[2]));
  pull[7] += weight * (b5 * s[1] * s[2]);
}

// weight x dq123/dS added to pull (degrees 1, 2 and 3, k = 0..14).
__host__ __device__ __forceinline__ void add_q123_gradient(float weight, const float* s, float* pull) {
  const float c1 = -0.016836293f, c2 = -0.0673451722f, c3 = 0.0336725861f, c4 = -0.0841814652f,
              c5 = -0.16836293f, c6 = 0.00841814652f, c7 = -0.0420907326f;
  pull[0] += weight * (c1 * s[3] * s[8] + c2 * (s[4] * s[9] + s[5] * s[10]) + c4 * (s[6] * s[11] + s[7] * s[12]));
  pull[1] += weight * (c1 * s[3] * s[9] + c3 * s[8] * s[4] + c5 * (s[4] * s[11] + s[5] * s[12]) +
                       c6 * (s[6] * s[9] + s[7] * s[10]) + c7 * (s[6] * s[13] + s[7] * s[14]));
  pull[2] += weight * (c1 * s[3] * s[10] + c3 * s[8] * s[5] + c5 * (s[4] * s[12] - s[5] * s[11]) +
                       c6 * (s[7] * s[9] - s[6] * s[10]) + c7 * (s[6] * s[14] - s[7] * s[13]));
  pull[3] += weight * (c1 * (s[0] * s[8] + s[1] * s[9] + s[2] * s[10]));
  pull[4] += weight * (c2 * s[0] * s[9] + c3 * s[8] * s[1] + c5 * (s[1] * s[11] + s[2] * s[12]));
  pull[5] += weight * (c2 * s[0] * s[10] + c3 * s[8] * s[2] + c5 * (s[1] * s[12] - s[2] * s[11]));
  pull[6] += weight * (c4 * s[0] * s[11] + c6 * (s[1] * s[9] - s[2] * s[10]) + c7 * (s[1] * s[13] + s[2] * s[14]));
  pull[7] += weight * (c4 * s[0] * s[12] + c6 * (s[1] * s[10] + s[2] * s[9]) + c7 * (s[1] * s[14] - s[2] * s[13]));
  pull[8] += weight * (c1 * s[3] * s[0] + c3 * (s[1] * s[4] + s[2] * s[5]));
  pull[9] += weight * (c1 * s[3] * s[1] + c2 * s[0] * s[4] + c6 * (s[1] * s[6] + s[2] * s[7]));
  pull[10] += weight * (c1 * s[3] * s[2] + c2 * s[0] * s[5] + c6 * (s[1] * s[7] - s[2] * s[6]));
  pull[11] += weight * (c4 * s[0] * s[6] + c5 * (s[1] * s[4] - s[2] * s[5]));
  pull[12] += weight * (c4 * s[0] * s[7] + c5 * (s[1] * s[5] + s[2] * s[4]));
  pull[13] += weight * (c7 * (s[1] * s[6] - s[2] * s[7]));
  pull[14] += weight * (c7 * (s[1] * s[7] + s[2] * s[6]));
}

// weight x dq233/dS added to pull (degrees 2 and 3, k = 3..14).
__host__ __device__ __forceinline__ void add_q233_gradient(float weight, const float* s, float* pull) {
  const float e1 = 0.00857262034f, e2 = 0.00964419823f, e3 = -0.0267894398f, e4 = 0.0192883965f,
              e5 = 0.0385767929f, e6 = 0.025717862f, e7 = -0.128589302f, e8 = 0.192883968f, e9 = 0.321473271f,
              e10 = -0.0321473256f;
  pull[3] += weight * (e1 * s[8] * s[8] + e2 * (s[9] * s[9] + s[10] * s[10]) + e3 * (s[13] * s[13] + s[14] * s[14]));
  pull[4] += weight * (e6 * s[8] * s[9] + e8 * (s[9] * s[11] + s[10] * s[12]) + e9 * (s[11] * s[13] + s[12] * s[14]));
  pull[5] += weight * (e6 * s[8] * s[10] + e8 * (s[9] * s[12] - s[10] * s[11]) + e9 * (s[11] * s[14] - s[12] * s[13]));
  pull[6] += weight * (e4 * (s[9] * s[9] - s[10] * s[10]) + e7 * s[8] * s[11] + e10 * (s[9] * s[13] + s[10] * s[14]));
  pull[7] += weight * (e5 * s[9] * s[10] + e7 * s[8] * s[12] + e10 * (s[9] * s[14] - s[10] * s[13]));
  pull[8] += weight * (2.0f * e1 * s[3] * s[8] + e6 * (s[4] * s[9] + s[5] * s[10]) +
                       e7 * (s[6] * s[11] + s[7] * s[12]));
  pull[9] += weight * (2.0f * e2 * s[3] * s[9] + 2.0f * e4 * s[6] * s[9] + e5 * s[7] * s[10] + e6 * s[8] * s[4] +
                       e8 * (s[4] * s[11] + s[5] * s[12]) + e10 * (s[6] * s[13] + s[7] * s[14]));
  pull[10] += weight * (2.0f * e2 * s[3] * s[10] - 2.0f * e4 * s[6] * s[10] + e5 * s[7] * s[9] + e6 * s[8] * s[5] +
                        e8 * (s[4] * s[12] - s[5] * s[11]) + e10 * (s[6] * s[14] - s[7] * s[13]));
  pull[11] += weight * (e7 * s[8] * s[6] + e8 * (s[4] * s[9] - s[5] * s[10]) + e9 * (s[4] * s[13] + s[5] * s[14]));
  pull[12] += weight * (e7 * s[8] * s[7] + e8 * (s[5] * s[9] + s[4] * s[10]) + e9 * (s[4] * s[14] - s[5] * s[13]));
  pull[13] += weight * (2.0f * e3 * s[3] * s[13] + e9 * (s[4] * s[11] - s[5] * s[12]) +
                        e10 * (s[6] * s[9] - s[7] * s[10]));
  pull[14] += weight * (2.0f * e3 * s[3] * s[14] + e9 * (s[5] * s[11] + s[4] * s[12]) +
                        e10 * (s[7] * s[9] + s[6] * s[10]));
}

// weight x dq134/dS added to pull (degrees 1, 3 and 4, k = 0..2 and 8..23).
__host__ __device__ __forceinline__ void add_q134_gradient(float weight, const float* s, float* pull) {
  const float f1 = 0.00486021908f, f2 = -0.00364516419f, f3 = 0.0243010949f, f4 = 0.0364516415f,
              f5 = 0.0729032829f, f6 = 0.0850538313f, f7 = -0.00607527373f, f8 = 0.0182258207f, f9 = 0.255161494f,
              f10 = 0.0425269157f;
  pull[0] += weight * (f1 * s[8] * s[15] + f4 * (s[9] * s[16] + s[10] * s[17]) + f5 * (s[11] * s[18] + s[12] * s[19]) +
                       f6 * (s[13] * s[20] + s[14] * s[21]));
  pull[1] += weight * (f2 * s[15] * s[9] + f3 * s[8] * s[16] - f4 * (s[11] * s[16] + s[12] * s[17]) +
                       f7 * (s[13] * s[18] + s[14] * s[19]) + f8 * (s[9] * s[18] + s[10] * s[19]) +
                       f9 * (s[11] * s[20] + s[12] * s[21]) + f10 * (s[13] * s[22] + s[14] * s[23]));
  pull[2] += weight * (f2 * s[15] * s[10] + f3 * s[8] * s[17] + f4 * (s[11] * s[17] - s[12] * s[16]) +
                       f7 * (s[14] * s[18] - s[13] * s[19]) + f8 * (s[9] * s[19] - s[10] * s[18]) +
                       f9 * (s[11] * s[21] - s[12] * s[20]) + f10 * (s[13] * s[23] - s[14] * s[22]));
  pull[8] += weight * (f1 * s[0] * s[15] + f3 * (s[1] * s[16] + s[2] * s[17]));
  pull[9] += weight * (f2 * s[15] * s[1] + f4 * s[0] * s[16] + f8 * (s[1] * s[18] + s[2] * s[19]));
  pull[10] += weight * (f2 * s[15] * s[2] + f4 * s[0] * s[17] + f8 * (s[1] * s[19] - s[2] * s[18]));
  pull[11] += weight * (f4 * (s[2] * s[17] - s[1] * s[16]) + f5 * s[0] * s[18] + f9 * (s[1] * s[20] + s[2] * s[21]));
  pull[12] += weight * (-f4 * (s[1] * s[17] + s[2] * s[16]) + f5 * s[0] * s[19] + f9 * (s[1] * s[21] - s[2] * s[20]));
  pull[13] += weight * (f6 * s[0] * s[20] + f7 * (s[1] * s[18] - s[2] * s[19]) + f10 * (s[1] * s[22] + s[2] * s[23]));
  pull[14] += weight * (f6 * s[0] * s[21] + f7 * (s[1] * s[19] + s[2] * s[18]) + f10 * (s[1] * s[23] - s[2] * s[22]));
  pull[15] += weight * (f1 * s[0] * s[8] + f2 * (s[1] * s[9] + s[2] * s[10]));
  pull[16] += weight * (f3 * s[8] * s[1] + f4 * (s[0] * s[9] - s[1] * s[11] - s[2] * s[12]));
  pull[17] += weight * (f3 * s[8] * s[2] + f4 * (s[0] * s[10] - s[1] * s[12] + s[2] * s[11]));
  pull[18] += weight * (f5 * s[0] * s[11] + f7 * (s[1] * s[13] + s[2] * s[14]) + f8 * (s[1] * s[9] - s[2] * s[10]));
  pull[19] += weight * (f5 * s[0] * s[12] + f7 * (s[1] * s[14] - s[2] * s[13]) + f8 * (s[1] * s[10] + s[2] * s[9]));
  pull[20] += weight * (f6 * s[0] * s[13] + f9 * (s[1] * s[11] - s[2] * s[12]));
  pull[21] += weight * (f6 * s[0] * s[14] + f9 * (s[1] * s[12] + s[2] * s[11]));
  pull[22] += weight * (f10 * (s[1] * s[13] - s[2] * s[14]));
  pull[23] += weight * (f10 * (s[1] * s[14] + s[2] * s[13]));
}

// Degree of angular index k (1..8).
__host__ __device__ __forceinline__ int degree_of_index(int k) {
  int l = 1;
  while (ah::index_count_up_to_degree(l) <= k) ++l;
  return l;
}

// P_k = dE_i/dS_k of one centre atom and radial function from its K sums and its channel derivatives fp:
// first the degree invariants q_l = sum_k kC3B[k] S_k^2 (cosine and sine parts twice), then each enabled
// coupling in channel order. Entries beyond the model's sums are 0 in the 24-wide pull and unwritten in the
// 80-wide one (nobody reads them). coupling holds the six switches as 0/1.
template <int K>
__device__ __forceinline__ void build_angular_pull(int l_max, const int* coupling, const float* sums, const float* fp,
                                                   float* pull) {
  static_assert(K == kLowOrderPullWidth || K == kHighOrderPullWidth, "pull tiles hold 24 or 80 sums");
  const int abc = ah::index_count_up_to_degree(l_max);
  for (int k = 0; k < K; ++k) {
    if (k >= abc) {
      if constexpr (K == kLowOrderPullWidth) pull[k] = 0.0f;
      continue;
    }
    const int l = degree_of_index(k);
    const float w = k == ah::first_index_of_degree(l) ? 2.0f : 4.0f;  // dq_l/dS_k of the squared terms
    pull[k] = (sums[k] * (w * ah::kC3B[k])) * fp[l - 1];
  }
  int channel = l_max;
  if (coupling[0] != 0) add_q222_gradient(fp[channel++], sums, pull);
  if (coupling[1] != 0) add_q1111_gradient(fp[channel++], sums, pull);
  if (coupling[2] != 0) add_q112_gradient(fp[channel++], sums, pull);
  if (coupling[3] != 0) add_q123_gradient(fp[channel++], sums, pull);
  if (coupling[4] != 0) add_q233_gradient(fp[channel++], sums, pull);
  if (coupling[5] != 0) add_q134_gradient(fp[channel++], sums, pull);
}

// dZ_{L,m}/dz for m = 0..L (the polynomials of angular_harmonics.cuh).
template <int L>
__host__ __device__ __forceinline__ void legendre_derivative_slopes(float z, float (&dz)[L + 1]) {
  static_assert(L >= 1 && L <= ah::kMaxDegree, "degrees 1 to 8");
  if constexpr (L == 1) {
    dz[0] = 1.0f;
    dz[1] = 0.0f;
  } else if constexpr (L == 2) {
    dz[0] = 6.0f * z;
    dz[1] = 1.0f;
    dz[2] = 0.0f;
  } else if constexpr (L == 3) {
    dz[0] = 15.0f * z * z - 3.0f;
    dz[1] = 10.0f * z;
    dz[2] = 1.0f;
    dz[3] = 0.0f;
  } else if constexpr (L == 4) {
    const float z2 = z * z;
    dz[0] = (140.0f * z2 - 60.0f) * z;
    dz[1] = 21.0f * z2 - 3.0f;
    dz[2] = 14.0f * z;
    dz[3] = 1.0f;
    dz[4] = 0.0f;
  } else {
    const float* table = ah::z_table<L>();
    float power[L + 1];
    power[0] = 1.0f;
    for (int p = 1; p <= L; ++p) power[p] = power[p - 1] * z;
    for (int m = 0; m <= L; ++m) {
      float value = 0.0f;
      for (int p = 1; p <= L - m; ++p) {
        value = fmaf(static_cast<float>(p) * table[m * (L + 1) + p], power[p - 1], value);
      }
      dz[m] = value;
    }
  }
}

// The pair gradient's terms of degree L: for every angular index k of the degree (order 0, then the cosine and
// sine parts of m = 1..L), A_k = sum_n g_n P_{n,k} and B_k = sum_n g_n' P_{n,k}, and
// acc += B_k Y_k u + (A_k / r)(grad Y_k - u (u . grad Y_k)), grad taken with x, y, z independent. fetch(k, n)
// returns P_{n,k}; in the kernel it is a shuffle within the lane group, so all its lanes call this together.
template <int L, typename PullFetch>
__device__ __forceinline__ void accumulate_degree_gradient(PullFetch fetch, int radial_count, const float* g,
                                                           const float* g_prime, float inv_r, const float* unit,
                                                           float* acc) {
  const float x = unit[0];
  const float y = unit[1];
  const float z = unit[2];
  float zl[L + 1];
  float dzl[L + 1];
  ah::legendre_derivative_polynomials<L>(z, zl);
  legendre_derivative_slopes<L>(z, dzl);
  const ah::AzimuthalPowers<L> a = ah::azimuthal_powers<L>(x, y);
  const auto add = [&](int k, float value, float gx, float gy, float gz) {
    float sum_a = 0.0f;
    float sum_b = 0.0f;
    for (int n = 0; n < radial_count; ++n) {
      const float p = fetch(k, n);
      sum_a = fmaf(g[n], p, sum_a);
      sum_b = fmaf(g_prime[n], p, sum_b);
    }
    const float e = x * gx + y * gy + z * gz;
    const float radial = sum_b * value;
    const float tangential = sum_a * inv_r;
    acc[0] += radial * x + tangential * (gx - x * e);
    acc[1] += radial * y + tangential * (gy - y * e);
    acc[2] += radial * z + tangential * (gz - z * e);
  };
  const int k0 = ah::first_index_of_degree(L);
  add(k0, zl[0], 0.0f, 0.0f, dzl[0]);
  for (int m = 1; m <= L; ++m) {
    const float mz = static_cast<float>(m) * zl[m];
    add(k0 + 2 * m - 1, zl[m] * a.re[m], mz * a.re[m - 1], -mz * a.im[m - 1], dzl[m] * a.re[m]);
    add(k0 + 2 * m, zl[m] * a.im[m], mz * a.im[m - 1], mz * a.re[m - 1], dzl[m] * a.im[m]);
  }
}

// The degrees 5 to 8, added after the degrees 1 to 4.
template <int L, typename PullFetch>
__device__ __forceinline__ void accumulate_extended_order(PullFetch fetch, int radial_count, const float* g,
                                                          const float* g_prime, float inv_r, const float* unit,
                                                          float* acc) {
  static_assert(L >= 5 && L <= ah::kMaxDegree, "extended orders are the degrees 5 to 8");
  accumulate_degree_gradient<L>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
}

// dE_i/dr_ij of one pair for the degrees 1..l_max (at most MaxDegree).
template <int MaxDegree, typename PullFetch>
__device__ __forceinline__ void accumulate_pair_gradient(int l_max, PullFetch fetch, int radial_count, const float* g,
                                                         const float* g_prime, float inv_r, const float* unit,
                                                         float* acc) {
  accumulate_degree_gradient<1>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
  if (l_max >= 2) accumulate_degree_gradient<2>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
  if (l_max >= 3) accumulate_degree_gradient<3>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
  if (l_max >= 4) accumulate_degree_gradient<4>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
  if constexpr (MaxDegree >= 5) {
    if (l_max >= 5) accumulate_extended_order<5>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
    if (l_max >= 6) accumulate_extended_order<6>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
    if (l_max >= 7) accumulate_extended_order<7>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
    if (l_max >= 8) accumulate_extended_order<8>(fetch, radial_count, g, g_prime, inv_r, unit, acc);
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
