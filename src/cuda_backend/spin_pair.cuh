#pragma once
// What the spin descriptor and spin force kernels share: the record of their inputs over the radial list, the
// neighbors that count within the spin cutoff, and the per-atom spin densities. Only .cu files include this header.
#include <cstdint>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"
#include "device_layout.cuh"
#include "device_model.hpp"
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "pair_geometry.cuh"
#include "simulation_box.hpp"
#include "spin_basis.cuh"

namespace quarvel::cuda_backend {
namespace {

// The inputs every spin kernel over the radial list reads: the atoms with their spins, the list, the type masks and
// the spin block of the descriptor coefficients.
struct SpinPairInputs {
  int atom_count;      // N
  int capacity;        // A: stride of every per-atom array and slot-major list
  int first_spin_row;  // D0: the structural descriptor dimension
  int num_types;       // T
  int basis_size;      // B: B + 1 radial basis functions per channel
  float cutoff;        // rc, Angstrom
  SimulationBox box;
  const std::int32_t* types;
  const std::int32_t* spin_dof_type_active;
  const std::int32_t* spin_env_type_active;
  const double* positions_soa3;
  const double* spins_soa3;
  const std::int32_t* nn_radial;
  const std::int32_t* nl_radial_slot_major;
  const float* descriptor_coefficients;
  int coefficient_offset;  // first spin coefficient
};

inline SpinPairInputs make_spin_pair_inputs(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
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
          m.descriptor_coefficients,
          static_cast<int>(protocol.structural_coefficient_count)};
}

// The atom, spin and list arrays of the record, checked in this order.
inline void require_spin_pair_arrays(const DeviceModelView& m, const DeviceWorkspaceView& w) {
  require(w.types != nullptr, "workspace missing types");
  require(m.spin_dof_type_active != nullptr && m.spin_env_type_active != nullptr, "model missing spin type masks");
  require(w.positions_soa3 != nullptr, "workspace missing positions");
  require(w.spins_soa3 != nullptr, "workspace missing spins");
  require(w.nn_radial != nullptr, "workspace missing radial neighbor counts");
  require(w.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
}

// The spin coefficients of the record: the whole descriptor coefficient table, of which they are the tail.
inline void require_spin_coefficients(const ModelProtocol& protocol, const DeviceModelView& m) {
  require(m.descriptor_coefficients != nullptr, "model missing descriptor coefficients");
  require(m.descriptor_coefficients_count >= protocol.descriptor_coefficient_count,
          "model descriptor coefficient buffer is too small");
}

// The per-atom spin densities (atom-major, spin_density_index) that the descriptor core kernel writes (Value =
// float) and the chiral descriptor and spin force kernels read (Value = const float). Arrays the model's shape does
// not have are null.
template <typename Value>
struct SpinDensities {
  Value* rho0;
  Value* raw1;
  Value* angular2;
  Value* angular3;
  Value* angular4;
  Value* geom;
  Value* rho0_dot;
  Value* raw1_dot;
  Value* polar;          // chiral models
  Value* octupoles;      // chiral models: the raw harmonic cubics
  Value* hexadecapoles;  // chiral models: the raw harmonic quartics of the first min(C, 2) channels
};

template <typename Value>
inline SpinDensities<Value> make_spin_densities(const DeviceWorkspaceView& w) {
  return {w.spin_density_rho0,         w.spin_density_raw1,        w.spin_density_angular2,
          w.spin_density_angular3,     w.spin_density_angular4,    w.spin_density_geom,
          w.spin_density_rho0_dot,     w.spin_density_raw1_dot,    w.spin_chiral_polar,
          w.spin_chiral_octupoles_raw, w.spin_chiral_hexadecapoles_raw};
}

// Whether atom i is a spin centre: its type is one of the model's and carries a spin degree of freedom. Atoms of a
// type outside the model are spinless and are never looked up in the type masks.
__device__ __forceinline__ bool carries_spin(const std::int32_t* types, const std::int32_t* spin_dof_type_active,
                                             int num_types, int i) {
  const int type = __ldg(&types[i]);
  return known_type(type, num_types) && __ldg(&spin_dof_type_active[type]) != 0;
}

__device__ __forceinline__ bool carries_spin(const SpinPairInputs& a, int i) {
  return carries_spin(a.types, a.spin_dof_type_active, a.num_types, i);
}

// One counted spin pair of centre i: the neighbour's type, the distance, the unit direction from i to j and the
// neighbour's spin (float).
struct SpinPair {
  int tj;
  float r;
  float u[kPairAxes];
  float sj[kPairAxes];
};

// Fills the pair of centre i and neighbour j; false when j does not count (a type outside the model or without
// a spin environment, r >= rc, r <= 1e-12, or a distance that is not a number).
__device__ __forceinline__ bool spin_pair_of(const SpinPairInputs& a, int i, int j, SpinPair& pair) {
  pair.tj = __ldg(&a.types[j]);
  if (!known_type(pair.tj, a.num_types) || __ldg(&a.spin_env_type_active[pair.tj]) == 0) return false;
  const PairSeparation p = pair_separation(a.positions_soa3, a.capacity, i, j, a.box.box, a.box.inverse, a.box.pbc);
  pair.r = sqrtf(p.r2);
  if (!(pair.r < a.cutoff) || pair.r <= kSpinMinimumDistance) return false;
  const float inverse_r = 1.0f / pair.r;
  for (int c = 0; c < kPairAxes; ++c) {
    pair.u[c] = p.d[c] * inverse_r;
    pair.sj[c] = static_cast<float>(a.spins_soa3[soa(c, j, a.capacity)]);
  }
  return true;
}

// The pair's edge weights g_n of the C channels for a centre of type ti and, WithSlope, their r-derivatives dg_n.
template <int C, bool WithSlope>
__device__ __forceinline__ void spin_pair_weights(const SpinPairInputs& a, int ti, const SpinPair& pair, float* g,
                                                  float* dg) {
  evaluate_spin_edge_weights_generic_f32<C, WithSlope>(a.basis_size, a.cutoff, pair.r, a.num_types,
                                                       ti * a.num_types + pair.tj, a.descriptor_coefficients,
                                                       a.coefficient_offset, g, dg);
}

}  // namespace
}  // namespace quarvel::cuda_backend
