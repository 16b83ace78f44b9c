// The charge model's stages for one structure, in place of the force pipeline, and its Born effective charges.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "ann_energy.hpp"
#include "engine_routines.hpp"
#include "pipeline_stages.hpp"
#include "qnep_ann_energy.hpp"
#include "qnep_bec.hpp"
#include "qnep_charge.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kBecComponents = 9;  // row-major 3 x 3 per atom

}  // namespace

void run_charge_model_sequence(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                               const DeviceModel& model, DeviceWorkspace& workspace, bool potential_given,
                               bool virial_per_atom_given) {
  const bool angular = protocol.body_channels.channel_count() > 0;
  // Per-atom virials are always accumulated; booking them on the neighbour serves callers that read them.
  const VirialTarget target = virial_per_atom_given ? VirialTarget::fp64_scatter : VirialTarget::fp64_owner;
  build_descriptor_core_from_positions_on_device(protocol, atom_count, box, model, workspace,
                                                 DescriptorCoreTopology::single_box);
  evaluate_qnep_ann_on_device(protocol, atom_count, model, workspace);
  if (angular) build_atom_type_schedule_on_device(protocol, atom_count, workspace);
  zero_total_charge_on_device(atom_count, workspace);
  // Clears forces and virials: the electrostatic ones come first and every later stage adds to them.
  apply_qnep_charge_terms_on_device(protocol, atom_count, box, workspace, potential_given, virial_per_atom_given);
  add_charge_chain_to_fp_on_device(protocol, atom_count, workspace);
  accumulate_radial_forces_on_device(protocol, atom_count, box, model, workspace, target, false);
  if (angular) accumulate_l2_angular_forces_on_device(protocol, atom_count, model, workspace, target);
  if (protocol.has_zbl) accumulate_zbl_forces_on_device(protocol, atom_count, box, model, workspace, true, target);
}

void add_charge_model_bec_to_result(const HostModelParameters& parameters, const ModelProtocol& protocol,
                                    int atom_count, int atom_offset, const SimulationBox& box,
                                    const DeviceModel& model, DeviceWorkspace& workspace,
                                    QrvlFindForceResult& result) {
  const std::vector<float>& ann = parameters.ann_type_major;
  if (parameters.sqrt_epsilon_inf_index >= ann.size()) {
    throw std::runtime_error("qNEP model is missing sqrt_epsilon_inf");
  }
  const float scale = ann[static_cast<std::size_t>(parameters.sqrt_epsilon_inf_index)];
  compute_qnep_bec_on_device(protocol, atom_count, box, scale, model, workspace);
  const DeviceWorkspaceView view = workspace.view();
  const std::size_t capacity = view.atom_capacity;
  const std::vector<double> bec = download_device_doubles(view.bec_soa9, kBecComponents * capacity);
  for (int i = 0; i < atom_count; ++i) {
    const std::size_t row = static_cast<std::size_t>(atom_offset + i) * kBecComponents;
    for (int c = 0; c < kBecComponents; ++c) {
      result.bec[row + static_cast<std::size_t>(c)] = bec[static_cast<std::size_t>(c) * capacity + i];
    }
  }
}

}  // namespace quarvel::cuda_backend
