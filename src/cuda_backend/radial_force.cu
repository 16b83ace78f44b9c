#include "radial_force.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "radial_basis.cuh"
#include "virial_layout.cuh"
#include "zbl_pair.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kSingleSetBlock = 32;  // one thread per centre atom, one structure
constexpr int kFusedBlock = 64;      // one thread per centre atom, one structure, radial and ZBL terms together
constexpr int kBatchedBlock = 128;   // one thread per centre atom, a batch
constexpr int kCachedBasisSlopes = 16;  // basis slopes kept per pair in registers; larger bases recompute them

// Everything the radial kernels read and write.
struct RadialForceArgs {
  int atom_count;  // N
  int capacity;    // A: stride of every per-atom array and slot-major list
  int num_types;
  int n_max_radial;
  int basis_size_radial;
  const float* radial_pair_cutoffs;  // Angstrom, [t_i T + t_j]
  float zbl_inner;                   // Angstrom, fused ZBL only: the switch starts here
  float zbl_outer;                   // Angstrom, fused ZBL only: pairs from here on feel no repulsion
  float zbl_screening[2 * kZblScreeningTerms];  // the universal (a_k, b_k), by value so device code sees them
  const std::int32_t* atomic_numbers;           // per type, fused ZBL only
  RadialPairInputs in;
  const float* fp;
  const float* coefficients;  // type-pair-major (one set) or file order (batches)
  double* force_soa3;
  double* virial_soa9;
  int write_virial;
};

// c[t_i, t_j][n][k] in the table the variant reads; both layouts hold the same values.
template <bool Batched>
__device__ __forceinline__ float radial_coefficient(const RadialForceArgs& a, int ti, int tj, int n, int k) {
  const int nb = a.basis_size_radial + 1;
  const int types = a.num_types;
  if constexpr (Batched) {
    return __ldg(&a.coefficients[(static_cast<std::size_t>(n) * nb + k) * types * types + ti * types + tj]);
  } else {
    return __ldg(&a.coefficients[(static_cast<std::size_t>(ti * types + tj) * (a.n_max_radial + 1) + n) * nb + k]);
  }
}

// Slope f_k'(r) of basis function k of a pair; recomputed from the start for bases too large to cache.
__device__ __forceinline__ float basis_slope(float r, float rc, int k) {
  PairBasisWithSlope basis(r, rc);
  float slope = 0.0f;
  for (int b = 0; b <= k; ++b) slope = basis.next().slope;
  return slope;
}

