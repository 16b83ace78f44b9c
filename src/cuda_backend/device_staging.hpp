#pragma once
// Upload of one structure batch into an internal-neighbor workspace.
#include "device_workspace.hpp"
#include "quarvel/quarvel.h"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {

// Validates the batch against the workspace and the model's type count, then stages types, positions (and
// spins for a spin workspace) in capacity-strided layout, the structure of every atom, and per structure its
// atom range, cell, inverse cell and periodic flags (0 when the batch has none). Bad type indices and a
// type_count below 1 throw std::invalid_argument; every other failure std::runtime_error. Ends with a
// device-wide synchronisation, so the staged data is complete on return.
void stage_batch_on_device(const QrvlStructureBatch& batch, int type_count, DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
