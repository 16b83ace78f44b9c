#include "radial_force.hpp"

#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "radial_basis.cuh"
#include "radial_force_args.cuh"
#include "virial_layout.cuh"
#include "zbl_pair.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kSingleSetBlock = 32;  // one thread per centre atom, one structure
constexpr int kFusedBlock = 64;      // one thread per centre atom, one structure, radial and ZBL terms together
constexpr int kBatchedBlock = 128;   // one thread per centre atom, a batch
// Registers a thread may use: a pass of slopes, the coefficient loads in flight and the pair's sums fit.
constexpr int kThreadRegisters = 128;

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
  ZblCentre centre{};
  if constexpr (Zbl) centre = zbl_centre(a.zbl.atomic_numbers, ti);
  const int nb = a.basis_size_radial + 1;
  float force[kPairAxes] = {0.0f, 0.0f, 0.0f};
  float virial[kVirialComponentCount] = {};
  for_each_radial_neighbor(a.in, a.capacity, a.num_types, cell, i, [&](const RadialNeighbor& neighbor) {
    const int j = neighbor.j;
    const int tj = neighbor.tj;
    const PairSeparation& p = neighbor.p;
    const float r = sqrtf(p.r2);
    if (r <= 0.0f) return;  // coincident atoms have no direction
    const float rc = __ldg(&a.radial_pair_cutoffs[ti * a.num_types + tj]);
    const float inverse_r = 1.0f / r;
    float f12[kPairAxes] = {0.0f, 0.0f, 0.0f};
    float f21[kPairAxes] = {0.0f, 0.0f, 0.0f};
    // The pair's basis slopes, computed once, serve every radial function of both atoms.
    for_each_slope_pass(r, rc, nb, [&](int first, const float (&slopes)[kSlopesPerPass]) {
      for (int n = 0; n <= a.n_max_radial; ++n) {
        const CoefficientRow c12 = coefficient_row<Batched>(a, ti, tj, n);
        const CoefficientRow c21 = coefficient_row<Batched>(a, tj, ti, n);
        const float g12 = contract_slopes(slopes, first, nb, c12.first, c12.step);
        const float g21 = contract_slopes(slopes, first, nb, c21.first, c21.step);
        const float s12 = (g12 * __ldg(&a.fp[soa(n, i, a.capacity)])) * inverse_r;
        const float s21 = (g21 * __ldg(&a.fp[soa(n, j, a.capacity)])) * inverse_r;
        for (int c = 0; c < kPairAxes; ++c) {
          f12[c] += s12 * p.d[c];
          f21[c] -= s21 * p.d[c];
        }
      }
    });
    for (int c = 0; c < kPairAxes; ++c) force[c] += f12[c] - f21[c];
    if constexpr (Zbl) {
      if (p.r2 < a.zbl.outer * a.zbl.outer) {
        const float scale = inverse_r * universal_zbl_terms(a.zbl, centre, tj, r).slope;
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
  });
  for (int c = 0; c < kPairAxes; ++c) a.force_soa3[soa(c, i, a.capacity)] += static_cast<double>(force[c]);
  if (!Scatter && a.write_virial != 0) {
    for (int q = 0; q < kVirialComponentCount; ++q) {
      a.virial_soa9[soa(q, i, a.capacity)] += static_cast<double>(virial[q]);
    }
  }
}

// The fused ZBL instance runs in blocks of its own size and never books a virial.
template <bool Zbl, bool Scatter>
__global__ void __launch_bounds__(Zbl ? kFusedBlock : kSingleSetBlock,
                                  blocks_with_registers(Zbl ? kFusedBlock : kSingleSetBlock, kThreadRegisters))
    accumulate_radial_forces(RadialForceArgs a) {
  static_assert(!(Zbl && Scatter), "the fused radial/ZBL kernel books no virial");
  const std::int64_t i = global_thread_x();
  if (i < a.atom_count) radial_forces_of_atom<false, Zbl, Scatter>(a, static_cast<int>(i));
}

template <bool Scatter>
__global__ void __launch_bounds__(kBatchedBlock, blocks_with_registers(kBatchedBlock, kThreadRegisters))
    accumulate_batched_radial_forces(RadialForceArgs a) {
  const std::int64_t i = global_thread_x();
  if (i < a.atom_count) radial_forces_of_atom<true, false, Scatter>(a, static_cast<int>(i));
}

// The protocol and capacity checks of the two gather launchers, in their order.
void require_radial_shape(const ModelProtocol& protocol, int atom_count, const DeviceWorkspaceView& w) {
  require_radial_protocol(protocol, atom_count);
  require_atom_capacity(atom_count, w);
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
  require_batched_cells(w);
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
  require_atom_capacity(atom_count, w);
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
  args.zbl = make_universal_zbl(protocol, m.atomic_numbers);
  launch_radial<&accumulate_radial_forces<true, false>>(args, kFusedBlock);
  check_cuda(cudaGetLastError(), "accumulate fused radial/ZBL forces kernel launch failed");
}

}  // namespace quarvel::cuda_backend
