#pragma once
// Device helpers of the spin force kernels: the spin descriptor row layout, the radial edge weights of spin
// neighbours with their derivative, and the real spherical harmonics of orders 2 to 4 with their gradients.
// The spin descriptor kernels compute the same weights and harmonics, so densities and forces refer to one
// function. Only .cu files include this.
#include <cstdint>

#include "cuda_platform.cuh"
#include "model_protocol.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kSpinMaxChannels = 4;
constexpr int kSpinMaxBasis = 8;      // radial basis functions per channel (B + 1)
constexpr int kSpinMaxAngularOrder = 4;
constexpr int kSpinOnsiteRows = 2;    // |S|^2 and |S|^4 open the spin block
constexpr int kSpinPairSumBlocks = 4;  // the four weighted pair sums per channel
constexpr float kSpinPiF = 3.14159274f;  // the float nearest to pi
constexpr float kSpinMinDistance = 1e-12f;  // pairs this close carry no direction and are skipped

// Where each block of spin rows starts, relative to the first spin row; -1 marks a block the model lacks.
struct SpinCoreLayout {
  std::int32_t channels;
  std::int32_t radial_basis_count;
  std::int32_t angular_order;
  std::int32_t chiral_channels;
  std::int32_t rho0_norm_row;
  std::int32_t raw1_trace_row;
  std::int32_t raw1_antisymmetric_row;
  std::int32_t raw1_symmetric_row;
  std::int32_t angular2_norm_row;
  std::int32_t angular3_norm_row;
  std::int32_t angular4_norm_row;
  std::int32_t geom_row;
  std::int32_t rho0_dot_row;
  std::int32_t raw1_dot_row;
  std::int32_t chiral_row;
  std::int32_t total_rows;
};

// Rows of the layout as compile-time functions of the channel count C and the angular order L, for kernels
// templated on both.
__host__ __device__ constexpr int spin_rho0_norm_row(int c) { return kSpinOnsiteRows + kSpinPairSumBlocks * c; }
__host__ __device__ constexpr int spin_raw1_trace_row(int c) { return spin_rho0_norm_row(c) + c; }
__host__ __device__ constexpr int spin_raw1_antisymmetric_row(int c) { return spin_rho0_norm_row(c) + 2 * c; }
__host__ __device__ constexpr int spin_raw1_symmetric_row(int c) { return spin_rho0_norm_row(c) + 3 * c; }
// Angular norm of order l (2..4): one block of C rows after the symmetric one per order below.
__host__ __device__ constexpr int spin_angular_norm_row(int c, int l) { return spin_rho0_norm_row(c) + (l + 2) * c; }
__host__ __device__ constexpr int spin_geom_row(int c, int l) {
  return l == 0 ? spin_rho0_norm_row(c) + c : spin_rho0_norm_row(c) + (l + 3) * c;
}
__host__ __device__ constexpr int spin_rho0_dot_row(int c, int l) { return spin_geom_row(c, l) + c; }
__host__ __device__ constexpr int spin_raw1_dot_row(int c, int l) { return spin_geom_row(c, l) + 2 * c; }
__host__ __device__ constexpr int spin_core_row_count(int c, int l) {
  return l == 0 ? spin_rho0_dot_row(c, l) + c : spin_raw1_dot_row(c, l) + c;
}
__host__ __device__ constexpr int spin_chiral_channels(int c) { return c < 2 ? c : 2; }

inline SpinCoreLayout make_spin_core_layout(const ModelProtocol& protocol) {
  const int c = protocol.spin_compress;
  const int l = protocol.spin_l_max;
  const bool chiral = protocol.spin_chiral != 0;
  const int k = spin_chiral_channels(c);
  const int core = spin_core_row_count(c, l);
  SpinCoreLayout s{};
  s.channels = c;
  s.radial_basis_count = protocol.spin_basis_size_radial + 1;
  s.angular_order = l;
  s.chiral_channels = k;
  s.rho0_norm_row = spin_rho0_norm_row(c);
  s.raw1_trace_row = l >= 1 ? spin_raw1_trace_row(c) : -1;
  s.raw1_antisymmetric_row = l >= 1 ? spin_raw1_antisymmetric_row(c) : -1;
  s.raw1_symmetric_row = l >= 1 ? spin_raw1_symmetric_row(c) : -1;
  s.angular2_norm_row = l >= 2 ? spin_angular_norm_row(c, 2) : -1;
  s.angular3_norm_row = l >= 3 ? spin_angular_norm_row(c, 3) : -1;
  s.angular4_norm_row = l >= 4 ? spin_angular_norm_row(c, 4) : -1;
  s.geom_row = spin_geom_row(c, l);
  s.rho0_dot_row = spin_rho0_dot_row(c, l);
  s.raw1_dot_row = l >= 1 ? spin_raw1_dot_row(c, l) : -1;
  s.chiral_row = chiral ? core : -1;
  s.total_rows = chiral ? core + k + 2 * c : core;
  return s;
}

