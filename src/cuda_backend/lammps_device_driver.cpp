#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "engine_routines.hpp"
#include "evaluation_guard.hpp"
#include "lammps_device_output.hpp"
#include "lammps_device_staging.hpp"
#include "lammps_drivers.hpp"
#include "lammps_list_rules.hpp"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr std::uint64_t kGrowthDivisor = 64;   // a rebuilt workspace gets 1/64 more room ...
constexpr std::uint64_t kGrowthHeadroom = 1024;  // ... plus this many atoms, so small growth does not rebuild
constexpr std::uint64_t kAxes = 3;
constexpr std::uint64_t kVirialComponents = 9;
constexpr cudaStream_t kDefaultStream{};

bool cancelled(const DeviceLammpsDriverModel& model) { return model.cancel_requested.load(std::memory_order_relaxed); }

std::uint64_t with_headroom(std::int32_t count) {
  const auto c = static_cast<std::uint64_t>(count);
  return c + c / kGrowthDivisor + kGrowthHeadroom;
}

// A rank that domain decomposition left without atoms: it has nothing to evaluate.
bool empty_rank(const QrvlLammpsDeviceNeighborInput& in) { return in.nlocal == 0 && in.inum == 0; }

// The refusals that come before any device work, in their fixed order; QRVL_STATUS_OK when all pass.
int check_arguments(const DeviceLammpsDriverModel& model, const QrvlLammpsDeviceNeighborInput& in,
                    const QrvlLammpsDeviceNeighborResult& r) {
  const bool active_atoms_valid = in.inum >= 1 || empty_rank(in);
  if (in.nlocal < 0 || in.nall < in.nlocal || !active_atoms_valid || in.max_neighbors < 0 || in.neighbor_rows < 1 ||
      in.numneigh_length < 1 || in.ilist == nullptr || in.numneigh == nullptr || in.neighbors == nullptr ||
      in.types == nullptr || in.positions == nullptr || in.neighbor_atom_stride < 1 || in.neighbor_slot_stride < 1 ||
      in.position_atom_stride < 1 || in.position_component_stride < 1 || r.force == nullptr ||
      r.force_atom_stride < 1 || r.force_component_stride < 1) {
    return report_invalid_argument("invalid device LAMMPS neighbor input or force output");
  }
  if (in.inum > in.nlocal) return report_invalid_argument(kIlistLongerThanNlocal);
  if ((r.energy == nullptr) != (r.virial == nullptr)) {
    return report_invalid_argument("device LAMMPS totals require both energy and virial pointers");
  }
  if (r.virial_per_atom != nullptr && (r.virial_atom_stride < 1 || r.virial_component_stride < 1)) {
    return report_invalid_argument("invalid device LAMMPS per-atom virial layout");
  }
  if ((in.type_map == nullptr && in.type_map_length != 0) || (in.type_map != nullptr && in.type_map_length < 1)) {
    return report_invalid_argument("invalid device LAMMPS type map layout");
  }
  const bool spin = model.protocol.spin_mode != 0;
  if (spin && (in.spins == nullptr || in.spin_atom_stride < 1 || in.spin_component_stride < 1)) {
    return report_invalid_argument("spin model requires valid device LAMMPS spins");
  }
  if (r.mforce != nullptr && (r.mforce_atom_stride < 1 || r.mforce_component_stride < 1)) {
    return report_invalid_argument("invalid device LAMMPS mforce layout");
  }
  if (r.spin_transfer != nullptr) {
    if (r.spin_transfer_atom_stride < 1 || r.spin_transfer_component_stride < 1) {
      return report_invalid_argument("invalid device spin-transfer layout");
    }
    if (!spin) return QRVL_STATUS_UNSUPPORTED;
  }
  if (cancelled(model)) return QRVL_STATUS_CANCELLED;
  if (!supports_force_pipeline(model.protocol)) return QRVL_STATUS_UNSUPPORTED;
  return QRVL_STATUS_OK;
}

