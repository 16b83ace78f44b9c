// Spin descriptor rows of spin models and the per-atom spin densities the spin force kernels read back: one
// streaming core kernel (pair sums, densities, their invariants) and, for chiral models, the chiral rows.
#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "pipeline_stages.hpp"
#include "spin_basis.cuh"
#include "spin_pair.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kSpinCoreBlock = 128;               // one block per atom; the role table below uses threads 0 .. 115
constexpr int kSpinBatchSlots = 64;               // neighbors staged in shared memory per pass
constexpr int kTapeStride = kSpinBatchSlots + 1;  // one spare column per row
constexpr int kSpinChiralBlock = 128;             // one thread per (atom, channel)
constexpr int kSpinDescriptorDimLimit = 96;

// Rows of the shared `tape`: the quantities of one neighbor, computed once by its fill thread and read by every
// role thread.
constexpr int kTapeSpin = 0;            // S_j, 3 rows
constexpr int kTapeDirection = 3;       // rhat, 3 rows
constexpr int kTapeSpinDot = 6;         // S_i . S_j
constexpr int kTapeY2 = 7;              // 5 rows
constexpr int kTapeY3 = 12;             // 7 rows
constexpr int kTapeY4 = 19;             // 9 rows
constexpr int kTapeOctupoles = 28;      // 7 rows
constexpr int kTapeHexadecapoles = 35;  // 9 rows
constexpr int kTapeOne = 44;            // the constant 1: a two-row role (a, kTapeOne) sums g_n times row a
constexpr int kTapeSpinSquare = 45;     // S_j . S_j
constexpr int kTapeDirectionSi = 46;    // rhat . S_i
constexpr int kTapeDirectionSj = 47;    // rhat . S_j
constexpr int kTapeQuadrupole = 48;     // 6 rows
constexpr int kTapeRows = 54;
constexpr int kNoTapeRow = -1;

// Offsets of each density kind in the block's `density_components`, in units of channels (kind holds all channels).
constexpr int kComponentsRho0 = 0;
constexpr int kComponentsRaw1 = 3;
constexpr int kComponentsAngular2 = 12;
constexpr int kComponentsAngular3 = 27;
constexpr int kComponentsAngular4 = 48;
constexpr int kComponentsGeom = 75;
constexpr int kComponentsRho0Dot = 81;
constexpr int kComponentsRaw1Dot = 84;
constexpr int kComponentsPerChannel = 93;

// What one thread of the core kernel accumulates.
enum class SpinRoleKind : std::int32_t {
  none,
  pair_sum,  // descriptor row 2 + q C + n
  rho0,
  raw1,
  geom,
  polar,
  octupoles,
  angular2,
  hexadecapoles,
  angular3,
  angular4,
  rho0_dot,
  raw1_dot,
};

struct SpinRole {
  SpinRoleKind kind;
  int component;  // q for pair sums, else the density component
  int rows[3];    // tape rows multiplied together; the third is kNoTapeRow for two-factor roles
};

