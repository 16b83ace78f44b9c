#pragma once
// Real spherical harmonics of degree 1 to 8 and the rotation invariants built from their neighbor sums, shared by
// the device source files that handle angular descriptor terms. Only .cu files include this header; each gets
// its own copy of the constant tables.
//
// Angular index: degree l and order m occupy k = l^2 - 1 + j, with j = 0 for m = 0, j = 2m - 1 for the cosine
// part and j = 2m for the sine part of order m. With Re_m + i Im_m = (ux + i uy)^m, the harmonic of order 0 is
// Z_{l,0}(uz), the cosine part Z_{l,m}(uz) Re_m and the sine part Z_{l,m}(uz) Im_m, where Z_{l,m} is the m-th
// derivative of the Legendre polynomial P_l scaled to coprime integer coefficients with a positive leading one.
// The weights kC3B[k] = (2l + 1)/(4 pi) (l - m)!/(l + m)! c_{l,m}^2 (c_{l,m} the scale removed from Z_{l,m}) make
// q_l = sum_k kC3B[k] S_k^2 (sine and cosine parts counted twice) equal (2l + 1)/(4 pi) sum_jk g_j g_k P_l(cos).
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend::angular_harmonics {
namespace {

constexpr int kMaxDegree = 8;
constexpr int kAngularIndexCount = (kMaxDegree + 1) * (kMaxDegree + 1) - 1;  // 80

// Angular index of order 0 of degree l; the cosine and sine parts of order m follow at 2m - 1 and 2m.
__host__ __device__ constexpr int first_index_of_degree(int l) { return l * l - 1; }
// Sums kept for a largest degree l: (l + 1)^2 - 1.
__host__ __device__ constexpr int index_count_up_to_degree(int l) { return (l + 1) * (l + 1) - 1; }

// Weight of each angular index in q_l.
__constant__ const float kC3B[kAngularIndexCount] = {
    // l = 1
    0.238732412f, 0.119366206f, 0.119366206f,
    // l = 2
    0.0994718373f, 0.596831024f, 0.596831024f, 0.149207756f, 0.149207756f,
    // l = 3
    0.139260575f, 0.104445435f, 0.104445435f, 1.04445434f, 1.04445434f, 0.174075723f, 0.174075723f,
    // l = 4
    0.0111905821f, 0.223811641f, 0.223811641f, 0.111905821f, 0.111905821f, 1.5666815f, 1.5666815f,
    0.195835188f, 0.195835188f,
    // l = 5
    0.0136773782f, 0.102580331f, 0.102580331f, 2.87224936f, 2.87224936f, 0.119677059f, 0.119677059f,
    2.15418696f, 2.15418696f, 0.215418696f, 0.215418696f,
    // l = 6
    0.00404104358f, 0.169723824f, 0.169723824f, 0.106077388f, 0.106077388f, 0.424309552f, 0.424309552f,
    0.127292871f, 0.127292871f, 2.80044317f, 2.80044317f, 0.233370259f, 0.233370259f,
    // l = 7
    0.00466274237f, 0.00407989975f, 0.00407989975f, 0.0244793985f, 0.0244793985f, 0.0122396993f,
    0.0122396993f, 0.538546741f, 0.538546741f, 0.134636685f, 0.134636685f, 3.50055385f, 3.50055385f,
    0.250039577f, 0.250039577f,
    // l = 8
    8.25694005e-05f, 0.00594499661f, 0.00594499661f, 0.104037441f, 0.104037441f, 0.762941241f, 0.762941241f,
    0.114441186f, 0.114441186f, 5.95094156f, 5.95094156f, 0.141689092f, 0.141689092f, 4.25067282f,
    4.25067282f, 0.265667051f, 0.265667051f,
};

// Z_5,m(z), row m = 0..5, column p = power of z.
__constant__ const float kZ5[36] = {
    0.0f, 15.0f, 0.0f, -70.0f, 0.0f, 63.0f,
    1.0f, 0.0f, -14.0f, 0.0f, 21.0f, 0.0f,
    0.0f, -1.0f, 0.0f, 3.0f, 0.0f, 0.0f,
    -1.0f, 0.0f, 9.0f, 0.0f, 0.0f, 0.0f,
    0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
};
// Z_6,m(z), row m = 0..6, column p = power of z.
__constant__ const float kZ6[49] = {
    -5.0f, 0.0f, 105.0f, 0.0f, -315.0f, 0.0f, 231.0f,
    0.0f, 5.0f, 0.0f, -30.0f, 0.0f, 33.0f, 0.0f,
    1.0f, 0.0f, -18.0f, 0.0f, 33.0f, 0.0f, 0.0f,
    0.0f, -3.0f, 0.0f, 11.0f, 0.0f, 0.0f, 0.0f,
    -1.0f, 0.0f, 11.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
};
// Z_7,m(z), row m = 0..7, column p = power of z.
__constant__ const float kZ7[64] = {
    0.0f, -35.0f, 0.0f, 315.0f, 0.0f, -693.0f, 0.0f, 429.0f,
    -5.0f, 0.0f, 135.0f, 0.0f, -495.0f, 0.0f, 429.0f, 0.0f,
    0.0f, 15.0f, 0.0f, -110.0f, 0.0f, 143.0f, 0.0f, 0.0f,
    3.0f, 0.0f, -66.0f, 0.0f, 143.0f, 0.0f, 0.0f, 0.0f,
    0.0f, -3.0f, 0.0f, 13.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    -1.0f, 0.0f, 13.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
};
// Z_8,m(z), row m = 0..8, column p = power of z.
__constant__ const float kZ8[81] = {
    35.0f, 0.0f, -1260.0f, 0.0f, 6930.0f, 0.0f, -12012.0f, 0.0f, 6435.0f,
    0.0f, -35.0f, 0.0f, 385.0f, 0.0f, -1001.0f, 0.0f, 715.0f, 0.0f,
    -1.0f, 0.0f, 33.0f, 0.0f, -143.0f, 0.0f, 143.0f, 0.0f, 0.0f,
    0.0f, 3.0f, 0.0f, -26.0f, 0.0f, 39.0f, 0.0f, 0.0f, 0.0f,
    1.0f, 0.0f, -26.0f, 0.0f, 65.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    0.0f, -1.0f, 0.0f, 5.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    -1.0f, 0.0f, 15.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
    1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
};

// Coefficient table of Z_{l,m} for the tabulated degrees 5 to 8.
template <int L>
__device__ __forceinline__ const float* z_table() {
  static_assert(L >= 5 && L <= kMaxDegree, "degrees 1 to 4 use explicit polynomials");
  if constexpr (L == 5) return kZ5;
  if constexpr (L == 6) return kZ6;
  if constexpr (L == 7) return kZ7;
  if constexpr (L == 8) return kZ8;
}

// Z_{L,m}(z) for m = 0..L. Degrees 1 to 4 are explicit; 5 to 8 read the table, using only the powers of the
// parity of L - m (the others have zero coefficients), powers of z formed by repeated multiplication.
template <int L>
__device__ __forceinline__ void legendre_derivative_polynomials(float z, float (&zl)[L + 1]) {
  static_assert(L >= 1 && L <= kMaxDegree, "degrees 1 to 8");
  if constexpr (L == 1) {
    zl[0] = z;
    zl[1] = 1.0f;
  } else if constexpr (L == 2) {
    const float z2 = z * z;
    zl[0] = 3.0f * z2 - 1.0f;
    zl[1] = z;
    zl[2] = 1.0f;
  } else if constexpr (L == 3) {
    const float z2 = z * z;
    zl[0] = (5.0f * z2 - 3.0f) * z;
    zl[1] = 5.0f * z2 - 1.0f;
    zl[2] = z;
    zl[3] = 1.0f;
  } else if constexpr (L == 4) {
    const float z2 = z * z;
    zl[0] = (35.0f * z2 - 30.0f) * z2 + 3.0f;
    zl[1] = (7.0f * z2 - 3.0f) * z;
    zl[2] = 7.0f * z2 - 1.0f;
    zl[3] = z;
    zl[4] = 1.0f;
  } else {
    const float* table = z_table<L>();
    float power[L + 1];
    power[0] = 1.0f;
    for (int p = 1; p <= L; ++p) power[p] = power[p - 1] * z;
    for (int m = 0; m <= L; ++m) {
      float value = 0.0f;
      for (int p = (L - m) % 2; p <= L - m; p += 2) value = fmaf(table[m * (L + 1) + p], power[p], value);
      zl[m] = value;
    }
  }
}

// Re_m and Im_m of (x + i y)^m for m = 0..M.
template <int M>
struct AzimuthalPowers {
  float re[M + 1];
  float im[M + 1];
};

template <int M>
__device__ __forceinline__ AzimuthalPowers<M> azimuthal_powers(float x, float y) {
  AzimuthalPowers<M> a;
  a.re[0] = 1.0f;
  a.im[0] = 0.0f;
  for (int m = 0; m < M; ++m) {
    a.re[m + 1] = x * a.re[m] - y * a.im[m];
    a.im[m + 1] = x * a.im[m] + y * a.re[m];
  }
  return a;
}

// The 2L + 1 harmonics of degree L in angular-index order (order 0, then cosine and sine of m = 1..L).
template <int L, int M>
__device__ __forceinline__ void harmonics_of_degree(float z, const AzimuthalPowers<M>& a, float (&y)[2 * L + 1]) {
  static_assert(M >= L, "azimuthal powers up to the degree");
  float zl[L + 1];
  legendre_derivative_polynomials<L>(z, zl);
  y[0] = zl[0];
  for (int m = 1; m <= L; ++m) {
    y[2 * m - 1] = zl[m] * a.re[m];
    y[2 * m] = zl[m] * a.im[m];
  }
}

// Adds weight x Y_k(u) to sums[k] for every angular index of degree L.
template <int L, int M, int Abc>
__device__ __forceinline__ void add_degree(float weight, float z, const AzimuthalPowers<M>& a, float (&sums)[Abc]) {
  static_assert(index_count_up_to_degree(L) <= Abc, "the sums hold every index of the degree");
  float y[2 * L + 1];
  harmonics_of_degree<L>(z, a, y);
  constexpr int k0 = first_index_of_degree(L);
  for (int j = 0; j < 2 * L + 1; ++j) sums[k0 + j] = fmaf(weight, y[j], sums[k0 + j]);
}

// The largest degree whose sums all fit in Abc angular indices.
__host__ __device__ constexpr int degrees_held(int abc) {
  int l = 0;
  while (l < kMaxDegree && index_count_up_to_degree(l + 1) <= abc) ++l;
  return l;
}

// Adds weight x Y_k(u) to sums[k] for every angular index of the degrees 1..l_max (u a unit vector). Abc bounds
// the degrees compiled in; l_max, known only at run time, must not exceed what Abc holds. Every index into the
// sums is a compile-time constant, so they can stay in registers.
template <int Abc>
__device__ __forceinline__ void add_weighted_harmonics(int l_max, float weight, float ux, float uy, float uz,
                                                       float (&sums)[Abc]) {
  constexpr int kDegrees = degrees_held(Abc);
  static_assert(kDegrees >= 1, "the sums hold at least degree 1");
  const AzimuthalPowers<kDegrees> a = azimuthal_powers<kDegrees>(ux, uy);
  add_degree<1>(weight, uz, a, sums);
  if constexpr (kDegrees >= 2) if (l_max >= 2) add_degree<2>(weight, uz, a, sums);
  if constexpr (kDegrees >= 3) if (l_max >= 3) add_degree<3>(weight, uz, a, sums);
  if constexpr (kDegrees >= 4) if (l_max >= 4) add_degree<4>(weight, uz, a, sums);
  if constexpr (kDegrees >= 5) if (l_max >= 5) add_degree<5>(weight, uz, a, sums);
  if constexpr (kDegrees >= 6) if (l_max >= 6) add_degree<6>(weight, uz, a, sums);
  if constexpr (kDegrees >= 7) if (l_max >= 7) add_degree<7>(weight, uz, a, sums);
  if constexpr (kDegrees >= 8) if (l_max >= 8) add_degree<8>(weight, uz, a, sums);
}

// q_L from the sums S of one radial function: the order-0 term once, the cosine and sine terms twice.
template <int L>
__device__ __forceinline__ float invariant_q(const float* s) {
  constexpr int k0 = first_index_of_degree(L);
  float orders = 0.0f;
  for (int m = 1; m <= L; ++m) {
    const float c = s[k0 + 2 * m - 1];
    const float d = s[k0 + 2 * m];
    orders += kC3B[k0 + 2 * m - 1] * c * c + kC3B[k0 + 2 * m] * d * d;
  }
  return kC3B[k0] * s[k0] * s[k0] + 2.0f * orders;
}

// Calls emit(q_l) for l = L..l_max in ascending order, q_l read from the sums.
template <int L, int Abc, typename Emit>
__device__ __forceinline__ void for_each_q(int l_max, const float (&sums)[Abc], Emit& emit) {
  if constexpr (L <= degrees_held(Abc)) {
    if (L > l_max) return;
    emit(invariant_q<L>(sums));
    for_each_q<L + 1>(l_max, sums, emit);
  }
}

// The coupling invariants; each reads only sums of the degrees the reader guarantees for its switch.
__device__ __forceinline__ float invariant_q222(const float* s) {
  return -0.00749948062f * s[3] * s[3] * s[3] - 0.134990647f * s[3] * (s[4] * s[4] + s[5] * s[5]) +
         0.0674953237f * s[3] * (s[6] * s[6] + s[7] * s[7]) + 0.404971957f * s[6] * (s[5] * s[5] - s[4] * s[4]) -
         0.809943914f * s[4] * s[5] * s[7];
}

__device__ __forceinline__ float invariant_q1111(const float* s) {
  const float s0s0 = s[0] * s[0];
  const float transverse = s[1] * s[1] + s[2] * s[2];
  return 0.0265968107f * s0s0 * s0s0 + 0.0531936213f * s0s0 * transverse + 0.0265968107f * transverse * transverse;
}

__device__ __forceinline__ float invariant_q112(const float* s) {
  return 0.0274935514f * s[0] * s[0] * s[3] + 0.164961308f * s[0] * (s[1] * s[4] + s[2] * s[5]) -
         0.0137467757f * s[3] * (s[1] * s[1] + s[2] * s[2]) + 0.0412403271f * s[6] * (s[1] * s[1] - s[2] * s[2]) +
         0.0824806541f * s[1] * s[2] * s[7];
}

__device__ __forceinline__ float invariant_q123(const float* s) {
  return -0.016836293f * s[3] * (s[0] * s[8] + s[1] * s[9] + s[2] * s[10]) -
         0.0673451722f * s[0] * (s[4] * s[9] + s[5] * s[10]) + 0.0336725861f * s[8] * (s[1] * s[4] + s[2] * s[5]) -
         0.0841814652f * s[0] * (s[6] * s[11] + s[7] * s[12]) -
         0.16836293f * (s[1] * s[4] * s[11] + s[1] * s[5] * s[12] + s[2] * s[4] * s[12] - s[2] * s[5] * s[11]) +
         0.00841814652f * (s[1] * s[6] * s[9] + s[1] * s[7] * s[10] + s[2] * s[7] * s[9] - s[2] * s[6] * s[10]) -
         0.0420907326f * (s[1] * s[6] * s[13] + s[1] * s[7] * s[14] + s[2] * s[6] * s[14] - s[2] * s[7] * s[13]);
}

__device__ __forceinline__ float invariant_q233(const float* s) {
  return 0.00857262034f * s[3] * s[8] * s[8] + 0.00964419823f * s[3] * (s[9] * s[9] + s[10] * s[10]) -
         0.0267894398f * s[3] * (s[13] * s[13] + s[14] * s[14]) +
         0.0192883965f * s[6] * (s[9] * s[9] - s[10] * s[10]) + 0.0385767929f * s[7] * s[9] * s[10] +
         0.025717862f * s[8] * (s[4] * s[9] + s[5] * s[10]) - 0.128589302f * s[8] * (s[6] * s[11] + s[7] * s[12]) +
         0.192883968f * (s[4] * s[9] * s[11] + s[5] * s[9] * s[12] + s[4] * s[10] * s[12] - s[5] * s[10] * s[11]) +
         0.321473271f * (s[4] * s[11] * s[13] + s[5] * s[11] * s[14] + s[4] * s[12] * s[14] - s[5] * s[12] * s[13]) -
         0.0321473256f * (s[6] * s[9] * s[13] + s[7] * s[9] * s[14] + s[6] * s[10] * s[14] - s[7] * s[10] * s[13]);
}

__device__ __forceinline__ float invariant_q134(const float* s) {
  return 0.00486021908f * s[0] * s[8] * s[15] - 0.00364516419f * s[15] * (s[1] * s[9] + s[2] * s[10]) +
         0.0243010949f * s[8] * (s[1] * s[16] + s[2] * s[17]) +
         0.0364516415f * (s[0] * s[9] * s[16] + s[0] * s[10] * s[17] - s[1] * s[11] * s[16] -
                          s[1] * s[12] * s[17] - s[2] * s[12] * s[16] + s[2] * s[11] * s[17]) +
         0.0729032829f * s[0] * (s[11] * s[18] + s[12] * s[19]) +
         0.0850538313f * s[0] * (s[13] * s[20] + s[14] * s[21]) -
         0.00607527373f * (s[1] * s[13] * s[18] + s[1] * s[14] * s[19] + s[2] * s[14] * s[18] - s[2] * s[13] * s[19]) +
         0.0182258207f * (s[1] * s[9] * s[18] + s[1] * s[10] * s[19] + s[2] * s[9] * s[19] - s[2] * s[10] * s[18]) +
         0.255161494f * (s[1] * s[11] * s[20] + s[1] * s[12] * s[21] + s[2] * s[11] * s[21] - s[2] * s[12] * s[20]) +
         0.0425269157f * (s[1] * s[13] * s[22] + s[1] * s[14] * s[23] + s[2] * s[13] * s[23] - s[2] * s[14] * s[22]);
}

}  // namespace
}  // namespace quarvel::cuda_backend::angular_harmonics
