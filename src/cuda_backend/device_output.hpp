#pragma once
// Packing of a batch's accumulated per-atom results into the layouts callers receive, and per-structure totals.
#include "device_workspace.hpp"

namespace quarvel::cuda_backend {

// Rewrites forces (and magnetic forces when the workspace has both arrays) atom-major, per-atom virials
// row-major 3x3, and writes each structure's energy and row-major virial as fixed-order sums without atomics,
// so repeated runs give identical bits. Throws std::runtime_error on a broken limit, a missing array or a CUDA
// failure; ends with a device-wide synchronisation.
void prepare_batched_outputs(int structure_count, int atom_count, DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