// The fixed role of thread t: each of the first 116 threads owns one output component for all channels.
__host__ __device__ __forceinline__ SpinRole spin_role_of_thread(int t) {
  struct Range {
    int first;
    int count;
    SpinRoleKind kind;
  };
  constexpr Range kRanges[] = {
      {0, 4, SpinRoleKind::pair_sum},   {4, 3, SpinRoleKind::rho0},           {7, 9, SpinRoleKind::raw1},
      {16, 6, SpinRoleKind::geom},      {22, 3, SpinRoleKind::polar},         {25, 7, SpinRoleKind::octupoles},
      {32, 15, SpinRoleKind::angular2}, {47, 9, SpinRoleKind::hexadecapoles}, {56, 21, SpinRoleKind::angular3},
      {77, 27, SpinRoleKind::angular4}, {104, 3, SpinRoleKind::rho0_dot},     {107, 9, SpinRoleKind::raw1_dot}};
  for (const Range& range : kRanges) {
    if (t < range.first || t >= range.first + range.count) continue;
    const int k = t - range.first;
    const int m = k / 3;  // harmonic or direction index of an (m, b) density component 3m + b
    const int b = k % 3;
    switch (range.kind) {
      case SpinRoleKind::pair_sum: {
        constexpr int kPairRows[kSpinPairSumRows][2] = {{kTapeSpinDot, kTapeOne},
                                                        {kTapeSpinDot, kTapeSpinDot},
                                                        {kTapeSpinSquare, kTapeOne},
                                                        {kTapeDirectionSi, kTapeDirectionSj}};
        return {range.kind, k, {kPairRows[k][0], kPairRows[k][1], kNoTapeRow}};
      }
      case SpinRoleKind::rho0:
        return {range.kind, k, {kTapeSpin + k, kTapeOne, kNoTapeRow}};
      case SpinRoleKind::raw1:
        return {range.kind, k, {kTapeDirection + m, kTapeSpin + b, kNoTapeRow}};
      case SpinRoleKind::geom:
        return {range.kind, k, {kTapeQuadrupole + k, kTapeOne, kNoTapeRow}};
      case SpinRoleKind::polar:
        return {range.kind, k, {kTapeDirection + k, kTapeOne, kNoTapeRow}};
      case SpinRoleKind::octupoles:
        return {range.kind, k, {kTapeOctupoles + k, kTapeOne, kNoTapeRow}};
      case SpinRoleKind::angular2:
        return {range.kind, k, {kTapeY2 + m, kTapeSpin + b, kNoTapeRow}};
      case SpinRoleKind::hexadecapoles:
        return {range.kind, k, {kTapeHexadecapoles + k, kTapeOne, kNoTapeRow}};
      case SpinRoleKind::angular3:
        return {range.kind, k, {kTapeY3 + m, kTapeSpin + b, kNoTapeRow}};
      case SpinRoleKind::angular4:
        return {range.kind, k, {kTapeY4 + m, kTapeSpin + b, kNoTapeRow}};
      case SpinRoleKind::rho0_dot:
        return {range.kind, k, {kTapeSpin + k, kTapeSpinDot, kNoTapeRow}};
      case SpinRoleKind::raw1_dot:
        return {range.kind, k, {kTapeDirection + m, kTapeSpin + b, kTapeSpinDot}};
      case SpinRoleKind::none:
        break;
    }
  }
  return {SpinRoleKind::none, 0, {kNoTapeRow, kNoTapeRow, kNoTapeRow}};
}

// Whether the instantiation (L, chiral) needs a role: raw1 densities also feed the chiral rows.
template <int L, bool Chiral>
__host__ __device__ __forceinline__ bool spin_role_active(SpinRoleKind kind) {
  switch (kind) {
    case SpinRoleKind::pair_sum:
    case SpinRoleKind::rho0:
    case SpinRoleKind::geom:
    case SpinRoleKind::rho0_dot:
      return true;
    case SpinRoleKind::raw1:
    case SpinRoleKind::raw1_dot:
      return L >= 1 || Chiral;
    case SpinRoleKind::polar:
    case SpinRoleKind::octupoles:
    case SpinRoleKind::hexadecapoles:
      return Chiral;
    case SpinRoleKind::angular2:
      return L >= 2;
    case SpinRoleKind::angular3:
      return L >= 3;
    case SpinRoleKind::angular4:
      return L >= 4;
    case SpinRoleKind::none:
      return false;
  }
  return false;
}

// Arguments of the core kernel, as the driver fills them from the protocol, the model and the workspace.
struct SpinCoreArgs {
  SpinPairInputs in;
  SpinDensities<float> densities;
  float* descriptors;
};

// Destination of a density role: its array, components per channel, channels, and its kind's offset (in channels)
// in `density_components`, or -1 for the chiral arrays that the invariant rows do not read.
struct DensityTarget {
  float* array;
  int width;
  int channels;
  int components_offset;
};

