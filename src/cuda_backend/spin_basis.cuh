#pragma once
// What the spin descriptor and spin force kernels share: the row layout of the spin block, the layout of the
// per-atom spin densities, the radial edge weights of spin neighbors, the angular tables of a bond direction and
// the chirality contraction tables. Only .cu files include this header; each gets its own copy of the tables.
#include <cstddef>
#include <cstdint>

#include "cuda_platform.cuh"
#include "model_protocol.hpp"
#include "radial_basis.cuh"

namespace quarvel::cuda_backend {

// Where each block of spin rows lies, counted from the first spin row (descriptor row structural_descriptor_dim);
// -1 marks a block the model does not have. Every block but rows 0 and 1 has one row per channel, channel-minor.
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

namespace {

constexpr int kSpinMaxChannels = 4;
constexpr int kSpinMaxAngularOrder = 4;
constexpr int kSpinMaxBasisCount = 8;           // radial basis functions per channel: spin_basis_size_radial + 1
constexpr int kSpinMaxChiralChannels = 2;       // channels that carry chirality rows and hexadecapoles
constexpr int kSpinPairSumRows = 4;             // S_i.S_j, (S_i.S_j)^2, |S_j|^2, (rhat.S_i)(rhat.S_j)
constexpr int kSpinOnsiteRows = 2;              // |S_i|^2 and |S_i|^4
constexpr float kSpinMinimumDistance = 1e-12f;  // Angstrom: closer pairs have no direction and are not counted

__host__ __device__ constexpr int spin_chiral_channel_count(int channels) {
  return channels < kSpinMaxChiralChannels ? channels : kSpinMaxChiralChannels;
}

// The row layout of a spin model of `channels` channels, angular order `l_max` and the chiral flag.
__host__ __device__ constexpr SpinCoreLayout spin_core_layout(int channels, int l_max, bool chiral) {
  const int c = channels;
  const int k = spin_chiral_channel_count(c);
  const bool raw1 = l_max >= 1;
  const int geom = l_max == 0 ? 5 * c + 2 : (l_max + 7) * c + 2;
  const int core = l_max == 0 ? 7 * c + 2 : (l_max + 10) * c + 2;
  return SpinCoreLayout{c,
                        0,
                        l_max,
                        k,
                        4 * c + 2,
                        raw1 ? 5 * c + 2 : -1,
                        raw1 ? 6 * c + 2 : -1,
                        raw1 ? 7 * c + 2 : -1,
                        l_max >= 2 ? 8 * c + 2 : -1,
                        l_max >= 3 ? 9 * c + 2 : -1,
                        l_max >= 4 ? 10 * c + 2 : -1,
                        geom,
                        geom + c,
                        raw1 ? geom + 2 * c : -1,
                        chiral ? core : -1,
                        chiral ? core + k + 2 * c : core};
}

// The layout of a model's spin rows, derived from its protocol alone.
inline SpinCoreLayout make_spin_core_layout(const ModelProtocol& protocol) {
  SpinCoreLayout layout = spin_core_layout(protocol.spin_compress, protocol.spin_l_max, protocol.spin_chiral != 0);
  layout.radial_basis_count = protocol.spin_basis_size_radial + 1;
  return layout;
}

// Components per channel of each spin density array.
constexpr int kSpinRho0Width = 3;          // S_j
constexpr int kSpinRaw1Width = 9;          // rhat_a S_j,b at 3a + b
constexpr int kSpinAngular2Width = 15;     // Y2[m] S_j,b at 3m + b
constexpr int kSpinAngular3Width = 21;     // Y3[m] S_j,b
constexpr int kSpinAngular4Width = 27;     // Y4[m] S_j,b
constexpr int kSpinGeomWidth = 6;          // traceless quadrupole xx, xy, xz, yy, yz, zz
constexpr int kSpinRho0DotWidth = 3;       // (S_i.S_j) S_j
constexpr int kSpinRaw1DotWidth = 9;       // rhat_a S_j,b (S_i.S_j)
constexpr int kSpinPolarWidth = 3;         // rhat
constexpr int kSpinOctupoleWidth = 7;      // harmonic cubics
constexpr int kSpinHexadecapoleWidth = 9;  // harmonic quartics over 7
constexpr int kSpinY2Count = 5;
constexpr int kSpinY3Count = 7;
constexpr int kSpinY4Count = 9;

// Component k of channel n of atom i in a spin density array: the densities are atom-major, all channels of an
// atom together, so one block of the descriptor kernel writes one contiguous stretch.
__host__ __device__ __forceinline__ std::size_t spin_density_index(int atom, int channel, int channels, int width,
                                                                   int component) {
  return (static_cast<std::size_t>(atom) * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)) *
             static_cast<std::size_t>(width) +
         static_cast<std::size_t>(component);
}

// Edge weights g_n(r) of channel n < Channels for the pair (centre type, neighbor type) = pair: the Chebyshev
// spin basis of `basis_count` functions contracted with the channel's coefficient rows, row n (B + 1) + k of the
// spin block being a T x T table (centre type major). WithSlope also gives dg_n/dr (1/Angstrom) in dg.
template <int Channels, bool WithSlope>
__host__ __device__ __forceinline__ void spin_edge_weights(int basis_count, float rc, float r, int type_count, int pair,
                                                           const float* coefficients, int offset, float* g, float* dg) {
  for (int n = 0; n < Channels; ++n) {
    g[n] = 0.0f;
    if constexpr (WithSlope) dg[n] = 0.0f;
  }
  const int table = type_count * type_count;
  PairBasisWithSlope basis(r, rc);
  for (int k = 0; k < basis_count; ++k) {
    const BasisTerm phi = basis.next();
    for (int n = 0; n < Channels; ++n) {
      const float c = coefficients[offset + (n * basis_count + k) * table + pair];
      g[n] = fmaf(c, phi.value, g[n]);
      if constexpr (WithSlope) dg[n] = fmaf(c, phi.slope, dg[n]);
    }
  }
}

// The edge weights for any basis size up to kSpinMaxBasisCount; the common size of four functions is unrolled.
template <int Channels, bool WithSlope>
__host__ __device__ __forceinline__ void evaluate_spin_edge_weights_generic_f32(int basis_size, float rc, float r,
                                                                                int type_count, int pair,
                                                                                const float* coefficients, int offset,
                                                                                float* g, float* dg) {
  constexpr int kCommonBasisCount = 4;
  if (basis_size + 1 == kCommonBasisCount) {
    spin_edge_weights<Channels, WithSlope>(kCommonBasisCount, rc, r, type_count, pair, coefficients, offset, g, dg);
  } else {
    spin_edge_weights<Channels, WithSlope>(basis_size + 1, rc, r, type_count, pair, coefficients, offset, g, dg);
  }
}

// A direction's components and their squares, the terms of every angular table below.
struct DirectionPowers {
  float x, y, z, x2, y2, z2;
};

__host__ __device__ __forceinline__ DirectionPowers direction_powers(const float* d) {
  return {d[0], d[1], d[2], d[0] * d[0], d[1] * d[1], d[2] * d[2]};
}

// Real spherical harmonics of order 2, 3 or 4 (values[m], m = 0 .. 2 order, for orders -l .. l) of a unit
// direction; the order-4 ones use x^2 + y^2 + z^2 = 1.
__host__ __device__ __forceinline__ void real_spherical_harmonics_spinf(const float* direction, int order,
                                                                        float* values) {
  const auto [x, y, z, x2, y2, z2] = direction_powers(direction);
  if (order == 2) {
    values[0] = 1.0925484f * x * y;
    values[1] = 1.0925484f * y * z;
    values[2] = 0.31539157f * (2.0f * z2 - x2 - y2);
    values[3] = 1.0925484f * x * z;
    values[4] = 0.5462742f * (x2 - y2);
  } else if (order == 3) {
    values[0] = 0.5900436f * y * (3.0f * x2 - y2);
    values[1] = 2.8906114f * x * y * z;
    values[2] = 0.4570458f * y * (4.0f * z2 - x2 - y2);
    values[3] = 0.37317634f * z * (2.0f * z2 - 3.0f * x2 - 3.0f * y2);
    values[4] = 0.4570458f * x * (4.0f * z2 - x2 - y2);
    values[5] = 1.4453057f * z * (x2 - y2);
    values[6] = 0.5900436f * x * (x2 - 3.0f * y2);
  } else if (order == 4) {
    values[0] = 2.503343f * x * y * (x2 - y2);
    values[1] = 1.7701309f * y * z * (3.0f * x2 - y2);
    values[2] = 0.94617474f * x * y * (7.0f * z2 - 1.0f);
    values[3] = 0.6690465f * y * z * (7.0f * z2 - 3.0f);
    values[4] = 0.10578554f * (35.0f * z2 * z2 - 30.0f * z2 + 3.0f);
    values[5] = 0.6690465f * x * z * (7.0f * z2 - 3.0f);
    values[6] = 0.47308737f * (x2 - y2) * (7.0f * z2 - 1.0f);
    values[7] = 1.7701309f * x * z * (x2 - 3.0f * y2);
    values[8] = 0.6258358f * (x2 * x2 - 6.0f * x2 * y2 + y2 * y2);
  }
}

// Traceless direction quadrupole: x^2 - t, xy, xz, y^2 - t, yz, z^2 - t with t = |d|^2 / 3.
__host__ __device__ __forceinline__ void spin_direction_quadrupole(const float* d, float* q) {
  const float t = (d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) / 3.0f;
  q[0] = d[0] * d[0] - t;
  q[1] = d[0] * d[1];
  q[2] = d[0] * d[2];
  q[3] = d[1] * d[1] - t;
  q[4] = d[1] * d[2];
  q[5] = d[2] * d[2] - t;
}

// The seven unnormalised harmonic cubics of a direction.
__host__ __device__ __forceinline__ void spin_direction_octupoles(const float* d, float* o) {
  const auto [x, y, z, x2, y2, z2] = direction_powers(d);
  o[0] = y * (y2 - 3.0f * z2);
  o[1] = z * (z2 - 3.0f * y2);
  o[2] = y * (x2 - z2);
  o[3] = z * (x2 - y2);
  o[4] = x * (y2 - z2);
  o[5] = x * y * z;
  o[6] = x * (3.0f * z2 - x2);
}

// The nine harmonic quartics of a direction, each over 7.
__host__ __device__ __forceinline__ void spin_direction_hexadecapoles(const float* d, float* h) {
  constexpr float kOneSeventh = 0.14285715f;
  const auto [x, y, z, x2, y2, z2] = direction_powers(d);
  h[0] = kOneSeventh * (x * z * (6.0f * y2 - x2 - z2));
  h[1] = kOneSeventh * (x * y * (x2 + y2 - 6.0f * z2));
  h[2] = kOneSeventh * (x * z * (4.0f * x2 - 3.0f * y2 - 3.0f * z2));
  h[3] = kOneSeventh * (x * y * (3.0f * y2 + 3.0f * z2 - 4.0f * x2));
  h[4] = kOneSeventh * (y * z * (12.0f * x2 - 2.0f * y2 - 2.0f * z2));
  h[5] = kOneSeventh * (2.0f * (y2 - z2) * (y2 + z2 - 6.0f * x2));
  h[6] = kOneSeventh * (y * z * (4.0f * y2 - 3.0f * x2 - 3.0f * z2));
  h[7] = kOneSeventh * ((y2 - x2) * (x2 + y2 - 6.0f * z2));
  h[8] = kOneSeventh * (4.0f * x2 * x2 + y2 * y2 + 2.0f * z2 * z2 - 9.0f * x2 * y2 - 15.0f * x2 * z2 + 3.0f * y2 * z2);
}

// The chirality of a channel is the pseudo-scalar contraction eps_abc G_ad Ot_bef Ht_cdef of its quadrupole, its
// traceless rank-3 and rank-4 moments, written in the stored components as 50 terms coeff Q[q] O[o] H[h]; the
// packed entry holds q in bits 8-15, o in bits 4-7 and h in bits 0-3.
constexpr int kSpinChiralTermCount = 50;
constexpr int kSpinQuadrupoleVectorCount = 5;
__constant__ const std::uint16_t kSpinChiralQohReducedPacked[kSpinChiralTermCount] = {
    0x0000, 0x0020, 0x0022, 0x0031, 0x0044, 0x0046, 0x0057, 0x0064, 0x0101, 0x0103, 0x0110, 0x0112, 0x0121,
    0x0123, 0x0130, 0x0132, 0x0145, 0x0147, 0x0148, 0x0154, 0x0156, 0x0165, 0x0205, 0x0207, 0x0214, 0x0216,
    0x0225, 0x0228, 0x0234, 0x0241, 0x0243, 0x0250, 0x0252, 0x0263, 0x0306, 0x0317, 0x0324, 0x0338, 0x0340,
    0x0351, 0x0353, 0x0362, 0x0411, 0x0420, 0x0431, 0x0433, 0x0446, 0x0455, 0x0457, 0x0464};
__constant__ const float kSpinChiralQohReducedCoeff[kSpinChiralTermCount] = {
    1.0f,  -2.0f, 1.0f,  2.0f,  1.0f,  -1.0f, 2.0f,  0.5f, 1.0f, 1.0f,  1.0f,  1.0f, -4.0f, -3.0f, -4.0f, -3.0f, -0.5f,
    -2.0f, -1.0f, -1.0f, -4.0f, -0.5f, 1.0f,  -2.0f, 1.0f, 2.0f, -1.0f, -2.0f, 1.0f, -2.0f, 6.0f,  -4.0f, -8.0f, 2.0f,
    1.0f,  1.0f,  -0.5f, 1.0f,  1.0f,  -2.0f, -4.0f, 1.0f, 1.0f, 2.0f,  -2.0f, 1.0f, 1.0f,  1.0f,  -2.0f, -0.5f};

__host__ __device__ __forceinline__ int chiral_term_quadrupole(std::uint16_t packed) { return (packed >> 8) & 0xFF; }
__host__ __device__ __forceinline__ int chiral_term_octupole(std::uint16_t packed) { return (packed >> 4) & 0xF; }
__host__ __device__ __forceinline__ int chiral_term_hexadecapole(std::uint16_t packed) { return packed & 0xF; }

// A symmetric 3x3 matrix from its stored components xx, xy, xz, yy, yz, zz.
__host__ __device__ __forceinline__ void spin_symmetric_matrix(const float* packed, float m[3][3]) {
  m[0][0] = packed[0];
  m[0][1] = m[1][0] = packed[1];
  m[0][2] = m[2][0] = packed[2];
  m[1][1] = packed[3];
  m[1][2] = m[2][1] = packed[4];
  m[2][2] = packed[5];
}

// The five quadrupole components the chirality terms index, from the traceless quadrupole G.
__host__ __device__ __forceinline__ void spin_quadrupole_vector(const float* g, float* q) {
  q[0] = g[0] - g[5];
  q[1] = -g[4];
  q[2] = 0.5f * g[2];
  q[3] = g[1];
  q[4] = g[0] - g[3];
}

// The symmetric rank-3 moment T (the weighted sum of rhat_a rhat_b rhat_c) rebuilt from the polar vector P and
// the harmonic cubics O; exact for unit directions, where the cubics and the polar vector determine T.
__host__ __device__ __forceinline__ void spin_cubic_moment(const float* p, const float* o, float t[3][3][3]) {
  const float xxx = 0.6f * p[0] - 0.6f * o[4] - 0.4f * o[6];
  const float yyy = 0.6f * p[1] + 0.4f * o[0] - 0.6f * o[2];
  const float zzz = 0.6f * p[2] + 0.4f * o[1] - 0.6f * o[3];
  const float xxy = 0.2f * p[1] - 0.2f * o[0] + 0.8f * o[2];
  const float xxz = 0.2f * p[2] - 0.2f * o[1] + 0.8f * o[3];
  const float xyy = 0.2f * p[0] + 0.8f * o[4] + 0.2f * o[6];
  const float yyz = 0.2f * p[2] - 0.2f * o[1] - 0.2f * o[3];
  const float xzz = 0.2f * p[0] - 0.2f * o[4] + 0.2f * o[6];
  const float yzz = 0.2f * p[1] - 0.2f * o[0] - 0.2f * o[2];
  const float xyz = o[5];
  // Symmetric in its indices: a component depends only on how often x, y and z occur among them.
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      for (int c = 0; c < 3; ++c) {
        int count[3] = {0, 0, 0};
        ++count[a];
        ++count[b];
        ++count[c];
        float v = xyz;
        if (count[0] == 3) v = xxx;
        if (count[1] == 3) v = yyy;
        if (count[2] == 3) v = zzz;
        if (count[0] == 2) v = count[1] == 1 ? xxy : xxz;
        if (count[1] == 2) v = count[0] == 1 ? xyy : yyz;
        if (count[2] == 2) v = count[0] == 1 ? xzz : yzz;
        t[a][b][c] = v;
      }
    }
  }
}

// M = sym(Y), Y_ab = sum_cde eps_acd G_de T_ecb: the symmetric coupling of the quadrupole G (stored components)
// and the rank-3 moment T.
__host__ __device__ __forceinline__ void spin_chiral_coupling(const float* g_packed, const float t[3][3][3],
                                                              float m[3][3]) {
  float g[3][3];
  spin_symmetric_matrix(g_packed, g);
  float y[3][3];
  for (int a = 0; a < 3; ++a) {
    const int a1 = (a + 1) % 3;  // eps_{a a1 a2} = +1, eps_{a a2 a1} = -1
    const int a2 = (a + 2) % 3;
    for (int b = 0; b < 3; ++b) {
      float sum = 0.0f;
      for (int e = 0; e < 3; ++e) sum += g[a2][e] * t[e][a1][b] - g[a1][e] * t[e][a2][b];
      y[a][b] = sum;
    }
  }
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) m[a][b] = 0.5f * (y[a][b] + y[b][a]);
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
