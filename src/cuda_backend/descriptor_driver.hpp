#pragma once
// The engine-side driver behind descriptor requests: every atom's descriptor vector, scaled by the model's
// q_scaler, for a batch of periodic structures evaluated one structure at a time on the model's cached batch
// workspace, with thin cells replicated and folded back.
#include "batch_driver.hpp"
#include "pipeline_stages.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// The device stages a descriptor pass runs after the neighbor lists; the defaults are the library's own.
struct DescriptorPassStages {
  decltype(&build_descriptor_core_from_positions_on_device) descriptors =
      &build_descriptor_core_from_positions_on_device;
  decltype(&build_spin_descriptors_on_device) spin_descriptors = &build_spin_descriptors_on_device;
};

// Writes into result.descriptors (N x D doubles, row i for atom i) each atom's descriptors times the model's
// scalers: structural components first, then for spin models the spin components. Answers 0 ok, 1 invalid
// argument, 2 unsupported (a model outside the force pipeline other than a NEP4 charge model without spin of
// angular order at most 8; a cell that cannot be prepared), 4 runtime error, 5 cancelled. The argument checks,
// model refusals and cancellation set no last-error text; replication refusals and stage failures set theirs.
// A structure far beyond the model's neighbor capacity (require_density_within_neighbor_capacity) answers 4 before
// any row is written. Rows of structures finished before a failure or a cancellation stay in the caller's array.
// Shares, and may rebuild for one structure, the model's cached batch workspace.
int evaluate_batch_descriptors(BatchDriverModel& model, const QrvlStructureBatch& batch,
                               QrvlFindDescriptorResult& result, const DescriptorPassStages& stages = {});

}  // namespace quarvel::cuda_backend
