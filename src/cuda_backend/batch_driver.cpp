#include "batch_driver.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "device_output.hpp"
#include "device_staging.hpp"
#include "engine_routines.hpp"
#include "evaluation_guard.hpp"
#include "finite_input.hpp"
#include "host_staging_records.hpp"
#include "internal_neighbor_builder.hpp"
#include "neighbor_density.hpp"
#include "periodic_expansion.hpp"
#include "quarvel/engine.hpp"
#include "structure_ranges.hpp"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kAxes = 3;
constexpr std::uint64_t kVirialComponents = 9;

// Checks that answer a status without a text, in their fixed order; QRVL_STATUS_OK when all pass.
int check_arguments(const BatchDriverModel& model, const QrvlStructureBatch& batch, const QrvlFindForceResult& result) {
  if (batch.num_structures < 1 || batch.num_atoms < 1) return QRVL_STATUS_INVALID_ARGUMENT;
  if (batch.atom_counts == nullptr || batch.atom_offsets == nullptr || batch.types == nullptr ||
      batch.positions == nullptr || batch.boxes == nullptr) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  if (result.energy == nullptr || result.force == nullptr) return QRVL_STATUS_INVALID_ARGUMENT;
  if (cancelled(model)) return QRVL_STATUS_CANCELLED;
  if (!structures_lie_inside_batch(batch)) return QRVL_STATUS_INVALID_ARGUMENT;
  const ModelProtocol& p = model.protocol;
  if (!supports_force_pipeline(p) && p.charge_mode == 0) return QRVL_STATUS_UNSUPPORTED;
  if (p.spin_mode != 0 && batch.spins == nullptr) return QRVL_STATUS_INVALID_ARGUMENT;
  if (p.spin_mode == 0 && result.spin_transfer != nullptr) return QRVL_STATUS_UNSUPPORTED;
  return QRVL_STATUS_OK;
}

// Zeroes the accumulators every pass adds to, over the whole capacity (magnetic forces only in spin workspaces).
void clear_accumulators(const DeviceWorkspaceView& view) {
  const std::uint64_t capacity = view.atom_capacity;
  clear_device_doubles(view.potential, capacity);
  clear_device_doubles(view.force_soa3, kAxes * capacity);
  if (view.mforce_soa3 != nullptr) clear_device_doubles(view.mforce_soa3, kAxes * capacity);
  clear_device_doubles(view.virial_soa9, kVirialComponents * capacity);
}

std::int32_t virial_mode(const QrvlFindForceResult& result) {
  return result.virial_per_atom != nullptr ? kPerAtomVirials : kVirialTotals;
}

// Ordinary models: every structure in one pass.
int evaluate_batched(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindForceResult& result) {
  const ModelProtocol& p = model.protocol;
  DeviceWorkspace& workspace =
      workspace_for_pass(model, static_cast<std::uint64_t>(batch.num_atoms),
                         static_cast<std::uint64_t>(batch.num_structures), batch.num_structures == 1, false);
  stage_batch_on_device(batch, p.num_types, workspace);
  const DeviceWorkspaceView view = workspace.view();
  clear_accumulators(view);
  build_internal_neighbors_batched(p, batch.num_structures, batch.num_atoms, workspace,
                                   batch_boxes_are_orthorhombic(batch));
  const ForceEvaluationRequest request{kBatchedNeighborTopology, virial_mode(result), true, false};
  const SimulationBox unused_box{};  // batched stages read every structure's cell from the workspace
  model.stages.force_pipeline(p, request, batch.num_atoms, unused_box, model.device_model, workspace, nullptr);
  prepare_batched_outputs(batch.num_structures, batch.num_atoms, workspace);
  copy_outputs_to_host(view, batch.num_structures, batch.num_atoms, 0, 0, false, false, result);
  return cancel_status(model);
}