template <int C>
__host__ __device__ __forceinline__ DensityTarget density_target(const SpinCoreArgs& a, SpinRoleKind kind) {
  constexpr int kChiralC = spin_chiral_channel_count(C);
  switch (kind) {
    case SpinRoleKind::rho0:
      return {a.densities.rho0, kSpinRho0Width, C, kComponentsRho0};
    case SpinRoleKind::raw1:
      return {a.densities.raw1, kSpinRaw1Width, C, kComponentsRaw1};
    case SpinRoleKind::geom:
      return {a.densities.geom, kSpinGeomWidth, C, kComponentsGeom};
    case SpinRoleKind::polar:
      return {a.densities.polar, kSpinPolarWidth, C, -1};
    case SpinRoleKind::octupoles:
      return {a.densities.octupoles, kSpinOctupoleWidth, C, -1};
    case SpinRoleKind::angular2:
      return {a.densities.angular2, kSpinAngular2Width, C, kComponentsAngular2};
    case SpinRoleKind::hexadecapoles:
      return {a.densities.hexadecapoles, kSpinHexadecapoleWidth, kChiralC, -1};
    case SpinRoleKind::angular3:
      return {a.densities.angular3, kSpinAngular3Width, C, kComponentsAngular3};
    case SpinRoleKind::angular4:
      return {a.densities.angular4, kSpinAngular4Width, C, kComponentsAngular4};
    case SpinRoleKind::rho0_dot:
      return {a.densities.rho0_dot, kSpinRho0DotWidth, C, kComponentsRho0Dot};
    case SpinRoleKind::raw1_dot:
      return {a.densities.raw1_dot, kSpinRaw1DotWidth, C, kComponentsRaw1Dot};
    case SpinRoleKind::pair_sum:
    case SpinRoleKind::none:
      break;
  }
  return {nullptr, 0, 0, -1};
}

