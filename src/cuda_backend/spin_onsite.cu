// Spin forces of a spin model: the onsite magnetic forces of the two |S|^2 rows, the density forces that carry
// the network's derivatives of the density rows back to each neighbour pair, the chiral forces, and the final
// masking of magnetic forces on atoms without a spin degree of freedom. The magnetic force is -dE/dS.
#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "pipeline_stages.hpp"
#include "spin_force_basis.cuh"
#include "virial_layout.cuh"

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
    accumulate_spin_onsite_mforces(int atom_count, int capacity, int first_spin_row, const std::int32_t* types,
                                   const std::int32_t* spin_dof_type_active, const double* spins_soa3,
                                   const float* fp, double* mforce_soa3) {
  const std::int64_t thread = global_thread_x();
  if (thread >= atom_count) return;
  const int i = static_cast<int>(thread);
  if (__ldg(&spin_dof_type_active[__ldg(&types[i])]) == 0) return;
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
    mask_inactive_spin_mforces(int atom_count, int capacity, const std::int32_t* types,
                               const std::int32_t* spin_dof_type_active, double* mforce_soa3) {
  const std::int64_t thread = global_thread_x();
  if (thread >= atom_count) return;
  const int i = static_cast<int>(thread);
  if (__ldg(&spin_dof_type_active[__ldg(&types[i])]) != 0) return;
  for (int c = 0; c < kSpinAxes; ++c) mforce_soa3[soa(c, i, capacity)] = 0.0;
}

// ---------------------------------------------------------------------------------------------------------------
// Density phase.

// Everything the density force kernel reads and writes, in the kernel's parameter order.
struct SpinDensityForceArgs {
  int atom_count;          // N
  int capacity;            // A
  int first_spin_row;      // D0
  int num_types;           // T
  int basis_size;          // B
  float cutoff;            // rc
  SimulationBox box;
  const std::int32_t* types;
  const std::int32_t* spin_dof_type_active;
  const std::int32_t* spin_env_type_active;
  const double* positions_soa3;
  const double* spins_soa3;
  const std::int32_t* nn_radial;
  const std::int32_t* nl_radial_slot_major;
  const float* fp;
  const float* descriptor_coefficients;
  int coefficient_offset;  // first spin coefficient
  const float* rho0;
  const float* angular2;
  const float* angular3;
  const float* angular4;
  const float* geom;
  const float* rho0_dot;
  const float* raw1;
  const float* raw1_dot;
  double* force_soa3;
  double* mforce_soa3;
  double* virial_soa9;
  float* per_atom_virial_float_soa9;
  float* spin_transfer_soa9;
};

__device__ __forceinline__ const float* angular_density(const SpinDensityForceArgs& a, int order) {
  return order == 2 ? a.angular2 : (order == 3 ? a.angular3 : a.angular4);
}

// The centre's derivative of its energy with respect to every density component it has (the slab), filled by the
// slot's lanes together; components k = lane, lane + Lanes, ... of each kind.
template <int C, int L, int Lanes>
__device__ __forceinline__ void fill_density_slab(const SpinDensityForceArgs& a, int i, int lane,
                                                  const double* spin_i, float* slab) {
  using Slab = DensitySlab<C>;
  const int A = a.capacity;
  const int D0 = a.first_spin_row;
  auto row = [&](int r) { return __ldg(&a.fp[soa(D0 + r, i, A)]); };
  for (int k = lane; k < kSpinAxes * C; k += Lanes) {
    const int ch = k / kSpinAxes;
    const std::size_t at = static_cast<std::size_t>(i) * kSpinAxes * C + k;
    const float g_rho = row(spin_rho0_norm_row(C) + ch);
    const float g_rdot = row(spin_rho0_dot_row(C, L) + ch);
    const float rho0 = __ldg(&a.rho0[at]);
    slab[Slab::rho0 + k] = 2.0f * g_rho * rho0 + g_rdot * __ldg(&a.rho0_dot[at]);
    slab[Slab::rho0_dot + k] = g_rdot * rho0;
  }
  if constexpr (L >= 1) {
    for (int k = lane; k < kRaw1Components * C; k += Lanes) {
      const int ch = k / kRaw1Components;
      const int comp = k - kRaw1Components * ch;
      const int ra = comp / kSpinAxes;
      const int rb = comp - kSpinAxes * ra;
      const std::size_t base = (static_cast<std::size_t>(i) * C + ch) * kRaw1Components;
      const float* r = a.raw1 + base;
      const float r_ab = __ldg(&r[kSpinAxes * ra + rb]);
      const float r_ba = __ldg(&r[kSpinAxes * rb + ra]);
      float sym = 0.5f * (r_ab + r_ba);
      float h;
      if (ra == rb) {
        const float trace = (__ldg(&r[0]) + __ldg(&r[4])) + __ldg(&r[8]);
        h = 2.0f * row(spin_raw1_trace_row(C) + ch) * trace;
        sym = sym + trace / (-3.0f);
      } else {
        h = 2.0f * row(spin_raw1_antisymmetric_row(C) + ch) * (r_ab - r_ba);
      }
      const float g_rdot = row(spin_raw1_dot_row(C, L) + ch);
      slab[Slab::raw1 + k] = 2.0f * row(spin_raw1_symmetric_row(C) + ch) * sym + h + g_rdot * __ldg(&a.raw1_dot[base + comp]);
      slab[Slab::raw1_dot + k] = g_rdot * r_ab;
    }
  }
  for (int order = 2; order <= L; ++order) {
    const int z = angular_density_components(order);
    const float* density = angular_density(a, order);
    for (int k = lane; k < z * C; k += Lanes) {
      const float g = row(spin_angular_norm_row(C, order) + k / z);
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
    slab[Slab::geom + k] = static_cast<float>(static_cast<double>(row(spin_geom_row(C, L) + ch)) * value);
  }
}

// Component `axis` of minus the derivative of the geom rows S.G.S with respect to the centre's own spin.
template <int C, int L>
__device__ __forceinline__ double geom_onsite_mforce(const SpinDensityForceArgs& a, int i, int axis,
                                                     const double* spin_i) {
  double m = 0.0;
  for (int ch = 0; ch < C; ++ch) {
    const float* g = a.geom + (static_cast<std::size_t>(i) * C + ch) * kGeomComponents;
    const double gx = static_cast<double>(__ldg(&g[axis == 0 ? 0 : (axis == 1 ? 1 : 2)]));
    const double gy = static_cast<double>(__ldg(&g[axis == 0 ? 1 : (axis == 1 ? 3 : 4)]));
    const double gz = static_cast<double>(__ldg(&g[axis == 0 ? 2 : (axis == 1 ? 4 : 5)]));
    const double weight = static_cast<double>(__ldg(&a.fp[soa(a.first_spin_row + spin_geom_row(C, L) + ch, i,
                                                             a.capacity)]));
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

template <int C, int L, SpinVirialMode Mode, bool Transfer, int AtomsPerBlock, int LanesPerAtom>
__global__ void __launch_bounds__(AtomsPerBlock* LanesPerAtom, kDensityMinBlocksPerSm)
    accumulate_spin_density_forces_tile_f32(SpinDensityForceArgs a) {
  static_assert(AtomsPerBlock * LanesPerAtom == kWarpLanes, "one warp per block");
  constexpr bool kOwnerVirial = Mode == SpinVirialMode::fp64_owner || Mode == SpinVirialMode::float_sink;
  __shared__ float slabs[AtomsPerBlock][DensitySlab<C>::floats];
  const int slot = static_cast<int>(threadIdx.x) / LanesPerAtom;
  const int lane = static_cast<int>(threadIdx.x) % LanesPerAtom;
  const int i = static_cast<int>(blockIdx.x) * AtomsPerBlock + slot;
  const int A = a.capacity;
  const bool active = i < a.atom_count && __ldg(&a.spin_dof_type_active[__ldg(&a.types[i])]) != 0;

  // Centre spin: lanes 0..2 load one component each, then every lane of the slot gets all three.
  double own = (active && lane < kSpinAxes) ? a.spins_soa3[soa(lane, i, A)] : 0.0;
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
    float pair_sum_rows[kSpinPairSumBlocks * C];
    for (int q = 0; q < kSpinPairSumBlocks * C; ++q) {
      pair_sum_rows[q] = __ldg(&a.fp[soa(a.first_spin_row + kSpinOnsiteRows + q, i, A)]);
    }
    const int ti = __ldg(&a.types[i]);
    const int count = __ldg(&a.nn_radial[i]);
    for (int s = lane; s < count; s += LanesPerAtom) {
      const int j = __ldg(&a.nl_radial_slot_major[soa(s, i, A)]);
      const int tj = __ldg(&a.types[j]);
      if (__ldg(&a.spin_env_type_active[tj]) == 0) continue;
      const PairSeparation p = pair_separation(a.positions_soa3, A, i, j, a.box.box, a.box.inverse, a.box.pbc);
      const float r = sqrtf(p.r2);
      if (!(r < a.cutoff) || r <= kSpinMinDistance) continue;  // also drops a distance that is not a number
      const float inverse_r = 1.0f / r;
      const float u[kSpinAxes] = {p.d[0] * inverse_r, p.d[1] * inverse_r, p.d[2] * inverse_r};
      const float sj[kSpinAxes] = {static_cast<float>(a.spins_soa3[soa(0, j, A)]),
                                   static_cast<float>(a.spins_soa3[soa(1, j, A)]),
                                   static_cast<float>(a.spins_soa3[soa(2, j, A)])};
      float g[C];
      float dg[C];
      evaluate_spin_edge_weights_generic_f32<C, true>(a.basis_size, a.cutoff, r, a.num_types, ti * a.num_types + tj,
                                                      a.descriptor_coefficients, a.coefficient_offset, g, dg);
      const DensityPairTerms t = density_pair_terms<C, L>(slab, pair_sum_rows, u, si, sj, g, dg);
      // dE_i/dd: radial part along u plus the part of dE/du across the bond.
      const float u_dot_eu = u[0] * t.e_u[0] + u[1] * t.e_u[1] + u[2] * t.e_u[2];
      float f[kSpinAxes];
      for (int c = 0; c < kSpinAxes; ++c) f[c] = fmaf(t.e_r, u[c], (t.e_u[c] - u_dot_eu * u[c]) / r);
      for (int c = 0; c < kSpinAxes; ++c) {
        atomicAdd(&a.force_soa3[soa(c, j, A)], -static_cast<double>(f[c]));
        atomicAdd(&a.mforce_soa3[soa(c, j, A)], -static_cast<double>(t.e_sj[c]));
        force[c] += f[c];
        mforce[c] -= t.e_si[c];
      }
      const float dd[kSpinAxes] = {r * u[0], r * u[1], r * u[2]};
      if constexpr (Mode != SpinVirialMode::none) {
        for (int q = 0; q < kVirialComponentCount; ++q) {
          const float w = -(dd[virial_row(q)] * f[virial_column(q)]);
          if constexpr (kOwnerVirial) virial[q] += w;
          if constexpr (Mode == SpinVirialMode::fp64_scatter) {
            atomicAdd(&a.virial_soa9[soa(q, j, A)], static_cast<double>(w));
          }
          if constexpr (Mode == SpinVirialMode::float_sink) atomicAdd(&a.per_atom_virial_float_soa9[soa(q, j, A)], w);
        }
      }
      if constexpr (Transfer) {
        for (int k = 0; k < kSpinTransferComponents; ++k) {
          atomicAdd(&a.spin_transfer_soa9[soa(k, j, A)], -(dd[k / kSpinAxes] * t.e_sj[k % kSpinAxes]));
        }
      }
    }
  }

  // Centre writes: the lanes' sums meet in lane 0, which adds them once per atom.
  for (int c = 0; c < kSpinAxes; ++c) {
    force[c] = group_sum<LanesPerAtom>(force[c]);
    mforce[c] = group_sum<LanesPerAtom>(mforce[c]);
  }
  if constexpr (kOwnerVirial) {
    for (int q = 0; q < kVirialComponentCount; ++q) virial[q] = group_sum<LanesPerAtom>(virial[q]);
  }
  double onsite_of[kSpinAxes];
  for (int c = 0; c < kSpinAxes; ++c) onsite_of[c] = __shfl_sync(kFullWarp, onsite, c, LanesPerAtom);
  if (!active || lane != 0) return;
  for (int c = 0; c < kSpinAxes; ++c) {
    atomicAdd(&a.force_soa3[soa(c, i, A)], static_cast<double>(force[c]));
    atomicAdd(&a.mforce_soa3[soa(c, i, A)], onsite_of[c] + static_cast<double>(mforce[c]));
  }
  if constexpr (kOwnerVirial) {
    // No other writer of virial_soa9 in these modes: a plain read-add-write per centre.
    for (int q = 0; q < kVirialComponentCount; ++q) {
      a.virial_soa9[soa(q, i, A)] = a.virial_soa9[soa(q, i, A)] + static_cast<double>(virial[q]);
    }
  }
}

SpinDensityForceArgs make_spin_density_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                            const DeviceModelView& m, const DeviceWorkspaceView& w) {
  return {atom_count,
          static_cast<int>(w.atom_capacity),
          protocol.structural_descriptor_dim,
          protocol.num_types,
          protocol.spin_basis_size_radial,
          static_cast<float>(protocol.spin_cutoff),
          box,
          w.types,
          m.spin_dof_type_active,
          m.spin_env_type_active,
          w.positions_soa3,
          w.spins_soa3,
          w.nn_radial,
          w.nl_radial_slot_major,
          w.fp,
          m.descriptor_coefficients,
          static_cast<int>(protocol.structural_coefficient_count),
          w.spin_density_rho0,
          w.spin_density_angular2,
          w.spin_density_angular3,
          w.spin_density_angular4,
          w.spin_density_geom,
          w.spin_density_rho0_dot,
          w.spin_density_raw1,
          w.spin_density_raw1_dot,
          w.force_soa3,
          w.mforce_soa3,
          w.virial_soa9,
          w.per_atom_virial_float_soa9,
          w.spin_transfer_soa9};
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
// Driver.

// N fits the workspace when, sign-extended and compared unsigned, it is at most the capacity: a negative count
// fails too.
bool fits_workspace(int atom_count, const DeviceWorkspaceView& w) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(atom_count)) <= w.atom_capacity;
}

bool spin_shape_supported(const ModelProtocol& p) {
  return p.spin_compress >= 1 && p.spin_compress <= kSpinMaxChannels && p.spin_compress <= p.spin_basis_size_radial + 1 &&
         p.spin_basis_size_radial + 1 <= kSpinMaxBasis && p.spin_l_max >= 0 && p.spin_l_max <= kSpinMaxAngularOrder;
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
  require(fits_workspace(atom_count, w), "atom_count exceeds workspace atom capacity");
  require(w.spins_soa3 != nullptr, "workspace missing spins");
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.mforce_soa3 != nullptr, "workspace missing mforce output");
  require(m.spin_dof_type_active != nullptr, "model missing spin dof mask");
  if (atom_count > 0) {
    launch_kernel<&accumulate_spin_onsite_mforces>(dim3(blocks_for(atom_count, kSpinOnsiteBlock)),
                                                   dim3(kSpinOnsiteBlock), 0, atom_count,
                                                   static_cast<int>(w.atom_capacity),
                                                   protocol.structural_descriptor_dim, w.types,
                                                   m.spin_dof_type_active, w.spins_soa3, w.fp, w.mforce_soa3);
  }
  check_cuda(cudaGetLastError(), "accumulate spin onsite mforces");
}

