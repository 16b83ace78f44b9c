// Spin forces of a spin model: the onsite magnetic forces of the two |S|^2 rows, the density forces that carry
// the network's derivatives of the density rows back to each neighbour pair, the chiral forces, and the final
// masking of magnetic forces on atoms without a spin degree of freedom. The magnetic force is -dE/dS.
#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "pipeline_stages.hpp"
#include "spin_basis.cuh"
#include "spin_pair.cuh"
#include "virial_layout.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

// What a spin force kernel does with the per-atom virial of each pair (component ab = -d_a F_b).
enum class SpinVirialMode : std::int32_t {
  none = 0,          // no virial
  fp64_owner = 1,    // summed per centre atom, one plain double read-add-write
  fp64_scatter = 2,  // booked on the neighbour with double atomics
  float_sink = 3,    // as fp64_owner, plus the neighbour's float sink with float atomics
};

constexpr unsigned kFullWarp = 0xffffffffu;
constexpr int kWarpLanes = 32;
constexpr int kSpinOnsiteBlock = 128;      // one thread per atom
constexpr int kDensityAtomsPerBlock = 4;   // one warp serves four centre atoms...
constexpr int kDensityLanesPerAtom = 8;    // ...with eight lanes sharing each atom's neighbour list
constexpr int kDensityMinBlocksPerSm = 8;  // small static slabs keep many warps resident
constexpr int kSpinAxes = 3;
constexpr int kGeomComponents = 6;  // xx, xy, xz, yy, yz, zz
constexpr int kRaw1Components = 9;  // 3a + b: bond direction a times neighbour spin b
constexpr int kSpinTransferComponents = 9;

// Row of the order's angular norm (2, 3 or 4) in a layout.
__host__ __device__ constexpr int angular_norm_row(const SpinCoreLayout& layout, int order) {
  return order == 2 ? layout.angular2_norm_row : (order == 3 ? layout.angular3_norm_row : layout.angular4_norm_row);
}
__host__ __device__ constexpr int spin_harmonic_count(int order) { return 2 * order + 1; }

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

// Per-atom slab of the density phase: dE/d(density component) of every density of the centre atom, grouped by
// kind with all channels of a kind together (channel ch of a kind at kind start + Z ch), one spare float.
template <int C>
struct DensitySlab {
  static constexpr int rho0 = 0;
  static constexpr int raw1 = 3 * C;
  static constexpr int angular2 = 12 * C;
  static constexpr int angular3 = 27 * C;
  static constexpr int angular4 = 48 * C;
  static constexpr int geom = 75 * C;
  static constexpr int rho0_dot = 81 * C;
  static constexpr int raw1_dot = 84 * C;
  static constexpr int floats = 93 * C + 1;
  __host__ __device__ static constexpr int angular(int order) { return order == 2 ? angular2 : (order == 3 ? angular3 : angular4); }
};
__host__ __device__ constexpr int angular_density_components(int order) { return kSpinAxes * spin_harmonic_count(order); }

// Double-precision (a, b) index pairs of the six geom components.
__host__ __device__ constexpr int geom_row_axis(int k) { return k < 3 ? 0 : (k < 5 ? 1 : 2); }
__host__ __device__ constexpr int geom_column_axis(int k) { return k < 3 ? k : (k < 5 ? k - 2 : 2); }

// ---------------------------------------------------------------------------------------------------------------
// Onsite phase and masking.

__global__ void __launch_bounds__(kSpinOnsiteBlock)
    accumulate_spin_onsite_mforces(int atom_count, int capacity, int first_spin_row, int num_types,
                                   const std::int32_t* types, const std::int32_t* spin_dof_type_active,
                                   const double* spins_soa3, const float* fp, double* mforce_soa3) {
  const std::int64_t thread = global_thread_x();
  if (thread >= atom_count) return;
  const int i = static_cast<int>(thread);
  if (!carries_spin(types, spin_dof_type_active, num_types, i)) return;
  const double sx = spins_soa3[soa(0, i, capacity)];
  const double sy = spins_soa3[soa(1, i, capacity)];
  const double sz = spins_soa3[soa(2, i, capacity)];
  const double s2 = (sy * sy + sx * sx) + sz * sz;
  const double g0 = static_cast<double>(__ldg(&fp[soa(first_spin_row, i, capacity)]));
  const double g1 = static_cast<double>(__ldg(&fp[soa(first_spin_row + 1, i, capacity)]));
  // d|S|^2/dS = 2S and d|S|^4/dS = 4|S|^2 S.
  const double factor = 2.0 * g0 + 4.0 * g1 * s2;
  mforce_soa3[soa(0, i, capacity)] = mforce_soa3[soa(0, i, capacity)] - sx * factor;
  mforce_soa3[soa(1, i, capacity)] = mforce_soa3[soa(1, i, capacity)] - sy * factor;
  mforce_soa3[soa(2, i, capacity)] = mforce_soa3[soa(2, i, capacity)] - sz * factor;
}

__global__ void __launch_bounds__(kSpinOnsiteBlock)
    mask_inactive_spin_mforces(int atom_count, int capacity, int num_types, const std::int32_t* types,
                               const std::int32_t* spin_dof_type_active, double* mforce_soa3) {
  const std::int64_t thread = global_thread_x();
  if (thread >= atom_count) return;
  const int i = static_cast<int>(thread);
  if (carries_spin(types, spin_dof_type_active, num_types, i)) return;
  for (int c = 0; c < kSpinAxes; ++c) mforce_soa3[soa(c, i, capacity)] = 0.0;
}

// ---------------------------------------------------------------------------------------------------------------
// Density phase.

// What the density and chiral force kernels write: forces, magnetic forces, virials (double, and the float sink of
// the device LAMMPS road) and the spin transfer.
struct SpinForceOutputs {
  double* force_soa3;
  double* mforce_soa3;
  double* virial_soa9;
  float* per_atom_virial_float_soa9;
  float* spin_transfer_soa9;
};

SpinForceOutputs make_spin_force_outputs(const DeviceWorkspaceView& w) {
  return {w.force_soa3, w.mforce_soa3, w.virial_soa9, w.per_atom_virial_float_soa9, w.spin_transfer_soa9};
}

// Everything the density force kernel reads and writes.
struct SpinDensityForceArgs {
  SpinPairInputs in;
  const float* fp;
  SpinDensities<const float> densities;
  SpinForceOutputs out;
};

__device__ __forceinline__ const float* angular_density(const SpinDensityForceArgs& a, int order) {
  return order == 2 ? a.densities.angular2 : (order == 3 ? a.densities.angular3 : a.densities.angular4);
}