// Charge and spin models: one structure at a time, each copied back as soon as it is done.
int evaluate_per_structure(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindForceResult& result) {
  const ModelProtocol& p = model.protocol;
  const bool spin = p.spin_mode != 0;
  const bool charge = p.charge_mode > 0;
  const std::int32_t largest = *std::max_element(batch.atom_counts, batch.atom_counts + batch.num_structures);
  DeviceWorkspace& workspace = workspace_for_pass(model, static_cast<std::uint64_t>(largest), 1, true,
                                                  result.spin_transfer != nullptr);
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    if (cancelled(model)) return QRVL_STATUS_CANCELLED;
    const std::int32_t count = batch.atom_counts[s];
    const std::int32_t offset = batch.atom_offsets[s];
    const SingleStructureView structure(batch, s);
    const QrvlStructureBatch& one = structure.batch();
    SimulationBox box{};
    if (!make_structure_box(one.boxes, one.pbc, box)) return QRVL_STATUS_UNSUPPORTED;
    stage_batch_on_device(one, p.num_types, workspace);
    const DeviceWorkspaceView view = workspace.view();
    clear_accumulators(view);
    build_internal_neighbors_on_device(p, count, box, workspace);
    if (spin) {
      const ForceEvaluationRequest request{kSingleSetNeighborTopology, virial_mode(result), true,
                                           result.spin_transfer != nullptr};
      model.stages.force_pipeline(p, request, count, box, model.device_model, workspace, nullptr);
    } else {
      model.stages.charge_sequence(p, count, box, model.device_model, workspace, result.potential != nullptr,
                                   result.virial_per_atom != nullptr);
    }
    prepare_batched_outputs(1, count, workspace);
    copy_outputs_to_host(view, 1, count, s, offset, spin, charge, result);
    if (charge && result.bec != nullptr) {
      // After the copy-back: the Born effective charges reuse the force and virial arrays as scratch.
      model.stages.charge_bec(model.host_parameters, p, count, offset, box, model.device_model, workspace, result);
    }
    if (cancelled(model)) return QRVL_STATUS_CANCELLED;
  }
  return cancel_status(model);
}

int evaluate_checked(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindForceResult& result,
                     bool allow_expand) {
  const ModelProtocol& p = model.protocol;
  require_tiled_atom_ranges(batch);
  require_finite_batch(batch, p.spin_mode != 0);
  if (allow_expand) {
    // Before replication: a unit slip would otherwise be replicated into millions of atoms first.
    require_density_within_neighbor_capacity(batch, p);
    const ExpandedBatch expanded = expand_periodic_batch(batch, model.protocol.cutoff_max);
    if (expanded.expanded) {
      ExpandedResult replicated = make_expanded_result(expanded, result);
      const int status = evaluate_structure_batch(model, expanded.batch, replicated.result, false);
      if (status != QRVL_STATUS_OK) return status;
      fold_expanded_results(expanded, replicated.result, batch.num_atoms, result);
      return cancel_status(model);
    }
  }
  const EvaluationDevice device(model.device);
  if (p.charge_mode != 0 || p.spin_mode != 0) return evaluate_per_structure(model, batch, result);
  return evaluate_batched(model, batch, result);
}

}  // namespace

DeviceWorkspace& workspace_for_pass(BatchDriverModel& model, std::uint64_t atoms, std::uint64_t structures,
                                    bool single_structure, bool spin_transfer) {
  const bool rebuild = (model.batch_structure_capacity == 1) != single_structure || model.batch_workspace == nullptr ||
                       model.batch_atom_capacity < atoms || model.batch_structure_capacity < structures ||
                       (spin_transfer && !model.batch_spin_transfer);
  if (rebuild) {
    auto fresh = std::make_unique<DeviceWorkspace>(
        make_internal_neighbor_workspace_plan(model.protocol, atoms, structures, spin_transfer));
    model.batch_workspace = std::move(fresh);
    model.batch_atom_capacity = atoms;
    model.batch_structure_capacity = structures;
    model.batch_spin_transfer = spin_transfer;
  }
  return *model.batch_workspace;
}

int evaluate_structure_batch(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindForceResult& result,
                             bool allow_expand) {
  const int status = check_arguments(model, batch, result);
  if (status != QRVL_STATUS_OK) return status;
  return guard_evaluation([&] { return evaluate_checked(model, batch, result, allow_expand); });
}

}  // namespace quarvel::cuda_backend