__device__ __forceinline__ float dot3(const float* u, const float* v) {
  return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

__device__ __forceinline__ float sum_of_squares(const float* v, int count) {
  float sum = 0.0f;
  for (int k = 0; k < count; ++k) sum = fmaf(v[k], v[k], sum);
  return sum;
}

// The invariant rows of channel n (rho0 norm onwards, up to the chiral block) from the atom's finished densities.
template <int C, int L>
__device__ __forceinline__ void write_spin_invariant_rows(const SpinCoreArgs& a, int atom, int n, const float* si,
                                                          const float* components) {
  constexpr SpinCoreLayout kLayout = spin_core_layout(C, L, false);
  const auto channel_of = [&](int kind_offset, int width) { return components + kind_offset * C + n * width; };
  const auto store = [&](int block_row, float value) {
    a.descriptors[soa(a.in.first_spin_row + block_row + n, atom, a.in.capacity)] = value;
  };
  const float* rho0 = channel_of(kComponentsRho0, kSpinRho0Width);
  store(kLayout.rho0_norm_row, dot3(rho0, rho0));
  if constexpr (L >= 1) {
    const float* r = channel_of(kComponentsRaw1, kSpinRaw1Width);  // R_ab at 3a + b
    const float trace = r[0] + r[4] + r[8];
    store(kLayout.raw1_trace_row, trace * trace);
    const float ayz = r[5] - r[7];
    const float azx = r[6] - r[2];
    const float axy = r[1] - r[3];
    store(kLayout.raw1_antisymmetric_row, ayz * ayz + azx * azx + axy * axy);
    float symmetric = 0.0f;
    for (int p = 0; p < 3; ++p) {
      for (int q = 0; q < 3; ++q) {
        float s = 0.5f * (r[3 * p + q] + r[3 * q + p]);
        if (p == q) s -= trace / 3.0f;
        symmetric = fmaf(s, s, symmetric);
      }
    }
    store(kLayout.raw1_symmetric_row, symmetric);
  }
  if constexpr (L >= 2) {
    store(kLayout.angular2_norm_row,
          sum_of_squares(channel_of(kComponentsAngular2, kSpinAngular2Width), kSpinAngular2Width));
  }
  if constexpr (L >= 3) {
    store(kLayout.angular3_norm_row,
          sum_of_squares(channel_of(kComponentsAngular3, kSpinAngular3Width), kSpinAngular3Width));
  }
  if constexpr (L >= 4) {
    store(kLayout.angular4_norm_row,
          sum_of_squares(channel_of(kComponentsAngular4, kSpinAngular4Width), kSpinAngular4Width));
  }
  const float* g = channel_of(kComponentsGeom, kSpinGeomWidth);
  const float cross = g[1] * si[0] * si[1] + g[2] * si[0] * si[2] + g[4] * si[1] * si[2];
  store(kLayout.geom_row, g[0] * si[0] * si[0] + g[3] * si[1] * si[1] + g[5] * si[2] * si[2] + 2.0f * cross);
  store(kLayout.rho0_dot_row, dot3(rho0, channel_of(kComponentsRho0Dot, kSpinRho0DotWidth)));
  if constexpr (L >= 1) {
    const float* r = channel_of(kComponentsRaw1, kSpinRaw1Width);
    const float* rd = channel_of(kComponentsRaw1Dot, kSpinRaw1DotWidth);
    float sum = 0.0f;
    for (int k = 0; k < kSpinRaw1Width; ++k) sum = fmaf(r[k], rd[k], sum);
    store(kLayout.raw1_dot_row, sum);
  }
}

// Fill of one tape column: the quantities of the neighbor in `slot` of the current batch, or zeros when the
// neighbor is not counted (spinless environment type, coincident, at or beyond the cutoff, or non-finite).
template <int C, int L, bool Chiral>
__device__ __forceinline__ void fill_spin_tape_column(const SpinCoreArgs& a, int atom, int centre_type, const float* si,
                                                      int list_slot, int column, float (*tape)[kTapeStride],
                                                      float (*weights)[kTapeStride]) {
  const int j = __ldg(&a.in.nl_radial_slot_major[soa(list_slot, atom, a.in.capacity)]);
  SpinPair pair;
  if (!spin_pair_of(a.in, atom, j, pair)) {
    for (int row = 0; row < kTapeRows; ++row) tape[row][column] = 0.0f;
    for (int n = 0; n < C; ++n) weights[n][column] = 0.0f;
    return;
  }
  float g[C];
  spin_pair_weights<C, false>(a.in, centre_type, pair, g, nullptr);
  for (int n = 0; n < C; ++n) weights[n][column] = g[n];
  const float* rhat = pair.u;
  const float* sj = pair.sj;
  for (int c = 0; c < 3; ++c) {
    tape[kTapeSpin + c][column] = sj[c];
    tape[kTapeDirection + c][column] = rhat[c];
  }
  tape[kTapeSpinDot][column] = dot3(si, sj);
  tape[kTapeOne][column] = 1.0f;
  tape[kTapeSpinSquare][column] = dot3(sj, sj);
  tape[kTapeDirectionSi][column] = dot3(rhat, si);
  tape[kTapeDirectionSj][column] = dot3(rhat, sj);
  float values[kSpinHexadecapoleWidth];
  spin_direction_quadrupole(rhat, values);
  for (int k = 0; k < kSpinGeomWidth; ++k) tape[kTapeQuadrupole + k][column] = values[k];
  if constexpr (L >= 2) {
    real_spherical_harmonics_spinf(rhat, 2, values);
    for (int m = 0; m < kSpinY2Count; ++m) tape[kTapeY2 + m][column] = values[m];
  }
  if constexpr (L >= 3) {
    real_spherical_harmonics_spinf(rhat, 3, values);
    for (int m = 0; m < kSpinY3Count; ++m) tape[kTapeY3 + m][column] = values[m];
  }
  if constexpr (L >= 4) {
    real_spherical_harmonics_spinf(rhat, 4, values);
    for (int m = 0; m < kSpinY4Count; ++m) tape[kTapeY4 + m][column] = values[m];
  }
  if constexpr (Chiral) {
    spin_direction_octupoles(rhat, values);
    for (int k = 0; k < kSpinOctupoleWidth; ++k) tape[kTapeOctupoles + k][column] = values[k];
    spin_direction_hexadecapoles(rhat, values);
    for (int k = 0; k < kSpinHexadecapoleWidth; ++k) tape[kTapeHexadecapoles + k][column] = values[k];
  }
}

// One block per atom. Neighbors stream through shared memory 64 at a time: one fill thread per slot computes
// the neighbor's geometry, harmonics and spin products once, then each role thread sums its own product of tape
// rows over the slots for every channel, so no reduction between threads is needed and every sum runs in slot
// order.
template <int C, int L, bool Chiral>
__global__ void __launch_bounds__(kSpinCoreBlock, 1) build_spin_descriptor_core_streaming(SpinCoreArgs a) {
  __shared__ float tape[kTapeRows][kTapeStride];
  __shared__ float weights[C][kTapeStride];
  __shared__ float density_components[kComponentsPerChannel * C];
  const int atom = static_cast<int>(blockIdx.x);
  if (atom >= a.in.atom_count) return;
  const int t = static_cast<int>(threadIdx.x);
  const int centre_type = a.in.types[atom];
  const bool has_spin = carries_spin(a.in, atom);
  float si[3];
  for (int c = 0; c < 3; ++c) si[c] = static_cast<float>(a.in.spins_soa3[soa(c, atom, a.in.capacity)]);
  if (t == 0) {
    const float onsite = has_spin ? dot3(si, si) : 0.0f;
    a.descriptors[soa(a.in.first_spin_row, atom, a.in.capacity)] = onsite;
    a.descriptors[soa(a.in.first_spin_row + 1, atom, a.in.capacity)] = onsite * onsite;
  }
  const SpinRole role = spin_role_of_thread(t);
  const bool active = spin_role_active<L, Chiral>(role.kind);
  const int role_channels = role.kind == SpinRoleKind::hexadecapoles ? spin_chiral_channel_count(C) : C;
  float acc[C];
  for (int n = 0; n < C; ++n) acc[n] = 0.0f;
  const int count = has_spin ? a.in.nn_radial[atom] : 0;
  const int batches = count > kSpinBatchSlots ? (count + kSpinBatchSlots - 1) / kSpinBatchSlots : 1;
  for (int batch = 0; batch < batches; ++batch) {
    const int first = batch * kSpinBatchSlots;
    const int slots = count - first < kSpinBatchSlots ? count - first : kSpinBatchSlots;
    if (t < slots) fill_spin_tape_column<C, L, Chiral>(a, atom, centre_type, si, first + t, t, tape, weights);
    __syncthreads();
    if (active) {
      for (int s = 0; s < slots; ++s) {
        float product = tape[role.rows[0]][s] * tape[role.rows[1]][s];
        if (role.rows[2] != kNoTapeRow) product *= tape[role.rows[2]][s];
        for (int n = 0; n < role_channels; ++n) acc[n] = fmaf(product, weights[n][s], acc[n]);
      }
    }
    if (active && batch + 1 == batches) {
      if (role.kind == SpinRoleKind::pair_sum) {
        for (int n = 0; n < C; ++n) {
          const int row = kSpinOnsiteRows + role.component * C + n;
          a.descriptors[soa(a.in.first_spin_row + row, atom, a.in.capacity)] = acc[n];
        }
      } else {
        const DensityTarget target = density_target<C>(a, role.kind);
        for (int n = 0; n < target.channels; ++n) {
          target.array[spin_density_index(atom, n, target.channels, target.width, role.component)] = acc[n];
          if (target.components_offset >= 0) {
            density_components[target.components_offset * C + n * target.width + role.component] = acc[n];
          }
        }
      }
    }
    __syncthreads();
  }
  if (t < C) write_spin_invariant_rows<C, L>(a, atom, t, si, density_components);
}

// Arguments of the chiral kernel.
struct SpinChiralArgs {
  int atom_count;
  int capacity;
  int structural_descriptor_dim;
  SpinCoreLayout layout;
  const double* spins_soa3;
  SpinDensities<const float> densities;
  float* spin_chiral_chirals;
  float* descriptors;
};

// One thread per (atom, channel): the chirality (channels below two), polar and coupling rows from the moments
// the core kernel left in the workspace.
template <int C>
__global__ void build_spin_chiral_descriptors_f32(SpinChiralArgs a) {
  constexpr int kChiralC = spin_chiral_channel_count(C);
  const int g = static_cast<int>(blockIdx.x) * kSpinChiralBlock + static_cast<int>(threadIdx.x);
  const int atom = g / C;
  const int ch = g - C * atom;
  if (atom >= a.atom_count) return;
  float geom[kSpinGeomWidth];
  float polar[kSpinPolarWidth];
  float octupoles[kSpinOctupoleWidth];
  float raw1[kSpinRaw1Width];
  for (int k = 0; k < kSpinGeomWidth; ++k) {
    geom[k] = __ldg(&a.densities.geom[spin_density_index(atom, ch, C, kSpinGeomWidth, k)]);
  }
  for (int k = 0; k < kSpinPolarWidth; ++k) {
    polar[k] = __ldg(&a.densities.polar[spin_density_index(atom, ch, C, kSpinPolarWidth, k)]);
  }
  for (int k = 0; k < kSpinOctupoleWidth; ++k) {
    octupoles[k] = __ldg(&a.densities.octupoles[spin_density_index(atom, ch, C, kSpinOctupoleWidth, k)]);
  }
  for (int k = 0; k < kSpinRaw1Width; ++k) {
    raw1[k] = __ldg(&a.densities.raw1[spin_density_index(atom, ch, C, kSpinRaw1Width, k)]);
  }
  float s[3];
  for (int c = 0; c < 3; ++c) s[c] = static_cast<float>(a.spins_soa3[soa(c, atom, a.capacity)]);
  const auto store = [&](int row, float value) {
    a.descriptors[soa(a.structural_descriptor_dim + row, atom, a.capacity)] = value;
  };
  if (ch < kChiralC) {
    float q[kSpinQuadrupoleVectorCount];
    spin_quadrupole_vector(geom, q);
    float h[kSpinHexadecapoleWidth];
    for (int k = 0; k < kSpinHexadecapoleWidth; ++k) {
      h[k] = __ldg(&a.densities.hexadecapoles[spin_density_index(atom, ch, kChiralC, kSpinHexadecapoleWidth, k)]);
    }
    float chi = 0.0f;
    for (int term = 0; term < kSpinChiralTermCount; ++term) {
      const std::uint16_t packed = kSpinChiralQohReducedPacked[term];
      chi = fmaf((kSpinChiralQohReducedCoeff[term] * q[chiral_term_quadrupole(packed)]) *
                     octupoles[chiral_term_octupole(packed)],
                 h[chiral_term_hexadecapole(packed)], chi);
    }
    a.spin_chiral_chirals[aos(ch, atom, kChiralC)] = chi;
    // a = axial vector of R: (R_yz - R_zy, R_zx - R_xz, R_xy - R_yx)
    const float axial[3] = {raw1[5] - raw1[7], raw1[6] - raw1[2], raw1[1] - raw1[3]};
    store(a.layout.chiral_row + ch, -chi * dot3(axial, s));
  }
  float cubic[3][3][3];
  spin_cubic_moment(polar, octupoles, cubic);
  float coupling[3][3];
  spin_chiral_coupling(geom, cubic, coupling);
  // P . (trace(R) S - R^T S)
  const float trace = raw1[0] + raw1[4] + raw1[8];
  float polar_row = 0.0f;
  for (int b = 0; b < 3; ++b) {
    float rts = 0.0f;
    for (int c = 0; c < 3; ++c) rts += raw1[3 * c + b] * s[c];
    polar_row += polar[b] * (trace * s[b] - rts);
  }
  store(a.layout.chiral_row + kChiralC + ch, polar_row);
  // sum_ab M_ab (S x R_a)_b, R_a = row a of R
  float coupling_row = 0.0f;
  for (int p = 0; p < 3; ++p) {
    const float* ra = raw1 + 3 * p;
    const float cross[3] = {s[1] * ra[2] - s[2] * ra[1], s[2] * ra[0] - s[0] * ra[2], s[0] * ra[1] - s[1] * ra[0]};
    for (int b = 0; b < 3; ++b) coupling_row += coupling[p][b] * cross[b];
  }
  store(a.layout.chiral_row + kChiralC + C + ch, coupling_row);
}

SpinCoreArgs make_spin_core_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                 const DeviceModelView& m, const DeviceWorkspaceView& w) {
  return SpinCoreArgs{make_spin_pair_inputs(protocol, atom_count, box, m, w), make_spin_densities<float>(w),
                      w.descriptors};
}

