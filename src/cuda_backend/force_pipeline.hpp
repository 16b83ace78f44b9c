#pragma once
// The fixed sequence of device stages that turns staged atoms and neighbor lists into energies, forces and
// virials: descriptors, spin descriptors, network, radial, angular and ZBL forces, spin forces.
#include <cstdint>

#include "pipeline_stages.hpp"

namespace quarvel::cuda_backend {

// Which neighbor lists the pipeline reads (ForceEvaluationRequest::neighbor_topology).
constexpr std::int32_t kBatchedNeighborTopology = 0;      // a batch, per-structure cells in the workspace
constexpr std::int32_t kSingleSetNeighborTopology = 1;    // one list set and one SimulationBox
// The caller's LAMMPS lists (2 from device memory, 3 from host memory): the centres are atoms 0 .. atom_count-1,
// the lists may name ghost atoms without lists of their own, so the radial, angular and spin stages push each
// pair force onto the neighbor too (the ZBL stage, whose full list visits each pair from both atoms, adds to the
// centre only). Per-atom virials are booked twice: on the centre in virial_soa9 for the totals, and in the
// float sink on the atoms they belong to for the per-atom rows.
constexpr std::int32_t kDeviceLammpsNeighborTopology = 2;
constexpr std::int32_t kHostLammpsNeighborTopology = 3;

// Virial outputs asked of the pipeline (ForceEvaluationRequest::virial_mode).
constexpr std::int32_t kNoVirial = 0;
constexpr std::int32_t kVirialTotals = 1;    // per-atom values booked on the centre atom, reduced later
constexpr std::int32_t kPerAtomVirials = 2;

// What one evaluation asks of the pipeline; built by the driver that calls it.
struct ForceEvaluationRequest {
  std::int32_t neighbor_topology = kBatchedNeighborTopology;
  std::int32_t virial_mode = kVirialTotals;
  bool compute_energy = true;  // steers ZBL energies when no virial is wanted, and the LAMMPS radial stage
  bool spin_transfer = false;  // spin models: the spin-transfer output is wanted
  // LAMMPS lists: the atoms the rows reach, 0 .. staged_atom_count-1 (centres and ghosts), which receive pushed
  // terms; spin models mask their magnetic forces too.
  std::int32_t staged_atom_count = 0;
};

// Milliseconds of the timed phases, filled when the caller asks for timings.
struct ForcePipelineTimings {
  float descriptor_ann_ms = 0.0f;
  float radial_force_ms = 0.0f;
  float angular_force_ms = 0.0f;
  float zbl_force_ms = 0.0f;
  float spin_onsite_ms = 0.0f;
  float spin_density_ms = 0.0f;
  float spin_chiral_ms = 0.0f;
};

// The stages the pipeline calls, in one record so that a test can observe the sequence; the defaults are the
// library's own.
struct ForcePipelineStages {
  decltype(&build_descriptor_core_from_positions_on_device) descriptors =
      &build_descriptor_core_from_positions_on_device;
  decltype(&build_spin_descriptors_on_device) spin_descriptors = &build_spin_descriptors_on_device;
  decltype(&evaluate_ann_energy_on_device) network = &evaluate_ann_energy_on_device;
  decltype(&accumulate_radial_forces_batched) radial_batched = &accumulate_radial_forces_batched;
  decltype(&accumulate_radial_forces_on_device) radial = &accumulate_radial_forces_on_device;
  decltype(&accumulate_radial_and_zbl_forces_on_device) radial_with_zbl = &accumulate_radial_and_zbl_forces_on_device;
  decltype(&prepare_lammps_per_atom_virial_sink) float_sink = &prepare_lammps_per_atom_virial_sink;
  decltype(&accumulate_lammps_radial_forces_on_device) lammps_radial = &accumulate_lammps_radial_forces_on_device;
  decltype(&accumulate_l2_angular_forces_batched) angular_batched = &accumulate_l2_angular_forces_batched;
  decltype(&accumulate_l2_angular_forces_on_device) angular = &accumulate_l2_angular_forces_on_device;
  decltype(&accumulate_zbl_forces_batched) zbl_batched = &accumulate_zbl_forces_batched;
  decltype(&accumulate_zbl_forces_on_device) zbl = &accumulate_zbl_forces_on_device;
  decltype(&accumulate_spin_forces_on_device) spin_forces = &accumulate_spin_forces_on_device;
  decltype(&mask_inactive_spin_mforces_on_device) spin_mask = &mask_inactive_spin_mforces_on_device;
};

// Queues the stages on the default stream for atoms 0 .. atom_count-1 and returns without waiting (except
// where a stage waits, and for the laps when `timings` is non-null). Results stay in the workspace
// accumulators (potential, force_soa3, virial_soa9, mforce_soa3, spin_transfer_soa9, the float sink), which
// the caller prepared. `box` is read for topologies 1 to 3. Throws std::invalid_argument for a charge model,
// a spin model on batched lists, an unknown topology or virial mode; a stage's own failure leaves at once.
void run_force_pipeline(const ModelProtocol& protocol, const ForceEvaluationRequest& request, int atom_count,
                        const SimulationBox& box, const DeviceModel& model, DeviceWorkspace& workspace,
                        ForcePipelineTimings* timings);

// The same with the given stages.
void run_force_pipeline(const ForcePipelineStages& stages, const ModelProtocol& protocol,
                        const ForceEvaluationRequest& request, int atom_count, const SimulationBox& box,
                        const DeviceModel& model, DeviceWorkspace& workspace, ForcePipelineTimings* timings);

}  // namespace quarvel::cuda_backend