// The centre's derivative of its energy with respect to every density component it has (the slab), filled by the
// slot's lanes together; components k = lane, lane + Lanes, ... of each kind.
template <int C, int L, int Lanes>
__device__ __forceinline__ void fill_density_slab(const SpinDensityForceArgs& a, int i, int lane,
                                                  const double* spin_i, float* slab) {
  using Slab = DensitySlab<C>;
  const int A = a.in.capacity;
  const int D0 = a.in.first_spin_row;
  auto row = [&](int r) { return __ldg(&a.fp[soa(D0 + r, i, A)]); };
  for (int k = lane; k < kSpinAxes * C; k += Lanes) {
    const int ch = k / kSpinAxes;
    const std::size_t at = static_cast<std::size_t>(i) * kSpinAxes * C + k;
    const float g_rho = row(spin_core_layout(C, L, false).rho0_norm_row + ch);
    const float g_rdot = row(spin_core_layout(C, L, false).rho0_dot_row + ch);
    const float rho0 = __ldg(&a.densities.rho0[at]);
    slab[Slab::rho0 + k] = 2.0f * g_rho * rho0 + g_rdot * __ldg(&a.densities.rho0_dot[at]);
    slab[Slab::rho0_dot + k] = g_rdot * rho0;
  }
  if constexpr (L >= 1) {
    for (int k = lane; k < kRaw1Components * C; k += Lanes) {
      const int ch = k / kRaw1Components;
      const int comp = k - kRaw1Components * ch;
      const int ra = comp / kSpinAxes;
      const int rb = comp - kSpinAxes * ra;
      const std::size_t base = (static_cast<std::size_t>(i) * C + ch) * kRaw1Components;
      const float* r = a.densities.raw1 + base;
      const float r_ab = __ldg(&r[kSpinAxes * ra + rb]);
      const float r_ba = __ldg(&r[kSpinAxes * rb + ra]);
      float sym = 0.5f * (r_ab + r_ba);
      float h;
      if (ra == rb) {
        const float trace = (__ldg(&r[0]) + __ldg(&r[4])) + __ldg(&r[8]);
        h = 2.0f * row(spin_core_layout(C, L, false).raw1_trace_row + ch) * trace;
        sym = sym + trace / (-3.0f);
      } else {
        h = 2.0f * row(spin_core_layout(C, L, false).raw1_antisymmetric_row + ch) * (r_ab - r_ba);
      }
      const float g_rdot = row(spin_core_layout(C, L, false).raw1_dot_row + ch);
      const float g_sym = row(spin_core_layout(C, L, false).raw1_symmetric_row + ch);
      slab[Slab::raw1 + k] = 2.0f * g_sym * sym + h + g_rdot * __ldg(&a.densities.raw1_dot[base + comp]);
      slab[Slab::raw1_dot + k] = g_rdot * r_ab;
    }
  }
  for (int order = 2; order <= L; ++order) {
    const int z = angular_density_components(order);
    const float* density = angular_density(a, order);
    for (int k = lane; k < z * C; k += Lanes) {
      const float g = row(angular_norm_row(spin_core_layout(C, L, false), order) + k / z);
      slab[Slab::angular(order) + k] = (g + g) * __ldg(&density[static_cast<std::size_t>(i) * z * C + k]);
    }
  }
  const double s2 = spin_i[0] * spin_i[0] + spin_i[1] * spin_i[1] + spin_i[2] * spin_i[2];
  for (int k = lane; k < kGeomComponents * C; k += Lanes) {
    const int ch = k / kGeomComponents;
    const int comp = k - kGeomComponents * ch;
    const int ga = geom_row_axis(comp);
    const int gb = geom_column_axis(comp);
    double value = spin_i[ga] * spin_i[gb];
    if (ga == gb) value -= s2 / 3.0;  // the geom density is traceless
    slab[Slab::geom + k] = static_cast<float>(static_cast<double>(row(spin_core_layout(C, L, false).geom_row + ch)) * value);
  }
}

// Component `axis` of minus the derivative of the geom rows S.G.S with respect to the centre's own spin.
template <int C, int L>
__device__ __forceinline__ double geom_onsite_mforce(const SpinDensityForceArgs& a, int i, int axis,
                                                     const double* spin_i) {
  double m = 0.0;
  for (int ch = 0; ch < C; ++ch) {
    const float* g = a.densities.geom + (static_cast<std::size_t>(i) * C + ch) * kGeomComponents;
    const double gx = static_cast<double>(__ldg(&g[axis == 0 ? 0 : (axis == 1 ? 1 : 2)]));
    const double gy = static_cast<double>(__ldg(&g[axis == 0 ? 1 : (axis == 1 ? 3 : 4)]));
    const double gz = static_cast<double>(__ldg(&g[axis == 0 ? 2 : (axis == 1 ? 4 : 5)]));
    const int row = a.in.first_spin_row + spin_core_layout(C, L, false).geom_row + ch;
    const double weight = static_cast<double>(__ldg(&a.fp[soa(row, i, a.in.capacity)]));
    m -= weight * (2.0 * gx * spin_i[0] + 2.0 * gy * spin_i[1] + 2.0 * gz * spin_i[2]);
  }
  return m;
}

// The terms of one pair (centre i, neighbour j at unit direction u, distance r) of every channel: the derivatives
// of E_i with respect to each edge weight, to S_i.S_j, to u (components independent), to S_i and to S_j.
struct DensityPairTerms {
  float e_r = 0.0f;  // sum over channels of dE/dg times dg/dr
  float e_u[kSpinAxes] = {0.0f, 0.0f, 0.0f};
  float e_si[kSpinAxes] = {0.0f, 0.0f, 0.0f};
  float e_sj[kSpinAxes] = {0.0f, 0.0f, 0.0f};
};

template <int C, int L>
__device__ __forceinline__ DensityPairTerms density_pair_terms(const float* slab, const float* row_a0,
                                                              const float* u, const float* si, const float* sj,
                                                              const float* g, const float* dg) {
  using Slab = DensitySlab<C>;
  DensityPairTerms t;
  const float dot = si[0] * sj[0] + si[1] * sj[1] + si[2] * sj[2];
  const float s2 = sj[0] * sj[0] + sj[1] * sj[1] + sj[2] * sj[2];
  const float ui = u[0] * si[0] + u[1] * si[1] + u[2] * si[2];
  const float uj = u[0] * sj[0] + u[1] * sj[1] + u[2] * sj[2];
  float e_dot = 0.0f;
  for (int ch = 0; ch < C; ++ch) {
    const float a0 = row_a0[ch];
    const float a1 = row_a0[C + ch];
    const float a2 = row_a0[2 * C + ch];
    const float a3 = row_a0[3 * C + ch];
    const float* rho0p = slab + Slab::rho0 + kSpinAxes * ch;
    const float* rdotp = slab + Slab::rho0_dot + kSpinAxes * ch;
    float p[kSpinAxes];
    float m[kSpinAxes][kSpinAxes] = {};
    for (int c = 0; c < kSpinAxes; ++c) p[c] = rho0p[c] + dot * rdotp[c];
    float e_g = a0 * dot + a1 * dot * dot + a2 * s2 + a3 * ui * uj;
    float dot_part = a0 + 2.0f * a1 * dot;
    for (int c = 0; c < kSpinAxes; ++c) {
      e_g += p[c] * sj[c];
      dot_part += rdotp[c] * sj[c];
    }
    if constexpr (L >= 1) {
      const float* raw1p = slab + Slab::raw1 + kRaw1Components * ch;
      const float* raw1dp = slab + Slab::raw1_dot + kRaw1Components * ch;
      for (int ra = 0; ra < kSpinAxes; ++ra) {
        for (int rb = 0; rb < kSpinAxes; ++rb) {
          const int k = kSpinAxes * ra + rb;
          m[ra][rb] = raw1p[k] + dot * raw1dp[k];
          const float us = u[ra] * sj[rb];
          e_g += us * m[ra][rb];
          dot_part += us * raw1dp[k];
        }
      }
    }
    // u.Q.u with the symmetric matrix of the geom slab entries.
    const float* q = slab + Slab::geom + kGeomComponents * ch;
    const float qu[kSpinAxes] = {q[0] * u[0] + q[1] * u[1] + q[2] * u[2], q[1] * u[0] + q[3] * u[1] + q[4] * u[2],
                                 q[2] * u[0] + q[4] * u[1] + q[5] * u[2]};
    e_g += u[0] * qu[0] + u[1] * qu[1] + u[2] * qu[2];
    const float gc = g[ch];
    e_dot += gc * dot_part;
    for (int c = 0; c < kSpinAxes; ++c) {
      t.e_si[c] += gc * a3 * uj * u[c];
      const float mt = u[0] * m[0][c] + u[1] * m[1][c] + u[2] * m[2][c];
      t.e_sj[c] += gc * (p[c] + 2.0f * a2 * sj[c] + a3 * ui * u[c] + mt);
      const float ms = m[c][0] * sj[0] + m[c][1] * sj[1] + m[c][2] * sj[2];
      t.e_u[c] += gc * (2.0f * qu[c] + a3 * (uj * si[c] + ui * sj[c]) + ms);
    }
    for (int order = 2; order <= L; ++order) {
      constexpr int kMaxHarmonics = 2 * kSpinMaxAngularOrder + 1;
      const int count = spin_harmonic_count(order);
      const float* ang = slab + Slab::angular(order) + angular_density_components(order) * ch;
      float y[kMaxHarmonics];
      float w[kMaxHarmonics];
      real_spherical_harmonics_spinf(u, order, y);
      for (int mi = 0; mi < count; ++mi) {
        const float* am = ang + kSpinAxes * mi;
        w[mi] = am[0] * sj[0] + am[1] * sj[1] + am[2] * sj[2];
        e_g += w[mi] * y[mi];
        for (int c = 0; c < kSpinAxes; ++c) t.e_sj[c] += gc * am[c] * y[mi];
        w[mi] *= gc;
      }
      add_real_spherical_harmonics_gradientf(u, order, w, t.e_u);
    }
    t.e_r += e_g * dg[ch];
  }
  for (int c = 0; c < kSpinAxes; ++c) {
    t.e_si[c] += e_dot * sj[c];
    t.e_sj[c] += e_dot * si[c];
  }
  return t;
}

