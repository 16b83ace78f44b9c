#pragma once
// Staging of a LAMMPS full neighbor list that already lives in device memory into an external-neighbor workspace.
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Bits of neighbor_overflow[0] after a validating staging; elements 1 and 2 hold the largest radial and angular
// candidate counts of any active atom, before truncation to the list capacities, and elements 3 and 4 the lowest
// atom with a non-finite position and spin (INT32_MAX when none).
enum LammpsStagingProblem : int {
  kLammpsTypeOutOfRange = 0x01,
  kLammpsUnmappedType = 0x02,
  kLammpsActiveAtomOutOfRange = 0x04,
  kLammpsRowCountOutOfRange = 0x08,
  kLammpsNeighborOutOfRange = 0x10,
  kLammpsRadialOverflow = 0x20,
  kLammpsAngularOverflow = 0x40,
  kLammpsModelTypeOutOfRange = 0x80,
};

// Stages types (mapped, or the caller's array used in place without a map), positions (the caller's array used
// in place when it is already capacity-strided, i.e. atom stride 1 and component stride A), spins for spin
// models, and splits each active atom's row into the radial list (within max(zbl_rc_outer,
// cutoff_radial_list), inclusive) and, with angular channels, the angular list (within cutoff_angular),
// keeping the caller's row order and the protocol's capacities. Every neighbor count is cleared first, so atoms
// that ilist leaves out have empty lists. Argument faults throw std::invalid_argument, workspace faults and lists
// whose tiles need more shared memory than the device grants std::runtime_error, all before any device work.
// With `validate` the staged atoms are also checked (model types within the model, finite positions and spins)
// and the problems found on the device are read back: a non-finite value is reported as "atom <i> has a
// non-finite position" (or spin) for the lowest such atom, anything else as one std::invalid_argument naming every
// problem. Without it the call only queues work, and bad entries are clamped or dropped silently.
void stage_lammps_device_neighbors_on_device(const QrvlLammpsDeviceNeighborInput& input,
                                             const ModelProtocol& protocol, DeviceWorkspace& workspace,
                                             bool validate);

}  // namespace quarvel::cuda_backend
