#pragma once
// Staging of a LAMMPS full neighbor list held in host memory into an external-neighbor workspace: the neighbors
// selected on the host (lammps_neighbor_selection.hpp) are uploaded and laid out slot-major on the device.
#include "device_workspace.hpp"
#include "lammps_neighbor_selection.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Writes the selection into a workspace planned for at least its atoms: model types, positions (and spins of
// spin models) capacity-strided, the active atoms, both lists slot-major; every other atom's lists are empty.
// Throws std::runtime_error for a workspace that lacks an array or room, or a failed CUDA step. Ends with a
// device-wide synchronisation; temporaries are freed before it returns, also when it throws.
void upload_lammps_neighbor_selection(const LammpsNeighborSelection& list, const ModelProtocol& protocol,
                                      DeviceWorkspace& workspace);

// Both steps: select_lammps_neighbors, then the upload.
void stage_lammps_external_neighbors_on_device(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                               DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