// Sum of one float over the group of `Width` lanes, ending in the group's first lane.
template <int Width, typename T>
__device__ __forceinline__ T group_sum(T value) {
  for (int offset = Width / 2; offset > 0; offset /= 2) value += __shfl_down_sync(kFullWarp, value, offset, Width);
  return value;
}

// The pair force dE_i/dr_j from the derivative along the bond (e_r) and the gradient in the direction (e_u,
// components independent): only the part of e_u across the bond moves j.
__device__ __forceinline__ void spin_pair_force(const SpinPair& pair, float e_r, const float* e_u, float* f) {
  const float u_dot_eu = pair.u[0] * e_u[0] + pair.u[1] * e_u[1] + pair.u[2] * e_u[2];
  for (int c = 0; c < kSpinAxes; ++c) f[c] = fmaf(e_r, pair.u[c], (e_u[c] - u_dot_eu * pair.u[c]) / pair.r);
}

// Calls visit(j, pair, g, dg) for the counted neighbours j of centre i in slots first, first + stride, ... of its
// list, with the pair's edge weights g and their r-derivatives dg (C channels).
template <int C, typename Visit>
__device__ __forceinline__ void for_each_counted_pair(const SpinPairInputs& a, int i, int first, int stride,
                                                      Visit&& visit) {
  const int ti = __ldg(&a.types[i]);
  const int count = __ldg(&a.nn_radial[i]);
  for (int s = first; s < count; s += stride) {
    const int j = __ldg(&a.nl_radial_slot_major[soa(s, i, a.capacity)]);
    SpinPair pair;
    if (!spin_pair_of(a, i, j, pair)) continue;
    float g[C];
    float dg[C];
    spin_pair_weights<C, true>(a, ti, pair, g, dg);
    visit(j, pair, g, dg);
  }
}

// What one pair adds for its neighbour j (force -f, magnetic force -de_dsj, the virial as the mode books it, the
// spin transfer) and to the centre's lane sums (force +f, owner virial).
template <SpinVirialMode Mode, bool Transfer>
__device__ __forceinline__ void add_spin_pair_outputs(const SpinForceOutputs& a, int A, int j, const SpinPair& pair,
                                                      const float* f, const float* de_dsj, float* force,
                                                      float* virial) {
  for (int c = 0; c < kSpinAxes; ++c) {
    atomicAdd(&a.force_soa3[soa(c, j, A)], -static_cast<double>(f[c]));
    atomicAdd(&a.mforce_soa3[soa(c, j, A)], -static_cast<double>(de_dsj[c]));
    force[c] += f[c];
  }
  const float dd[kSpinAxes] = {pair.r * pair.u[0], pair.r * pair.u[1], pair.r * pair.u[2]};
  if constexpr (Mode != SpinVirialMode::none) {
    for (int q = 0; q < kVirialComponentCount; ++q) {
      const float w = -(dd[virial_row(q)] * f[virial_column(q)]);
      if constexpr (Mode == SpinVirialMode::fp64_owner || Mode == SpinVirialMode::float_sink) virial[q] += w;
      if constexpr (Mode == SpinVirialMode::fp64_scatter) atomicAdd(&a.virial_soa9[soa(q, j, A)], static_cast<double>(w));
      if constexpr (Mode == SpinVirialMode::float_sink) atomicAdd(&a.per_atom_virial_float_soa9[soa(q, j, A)], w);
    }
  }
  if constexpr (Transfer) {
    // Row-major 3a + b: displacement component a times the magnetic force on S_j, component b.
    for (int k = 0; k < kSpinTransferComponents; ++k) {
      atomicAdd(&a.spin_transfer_soa9[soa(k, j, A)], -(dd[k / kSpinAxes] * de_dsj[k % kSpinAxes]));
    }
  }
}

// The centre's writes: the lanes' force (and owner virial) sums meet in the group's first lane, which adds them
// and the centre's magnetic force once per atom. Every lane calls this.
template <SpinVirialMode Mode, int Lanes>
__device__ __forceinline__ void add_spin_centre_outputs(const SpinForceOutputs& a, int A, bool writer, int i,
                                                        float* force, const double* mforce, float* virial) {
  constexpr bool kOwnerVirial = Mode == SpinVirialMode::fp64_owner || Mode == SpinVirialMode::float_sink;
  for (int c = 0; c < kSpinAxes; ++c) force[c] = group_sum<Lanes>(force[c]);
  if constexpr (kOwnerVirial) {
    for (int q = 0; q < kVirialComponentCount; ++q) virial[q] = group_sum<Lanes>(virial[q]);
  }
  if (!writer) return;
  for (int c = 0; c < kSpinAxes; ++c) {
    atomicAdd(&a.force_soa3[soa(c, i, A)], static_cast<double>(force[c]));
    atomicAdd(&a.mforce_soa3[soa(c, i, A)], mforce[c]);
  }
  if constexpr (kOwnerVirial) {
    // No other writer of virial_soa9 in these modes: a plain read-add-write per centre.
    for (int q = 0; q < kVirialComponentCount; ++q) {
      a.virial_soa9[soa(q, i, A)] = a.virial_soa9[soa(q, i, A)] + static_cast<double>(virial[q]);
    }
  }
}

template <int C, int L, SpinVirialMode Mode, bool Transfer, int AtomsPerBlock, int LanesPerAtom>
__global__ void __launch_bounds__(AtomsPerBlock* LanesPerAtom, kDensityMinBlocksPerSm)
    accumulate_spin_density_forces_tile_f32(SpinDensityForceArgs a) {
  static_assert(AtomsPerBlock * LanesPerAtom == kWarpLanes, "one warp per block");
  __shared__ float slabs[AtomsPerBlock][DensitySlab<C>::floats];
  const int slot = static_cast<int>(threadIdx.x) / LanesPerAtom;
  const int lane = static_cast<int>(threadIdx.x) % LanesPerAtom;
  const int i = static_cast<int>(blockIdx.x) * AtomsPerBlock + slot;
  const int A = a.in.capacity;
  const bool active = i < a.in.atom_count && carries_spin(a.in, i);

  // Centre spin: lanes 0..2 load one component each, then every lane of the slot gets all three.
  double own = (active && lane < kSpinAxes) ? a.in.spins_soa3[soa(lane, i, A)] : 0.0;
  double spin_i[kSpinAxes];
  for (int c = 0; c < kSpinAxes; ++c) spin_i[c] = __shfl_sync(kFullWarp, own, c, LanesPerAtom);

  float* slab = slabs[slot];
  double onsite = 0.0;
  if (active) {
    fill_density_slab<C, L, LanesPerAtom>(a, i, lane, spin_i, slab);
    if (lane < kSpinAxes) onsite = geom_onsite_mforce<C, L>(a, i, lane, spin_i);
  }
  __syncwarp(kFullWarp);

  float force[kSpinAxes] = {0.0f, 0.0f, 0.0f};
  float mforce[kSpinAxes] = {0.0f, 0.0f, 0.0f};
  float virial[kVirialComponentCount] = {};
  if (active) {
    const float si[kSpinAxes] = {static_cast<float>(spin_i[0]), static_cast<float>(spin_i[1]),
                                 static_cast<float>(spin_i[2])};
    float pair_sum_rows[kSpinPairSumRows * C];
    for (int q = 0; q < kSpinPairSumRows * C; ++q) {
      pair_sum_rows[q] = __ldg(&a.fp[soa(a.in.first_spin_row + kSpinOnsiteRows + q, i, A)]);
    }
    for_each_counted_pair<C>(a.in, i, lane, LanesPerAtom, [&](int j, const SpinPair& pair, const float (&g)[C],
                                                              const float (&dg)[C]) {
      const DensityPairTerms t = density_pair_terms<C, L>(slab, pair_sum_rows, pair.u, si, pair.sj, g, dg);
      float f[kSpinAxes];
      spin_pair_force(pair, t.e_r, t.e_u, f);
      add_spin_pair_outputs<Mode, Transfer>(a.out, A, j, pair, f, t.e_sj, force, virial);
      for (int c = 0; c < kSpinAxes; ++c) mforce[c] -= t.e_si[c];
    });
  }

  // Centre writes: the magnetic force sums the lanes' pair terms and the onsite geom term of lanes 0..2.
  for (int c = 0; c < kSpinAxes; ++c) mforce[c] = group_sum<LanesPerAtom>(mforce[c]);
  double onsite_of[kSpinAxes];
  for (int c = 0; c < kSpinAxes; ++c) onsite_of[c] = __shfl_sync(kFullWarp, onsite, c, LanesPerAtom);
  double centre_mforce[kSpinAxes];
  for (int c = 0; c < kSpinAxes; ++c) centre_mforce[c] = onsite_of[c] + static_cast<double>(mforce[c]);
  add_spin_centre_outputs<Mode, LanesPerAtom>(a.out, A, active && lane == 0, i, force, centre_mforce, virial);
}