template <int C, int L, bool Chiral>
void launch_spin_descriptor_core(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                 const DeviceModelView& m, const DeviceWorkspaceView& w) {
  launch_kernel<build_spin_descriptor_core_streaming<C, L, Chiral>>(
      dim3(static_cast<unsigned>(atom_count)), dim3(kSpinCoreBlock), 0,
      make_spin_core_args(protocol, atom_count, box, m, w));
}

template <int C, int L>
void launch_spin_descriptor_shape(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                  const DeviceModelView& m, const DeviceWorkspaceView& w,
                                  const SpinCoreLayout& layout) {
  if (protocol.spin_chiral == 0) return launch_spin_descriptor_core<C, L, false>(protocol, atom_count, box, m, w);
  launch_spin_descriptor_core<C, L, true>(protocol, atom_count, box, m, w);
  const SpinChiralArgs args{atom_count,
                            static_cast<int>(w.atom_capacity),
                            protocol.structural_descriptor_dim,
                            layout,
                            w.spins_soa3,
                            make_spin_densities<const float>(w),
                            w.spin_chiral_chirals,
                            w.descriptors};
  launch_kernel<build_spin_chiral_descriptors_f32<C>>(dim3((atom_count * C + kSpinChiralBlock - 1) / kSpinChiralBlock),
                                                      dim3(kSpinChiralBlock), 0, args);
}

