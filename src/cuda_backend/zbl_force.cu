#include "zbl_force.hpp"

#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "virial_layout.cuh"
#include "workspace_checks.hpp"
#include "zbl_pair.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kZblBlock = 128;  // one thread per centre atom

// Everything the ZBL kernels read and write.
struct ZblForceArgs {
  int atom_count;  // N
  int capacity;    // A
  int num_types;
  const float* zbl_pair_parameters;  // kZblRecordFloats per ordered type pair
  const std::int32_t* atomic_numbers;
  RadialPairInputs in;
  double* potential;
  double* force_soa3;
  double* virial_soa9;
  float* virial_sink;  // per_atom_virial_float_soa9 of the device LAMMPS path; null elsewhere
};

// One thread per atom over its full radial list: the pair force dE/dr (r_j - r_i)/r goes to atom i only (j gets
// it from its own list), and half the pair energy to each atom of the pair. The owner virial books the pair term
// -d (x) h on i, the scatter virial on j, with h = (dE/dr / 2r) d the half pair force; the sink adds the owner
// virial and books the term on j in the float sink as well.
template <bool Batched, bool EnergyAndVirial, bool Scatter, bool Sink>
__device__ __forceinline__ void zbl_forces_of_atom(const ZblForceArgs& a, int i) {
  const int ti = __ldg(&a.in.types[i]);
  if (!known_type(ti, a.num_types)) return;
  const AtomCell cell = cell_of_atom<Batched>(a.in, i);
  const ZblCentre centre = zbl_centre(a.atomic_numbers, ti);
  float energy = 0.0f;
  float force[kPairAxes] = {0.0f, 0.0f, 0.0f};
  float virial[kVirialComponentCount] = {};
  for_each_radial_neighbor(a.in, a.capacity, a.num_types, cell, i, [&](const RadialNeighbor& neighbor) {
    const int j = neighbor.j;
    const int tj = neighbor.tj;
    const float* record = a.zbl_pair_parameters + static_cast<std::size_t>(ti * a.num_types + tj) * kZblRecordFloats;
    const float* d = neighbor.p.d;
    const float r2 = neighbor.p.r2;
    const float r_out = __ldg(&record[kZblOuterCutoff]);
    if (r2 <= 0.0f || r2 >= r_out * r_out) return;  // rejected before any root or exponential
    const float r = sqrtf(r2);
    const int zj = __ldg(&a.atomic_numbers[tj]);
    const ZblPairTerms terms = zbl_pair_terms(r, centre.power, zbl_charge_power(zj), centre.z * zj,
                                              record + kZblFirstScreening, __ldg(&record[kZblInnerCutoff]), r_out);
    const float half_over_r = (1.0f / r) * (0.5f * terms.slope);
    float h[kPairAxes];
    for (int c = 0; c < kPairAxes; ++c) {
      h[c] = half_over_r * d[c];
      force[c] += 2.0f * h[c];
    }
    if constexpr (EnergyAndVirial) {
      energy += 0.5f * terms.energy;  // the full list visits the pair from both atoms
      for (int q = 0; q < kVirialComponentCount; ++q) {
        const float term = -(d[virial_row(q)] * h[virial_column(q)]);
        if constexpr (Scatter) {
          atomicAdd(&a.virial_soa9[soa(q, j, a.capacity)], static_cast<double>(term));
        } else {
          if constexpr (Sink) atomicAdd(&a.virial_sink[soa(q, j, a.capacity)], term);
          virial[q] += term;
        }
      }
    }
  });
  for (int c = 0; c < kPairAxes; ++c) a.force_soa3[soa(c, i, a.capacity)] += static_cast<double>(force[c]);
  if constexpr (EnergyAndVirial) {
    a.potential[i] += static_cast<double>(energy);
    if constexpr (!Scatter) {
      for (int q = 0; q < kVirialComponentCount; ++q) {
        a.virial_soa9[soa(q, i, a.capacity)] += static_cast<double>(virial[q]);
      }
    }
  }
}

template <bool EnergyAndVirial, bool Scatter, bool Sink>
__global__ void __launch_bounds__(kZblBlock) accumulate_zbl_forces(ZblForceArgs a) {
  const std::int64_t i = global_thread_x();
  if (i < a.atom_count) zbl_forces_of_atom<false, EnergyAndVirial, Scatter, Sink>(a, static_cast<int>(i));
}

template <bool Scatter>
__global__ void __launch_bounds__(kZblBlock) accumulate_batched_zbl_forces(ZblForceArgs a) {
  const std::int64_t i = global_thread_x();
  if (i < a.atom_count) zbl_forces_of_atom<true, true, Scatter, false>(a, static_cast<int>(i));
}