SpinDensityForceArgs make_spin_density_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                            const DeviceModelView& m, const DeviceWorkspaceView& w) {
  return {make_spin_pair_inputs(protocol, atom_count, box, m, w),
          w.fp,
          make_spin_densities<const float>(w),
          make_spin_force_outputs(w)};
}

template <int C, int L, SpinVirialMode Mode, bool Transfer>
void launch_spin_density_force_shape(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                     const DeviceModelView& model, const DeviceWorkspaceView& workspace) {
  launch_kernel<&accumulate_spin_density_forces_tile_f32<C, L, Mode, Transfer, kDensityAtomsPerBlock,
                                                         kDensityLanesPerAtom>>(
      dim3(blocks_for(atom_count, kDensityAtomsPerBlock)), dim3(kDensityAtomsPerBlock * kDensityLanesPerAtom), 0,
      make_spin_density_args(protocol, atom_count, box, model, workspace));
}

template <int C, int L, SpinVirialMode Mode>
void launch_spin_density_force_transfer(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                        const DeviceModelView& model, const DeviceWorkspaceView& workspace,
                                        bool spin_transfer) {
  if (spin_transfer) {
    launch_spin_density_force_shape<C, L, Mode, true>(protocol, atom_count, box, model, workspace);
  } else {
    launch_spin_density_force_shape<C, L, Mode, false>(protocol, atom_count, box, model, workspace);
  }
}

template <int C, int L>
void launch_spin_density_force_virial(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                      const DeviceModelView& model, const DeviceWorkspaceView& workspace,
                                      SpinVirialMode mode, bool spin_transfer) {
  switch (mode) {
    case SpinVirialMode::none:
      return launch_spin_density_force_transfer<C, L, SpinVirialMode::none>(protocol, atom_count, box, model,
                                                                            workspace, spin_transfer);
    case SpinVirialMode::fp64_owner:
      return launch_spin_density_force_transfer<C, L, SpinVirialMode::fp64_owner>(protocol, atom_count, box, model,
                                                                                  workspace, spin_transfer);
    case SpinVirialMode::fp64_scatter:
      return launch_spin_density_force_transfer<C, L, SpinVirialMode::fp64_scatter>(protocol, atom_count, box,
                                                                                    model, workspace, spin_transfer);
    case SpinVirialMode::float_sink:
      return launch_spin_density_force_transfer<C, L, SpinVirialMode::float_sink>(protocol, atom_count, box, model,
                                                                                  workspace, spin_transfer);
  }
}

// The angular order of one channel count: 0..4 become a template argument.
template <int C>
void launch_spin_density_force_lmax(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                    const DeviceModelView& model, const DeviceWorkspaceView& workspace,
                                    SpinVirialMode mode, bool spin_transfer) {
  switch (protocol.spin_l_max) {
    case 0: return launch_spin_density_force_virial<C, 0>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 1: return launch_spin_density_force_virial<C, 1>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 2: return launch_spin_density_force_virial<C, 2>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 3: return launch_spin_density_force_virial<C, 3>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 4: return launch_spin_density_force_virial<C, 4>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    default: throw std::runtime_error("CUDA spin core supports l_max from 0 to 4");
  }
}