// The arrays the density and chiral phases both need, in their check order after the workspace fit.
void require_spin_pair_arrays(const DeviceModelView& m, const DeviceWorkspaceView& w, SpinVirialMode mode,
                              bool spin_transfer) {
  require(w.types != nullptr, "workspace missing types");
  require(m.spin_dof_type_active != nullptr && m.spin_env_type_active != nullptr, "model missing spin type masks");
  require(w.positions_soa3 != nullptr, "workspace missing positions");
  require(w.spins_soa3 != nullptr, "workspace missing spins");
  require(w.nn_radial != nullptr, "workspace missing radial neighbor counts");
  require(w.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.force_soa3 != nullptr, "workspace missing forces");
  require(w.mforce_soa3 != nullptr, "workspace missing mforces");
  require(w.virial_soa9 != nullptr, "workspace missing virials");
  if (mode == SpinVirialMode::float_sink) {
    require(w.per_atom_virial_float_soa9 != nullptr, "workspace missing spin per-atom virial sink");
  }
  if (spin_transfer) require(w.spin_transfer_soa9 != nullptr, "workspace missing spin-transfer output");
}

void require_spin_coefficients(const ModelProtocol& protocol, const DeviceModelView& m) {
  require(m.descriptor_coefficients != nullptr, "model missing descriptor coefficients");
  require(m.descriptor_coefficients_count >= protocol.descriptor_coefficient_count,
          "model descriptor coefficient buffer is too small");
}