template <int C>
void launch_spin_descriptor_lmax(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                 const DeviceModelView& m, const DeviceWorkspaceView& w, const SpinCoreLayout& layout) {
  switch (protocol.spin_l_max) {  // the angular order becomes a template argument here only
    case 0:
      return launch_spin_descriptor_shape<C, 0>(protocol, atom_count, box, m, w, layout);
    case 1:
      return launch_spin_descriptor_shape<C, 1>(protocol, atom_count, box, m, w, layout);
    case 2:
      return launch_spin_descriptor_shape<C, 2>(protocol, atom_count, box, m, w, layout);
    case 3:
      return launch_spin_descriptor_shape<C, 3>(protocol, atom_count, box, m, w, layout);
    case 4:
      return launch_spin_descriptor_shape<C, 4>(protocol, atom_count, box, m, w, layout);
    default:
      break;
  }
  throw std::runtime_error("CUDA spin core supports l_max from 0 to 4");
}

void launch_spin_descriptors(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                             const DeviceModelView& m, const DeviceWorkspaceView& w, const SpinCoreLayout& layout) {
  switch (protocol.spin_compress) {  // the channel count becomes a template argument here only
    case 1:
      return launch_spin_descriptor_lmax<1>(protocol, atom_count, box, m, w, layout);
    case 2:
      return launch_spin_descriptor_lmax<2>(protocol, atom_count, box, m, w, layout);
    case 3:
      return launch_spin_descriptor_lmax<3>(protocol, atom_count, box, m, w, layout);
    case 4:
      return launch_spin_descriptor_lmax<4>(protocol, atom_count, box, m, w, layout);
    default:
      break;
  }
  throw std::runtime_error("CUDA spin core supports 1 to 4 channels");
}

}  // namespace