void launch_spin_density_forces(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                const DeviceModelView& model, const DeviceWorkspaceView& workspace,
                                SpinVirialMode mode, bool spin_transfer) {
  switch (protocol.spin_compress) {
    case 1: return launch_spin_density_force_lmax<1>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 2: return launch_spin_density_force_lmax<2>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 3: return launch_spin_density_force_lmax<3>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    case 4: return launch_spin_density_force_lmax<4>(protocol, atom_count, box, model, workspace, mode, spin_transfer);
    default: throw std::runtime_error("CUDA spin core supports 1 to 4 channels");
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Chiral phase.

constexpr int kChiralAtomsPerBlock = 8;   // one warp serves eight centre atoms...
constexpr int kChiralLanesPerAtom = 4;    // ...with one lane per channel for the per-atom derivatives
constexpr int kChiralMinBlocksPerSm = 8;
constexpr int kQuadrupoleComponents = 5;
constexpr int kOctupoleComponents = 7;
constexpr int kHexadecapoleComponents = 9;
constexpr int kQuadraticMonomials = 6;   // x^2, y^2, z^2, xy, xz, yz
constexpr int kCubicMonomials = 10;      // x^3, y^3, z^3, x^2 y, x^2 z, x y^2, y^2 z, x z^2, y z^2, xyz
constexpr int kQuarticMonomials = 15;    // x^4, y^4, z^4, x^3 y, x^3 z, x y^3, y^3 z, x z^3, y z^3,
                                         // x^2 y^2, x^2 z^2, y^2 z^2, x^2 yz, x y^2 z, x y z^2
constexpr float kHexadecapoleScale = 0.14285715f;  // the hexadecapole factors carry 1/7

// Exponents (x, y, z) of the cubic and quartic monomials.
__constant__ const std::int8_t kCubicExponents[kCubicMonomials][kSpinAxes] = {
    {3, 0, 0}, {0, 3, 0}, {0, 0, 3}, {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {0, 2, 1}, {1, 0, 2}, {0, 1, 2}, {1, 1, 1}};
__constant__ const std::int8_t kQuarticExponents[kQuarticMonomials][kSpinAxes] = {
    {4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {3, 1, 0}, {3, 0, 1}, {1, 3, 0}, {0, 3, 1}, {1, 0, 3},
    {0, 1, 3}, {2, 2, 0}, {2, 0, 2}, {0, 2, 2}, {2, 1, 1}, {1, 2, 1}, {1, 1, 2}};
// The octupole factors y(y^2 - 3z^2), z(z^2 - 3y^2), y(x^2 - z^2), z(x^2 - y^2), x(y^2 - z^2), xyz, x(3z^2 - x^2)
// over the cubic monomials.
__constant__ const float kOctupoleMonomials[kOctupoleComponents][kCubicMonomials] = {
    {0, 1, 0, 0, 0, 0, 0, 0, -3, 0}, {0, 0, 1, 0, 0, 0, -3, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0, 0, -1, 0},
    {0, 0, 0, 0, 1, 0, -1, 0, 0, 0}, {0, 0, 0, 0, 0, 1, 0, -1, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
    {-1, 0, 0, 0, 0, 0, 0, 3, 0, 0}};
// The hexadecapole factors (before their 1/7) over the quartic monomials.
__constant__ const float kHexadecapoleMonomials[kHexadecapoleComponents][kQuarticMonomials] = {
    {0, 0, 0, 0, -1, 0, 0, -1, 0, 0, 0, 0, 0, 6, 0},     // xz(6y^2 - x^2 - z^2)
    {0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, -6},      // xy(x^2 + y^2 - 6z^2)
    {0, 0, 0, 0, 4, 0, 0, -3, 0, 0, 0, 0, 0, -3, 0},     // xz(4x^2 - 3y^2 - 3z^2)
    {0, 0, 0, -4, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 3},      // xy(3y^2 + 3z^2 - 4x^2)
    {0, 0, 0, 0, 0, 0, -2, 0, -2, 0, 0, 0, 12, 0, 0},    // yz(12x^2 - 2y^2 - 2z^2)
    {0, 2, -2, 0, 0, 0, 0, 0, 0, -12, 12, 0, 0, 0, 0},   // 2(y^2 - z^2)(y^2 + z^2 - 6x^2)
    {0, 0, 0, 0, 0, 0, 4, 0, -3, 0, 0, 0, -3, 0, 0},     // yz(4y^2 - 3x^2 - 3z^2)
    {-1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 6, -6, 0, 0, 0},     // (y^2 - x^2)(x^2 + y^2 - 6z^2)
    {4, 1, 2, 0, 0, 0, 0, 0, 0, -9, -15, 3, 0, 0, 0}};   // 4x^4 + y^4 + 2z^4 - 9x^2y^2 - 15x^2z^2 + 3y^2z^2
// The symmetric rank-3 moment (components in the cubic monomial order) from the polar and octupole moments.
__constant__ const float kCubicFromPolar[kCubicMonomials][kSpinAxes] = {
    {0.6f, 0, 0}, {0, 0.6f, 0}, {0, 0, 0.6f}, {0, 0.2f, 0}, {0, 0, 0.2f},
    {0.2f, 0, 0}, {0, 0, 0.2f}, {0.2f, 0, 0}, {0, 0.2f, 0}, {0, 0, 0}};
__constant__ const float kCubicFromOctupole[kCubicMonomials][kOctupoleComponents] = {
    {0, 0, 0, 0, -0.6f, 0, -0.4f}, {0.4f, 0, -0.6f, 0, 0, 0, 0}, {0, 0.4f, 0, -0.6f, 0, 0, 0},
    {-0.2f, 0, 0.8f, 0, 0, 0, 0},  {0, -0.2f, 0, 0.8f, 0, 0, 0},  {0, 0, 0, 0, 0.8f, 0, 0.2f},
    {0, -0.2f, 0, -0.2f, 0, 0, 0}, {0, 0, 0, 0, -0.2f, 0, 0.2f}, {-0.2f, 0, -0.2f, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 1, 0}};

__host__ __device__ constexpr int levi_civita(int a, int b, int c) { return (a - b) * (b - c) * (c - a) / 2; }

// Component of the symmetric rank-3 tensor (cubic monomial order) holding index triple (a, b, c).
__host__ __device__ constexpr int cubic_component(int a, int b, int c) {
  const int nx = (a == 0) + (b == 0) + (c == 0);
  const int ny = (a == 1) + (b == 1) + (c == 1);
  return nx == 3 ? 0 : ny == 3 ? 1 : (nx + ny) == 0 ? 2 : nx == 2 ? (ny == 1 ? 3 : 4) : ny == 2 ? (nx == 1 ? 5 : 6)
                                                                   : nx == 1 ? (ny == 0 ? 7 : 9) : 8;
}

__device__ __forceinline__ float integer_power(float v, int n) {
  float p = 1.0f;
  for (int k = 0; k < n; ++k) p *= v;
  return p;
}

// sum over monomials of coefficients[m] x^e0 y^e1 z^e2, and its gradient added to `gradient`.
template <int Count>
__device__ __forceinline__ float add_monomial_terms(const std::int8_t (*exponents)[kSpinAxes], const float* coefficients,
                                                    const float* u, float* gradient) {
  float value = 0.0f;
  for (int m = 0; m < Count; ++m) {
    const int e[kSpinAxes] = {exponents[m][0], exponents[m][1], exponents[m][2]};
    const float pw[kSpinAxes] = {integer_power(u[0], e[0]), integer_power(u[1], e[1]), integer_power(u[2], e[2])};
    value += coefficients[m] * pw[0] * pw[1] * pw[2];
    for (int c = 0; c < kSpinAxes; ++c) {
      if (e[c] == 0) continue;
      float term = coefficients[m] * static_cast<float>(e[c]) * integer_power(u[c], e[c] - 1);
      for (int o = 0; o < kSpinAxes; ++o) {
        if (o != c) term *= pw[o];
      }
      gradient[c] += term;
    }
  }
  return value;
}

// Offsets of one atom's derivative record: per channel the quadratic (geom), polar, raw1, trace, axial and cubic
// coefficients, per chirality channel the quartic coefficients, then minus the centre's magnetic gradient.
template <int C>
struct ChiralRecord {
  static constexpr int K = spin_chiral_channel_count(C);
  static constexpr int geom = 0;
  static constexpr int polar = 6 * C;
  static constexpr int raw1 = 9 * C;
  static constexpr int trace = 18 * C;
  static constexpr int axial = 19 * C;
  static constexpr int cubic = 22 * C;
  static constexpr int quartic = 32 * C;
  static constexpr int centre_mforce = 32 * C + 15 * K;
  static constexpr int floats = 32 * C + 15 * K + 3;
};

// Everything the chiral force kernel reads and writes.
struct SpinChiralForceArgs {
  SpinPairInputs in;
  SpinCoreLayout layout;
  const float* fp;
  SpinDensities<const float> densities;
  const float* chirals;
  SpinForceOutputs out;
};

// Channel ch's part of atom i's record (derivatives of the channel's chiral rows with respect to its moments,
// turned into monomial coefficients) and its derivative with respect to S_i, added to de_dsi.
template <int C>
__device__ void fill_chiral_record(const SpinChiralForceArgs& a, int i, int ch, const float* si, float* record,
                                   float* de_dsi) {
  using Rec = ChiralRecord<C>;
  constexpr int K = Rec::K;
  const int A = a.in.capacity;
  const int first = a.in.first_spin_row + a.layout.chiral_row;
  const std::size_t at = static_cast<std::size_t>(i) * C + ch;
  float g[kGeomComponents], p[kSpinAxes], o[kOctupoleComponents], r[kRaw1Components];
  for (int k = 0; k < kGeomComponents; ++k) g[k] = __ldg(&a.densities.geom[at * kGeomComponents + k]);
  for (int k = 0; k < kSpinAxes; ++k) p[k] = __ldg(&a.densities.polar[at * kSpinAxes + k]);
  for (int k = 0; k < kOctupoleComponents; ++k) o[k] = __ldg(&a.densities.octupoles[at * kOctupoleComponents + k]);
  for (int k = 0; k < kRaw1Components; ++k) r[k] = __ldg(&a.densities.raw1[at * kRaw1Components + k]);
  const float g1 = __ldg(&a.fp[soa(first + K + ch, i, A)]);
  const float g2 = __ldg(&a.fp[soa(first + K + C + ch, i, A)]);
  float dg[kGeomComponents] = {};
  float dp[kSpinAxes] = {};
  float d_oct[kOctupoleComponents] = {};
  float d_hex[kHexadecapoleComponents] = {};
  float ar[kRaw1Components] = {};
  float axial_coefficient[kSpinAxes] = {};

  // Chirality row -chi (a.S) with a the axial vector of R.
  if (ch < K) {
    const float g0 = __ldg(&a.fp[soa(first + ch, i, A)]);
    float h[kHexadecapoleComponents];
    const std::size_t hat = static_cast<std::size_t>(i) * K + ch;
    for (int k = 0; k < kHexadecapoleComponents; ++k) {
      h[k] = __ldg(&a.densities.hexadecapoles[hat * kHexadecapoleComponents + k]);
    }
    const float chi = __ldg(&a.chirals[hat]);
    const float axial[kSpinAxes] = {r[5] - r[7], r[6] - r[2], r[1] - r[3]};
    const float w = g0 * (axial[0] * si[0] + axial[1] * si[1] + axial[2] * si[2]);
    float q[kQuadrupoleComponents];
    spin_quadrupole_vector(g, q);
    float dq[kQuadrupoleComponents] = {};
    for (int t = 0; t < kSpinChiralTermCount; ++t) {
      const std::uint16_t packed = kSpinChiralQohReducedPacked[t];
      const int qt = chiral_term_quadrupole(packed);
      const int ot = chiral_term_octupole(packed);
      const int ht = chiral_term_hexadecapole(packed);
      const float u = w * kSpinChiralQohReducedCoeff[t];
      dq[qt] -= u * o[ot] * h[ht];
      d_oct[ot] -= u * q[qt] * h[ht];
      d_hex[ht] -= u * q[qt] * o[ot];
    }
    dg[0] += dq[0] + dq[4];
    dg[5] -= dq[0];
    dg[4] -= dq[1];
    dg[2] += 0.5f * dq[2];
    dg[1] += dq[3];
    dg[3] -= dq[4];
    for (int c = 0; c < kSpinAxes; ++c) {
      axial_coefficient[c] = -g0 * chi * si[c];
      de_dsi[c] += -g0 * chi * axial[c];
    }
  }

  // Polar row P.(tr(R) S - R^T S).
  const float trace = (r[0] + r[4]) + r[8];
  const float p_dot_s = p[0] * si[0] + p[1] * si[1] + p[2] * si[2];
  for (int b = 0; b < kSpinAxes; ++b) {
    const float rts = r[b] * si[0] + r[3 + b] * si[1] + r[6 + b] * si[2];
    dp[b] += g1 * (trace * si[b] - rts);
    const float rp = r[3 * b] * p[0] + r[3 * b + 1] * p[1] + r[3 * b + 2] * p[2];
    de_dsi[b] += g1 * (trace * p[b] - rp);
    for (int c = 0; c < kSpinAxes; ++c) ar[kSpinAxes * c + b] -= g1 * si[c] * p[b];
  }

  // Coupling row sum M_ab (S x R_a)_b, M the symmetric part of Y_ab = eps_acd G_de T_ecb; N_ab = g2 (S x R_a)_b
  // is its derivative with respect to M_ab, and only the symmetric part of N reaches Y.
  float t[kSpinAxes][kSpinAxes][kSpinAxes];
  spin_cubic_moment(p, o, t);
  float gm[kSpinAxes][kSpinAxes];
  spin_symmetric_matrix(g, gm);
  float m[kSpinAxes][kSpinAxes];
  spin_chiral_coupling(g, t, m);
  float n[kSpinAxes][kSpinAxes] = {};
  for (int x = 0; x < kSpinAxes; ++x) {
    for (int b = 0; b < kSpinAxes; ++b) {
      for (int c = 0; c < kSpinAxes; ++c) {
        for (int d = 0; d < kSpinAxes; ++d) {
          const int eps = levi_civita(b, c, d);
          if (eps != 0) n[x][b] += g2 * static_cast<float>(eps) * si[c] * r[kSpinAxes * x + d];
        }
      }
    }
  }
  float ns[kSpinAxes][kSpinAxes];
  for (int x = 0; x < kSpinAxes; ++x) {
    for (int b = 0; b < kSpinAxes; ++b) ns[x][b] = 0.5f * (n[x][b] + n[b][x]);
  }
  float dgm[kSpinAxes][kSpinAxes] = {};
  float dtsym[kCubicMonomials] = {};
  for (int x = 0; x < kSpinAxes; ++x) {
    for (int c = 0; c < kSpinAxes; ++c) {
      for (int d = 0; d < kSpinAxes; ++d) {
        const int eps = levi_civita(x, c, d);
        if (eps == 0) continue;
        for (int b = 0; b < kSpinAxes; ++b) {
          for (int e = 0; e < kSpinAxes; ++e) {
            const float weight = static_cast<float>(eps) * ns[x][b];
            dgm[d][e] += weight * t[e][c][b];
            dtsym[cubic_component(e, c, b)] += weight * gm[d][e];
          }
        }
      }
    }
  }
  dg[0] += dgm[0][0];
  dg[1] += dgm[0][1] + dgm[1][0];
  dg[2] += dgm[0][2] + dgm[2][0];
  dg[3] += dgm[1][1];
  dg[4] += dgm[1][2] + dgm[2][1];
  dg[5] += dgm[2][2];
  for (int mi = 0; mi < kCubicMonomials; ++mi) {
    for (int c = 0; c < kSpinAxes; ++c) dp[c] += kCubicFromPolar[mi][c] * dtsym[mi];
    for (int k = 0; k < kOctupoleComponents; ++k) d_oct[k] += kCubicFromOctupole[mi][k] * dtsym[mi];
  }
  // The explicit R and S of the coupling row: (S x R_a)_b = eps_bcd S_c R_ad.
  for (int x = 0; x < kSpinAxes; ++x) {
    for (int b = 0; b < kSpinAxes; ++b) {
      for (int c = 0; c < kSpinAxes; ++c) {
        for (int d = 0; d < kSpinAxes; ++d) {
          const int eps = levi_civita(b, c, d);
          if (eps == 0) continue;
          const float weight = g2 * static_cast<float>(eps) * m[x][b];
          ar[kSpinAxes * x + d] += weight * si[c];
          de_dsi[c] += weight * r[kSpinAxes * x + d];
        }
      }
    }
  }

  // The record: coefficients of the monomials of the bond direction (and of the neighbour's spin).
  const float mean = (dg[0] + dg[3] + dg[5]) / 3.0f;
  float* geom_part = record + Rec::geom + kQuadraticMonomials * ch;
  geom_part[0] = dg[0] - mean;
  geom_part[1] = dg[3] - mean;
  geom_part[2] = dg[5] - mean;
  geom_part[3] = dg[1];
  geom_part[4] = dg[2];
  geom_part[5] = dg[4];
  for (int c = 0; c < kSpinAxes; ++c) {
    record[Rec::polar + kSpinAxes * ch + c] = dp[c];
    record[Rec::axial + kSpinAxes * ch + c] = axial_coefficient[c];
  }
  for (int k = 0; k < kRaw1Components; ++k) record[Rec::raw1 + kRaw1Components * ch + k] = ar[k];
  record[Rec::trace + ch] = g1 * p_dot_s;
  for (int mi = 0; mi < kCubicMonomials; ++mi) {
    float v = 0.0f;
    for (int k = 0; k < kOctupoleComponents; ++k) v += d_oct[k] * kOctupoleMonomials[k][mi];
    record[Rec::cubic + kCubicMonomials * ch + mi] = v;
  }
  if (ch < K) {
    for (int mi = 0; mi < kQuarticMonomials; ++mi) {
      float v = 0.0f;
      for (int k = 0; k < kHexadecapoleComponents; ++k) v += d_hex[k] * kHexadecapoleMonomials[k][mi];
      record[Rec::quartic + kQuarticMonomials * ch + mi] = kHexadecapoleScale * v;
    }
  }
}

// phi of one channel for a bond direction u and neighbour spin sj (its value), its gradient in u (components
// independent) into grad and its gradient in sj into grad_s.
template <int C>
__device__ __forceinline__ float chiral_channel_phi(const float* record, int ch, const float* u, const float* sj,
                                                    float* grad, float* grad_s) {
  using Rec = ChiralRecord<C>;
  const float* q = record + Rec::geom + kQuadraticMonomials * ch;
  float phi = q[0] * u[0] * u[0] + q[1] * u[1] * u[1] + q[2] * u[2] * u[2] + q[3] * u[0] * u[1] +
              q[4] * u[0] * u[2] + q[5] * u[1] * u[2];
  grad[0] += 2.0f * q[0] * u[0] + q[3] * u[1] + q[4] * u[2];
  grad[1] += 2.0f * q[1] * u[1] + q[3] * u[0] + q[5] * u[2];
  grad[2] += 2.0f * q[2] * u[2] + q[4] * u[0] + q[5] * u[1];
  const float* dp = record + Rec::polar + kSpinAxes * ch;
  const float* ar = record + Rec::raw1 + kRaw1Components * ch;
  const float at = record[Rec::trace + ch];
  const float* ax = record + Rec::axial + kSpinAxes * ch;
  const float u_dot_s = u[0] * sj[0] + u[1] * sj[1] + u[2] * sj[2];
  const float u_cross_s[kSpinAxes] = {u[1] * sj[2] - u[2] * sj[1], u[2] * sj[0] - u[0] * sj[2],
                                      u[0] * sj[1] - u[1] * sj[0]};
  phi += at * u_dot_s + ax[0] * u_cross_s[0] + ax[1] * u_cross_s[1] + ax[2] * u_cross_s[2];
  for (int c = 0; c < kSpinAxes; ++c) {
    const float ars = ar[kSpinAxes * c] * sj[0] + ar[kSpinAxes * c + 1] * sj[1] + ar[kSpinAxes * c + 2] * sj[2];
    phi += dp[c] * u[c] + u[c] * ars;
    grad[c] += dp[c] + ars + at * sj[c];
    grad_s[c] += u[0] * ar[c] + u[1] * ar[kSpinAxes + c] + u[2] * ar[2 * kSpinAxes + c] + at * u[c];
  }
  // d/du of ax.(u x s) is s x ax; d/ds is ax x u.
  grad[0] += sj[1] * ax[2] - sj[2] * ax[1];
  grad[1] += sj[2] * ax[0] - sj[0] * ax[2];
  grad[2] += sj[0] * ax[1] - sj[1] * ax[0];
  grad_s[0] += ax[1] * u[2] - ax[2] * u[1];
  grad_s[1] += ax[2] * u[0] - ax[0] * u[2];
  grad_s[2] += ax[0] * u[1] - ax[1] * u[0];
  phi += add_monomial_terms<kCubicMonomials>(kCubicExponents, record + Rec::cubic + kCubicMonomials * ch, u, grad);
  if (ch < Rec::K) {
    phi += add_monomial_terms<kQuarticMonomials>(kQuarticExponents, record + Rec::quartic + kQuarticMonomials * ch,
                                                 u, grad);
  }
  return phi;
}

template <int C, SpinVirialMode Mode, bool Transfer, int AtomsPerBlock, int LanesPerAtom>
__global__ void __launch_bounds__(AtomsPerBlock* LanesPerAtom, kChiralMinBlocksPerSm)
    accumulate_spin_chiral_forces_tile_f32(SpinChiralForceArgs a) {
  static_assert(AtomsPerBlock * LanesPerAtom == kWarpLanes, "one warp per block");
  static_assert(C <= LanesPerAtom, "one lane per channel");
  using Rec = ChiralRecord<C>;
  __shared__ float shared[AtomsPerBlock][Rec::floats];
  const int slot = static_cast<int>(threadIdx.x) / LanesPerAtom;
  const int lane = static_cast<int>(threadIdx.x) % LanesPerAtom;
  const int i = static_cast<int>(blockIdx.x) * AtomsPerBlock + slot;
  const int A = a.in.capacity;
  const bool active = i < a.in.atom_count && carries_spin(a.in, i);

  const double own = (active && lane < kSpinAxes) ? a.in.spins_soa3[soa(lane, i, A)] : 0.0;
  float si[kSpinAxes];
  for (int c = 0; c < kSpinAxes; ++c) si[c] = static_cast<float>(__shfl_sync(kFullWarp, own, c, LanesPerAtom));

  float* record = shared[slot];
  float de_dsi[kSpinAxes] = {0.0f, 0.0f, 0.0f};
  if (active && lane < C) fill_chiral_record<C>(a, i, lane, si, record, de_dsi);
  for (int c = 0; c < kSpinAxes; ++c) de_dsi[c] = group_sum<LanesPerAtom>(de_dsi[c]);
  if (active && lane == 0) {
    for (int c = 0; c < kSpinAxes; ++c) record[Rec::centre_mforce + c] = -de_dsi[c];
  }
  __syncwarp(kFullWarp);

  float force[kSpinAxes] = {0.0f, 0.0f, 0.0f};
  float virial[kVirialComponentCount] = {};
  if (active) {
    for_each_counted_pair<C>(a.in, i, lane, LanesPerAtom, [&](int j, const SpinPair& pair, const float (&g)[C],
                                                              const float (&dg)[C]) {
      // m = dE_i/dS_j, e = dE_i/dr along the bond through the weights, grad = dE_i/du.
      float m[kSpinAxes] = {0.0f, 0.0f, 0.0f};
      float grad[kSpinAxes] = {0.0f, 0.0f, 0.0f};
      float e = 0.0f;
      for (int ch = 0; ch < C; ++ch) {
        float grad_ch[kSpinAxes] = {0.0f, 0.0f, 0.0f};
        float grad_s[kSpinAxes] = {0.0f, 0.0f, 0.0f};
        const float phi = chiral_channel_phi<C>(record, ch, pair.u, pair.sj, grad_ch, grad_s);
        e += dg[ch] * phi;
        for (int c = 0; c < kSpinAxes; ++c) {
          m[c] += g[ch] * grad_s[c];
          grad[c] += g[ch] * grad_ch[c];
        }
      }
      float f[kSpinAxes];
      spin_pair_force(pair, e, grad, f);
      add_spin_pair_outputs<Mode, Transfer>(a.out, A, j, pair, f, m, force, virial);
    });
  }

  double centre_mforce[kSpinAxes] = {0.0, 0.0, 0.0};
  if (active) {
    for (int c = 0; c < kSpinAxes; ++c) centre_mforce[c] = static_cast<double>(record[Rec::centre_mforce + c]);
  }
  add_spin_centre_outputs<Mode, LanesPerAtom>(a.out, A, active && lane == 0, i, force, centre_mforce, virial);
}

template <int C, SpinVirialMode Mode, bool Transfer>
void launch_spin_chiral_force_shape(const SpinChiralForceArgs& args) {
  launch_kernel<&accumulate_spin_chiral_forces_tile_f32<C, Mode, Transfer, kChiralAtomsPerBlock, kChiralLanesPerAtom>>(
      dim3(blocks_for(args.in.atom_count, kChiralAtomsPerBlock)), dim3(kChiralAtomsPerBlock * kChiralLanesPerAtom), 0,
      args);
}

template <int C>
void launch_spin_chiral_force_virial(const SpinChiralForceArgs& args, SpinVirialMode mode, bool spin_transfer) {
  switch (mode) {
    case SpinVirialMode::none:
      return spin_transfer ? launch_spin_chiral_force_shape<C, SpinVirialMode::none, true>(args)
                           : launch_spin_chiral_force_shape<C, SpinVirialMode::none, false>(args);
    case SpinVirialMode::fp64_owner:
      return spin_transfer ? launch_spin_chiral_force_shape<C, SpinVirialMode::fp64_owner, true>(args)
                           : launch_spin_chiral_force_shape<C, SpinVirialMode::fp64_owner, false>(args);
    case SpinVirialMode::fp64_scatter:
      return spin_transfer ? launch_spin_chiral_force_shape<C, SpinVirialMode::fp64_scatter, true>(args)
                           : launch_spin_chiral_force_shape<C, SpinVirialMode::fp64_scatter, false>(args);
    case SpinVirialMode::float_sink:
      return spin_transfer ? launch_spin_chiral_force_shape<C, SpinVirialMode::float_sink, true>(args)
                           : launch_spin_chiral_force_shape<C, SpinVirialMode::float_sink, false>(args);
  }
}

void launch_spin_chiral_forces(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                               const DeviceModelView& m, const DeviceWorkspaceView& w, SpinVirialMode mode,
                               bool spin_transfer) {
  const SpinChiralForceArgs args{make_spin_pair_inputs(protocol, atom_count, box, m, w),
                                 make_spin_core_layout(protocol),
                                 w.fp,
                                 make_spin_densities<const float>(w),
                                 w.spin_chiral_chirals,
                                 make_spin_force_outputs(w)};
  switch (protocol.spin_compress) {
    case 1: return launch_spin_chiral_force_virial<1>(args, mode, spin_transfer);
    case 2: return launch_spin_chiral_force_virial<2>(args, mode, spin_transfer);
    case 3: return launch_spin_chiral_force_virial<3>(args, mode, spin_transfer);
    case 4: return launch_spin_chiral_force_virial<4>(args, mode, spin_transfer);
    default: throw std::runtime_error("CUDA spin core supports 1 to 4 channels");
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Driver.

bool spin_shape_supported(const ModelProtocol& p) {
  return p.spin_compress >= 1 && p.spin_compress <= kSpinMaxChannels && p.spin_compress <= p.spin_basis_size_radial + 1 &&
         p.spin_basis_size_radial + 1 <= kSpinMaxBasisCount && p.spin_l_max >= 0 && p.spin_l_max <= kSpinMaxAngularOrder;
}

// The two events of the phase timing; destroyed whatever way the driver leaves.
class SpinPhaseTimer {
 public:
  explicit SpinPhaseTimer(SpinForceTimings* timings) : timings_(timings) {
    if (timings_ == nullptr) return;
    check_cuda(cudaEventCreate(&mark_), "create spin phase timer mark");
    check_cuda(cudaEventCreate(&event_), "create spin phase timer event");
    check_cuda(cudaEventRecord(mark_, nullptr), "record spin phase timer mark");
  }
  SpinPhaseTimer(const SpinPhaseTimer&) = delete;
  SpinPhaseTimer& operator=(const SpinPhaseTimer&) = delete;
  ~SpinPhaseTimer() {
    if (event_ != nullptr) (void)cudaEventDestroy(event_);
    if (mark_ != nullptr) (void)cudaEventDestroy(mark_);
  }

  // Device time from the previous mark to now into `phase_ms` (member of the timings), then a new mark.
  void phase_done(float SpinForceTimings::*phase_ms) {
    if (timings_ == nullptr) return;
    check_cuda(cudaEventRecord(event_, nullptr), "record spin phase timer event");
    check_cuda(cudaEventSynchronize(event_), "synchronize spin phase timer event");
    check_cuda(cudaEventElapsedTime(&(timings_->*phase_ms), mark_, event_), "measure spin phase time");
    check_cuda(cudaEventRecord(mark_, nullptr), "record spin phase timer mark");
  }

 private:
  SpinForceTimings* timings_;
  cudaEvent_t mark_ = nullptr;
  cudaEvent_t event_ = nullptr;
};

void run_onsite_phase(const ModelProtocol& protocol, int atom_count, const DeviceModelView& m,
                      const DeviceWorkspaceView& w) {
  require(protocol.spin_mode != 0, "spin onsite mforce requires spin model");
  require(protocol.spin_descriptor_dim >= kSpinOnsiteRows, "spin descriptor is missing onsite terms");
  require_atom_capacity(atom_count, w);
  require(w.spins_soa3 != nullptr, "workspace missing spins");
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.mforce_soa3 != nullptr, "workspace missing mforce output");
  require(m.spin_dof_type_active != nullptr, "model missing spin dof mask");
  if (atom_count > 0) {
    launch_kernel<&accumulate_spin_onsite_mforces>(dim3(blocks_for(atom_count, kSpinOnsiteBlock)),
                                                   dim3(kSpinOnsiteBlock), 0, atom_count,
                                                   static_cast<int>(w.atom_capacity),
                                                   protocol.structural_descriptor_dim, protocol.num_types, w.types,
                                                   m.spin_dof_type_active, w.spins_soa3, w.fp, w.mforce_soa3);
  }
  check_cuda(cudaGetLastError(), "accumulate spin onsite mforces");
}

// The arrays the density and chiral phases both need, in their check order after the workspace fit.
void require_spin_force_arrays(const DeviceModelView& m, const DeviceWorkspaceView& w, SpinVirialMode mode,
                               bool spin_transfer) {
  require_spin_pair_arrays(m, w);
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.force_soa3 != nullptr, "workspace missing forces");
  require(w.mforce_soa3 != nullptr, "workspace missing mforces");
  require(w.virial_soa9 != nullptr, "workspace missing virials");
  if (mode == SpinVirialMode::float_sink) {
    require(w.per_atom_virial_float_soa9 != nullptr, "workspace missing spin per-atom virial sink");
  }
  if (spin_transfer) require(w.spin_transfer_soa9 != nullptr, "workspace missing spin-transfer output");
}

void run_density_phase(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                       const DeviceModelView& m, const DeviceWorkspaceView& w, SpinVirialMode mode,
                       bool spin_transfer) {
  require(protocol.spin_mode != 0, "spin density force requires spin model");
  require(protocol.spin_compress >= 1 && protocol.spin_compress <= kSpinMaxChannels,
          "spin density force kernel supports spin_compress <= 4");
  require(protocol.spin_basis_size_radial >= 0 && protocol.spin_basis_size_radial + 1 <= kSpinMaxBasisCount,
          "spin density force kernel supports spin_basis_size + 1 <= 8");
  require(protocol.spin_l_max >= 0 && protocol.spin_l_max <= kSpinMaxAngularOrder,
          "spin density force kernel supports spin_l_max <= 4");
  require_atom_capacity(atom_count, w);
  require_spin_force_arrays(m, w, mode, spin_transfer);
  require(w.spin_density_rho0 != nullptr, "workspace missing spin density rho0");
  require(w.spin_density_raw1 != nullptr, "workspace missing spin density raw1");
  if (protocol.spin_l_max >= 2) require(w.spin_density_angular2 != nullptr, "workspace missing spin density angular2");
  if (protocol.spin_l_max >= 3) require(w.spin_density_angular3 != nullptr, "workspace missing spin density angular3");
  if (protocol.spin_l_max >= 4) require(w.spin_density_angular4 != nullptr, "workspace missing spin density angular4");
  require(w.spin_density_geom != nullptr, "workspace missing spin density geom");
  require(w.spin_density_rho0_dot != nullptr, "workspace missing spin density rho0 dot");
  require(w.spin_density_raw1_dot != nullptr, "workspace missing spin density raw1 dot");
  require_spin_coefficients(protocol, m);
  if (atom_count > 0) launch_spin_density_forces(protocol, atom_count, box, m, w, mode, spin_transfer);
  check_cuda(cudaGetLastError(), "accumulate spin density forces");
}

void run_chiral_phase(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                      const DeviceModelView& m, const DeviceWorkspaceView& w, SpinVirialMode mode,
                      bool spin_transfer) {
  require(protocol.spin_mode != 0, "spin chiral polar force requires spin model");
  require(protocol.spin_chiral != 0, "spin chiral polar force requires chiral model");
  require(spin_shape_supported(protocol), "CUDA chiral spin force received an unsupported spin shape");
  require_atom_capacity(atom_count, w);
  require_spin_force_arrays(m, w, mode, spin_transfer);
  require(w.spin_density_geom != nullptr, "workspace missing spin density geom");
  require(w.spin_density_raw1 != nullptr, "workspace missing spin density raw1");
  require(w.spin_chiral_polar != nullptr, "workspace missing spin chiral polar");
  require(w.spin_chiral_octupoles_raw != nullptr, "workspace missing spin chiral octupoles raw");
  require(w.spin_chiral_hexadecapoles_raw != nullptr, "workspace missing spin chiral hexadecapoles raw");
  require(w.spin_chiral_chirals != nullptr, "workspace missing spin chiral chirals");
  require_spin_coefficients(protocol, m);
  if (atom_count > 0) launch_spin_chiral_forces(protocol, atom_count, box, m, w, mode, spin_transfer);
  check_cuda(cudaGetLastError(), "accumulate spin chiral polar forces");
}

bool has_inactive_spin_type(const ModelProtocol& protocol) {
  for (const std::int32_t dof : protocol.spin_dof_type) {
    if (dof == 0) return true;
  }
  return false;
}

// Last spin phase: the magnetic forces of atoms 0 .. atom_count-1 whose type has no spin degree of freedom
// become exactly zero, whatever the other phases added to them.
void run_masking_phase(const ModelProtocol& protocol, int atom_count, const DeviceModelView& m,
                       const DeviceWorkspaceView& w) {
  if (atom_count > 0) {
    launch_kernel<&mask_inactive_spin_mforces>(dim3(blocks_for(atom_count, kSpinOnsiteBlock)),
                                               dim3(kSpinOnsiteBlock), 0, atom_count,
                                               static_cast<int>(w.atom_capacity), protocol.num_types, w.types,
                                               m.spin_dof_type_active, w.mforce_soa3);
  }
  check_cuda(cudaGetLastError(), "mask inactive spin mforces");
}

}  // namespace

void accumulate_spin_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                      const DeviceModel& model, DeviceWorkspace& workspace, VirialTarget target,
                                      bool spin_transfer, SpinForceTimings* timings) {
  require(protocol.spin_mode != 0, "spin force pipeline requires spin model");
  require(spin_shape_supported(protocol),
          "CUDA spin core requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= 8, and "
          "spin_l_max <= 4");
  SpinPhaseTimer timer(timings);
  if (spin_transfer) {
    const DeviceWorkspaceView w = workspace.view();
    require(w.spin_transfer_soa9 != nullptr, "workspace missing spin-transfer output");
    check_cuda(cudaMemset(w.spin_transfer_soa9, 0, kSpinTransferComponents * sizeof(float) * w.atom_capacity),
               "clear spin-transfer output");
  }
  SpinVirialMode mode = SpinVirialMode::none;
  switch (target) {
    case VirialTarget::none: mode = SpinVirialMode::none; break;
    case VirialTarget::fp64_owner: mode = SpinVirialMode::fp64_owner; break;
    case VirialTarget::fp64_scatter: mode = SpinVirialMode::fp64_scatter; break;
    case VirialTarget::float_sink: mode = SpinVirialMode::float_sink; break;
  }
  run_onsite_phase(protocol, atom_count, model.view(), workspace.view());
  timer.phase_done(&SpinForceTimings::onsite_ms);
  run_density_phase(protocol, atom_count, box, model.view(), workspace.view(), mode, spin_transfer);
  timer.phase_done(&SpinForceTimings::density_ms);
  if (protocol.spin_chiral != 0) {
    run_chiral_phase(protocol, atom_count, box, model.view(), workspace.view(), mode, spin_transfer);
  }
  timer.phase_done(&SpinForceTimings::chiral_ms);
  // The onsite phase has checked every array the masking reads.
  if (has_inactive_spin_type(protocol)) run_masking_phase(protocol, atom_count, model.view(), workspace.view());
}

void mask_inactive_spin_mforces_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                          DeviceWorkspace& workspace) {
  require(protocol.spin_mode != 0, "spin mforce masking requires spin model");
  if (!has_inactive_spin_type(protocol)) return;
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_atom_capacity(atom_count, w);
  require(w.types != nullptr, "workspace missing types");
  require(w.mforce_soa3 != nullptr, "workspace missing mforce output");
  require(m.spin_dof_type_active != nullptr, "model missing spin dof mask");
  run_masking_phase(protocol, atom_count, m, w);
}

}  // namespace quarvel::cuda_backend