void run_density_phase(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                       const DeviceModelView& m, const DeviceWorkspaceView& w, SpinVirialMode mode,
                       bool spin_transfer) {
  require(protocol.spin_mode != 0, "spin density force requires spin model");
  require(protocol.spin_compress >= 1 && protocol.spin_compress <= kSpinMaxChannels,
          "spin density force kernel supports spin_compress <= 4");
  require(protocol.spin_basis_size_radial >= 0 && protocol.spin_basis_size_radial + 1 <= kSpinMaxBasis,
          "spin density force kernel supports spin_basis_size + 1 <= 8");
  require(protocol.spin_l_max >= 0 && protocol.spin_l_max <= kSpinMaxAngularOrder,
          "spin density force kernel supports spin_l_max <= 4");
  require(fits_workspace(atom_count, w), "atom_count exceeds workspace atom capacity");
  require_spin_pair_arrays(m, w, mode, spin_transfer);
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

void run_chiral_phase(const ModelProtocol& protocol, int atom_count, const DeviceModelView& m,
                      const DeviceWorkspaceView& w, SpinVirialMode mode, bool spin_transfer) {
  require(protocol.spin_mode != 0, "spin chiral polar force requires spin model");
  require(protocol.spin_chiral != 0, "spin chiral polar force requires chiral model");
  require(spin_shape_supported(protocol), "CUDA chiral spin force received an unsupported spin shape");
  require(fits_workspace(atom_count, w), "atom_count exceeds workspace atom capacity");
  require_spin_pair_arrays(m, w, mode, spin_transfer);
  require(w.spin_density_geom != nullptr, "workspace missing spin density geom");
  require(w.spin_density_raw1 != nullptr, "workspace missing spin density raw1");
  require(w.spin_chiral_polar != nullptr, "workspace missing spin chiral polar");
  require(w.spin_chiral_octupoles_raw != nullptr, "workspace missing spin chiral octupoles raw");
  require(w.spin_chiral_hexadecapoles_raw != nullptr, "workspace missing spin chiral hexadecapoles raw");
  require(w.spin_chiral_chirals != nullptr, "workspace missing spin chiral chirals");
  require_spin_coefficients(protocol, m);
  // The chiral force kernels are not part of the library yet: a chiral model answers "unsupported" rather than
  // returning forces without the chiral rows.
  throw StageUnavailable("CUDA chiral spin force stage");
}

bool has_inactive_spin_type(const ModelProtocol& protocol) {
  for (const std::int32_t dof : protocol.spin_dof_type) {
    if (dof == 0) return true;
  }
  return false;
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
    run_chiral_phase(protocol, atom_count, model.view(), workspace.view(), mode, spin_transfer);
  }
  timer.phase_done(&SpinForceTimings::chiral_ms);
  if (has_inactive_spin_type(protocol)) {
    const DeviceModelView m = model.view();
    const DeviceWorkspaceView w = workspace.view();
    if (atom_count > 0) {
      launch_kernel<&mask_inactive_spin_mforces>(dim3(blocks_for(atom_count, kSpinOnsiteBlock)),
                                                 dim3(kSpinOnsiteBlock), 0, atom_count,
                                                 static_cast<int>(w.atom_capacity), w.types, m.spin_dof_type_active,
                                                 w.mforce_soa3);
    }
    check_cuda(cudaGetLastError(), "mask inactive spin mforces");
  }
}

}  // namespace quarvel::cuda_backend