// Edge weights g_n(r) of channels n < C for the pair index ti T + tj: a Chebyshev basis of xi = 2(u - 1)^2 - 1,
// u = r / rc, times the cosine cutoff, contracted with the spin coefficient rows n(B + 1) .. n(B + 1) + B (each a
// T x T table). The derivative form also gives dg_n/dr, carrying the Chebyshev derivatives through the second
// kind: dT_k/dxi = k U_(k-1).
template <int C, bool Derivative>
__device__ __forceinline__ void evaluate_spin_edge_weights_generic_f32(int B, float rc, float r, int T, int pair,
                                                                       const float* coefficients, int offset,
                                                                       float* g, float* dg) {
  const float inverse_rc = 1.0f / rc;
  const float u = r * inverse_rc;
  const float fc = 0.5f * cosf(kSpinPiF * u) + 0.5f;
  const float um1 = u - 1.0f;
  const float xi = 2.0f * um1 * um1 - 1.0f;
  float dfc = 0.0f;
  float dxi_half = 0.0f;  // half the derivative of xi with respect to r
  if constexpr (Derivative) {
    dfc = -(kSpinPiF * 0.5f) * inverse_rc * sinf(kSpinPiF * u);
    dxi_half = 2.0f * um1 * inverse_rc;
  }
  float phi[kSpinMaxBasis];
  float dphi[kSpinMaxBasis];
  phi[0] = fc;
  dphi[0] = dfc;
  float t_prev = 1.0f;  // T_(k-1)
  float t_cur = xi;     // T_k
  float u_prev = 1.0f;  // U_(k-1)
  float u_cur = 2.0f * xi;
  for (int k = 1; k <= B && k < kSpinMaxBasis; ++k) {
    phi[k] = 0.5f * (t_cur + 1.0f) * fc;
    if constexpr (Derivative) {
      dphi[k] = fc * dxi_half * static_cast<float>(k) * u_prev + 0.5f * (t_cur + 1.0f) * dfc;
    }
    const float t_next = 2.0f * xi * t_cur - t_prev;
    t_prev = t_cur;
    t_cur = t_next;
    const float u_next = 2.0f * xi * u_cur - u_prev;
    u_prev = u_cur;
    u_cur = u_next;
  }
  const int table = T * T;
  for (int n = 0; n < C; ++n) {
    float sum = 0.0f;
    float dsum = 0.0f;
    for (int k = 0; k <= B && k < kSpinMaxBasis; ++k) {
      const float c = __ldg(&coefficients[offset + (n * (B + 1) + k) * table + pair]);
      sum = fmaf(c, phi[k], sum);
      if constexpr (Derivative) dsum = fmaf(c, dphi[k], dsum);
    }
    g[n] = sum;
    if constexpr (Derivative) dg[n] = dsum;
  }
}

// Harmonic constants of orders 2 to 4 (the float32 values of the orthonormal factors).
constexpr float kY21 = 1.0925484f;
constexpr float kY22 = 0.31539157f;
constexpr float kY23 = 0.5462742f;
constexpr float kY31 = 0.5900436f;
constexpr float kY32 = 2.8906114f;
constexpr float kY33 = 0.4570458f;
constexpr float kY34 = 0.37317634f;
constexpr float kY35 = 1.4453057f;
constexpr float kY41 = 2.503343f;
constexpr float kY42 = 1.7701309f;
constexpr float kY43 = 0.94617474f;
constexpr float kY44 = 0.6690465f;
constexpr float kY45 = 0.10578554f;
constexpr float kY46 = 0.47308737f;
constexpr float kY47 = 0.6258358f;

__host__ __device__ constexpr int spin_harmonic_count(int order) { return 2 * order + 1; }