// One thread per centre atom i collects both sides of every pair: f12 = dE_i/dr_j and f21 = dE_j/dr_i, so
// F_i = sum (f12 - f21) is minus the gradient of the total energy with respect to r_i and no other thread writes
// atom i's force. The owner virial books d (x) f21 on i; the scatter virial books -d (x) f12 on j. The fused
// variant adds the whole universal ZBL pair force (dE/dr / r) d of every pair within the ZBL range: the full list
// visits the pair from j as well, which gives j its own share.
template <bool Batched, bool Zbl, bool Scatter>
__device__ __forceinline__ void radial_forces_of_atom(const RadialForceArgs& a, int i) {
  const int ti = __ldg(&a.in.types[i]);
  if (!known_type(ti, a.num_types)) return;
  const AtomCell cell = cell_of_atom<Batched>(a.in, i);
  int zi = 0;
  float zi_power = 0.0f;
  if constexpr (Zbl) {
    zi = __ldg(&a.atomic_numbers[ti]);
    zi_power = zbl_charge_power(zi);
  }
  const int nb = a.basis_size_radial + 1;
  const bool cached = !Batched && nb <= kCachedBasisSlopes;
  float force[kPairAxes] = {0.0f, 0.0f, 0.0f};
  float virial[kVirialComponentCount] = {};
  const int count = __ldg(&a.in.nn_radial[i]);
  for (int s = 0; s < count; ++s) {
    const int j = __ldg(&a.in.nl_radial_slot_major[soa(s, i, a.capacity)]);
    const int tj = __ldg(&a.in.types[j]);
    if (!known_type(tj, a.num_types)) continue;
    const float rc = __ldg(&a.radial_pair_cutoffs[ti * a.num_types + tj]);
    const PairSeparation p = pair_separation(a.in.positions_soa3, a.capacity, i, j, cell.box, cell.inverse, cell.pbc);
    const float r = sqrtf(p.r2);
    if (r <= 0.0f) continue;  // coincident atoms have no direction
    float slopes[kCachedBasisSlopes];
    if (cached) {
      PairBasisWithSlope basis(r, rc);
      for (int k = 0; k < nb; ++k) slopes[k] = basis.next().slope;
    }
    const float inverse_r = 1.0f / r;
    float f12[kPairAxes] = {0.0f, 0.0f, 0.0f};
    float f21[kPairAxes] = {0.0f, 0.0f, 0.0f};
    for (int n = 0; n <= a.n_max_radial; ++n) {
      float g12 = 0.0f;
      float g21 = 0.0f;
      for (int k = 0; k < nb; ++k) {
        const float df = cached ? slopes[k] : basis_slope(r, rc, k);
        g12 = fmaf(df, radial_coefficient<Batched>(a, ti, tj, n, k), g12);
        g21 = fmaf(df, radial_coefficient<Batched>(a, tj, ti, n, k), g21);
      }
      const float s12 = (g12 * __ldg(&a.fp[soa(n, i, a.capacity)])) * inverse_r;
      const float s21 = (g21 * __ldg(&a.fp[soa(n, j, a.capacity)])) * inverse_r;
      for (int c = 0; c < kPairAxes; ++c) {
        f12[c] += s12 * p.d[c];
        f21[c] -= s21 * p.d[c];
      }
    }
    for (int c = 0; c < kPairAxes; ++c) force[c] += f12[c] - f21[c];
    if constexpr (Zbl) {
      if (p.r2 < a.zbl_outer * a.zbl_outer) {
        const int zj = __ldg(&a.atomic_numbers[tj]);
        const ZblPairTerms zbl =
            zbl_pair_terms(r, zi_power, zbl_charge_power(zj), zi * zj, a.zbl_screening, a.zbl_inner, a.zbl_outer);
        const float scale = inverse_r * zbl.slope;
        for (int c = 0; c < kPairAxes; ++c) force[c] += scale * p.d[c];
      }
    }
    if (a.write_virial != 0) {
      for (int q = 0; q < kVirialComponentCount; ++q) {
        if constexpr (Scatter) {
          const float term = -(p.d[virial_row(q)] * f12[virial_column(q)]);
          atomicAdd(&a.virial_soa9[soa(q, j, a.capacity)], static_cast<double>(term));
        } else {
          virial[q] += p.d[virial_row(q)] * f21[virial_column(q)];
        }
      }
    }
  }
  for (int c = 0; c < kPairAxes; ++c) a.force_soa3[soa(c, i, a.capacity)] += static_cast<double>(force[c]);
  if (!Scatter && a.write_virial != 0) {
    for (int q = 0; q < kVirialComponentCount; ++q) {
      a.virial_soa9[soa(q, i, a.capacity)] += static_cast<double>(virial[q]);
    }
  }
}

// The fused ZBL instance runs in blocks of its own size and never books a virial.
template <bool Zbl, bool Scatter>
__global__ void __launch_bounds__(Zbl ? kFusedBlock : kSingleSetBlock) accumulate_radial_forces(RadialForceArgs a) {
  static_assert(!(Zbl && Scatter), "the fused radial/ZBL kernel books no virial");
  const std::int64_t i = global_thread_x();
  if (i < a.atom_count) radial_forces_of_atom<false, Zbl, Scatter>(a, static_cast<int>(i));
}

template <bool Scatter>
__global__ void __launch_bounds__(kBatchedBlock) accumulate_batched_radial_forces(RadialForceArgs a) {
  const std::int64_t i = global_thread_x();
  if (i < a.atom_count) radial_forces_of_atom<true, false, Scatter>(a, static_cast<int>(i));
}

