#include "force_pipeline.hpp"

#include <memory>
#include <stdexcept>

#include "engine_routines.hpp"

namespace quarvel::cuda_backend {
namespace {

// Phase laps of a timed call; absent when the caller asked for no timings, so nothing ever waits then.
class PipelineLaps {
 public:
  explicit PipelineLaps(bool active) {
    if (!active) return;
    timer_ = std::make_unique<LapTimer>();
    timer_->active = true;
    (void)cudaEventCreate(&timer_->start);
    (void)cudaEventCreate(&timer_->stop);
    (void)cudaEventRecord(timer_->start, cudaStream_t{});
  }

  void lap(float* milliseconds) {
    if (timer_ != nullptr) timer_->lap(*milliseconds);
  }

 private:
  std::unique_ptr<LapTimer> timer_;  // its destructor destroys the events, also when a stage throws
};

bool lammps_lists(std::int32_t topology) {
  return topology == kDeviceLammpsNeighborTopology || topology == kHostLammpsNeighborTopology;
}

// Per-atom virials of LAMMPS lists are booked on the centre for the totals and into the float sink for the rows,
// so the totals do not depend on whether rows are asked for.
VirialTarget stage_target(const ForceEvaluationRequest& request) {
  switch (request.virial_mode) {
    case kNoVirial:
      return VirialTarget::none;
    case kVirialTotals:
      return VirialTarget::fp64_owner;
    case kPerAtomVirials:
      return lammps_lists(request.neighbor_topology) ? VirialTarget::float_sink : VirialTarget::fp64_scatter;
    default:
      throw std::invalid_argument("invalid virial output mode");
  }
}

// The separate ZBL stage books energies and virials whenever there is a virial or energies are wanted. Its
// per-atom virials go where the other stages put theirs, so that they reach the caller with every other term.
VirialTarget zbl_stage_target(const ForceEvaluationRequest& request, bool zbl_energy_and_virial) {
  if (!zbl_energy_and_virial) return VirialTarget::none;
  if (request.virial_mode != kPerAtomVirials) return VirialTarget::fp64_owner;
  return lammps_lists(request.neighbor_topology) ? VirialTarget::float_sink : VirialTarget::fp64_scatter;
}

// Whether the radial stage adds a plain (neither flexible nor typewise) ZBL repulsion itself, which it can when
// the radial cutoff covers the ZBL range; batched lists always run the separate ZBL stage.
bool zbl_fused_into_radial(const ModelProtocol& p, const ForceEvaluationRequest& request, bool zbl_energy_and_virial) {
  if (request.neighbor_topology == kBatchedNeighborTopology) return false;
  const bool fusable = p.has_zbl && !p.flexible_zbl && !p.typewise_zbl && p.cutoff_radial >= p.zbl_rc_outer;
  if (request.neighbor_topology == kSingleSetNeighborTopology) return fusable && !zbl_energy_and_virial;
  return fusable;
}

}  // namespace

void run_force_pipeline(const ModelProtocol& protocol, const ForceEvaluationRequest& request, int atom_count,
                        const SimulationBox& box, const DeviceModel& model, DeviceWorkspace& workspace,
                        ForcePipelineTimings* timings) {
  run_force_pipeline(ForcePipelineStages{}, protocol, request, atom_count, box, model, workspace, timings);
}

void run_force_pipeline(const ForcePipelineStages& stages, const ModelProtocol& protocol,
                        const ForceEvaluationRequest& request, int atom_count, const SimulationBox& box,
                        const DeviceModel& model, DeviceWorkspace& workspace, ForcePipelineTimings* timings) {
  if (protocol.charge_mode != 0) {
    throw std::invalid_argument("CUDA force pipeline charge integration is not implemented");
  }
  const std::int32_t topology = request.neighbor_topology;
  if (topology != kBatchedNeighborTopology && topology != kSingleSetNeighborTopology && !lammps_lists(topology)) {
    throw std::invalid_argument("invalid neighbor topology");
  }
  PipelineLaps laps(timings != nullptr);
  const bool batched = topology == kBatchedNeighborTopology;
  const bool spin = protocol.spin_mode != 0;
  if (batched && spin) {
    throw std::invalid_argument("spin execution pipeline does not support batched neighbor topology");
  }

  stages.descriptors(protocol, atom_count, box, model, workspace,
                     batched ? DescriptorCoreTopology::batched : DescriptorCoreTopology::single_box);
  if (spin) stages.spin_descriptors(protocol, atom_count, box, model, workspace);
  stages.network(protocol, atom_count, model, workspace);
  if (timings != nullptr) laps.lap(&timings->descriptor_ann_ms);

  const VirialTarget target = stage_target(request);
  const bool zbl_energy_and_virial = request.virial_mode == kNoVirial ? request.compute_energy : true;
  const VirialTarget zbl_target = zbl_stage_target(request, zbl_energy_and_virial);
  const bool fused_zbl = zbl_fused_into_radial(protocol, request, zbl_energy_and_virial);

  if (batched) {
    stages.radial_batched(protocol, atom_count, model, workspace, target);
  } else if (topology == kSingleSetNeighborTopology) {
    if (fused_zbl) {
      stages.radial_with_zbl(protocol, atom_count, box, model, workspace);
    } else {
      stages.radial(protocol, atom_count, box, model, workspace, target, true);
    }
  } else {
    if (target == VirialTarget::float_sink) stages.float_sink(atom_count, workspace);
    // The LAMMPS radial stage adds ZBL exactly when the protocol it is given says so.
    ModelProtocol radial_protocol = protocol;
    radial_protocol.has_zbl = fused_zbl;
    stages.lammps_radial(radial_protocol, atom_count, box, model, workspace, target, request.compute_energy);
  }
  if (timings != nullptr) laps.lap(&timings->radial_force_ms);

  if (protocol.body_channels.channel_count() >= 1) {
    if (batched) {
      stages.angular_batched(protocol, atom_count, model, workspace, target);
    } else {
      stages.angular(protocol, atom_count, model, workspace, target);
    }
  }
  if (timings != nullptr) laps.lap(&timings->angular_force_ms);

  if (protocol.has_zbl && !fused_zbl) {
    if (batched) {
      stages.zbl_batched(protocol, atom_count, model, workspace, zbl_target);
    } else {
      stages.zbl(protocol, atom_count, box, model, workspace, zbl_energy_and_virial, zbl_target);
    }
  }
  if (timings != nullptr) laps.lap(&timings->zbl_force_ms);

  if (spin) {
    SpinForceTimings spin_timings{};
    stages.spin_forces(protocol, atom_count, box, model, workspace, target, request.spin_transfer,
                       timings != nullptr ? &spin_timings : nullptr);
    if (timings != nullptr) {
      timings->spin_onsite_ms = spin_timings.onsite_ms;
      timings->spin_density_ms = spin_timings.density_ms;
      timings->spin_chiral_ms = spin_timings.chiral_ms;
    }
    // The spin stage masks the centres; pushed magnetic forces also reach the ghost rows of LAMMPS lists.
    if (lammps_lists(topology)) stages.spin_mask(protocol, request.staged_atom_count, model, workspace);
  }
}

}  // namespace quarvel::cuda_backend