// The 2l + 1 real spherical harmonics of one order (2, 3 or 4) at a unit direction, index m for order m - l.
// Order 4 is written for a unit vector (its constants stand for powers of x^2 + y^2 + z^2).
__device__ __forceinline__ void real_spherical_harmonics_spinf(const float* direction, int order, float* values) {
  const float x = direction[0];
  const float y = direction[1];
  const float z = direction[2];
  const float x2 = x * x;
  const float y2 = y * y;
  const float z2 = z * z;
  if (order == 2) {
    values[0] = kY21 * x * y;
    values[1] = kY21 * y * z;
    values[2] = kY22 * (2.0f * z2 - x2 - y2);
    values[3] = kY21 * x * z;
    values[4] = kY23 * (x2 - y2);
  } else if (order == 3) {
    values[0] = kY31 * y * (3.0f * x2 - y2);
    values[1] = kY32 * x * y * z;
    values[2] = kY33 * y * (4.0f * z2 - x2 - y2);
    values[3] = kY34 * z * (2.0f * z2 - 3.0f * x2 - 3.0f * y2);
    values[4] = kY33 * x * (4.0f * z2 - x2 - y2);
    values[5] = kY35 * z * (x2 - y2);
    values[6] = kY31 * x * (x2 - 3.0f * y2);
  } else if (order == 4) {
    values[0] = kY41 * x * y * (x2 - y2);
    values[1] = kY42 * y * z * (3.0f * x2 - y2);
    values[2] = kY43 * x * y * (7.0f * z2 - 1.0f);
    values[3] = kY44 * y * z * (7.0f * z2 - 3.0f);
    values[4] = kY45 * (35.0f * z2 * z2 - 30.0f * z2 + 3.0f);
    values[5] = kY44 * x * z * (7.0f * z2 - 3.0f);
    values[6] = kY46 * (x2 - y2) * (7.0f * z2 - 1.0f);
    values[7] = kY42 * x * z * (x2 - 3.0f * y2);
    values[8] = kY47 * (x2 * x2 - 6.0f * x2 * y2 + y2 * y2);
  }
}

// Adds sum over m of weights[m] times the gradient of the order's harmonic m, each polynomial differentiated as
// written with x, y, z independent, to gradient[0..2].
__device__ __forceinline__ void add_real_spherical_harmonics_gradientf(const float* direction, int order,
                                                                       const float* weights, float* gradient) {
  const float x = direction[0];
  const float y = direction[1];
  const float z = direction[2];
  const float x2 = x * x;
  const float y2 = y * y;
  const float z2 = z * z;
  float gx = 0.0f;
  float gy = 0.0f;
  float gz = 0.0f;
  const float* w = weights;
  if (order == 2) {
    gx = w[0] * kY21 * y + w[2] * (-2.0f * kY22 * x) + w[3] * kY21 * z + w[4] * (2.0f * kY23 * x);
    gy = w[0] * kY21 * x + w[1] * kY21 * z + w[2] * (-2.0f * kY22 * y) + w[4] * (-2.0f * kY23 * y);
    gz = w[1] * kY21 * y + w[2] * (4.0f * kY22 * z) + w[3] * kY21 * x;
  } else if (order == 3) {
    gx = w[0] * (6.0f * kY31 * x * y) + w[1] * (kY32 * y * z) + w[2] * (-2.0f * kY33 * x * y) +
         w[3] * (-6.0f * kY34 * x * z) + w[4] * (kY33 * (4.0f * z2 - 3.0f * x2 - y2)) +
         w[5] * (2.0f * kY35 * x * z) + w[6] * (3.0f * kY31 * (x2 - y2));
    gy = w[0] * (3.0f * kY31 * (x2 - y2)) + w[1] * (kY32 * x * z) + w[2] * (kY33 * (4.0f * z2 - x2 - 3.0f * y2)) +
         w[3] * (-6.0f * kY34 * y * z) + w[4] * (-2.0f * kY33 * x * y) + w[5] * (-2.0f * kY35 * y * z) +
         w[6] * (-6.0f * kY31 * x * y);
    gz = w[1] * (kY32 * x * y) + w[2] * (8.0f * kY33 * y * z) + w[3] * (kY34 * (6.0f * z2 - 3.0f * x2 - 3.0f * y2)) +
         w[4] * (8.0f * kY33 * x * z) + w[5] * (kY35 * (x2 - y2));
  } else if (order == 4) {
    const float a = 7.0f * z2 - 1.0f;
    const float b = 7.0f * z2 - 3.0f;
    gx = w[0] * (kY41 * y * (3.0f * x2 - y2)) + w[1] * (6.0f * kY42 * x * y * z) + w[2] * (kY43 * y * a) +
         w[5] * (kY44 * z * b) + w[6] * (2.0f * kY46 * x * a) + w[7] * (3.0f * kY42 * z * (x2 - y2)) +
         w[8] * (4.0f * kY47 * x * (x2 - 3.0f * y2));
    gy = w[0] * (kY41 * x * (x2 - 3.0f * y2)) + w[1] * (3.0f * kY42 * z * (x2 - y2)) + w[2] * (kY43 * x * a) +
         w[3] * (kY44 * z * b) + w[6] * (-2.0f * kY46 * y * a) + w[7] * (-6.0f * kY42 * x * y * z) +
         w[8] * (4.0f * kY47 * y * (y2 - 3.0f * x2));
    gz = w[1] * (kY42 * y * (3.0f * x2 - y2)) + w[2] * (14.0f * kY43 * x * y * z) +
         w[3] * (kY44 * y * (21.0f * z2 - 3.0f)) + w[4] * (kY45 * (140.0f * z2 * z - 60.0f * z)) +
         w[5] * (kY44 * x * (21.0f * z2 - 3.0f)) + w[6] * (14.0f * kY46 * z * (x2 - y2)) +
         w[7] * (kY42 * x * (x2 - 3.0f * y2));
  }
  gradient[0] += gx;
  gradient[1] += gy;
  gradient[2] += gz;
}