// The protocol checks every radial launcher makes first, in their order.
void require_radial_protocol(const ModelProtocol& protocol, int atom_count) {
  require(atom_count >= 0, "atom_count must be non-negative");
  require(protocol.num_types > 0, "num_types must be positive");
  require(protocol.n_max_radial >= 0, "n_max_radial must be non-negative");
  require(protocol.basis_size_radial >= 0, "basis_size_radial must be non-negative");
  require(protocol.cutoff_radial > 0.0, "radial cutoff must be positive");
}

void require_capacity(int atom_count, const DeviceWorkspaceView& w) {
  require(w.atom_capacity >= static_cast<std::uint64_t>(atom_count), "atom_count exceeds workspace atom capacity");
}

// The protocol and capacity checks of the two gather launchers, in their order.
void require_radial_shape(const ModelProtocol& protocol, int atom_count, const DeviceWorkspaceView& w) {
  require_radial_protocol(protocol, atom_count);
  require_capacity(atom_count, w);
}

// What the fused kernel needs of a ZBL model: the plain (neither flexible nor typewise) repulsion with a usable
// switch, reached through the radial list.
void require_fusable_zbl(const ModelProtocol& p) {
  require(p.has_zbl, "fused radial/ZBL force kernel requires ZBL");
  require(!p.flexible_zbl, "flexible ZBL is not supported yet");
  // Typewise pairs have cutoffs of their own, which the universal repulsion of the fused kernel would ignore.
  require(!p.typewise_zbl, "typewise ZBL is not supported by the fused radial/ZBL force kernel");
  require(p.zbl_rc_inner >= 0.0, "ZBL inner cutoff must be non-negative");
  require(p.zbl_rc_outer > p.zbl_rc_inner, "ZBL outer cutoff must exceed inner");
  require(p.cutoff_radial >= p.zbl_rc_outer, "fused radial/ZBL force kernel reuses the radial neighbor list");
}

// The per-atom arrays both launchers read and write, in their order.
void require_radial_arrays(const DeviceWorkspaceView& w, bool virial) {
  require(w.types != nullptr, "workspace missing atom types");
  require(w.positions_soa3 != nullptr, "workspace missing positions");
  require(w.nn_radial != nullptr, "workspace missing radial counts");
  require(w.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.force_soa3 != nullptr, "workspace missing force output");
  if (virial) require(w.virial_soa9 != nullptr, "workspace missing virial output");
}

RadialForceArgs make_radial_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                 const DeviceModelView& m, const DeviceWorkspaceView& w, const float* coefficients,
                                 bool write_virial) {
  RadialForceArgs a{};
  a.atom_count = atom_count;
  a.capacity = static_cast<int>(w.atom_capacity);
  a.num_types = protocol.num_types;
  a.n_max_radial = protocol.n_max_radial;
  a.basis_size_radial = protocol.basis_size_radial;
  a.radial_pair_cutoffs = m.radial_pair_cutoffs;
  a.in = make_radial_pair_inputs(box, w);
  a.fp = w.fp;
  a.coefficients = coefficients;
  a.force_soa3 = w.force_soa3;
  a.virial_soa9 = w.virial_soa9;
  a.write_virial = write_virial ? 1 : 0;
  return a;
}

template <auto Kernel>
void launch_radial(const RadialForceArgs& args, int block) {
  if (args.atom_count > 0) launch_kernel<Kernel>(dim3(blocks_for(args.atom_count, block)), dim3(block), 0, args);
}

}  // namespace

void accumulate_radial_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                        const DeviceModel& model, DeviceWorkspace& workspace, VirialTarget target,
                                        bool clear_outputs) {
  require(target != VirialTarget::float_sink, "internal radial forces do not support the float virial sink");
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  const bool virial = target != VirialTarget::none;
  require_radial_shape(protocol, atom_count, w);
  require_radial_arrays(w, virial);
  require(m.descriptor_coefficients != nullptr, "model missing descriptor coefficients");
  require(m.type_pair_major_descriptor_coefficients != nullptr,
          "model missing type-pair-major descriptor coefficients");
  if (clear_outputs) {
    check_cuda(cudaMemset(w.force_soa3, 0, kPairAxes * w.atom_capacity * sizeof(double)), "clear force output");
    if (virial) {
      check_cuda(cudaMemset(w.virial_soa9, 0, kVirialComponentCount * w.atom_capacity * sizeof(double)),
                 "clear virial output");
    }
  }
  const RadialForceArgs args =
      make_radial_args(protocol, atom_count, box, m, w, m.type_pair_major_descriptor_coefficients, virial);
  switch (target) {
    case VirialTarget::none:
    case VirialTarget::fp64_owner:
      launch_radial<&accumulate_radial_forces<false, false>>(args, kSingleSetBlock);
      break;
    case VirialTarget::fp64_scatter:
      launch_radial<&accumulate_radial_forces<false, true>>(args, kSingleSetBlock);
      break;
    case VirialTarget::float_sink:
      break;  // refused above
  }
  check_cuda(cudaGetLastError(), "accumulate radial forces kernel launch failed");
}

