#pragma once
// Staging of a LAMMPS full neighbor list held in host memory into an external-neighbor workspace.
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Stages atoms 0 .. n-1 (n: nlocal, every active index + 1 and every masked neighbor index + 1, whichever is
// largest) into a workspace planned for exactly n atoms: model types, positions (and spins, direction times
// magnitude, for spin models) capacity-strided, the active atoms, and both neighbor lists slot-major with the
// caller's rows copied unfiltered (the force kernels apply the cutoffs). Atoms outside ilist get empty lists.
// Every check happens before any device write; all failures throw std::runtime_error. Ends with a device-wide
// synchronisation; temporaries are freed before it returns, also when it throws.
void stage_lammps_external_neighbors_on_device(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                               DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
