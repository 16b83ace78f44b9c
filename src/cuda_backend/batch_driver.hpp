#pragma once
// The engine-side driver behind every force request on a batch of periodic structures: validation, cancel
// checks, replication of thin cells, the cached batch workspace, staging, neighbor lists, the force pipeline
// (or the charge model's sequence), output packing and the copy into the caller's arrays.
#include <atomic>
#include <cstdint>
#include <memory>

#include "device_model.hpp"
#include "device_workspace.hpp"
#include "force_pipeline.hpp"
#include "host_model_parameters.hpp"
#include "model_protocol.hpp"
#include "pipeline_stages.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// The stages a pass runs after its neighbor lists; the defaults are the library's own.
struct BatchPassStages {
  void (*force_pipeline)(const ModelProtocol&, const ForceEvaluationRequest&, int, const SimulationBox&,
                         const DeviceModel&, DeviceWorkspace&, ForcePipelineTimings*) = &run_force_pipeline;
  decltype(&run_charge_model_sequence) charge_sequence = &run_charge_model_sequence;
  decltype(&add_charge_model_bec_to_result) charge_bec = &add_charge_model_bec_to_result;
};

// The parts of a loaded model the driver reads and the batch workspace cache it keeps (owned by the model;
// this record only refers to them). The cache is rebuilt, never shrunk, when a pass needs more or another
// shape, and a failed rebuild leaves the old workspace and its capacities in place.
struct BatchDriverModel {
  const ModelProtocol& protocol;
  const HostModelParameters& host_parameters;
  const DeviceModel& device_model;
  const std::atomic<bool>& cancel_requested;  // may be set by another thread; read at fixed points
  std::unique_ptr<DeviceWorkspace>& batch_workspace;
  std::uint64_t& batch_atom_capacity;
  std::uint64_t& batch_structure_capacity;
  bool& batch_spin_transfer;
  BatchPassStages stages{};
  int device = 0;  // the CUDA device the model lives on, taken once the checks that need no device have passed
};

// Whether another thread has asked the model to stop; the batch and descriptor drivers read it only at their fixed
// points, so a cancellation never interrupts a device step.
inline bool cancelled(const BatchDriverModel& model) { return model.cancel_requested.load(std::memory_order_relaxed); }

// QRVL_STATUS_CANCELLED while the model's cancel flag is set, else QRVL_STATUS_OK: the answer at the end of a pass.
inline int cancel_status(const BatchDriverModel& model) {
  return cancelled(model) ? QRVL_STATUS_CANCELLED : QRVL_STATUS_OK;
}

// The cached batch workspace for a pass of `atoms` atoms and `structures` structures, rebuilt when there is none,
// when whether it was planned for exactly one structure differs from `single_structure`, when it is too small,
// or when it lacks the spin-transfer array the pass needs; planned for exactly these sizes. The new workspace
// is built before the old one is dropped, so a failed rebuild keeps the old one and its recorded capacities.
DeviceWorkspace& workspace_for_pass(BatchDriverModel& model, std::uint64_t atoms, std::uint64_t structures,
                                    bool single_structure, bool spin_transfer);

// Evaluates the batch into the caller's result: 0 ok, 1 invalid argument, 2 unsupported, 4 runtime error,
// 5 cancelled; failures past the argument checks set the thread's last error. Ordinary models take one
// batched pass; charge and spin models one pass per structure, whose results stay in the caller's arrays when
// a later structure fails or the call is cancelled. With `allow_expand`, a structure far beyond the model's
// neighbor capacity (require_density_within_neighbor_capacity) answers 4 before anything is written or
// allocated, and structures thinner than twice the largest cutoff are evaluated as supercells and folded back.
int evaluate_structure_batch(BatchDriverModel& model, const QrvlStructureBatch& batch, QrvlFindForceResult& result,
                             bool allow_expand);

}  // namespace quarvel::cuda_backend