void accumulate_radial_forces_batched(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                      DeviceWorkspace& workspace, VirialTarget target) {
  require(target == VirialTarget::fp64_owner || target == VirialTarget::fp64_scatter,
          "batched radial forces require an FP64 virial target");
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_radial_shape(protocol, atom_count, w);
  require(w.atom_to_structure != nullptr, "workspace missing atom_to_structure");
  require(w.boxes_row_major9 != nullptr, "workspace missing boxes");
  require(w.box_inverse_row_major9 != nullptr, "workspace missing box inverses");
  require(w.pbc_flags3 != nullptr, "workspace missing pbc flags");
  require_radial_arrays(w, true);
  require(m.descriptor_coefficients != nullptr, "model missing descriptor coefficients");
  check_cuda(cudaMemset(w.force_soa3, 0, kPairAxes * w.atom_capacity * sizeof(double)), "clear batched force output");
  check_cuda(cudaMemset(w.virial_soa9, 0, kVirialComponentCount * w.atom_capacity * sizeof(double)),
             "clear batched virial output");
  const SimulationBox unused_box{};  // every atom takes its structure's cell from the workspace
  const RadialForceArgs args =
      make_radial_args(protocol, atom_count, unused_box, m, w, m.descriptor_coefficients, true);
  if (target == VirialTarget::fp64_scatter) {
    launch_radial<&accumulate_batched_radial_forces<true>>(args, kBatchedBlock);
  } else {
    launch_radial<&accumulate_batched_radial_forces<false>>(args, kBatchedBlock);
  }
  check_cuda(cudaGetLastError(), "accumulate batched radial forces launch failed");
  check_cuda(cudaDeviceSynchronize(), "accumulate batched radial forces failed");
}

void accumulate_radial_and_zbl_forces_on_device(const ModelProtocol& protocol, int atom_count,
                                                const SimulationBox& box, const DeviceModel& model,
                                                DeviceWorkspace& workspace) {
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_radial_protocol(protocol, atom_count);
  require_fusable_zbl(protocol);
  require_capacity(atom_count, w);
  require(m.atomic_numbers != nullptr, "model missing atomic numbers");
  require(m.atomic_numbers_count >= static_cast<std::uint64_t>(protocol.num_types),
          "model atomic number buffer is too small");
  require(m.descriptor_coefficients != nullptr, "model missing descriptor coefficients");
  require(m.type_pair_major_descriptor_coefficients != nullptr,
          "model missing type-pair-major descriptor coefficients");
  require_radial_arrays(w, false);
  check_cuda(cudaMemset(w.force_soa3, 0, kPairAxes * w.atom_capacity * sizeof(double)), "clear force output");
  RadialForceArgs args =
      make_radial_args(protocol, atom_count, box, m, w, m.type_pair_major_descriptor_coefficients, false);
  args.zbl_inner = static_cast<float>(protocol.zbl_rc_inner);
  args.zbl_outer = static_cast<float>(protocol.zbl_rc_outer);
  std::copy(std::begin(kUniversalZblScreening), std::end(kUniversalZblScreening), args.zbl_screening);
  args.atomic_numbers = m.atomic_numbers;
  launch_radial<&accumulate_radial_forces<true, false>>(args, kFusedBlock);
  check_cuda(cudaGetLastError(), "accumulate fused radial/ZBL forces kernel launch failed");
}

}  // namespace quarvel::cuda_backend