// What this call needs of the cached workspace.
struct WorkspaceNeeds {
  std::uint64_t atoms = 0;
  std::uint64_t active_atoms = 0;
  bool float_sink = false;
  bool spin_transfer = false;
};

WorkspaceNeeds workspace_needs(const DeviceLammpsDriverModel& model, const QrvlLammpsDeviceNeighborInput& in,
                               const QrvlLammpsDeviceNeighborResult& r) {
  const bool cached = model.workspace != nullptr;
  WorkspaceNeeds needs;
  if (in.position_atom_stride == 1 && in.position_component_stride >= in.nall) {
    needs.atoms = static_cast<std::uint64_t>(in.position_component_stride);  // lets staging use them in place
  } else if (cached && model.workspace_atoms >= static_cast<std::uint64_t>(in.nall)) {
    needs.atoms = model.workspace_atoms;
  } else {
    needs.atoms = with_headroom(in.nall);
  }
  if (cached && model.workspace_active_atoms >= static_cast<std::uint64_t>(in.inum)) {
    needs.active_atoms = model.workspace_active_atoms;
  } else {
    needs.active_atoms = with_headroom(in.inum);
  }
  needs.active_atoms = std::min(needs.active_atoms, needs.atoms);
  needs.float_sink = model.protocol.charge_mode == 0 && r.virial_per_atom != nullptr;
  needs.spin_transfer = r.spin_transfer != nullptr;
  return needs;
}

bool cached_workspace_fits(const DeviceLammpsDriverModel& model, const WorkspaceNeeds& needs, const ModelProtocol& p) {
  return model.workspace != nullptr && model.workspace_atoms >= needs.atoms &&
         model.workspace_active_atoms >= needs.active_atoms &&
         model.workspace_radial_capacity >= p.neighbor_capacity_radial &&
         model.workspace_angular_capacity >= p.neighbor_capacity_angular &&
         (!needs.float_sink || model.workspace_float_sink) && (!needs.spin_transfer || model.workspace_spin_transfer);
}

// Builds the new workspace before dropping the old one, so a failed rebuild leaves the cache as it was.
void rebuild_workspace(DeviceLammpsDriverModel& model, const WorkspaceNeeds& needs, const ModelProtocol& p) {
  auto fresh = std::make_unique<DeviceWorkspace>(make_external_neighbor_workspace_plan(
      p, needs.atoms, needs.active_atoms, needs.float_sink, needs.spin_transfer));
  model.workspace = std::move(fresh);
  model.workspace_atoms = needs.atoms;
  model.workspace_active_atoms = needs.active_atoms;
  model.workspace_radial_capacity = p.neighbor_capacity_radial;
  model.workspace_angular_capacity = p.neighbor_capacity_angular;
  model.workspace_float_sink = needs.float_sink;
  model.workspace_spin_transfer = needs.spin_transfer;
}

// The phase timer of a profiled call; inactive (and never waiting) otherwise.
class ProfiledCall {
 public:
  ProfiledCall(bool active, std::int32_t sample, std::int32_t nlocal) {
    timer_.active = active;
    timer_.sample = sample;
    timer_.nlocal = nlocal;
    if (!active) return;
    (void)cudaEventCreate(&timer_.start);
    (void)cudaEventCreate(&timer_.stop);
    restart();
  }
  bool active() const { return timer_.active; }
  void restart() {
    if (timer_.active) (void)cudaEventRecord(timer_.start, kDefaultStream);
  }
  void lap(float& milliseconds) {
    if (timer_.active) timer_.lap(milliseconds);
  }
  void set_rebuild(bool rebuild) { timer_.rebuild = rebuild; }
  void print(const PairProfilePhases& phases) const {
    if (!timer_.active) return;
    const std::string line = format_pair_profile_line(timer_.sample, timer_.nlocal, timer_.rebuild, phases);
    std::fputs(line.c_str(), stderr);
  }

 private:
  LapTimer timer_;  // destroys its events when the call ends, also by an exception
};

