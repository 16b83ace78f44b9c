#include "descriptor_driver.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device_staging.hpp"
#include "engine_routines.hpp"
#include "evaluation_guard.hpp"
#include "finite_input.hpp"
#include "internal_neighbor_builder.hpp"
#include "neighbor_density.hpp"
#include "periodic_expansion.hpp"
#include "structure_ranges.hpp"

namespace quarvel::cuda_backend {
namespace {

// Checks that answer a status without a text, in their fixed order; QRVL_STATUS_OK when all pass.
int check_arguments(const BatchDriverModel& model, const QrvlStructureBatch& batch,
                    const QrvlFindDescriptorResult& result) {
  if (batch.num_structures < 1 || batch.num_atoms < 1) return QRVL_STATUS_INVALID_ARGUMENT;
  if (batch.atom_counts == nullptr || batch.atom_offsets == nullptr || batch.types == nullptr ||
      batch.positions == nullptr || batch.boxes == nullptr) {
    return QRVL_STATUS_INVALID_ARGUMENT;
  }
  if (result.descriptors == nullptr) return QRVL_STATUS_INVALID_ARGUMENT;
  if (cancelled(model)) return QRVL_STATUS_CANCELLED;
  const ModelProtocol& p = model.protocol;
  if (p.spin_mode != 0 && batch.spins == nullptr) return QRVL_STATUS_INVALID_ARGUMENT;
  if (!supports_descriptors(p)) return QRVL_STATUS_UNSUPPORTED;
  // As the batch driver answers them: every structure's atoms must lie inside the batch.
  if (!structures_lie_inside_batch(batch)) return QRVL_STATUS_INVALID_ARGUMENT;
  return QRVL_STATUS_OK;
}

// Row i of the caller's array from the downloaded device column i (stride `capacity`): each component times its
// scaler, both widened to double; a component without a scaler stays unscaled.
void write_scaled_rows(const std::vector<float>& device_descriptors, std::size_t capacity, int atom_count,
                       int dimension, const std::vector<float>& scaler, double* rows) {
  const auto d_count = static_cast<std::size_t>(dimension);
  for (std::size_t i = 0; i < static_cast<std::size_t>(atom_count); ++i) {
    for (std::size_t d = 0; d < d_count; ++d) {
      const double value = static_cast<double>(device_descriptors[d * capacity + i]);
      rows[i * d_count + d] = d < scaler.size() ? value * static_cast<double>(scaler[d]) : value;
    }
  }
}

// One structure at a time on a workspace planned for one structure; each structure's rows are written as soon as
// they are copied back.
int evaluate_per_structure(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindDescriptorResult& result,
                           const DescriptorPassStages& stages) {
  const ModelProtocol& p = model.protocol;
  const std::int32_t largest = *std::max_element(batch.atom_counts, batch.atom_counts + batch.num_structures);
  DeviceWorkspace& workspace = workspace_for_pass(model, static_cast<std::uint64_t>(largest), 1, true, false);
  const DeviceWorkspaceView view = workspace.view();
  const std::size_t capacity = view.atom_capacity;
  const auto dimension = static_cast<std::size_t>(p.descriptor_dim);
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    if (cancelled(model)) return QRVL_STATUS_CANCELLED;
    const std::int32_t count = batch.atom_counts[s];
    const SingleStructureView structure(batch, s);
    const QrvlStructureBatch& one = structure.batch();
    SimulationBox box{};
    if (!make_structure_box(one.boxes, one.pbc, box)) return QRVL_STATUS_UNSUPPORTED;
    stage_batch_on_device(one, p.num_types, workspace);
    build_internal_neighbors_on_device(p, count, box, workspace);
    stages.descriptors(p, count, box, model.device_model, workspace, DescriptorCoreTopology::single_box);
    if (p.spin_mode != 0) stages.spin_descriptors(p, count, box, model.device_model, workspace);
    // The stages only queue their kernels; this blocking copy is where the host waits for them.
    const std::vector<float> descriptors = download_device_floats(view.descriptors, dimension * capacity);
    double* rows = result.descriptors + static_cast<std::size_t>(batch.atom_offsets[s]) * dimension;
    write_scaled_rows(descriptors, capacity, count, p.descriptor_dim, model.host_parameters.q_scaler, rows);
  }
  return cancel_status(model);
}

int evaluate_checked(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindDescriptorResult& result,
                     const DescriptorPassStages& stages, bool allow_expand);

// Evaluates the replicated batch in place of the caller's and folds each atom's copies back into its row.
int evaluate_replicated(BatchDriverModel& model, const ExpandedBatch& expanded, int source_atoms,
                        QrvlFindDescriptorResult& result, const DescriptorPassStages& stages) {
  const auto dimension = static_cast<std::size_t>(model.protocol.descriptor_dim);
  std::vector<double> replicated(static_cast<std::size_t>(expanded.batch.num_atoms) * dimension, 0.0);
  QrvlFindDescriptorResult replicated_result{replicated.data()};
  // Every supercell is at least twice the largest cutoff thick, so the inner call has nothing to replicate.
  const int status = evaluate_checked(model, expanded.batch, replicated_result, stages, false);
  if (status != QRVL_STATUS_OK) return status;
  fold_expanded_descriptors(expanded, replicated.data(), source_atoms, model.protocol.descriptor_dim,
                            result.descriptors);
  return cancel_status(model);
}

int evaluate_checked(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindDescriptorResult& result,
                     const DescriptorPassStages& stages, bool allow_expand) {
  if (allow_expand) {
    require_tiled_atom_ranges(batch);
    require_finite_batch(batch, model.protocol.spin_mode != 0);
    // Before replication: a unit slip would otherwise be replicated into millions of atoms first.
    require_density_within_neighbor_capacity(batch, model.protocol);
    const ExpandedBatch expanded = expand_periodic_batch(batch, model.protocol.cutoff_max);
    if (expanded.expanded) return evaluate_replicated(model, expanded, batch.num_atoms, result, stages);
  }
  const EvaluationDevice device(model.device);
  return evaluate_per_structure(model, batch, result, stages);
}

}  // namespace

int evaluate_batch_descriptors(BatchDriverModel& model, const QrvlStructureBatch& batch,
                               QrvlFindDescriptorResult& result, const DescriptorPassStages& stages) {
  const int status = check_arguments(model, batch, result);
  if (status != QRVL_STATUS_OK) return status;
  return guard_evaluation([&] { return evaluate_checked(model, batch, result, stages, true); });
}

}  // namespace quarvel::cuda_backend