void build_spin_descriptors_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                      const DeviceModel& model, DeviceWorkspace& workspace) {
  const int c = protocol.spin_compress;
  const int b = protocol.spin_basis_size_radial;
  const int l = protocol.spin_l_max;
  // Unsigned comparisons make negative values fail the upper bounds.
  const auto at_most = [](int value, unsigned limit) { return static_cast<unsigned>(value) <= limit; };
  require(protocol.spin_mode != 0, "spin descriptor requires spin model");
  require(c >= 1 && c <= kSpinMaxChannels && c <= b + 1 && b + 1 <= kSpinMaxBasisCount && l >= 0 &&
              l <= kSpinMaxAngularOrder,
          "CUDA spin core requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= 8, and "
          "spin_l_max <= 4");
  require(protocol.spin_descriptor_dim > 0, "spin descriptor dimension must be positive");
  require(protocol.spin_descriptor_dim <= kSpinDescriptorDimLimit,
          "spin descriptor kernel supports spin descriptor dim <= 96");
  require(c >= 1 && c <= kSpinMaxChannels, "spin descriptor kernel supports spin_compress <= 4");
  require(at_most(b, kSpinMaxBasisCount - 1), "spin descriptor kernel supports spin_basis_size + 1 <= 8");
  require(at_most(l, kSpinMaxAngularOrder), "spin descriptor kernel supports spin_l_max <= 4");
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  const SpinCoreLayout layout = make_spin_core_layout(protocol);
  require(layout.total_rows == protocol.spin_descriptor_dim, "spin descriptor layout does not match model protocol");
  require_atom_capacity(atom_count, w);
  require_spin_pair_arrays(m, w);
  require(w.descriptors != nullptr, "workspace missing descriptors");
  require(w.spin_density_rho0 != nullptr, "workspace missing spin density rho0");
  require(w.spin_density_raw1 != nullptr, "workspace missing spin density raw1");
  require(l < 2 || w.spin_density_angular2 != nullptr, "workspace missing spin density angular2");
  require(l < 3 || w.spin_density_angular3 != nullptr, "workspace missing spin density angular3");
  require(l < 4 || w.spin_density_angular4 != nullptr, "workspace missing spin density angular4");
  require(w.spin_density_geom != nullptr, "workspace missing spin density geom");
  require(w.spin_density_rho0_dot != nullptr, "workspace missing spin density rho0 dot");
  require(w.spin_density_raw1_dot != nullptr, "workspace missing spin density raw1 dot");
  if (protocol.spin_chiral != 0) {
    require(w.spin_chiral_polar != nullptr, "workspace missing spin chiral polar");
    require(w.spin_chiral_octupoles_raw != nullptr, "workspace missing spin chiral octupoles raw");
    require(w.spin_chiral_hexadecapoles_raw != nullptr, "workspace missing spin chiral hexadecapoles raw");
    require(w.spin_chiral_chirals != nullptr, "workspace missing spin chiral chirals");
  }
  require_spin_coefficients(protocol, m);
  if (atom_count > 0) launch_spin_descriptors(protocol, atom_count, box, m, w, layout);
  check_cuda(cudaGetLastError(), "build spin descriptors kernel launch failed");
}

}  // namespace quarvel::cuda_backend