std::int32_t virial_mode(const QrvlLammpsDeviceNeighborResult& r) {
  if (r.virial_per_atom != nullptr) return kPerAtomVirials;
  return r.energy != nullptr ? kVirialTotals : kNoVirial;
}

int evaluate_checked(DeviceLammpsDriverModel& model, const QrvlLammpsDeviceNeighborInput& in,
                     const QrvlLammpsDeviceNeighborResult& r) {
  // The caller's rows never hold more than max_neighbors, so larger lists would only waste memory; rows that hold
  // nothing still get lists of one slot, which the plan needs.
  const std::int32_t row_capacity = std::max(in.max_neighbors, 1);
  ModelProtocol p = model.protocol;
  p.neighbor_capacity_radial = std::min(p.neighbor_capacity_radial, row_capacity);
  p.neighbor_capacity_angular = std::min(p.neighbor_capacity_angular, row_capacity);
  const WorkspaceNeeds needs = workspace_needs(model, in, r);
  const bool rebuild = !cached_workspace_fits(model, needs, p);

  const PairProfileSettings settings = read_pair_profile_settings(model.environment);
  std::int32_t sample = 0;
  const bool profiled = claim_pair_profile_sample(settings, model.profile_samples, sample);
  ProfiledCall profile(profiled, sample, in.nlocal);
  profile.set_rebuild(rebuild);
  PairProfilePhases phases;

  if (rebuild) rebuild_workspace(model, needs, p);
  DeviceWorkspace& workspace = *model.workspace;
  // Every call reads back what the staging found, so the same input always gets the same answer, whether the
  // workspace was built for it or kept from an earlier call.
  stage_lammps_device_neighbors_on_device(in, p, workspace, true);
  profile.lap(phases.stage_ms);

  const SimulationBox box = lammps_identity_box();
  const bool totals = r.energy != nullptr;
  const bool compute_energy = totals || r.potential != nullptr;
  const DeviceWorkspaceView v = workspace.view();
  const std::uint64_t a = v.atom_capacity;
  if (compute_energy) clear_device_doubles(v.potential, static_cast<std::size_t>(in.nlocal));
  clear_device_doubles(v.force_soa3, kAxes * a);
  if (v.mforce_soa3 != nullptr) clear_device_doubles(v.mforce_soa3, kAxes * a);
  if (totals || r.virial_per_atom != nullptr) clear_device_doubles(v.virial_soa9, kVirialComponents * a);
  profile.lap(phases.clear_ms);

  const ForceEvaluationRequest request{kDeviceLammpsNeighborTopology, virial_mode(r), compute_energy,
                                       needs.spin_transfer, in.nall};
  model.stages.force_pipeline(p, request, in.nlocal, box, model.device_model, workspace,
                              profile.active() ? &phases.pipeline : nullptr);
  profile.restart();
  write_lammps_device_outputs(in, r, workspace);
  profile.lap(phases.output_ms);
  profile.print(phases);
  return cancelled(model) ? QRVL_STATUS_CANCELLED : QRVL_STATUS_OK;
}

}  // namespace

std::atomic<std::uint32_t>& process_pair_profile_samples() {
  // The one piece of process-wide state of the LAMMPS path: profiled calls are numbered across all models.
  static std::atomic<std::uint32_t> samples{0};
  return samples;
}

int evaluate_device_lammps_neighbors(DeviceLammpsDriverModel& model, const QrvlLammpsDeviceNeighborInput& input,
                                     const QrvlLammpsDeviceNeighborResult& result) {
  const int status = check_arguments(model, input, result);
  if (status != QRVL_STATUS_OK) return status;
  return guard_evaluation([&]() -> int {
    const EvaluationDevice device(model.device);
    if (empty_rank(input)) {
      clear_lammps_device_totals(result);
      return QRVL_STATUS_OK;
    }
    return evaluate_checked(model, input, result);
  });
}

}  // namespace quarvel::cuda_backend
