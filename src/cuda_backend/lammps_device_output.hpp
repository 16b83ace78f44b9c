#pragma once
// Results of the device LAMMPS path written straight into the caller's strided device arrays.
#include "device_workspace.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Writes (never adds) forces and magnetic forces of atoms 0 .. nall-1, per-atom energies of the local atoms,
// per-atom virials from the float sink and spin transfer of atoms 0 .. nall-1 (both widened to double, nine
// components in stored order), and, when energy and virial are both given, the total energy and the six total
// virial components xx, yy, zz, (xy+yx)/2, (xz+zx)/2, (yz+zy)/2 over the local atoms by a fixed-order tree, so
// repeated calls give identical bits. Checks everything before the first launch (std::runtime_error), then
// queues the kernels on the default stream and returns without waiting.
void write_lammps_device_outputs(const QrvlLammpsDeviceNeighborInput& input,
                                 const QrvlLammpsDeviceNeighborResult& result, DeviceWorkspace& workspace);

// Zeroes the total energy and the six total virial components when they are given (they come together), as
// for a rank without local atoms; queued on the default stream. Throws std::runtime_error naming a failed clear.
void clear_lammps_device_totals(const QrvlLammpsDeviceNeighborResult& result);

}  // namespace quarvel::cuda_backend