// Every check both launchers make, in their order; the batched cell arrays come between the model arrays and
// the per-atom arrays.
void validate_zbl_inputs(const ModelProtocol& protocol, int atom_count, const DeviceModelView& m,
                         const DeviceWorkspaceView& w, bool batched) {
  require(atom_count >= 0, "atom_count must be non-negative");
  require(protocol.has_zbl, "ZBL force kernel requires a ZBL model");
  require_atom_capacity(atom_count, w);
  const std::uint64_t types = protocol.num_types > 0 ? static_cast<std::uint64_t>(protocol.num_types) : 0;
  require(m.atomic_numbers != nullptr, "model missing atomic numbers");
  require(m.atomic_numbers_count >= types, "model atomic number buffer is too small");
  require(m.zbl_pair_parameters != nullptr, "model missing ZBL pair parameters");
  require(m.zbl_pair_parameters_count >= kZblRecordFloats * types * types,
          "model ZBL pair parameter buffer is too small");
  if (batched) require_batched_cells(w);
  require(w.types != nullptr, "workspace missing atom types");
  require(w.positions_soa3 != nullptr, "workspace missing positions");
  require(w.nn_radial != nullptr, "workspace missing radial counts");
  require(w.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  require(w.potential != nullptr, "workspace missing potential output");
  require(w.force_soa3 != nullptr, "workspace missing force output");
  require(w.virial_soa9 != nullptr, "workspace missing virial output");
}

ZblForceArgs make_zbl_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                           const DeviceModelView& m, const DeviceWorkspaceView& w) {
  ZblForceArgs a{};
  a.atom_count = atom_count;
  a.capacity = static_cast<int>(w.atom_capacity);
  a.num_types = protocol.num_types;
  a.zbl_pair_parameters = m.zbl_pair_parameters;
  a.atomic_numbers = m.atomic_numbers;
  a.in = make_radial_pair_inputs(box, w);
  a.potential = w.potential;
  a.force_soa3 = w.force_soa3;
  a.virial_soa9 = w.virial_soa9;
  a.virial_sink = w.per_atom_virial_float_soa9;
  return a;
}

template <auto Kernel>
void launch_zbl(const ZblForceArgs& args) {
  if (args.atom_count > 0) {
    launch_kernel<Kernel>(dim3(blocks_for(args.atom_count, kZblBlock)), dim3(kZblBlock), 0, args);
  }
}

}  // namespace

void accumulate_zbl_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                     const DeviceModel& model, DeviceWorkspace& workspace, bool energy_and_virial,
                                     VirialTarget target) {
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  validate_zbl_inputs(protocol, atom_count, m, w, false);
  if (target == VirialTarget::float_sink) {
    require(w.per_atom_virial_float_soa9 != nullptr, "workspace missing per-atom virial sink");
  }
  const ZblForceArgs args = make_zbl_args(protocol, atom_count, box, m, w);
  // Energies come with a virial: without a target it is booked on the centre atom.
  if (!energy_and_virial) {
    launch_zbl<&accumulate_zbl_forces<false, false, false>>(args);
  } else if (target == VirialTarget::fp64_scatter) {
    launch_zbl<&accumulate_zbl_forces<true, true, false>>(args);
  } else if (target == VirialTarget::float_sink) {
    launch_zbl<&accumulate_zbl_forces<true, false, true>>(args);
  } else {
    launch_zbl<&accumulate_zbl_forces<true, false, false>>(args);
  }
  check_cuda(cudaGetLastError(), "accumulate ZBL forces kernel launch failed");
}

void accumulate_zbl_forces_batched(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                   DeviceWorkspace& workspace, VirialTarget target) {
  require(target == VirialTarget::fp64_owner || target == VirialTarget::fp64_scatter,
          "batched ZBL forces require an FP64 virial target");
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  validate_zbl_inputs(protocol, atom_count, m, w, true);
  const SimulationBox unused_box{};  // every atom takes its structure's cell from the workspace
  const ZblForceArgs args = make_zbl_args(protocol, atom_count, unused_box, m, w);
  if (target == VirialTarget::fp64_scatter) {
    launch_zbl<&accumulate_batched_zbl_forces<true>>(args);
  } else {
    launch_zbl<&accumulate_batched_zbl_forces<false>>(args);
  }
  check_cuda(cudaGetLastError(), "accumulate batched ZBL forces launch failed");
  check_cuda(cudaDeviceSynchronize(), "accumulate batched ZBL forces failed");
}

}  // namespace quarvel::cuda_backend