// The chirality of a channel as a sum of 50 products Q[q] O[o] H[h] of its quadrupole vector, octupoles and
// hexadecapoles: term t packs q in bits 8-15, o in bits 4-7 and h in bits 0-3, with coefficient coeff_t. Together
// they are the pseudo-scalar contraction of the quadrupole with the rank-3 and rank-4 moments.
constexpr int kSpinChiralTerms = 50;
__constant__ const std::uint16_t kSpinChiralQohReducedPacked[kSpinChiralTerms] = {
    0x0000, 0x0020, 0x0022, 0x0031, 0x0044, 0x0046, 0x0057, 0x0064, 0x0101, 0x0103, 0x0110, 0x0112, 0x0121,
    0x0123, 0x0130, 0x0132, 0x0145, 0x0147, 0x0148, 0x0154, 0x0156, 0x0165, 0x0205, 0x0207, 0x0214, 0x0216,
    0x0225, 0x0228, 0x0234, 0x0241, 0x0243, 0x0250, 0x0252, 0x0263, 0x0306, 0x0317, 0x0324, 0x0338, 0x0340,
    0x0351, 0x0353, 0x0362, 0x0411, 0x0420, 0x0431, 0x0433, 0x0446, 0x0455, 0x0457, 0x0464};
__constant__ const float kSpinChiralQohReducedCoeff[kSpinChiralTerms] = {
    1.0f, -2.0f, 1.0f, 2.0f, 1.0f, -1.0f, 2.0f, 0.5f, 1.0f, 1.0f, 1.0f, 1.0f, -4.0f, -3.0f, -4.0f, -3.0f, -0.5f,
    -2.0f, -1.0f, -1.0f, -4.0f, -0.5f, 1.0f, -2.0f, 1.0f, 2.0f, -1.0f, -2.0f, 1.0f, -2.0f, 6.0f, -4.0f, -8.0f,
    2.0f, 1.0f, 1.0f, -0.5f, 1.0f, 1.0f, -2.0f, -4.0f, 1.0f, 1.0f, 2.0f, -2.0f, 1.0f, 1.0f, 1.0f, -2.0f, -0.5f};
__host__ __device__ constexpr int chiral_term_quadrupole(std::uint16_t packed) { return (packed >> 8) & 0xff; }
__host__ __device__ constexpr int chiral_term_octupole(std::uint16_t packed) { return (packed >> 4) & 0xf; }
__host__ __device__ constexpr int chiral_term_hexadecapole(std::uint16_t packed) { return packed & 0xf; }

}  // namespace
}  // namespace quarvel::cuda_backend
