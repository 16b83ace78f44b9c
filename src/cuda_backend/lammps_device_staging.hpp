#pragma once
// Staging of a LAMMPS full neighbor list that already lives in device memory into an external-neighbor workspace.
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Bits of neighbor_overflow[0] after a validating staging; elements 1 and 2 hold the largest radial and angular
// candidate counts of any active atom, before truncation to the list capacities.
enum LammpsStagingProblem : int {
  kLammpsTypeOutOfRange = 0x01,
  kLammpsUnmappedType = 0x02,
  kLammpsActiveAtomOutOfRange = 0x04,
  kLammpsRowCountOutOfRange = 0x08,
  kLammpsNeighborOutOfRange = 0x10,
  kLammpsRadialOverflow = 0x20,
  kLammpsAngularOverflow = 0x40,
};

// Stages types (mapped, or the caller's array used in place without a map), positions (the caller's array used
// in place when it is already capacity-strided, i.e. atom stride 1 and component stride A), spins for spin
// models, and splits each active atom's row into the radial list (within max(zbl_rc_outer,
// cutoff_radial_list), inclusive) and, with angular channels, the angular list (within cutoff_angular),
// keeping the caller's row order and the protocol's capacities. Every neighbor count is cleared first, so atoms
// that ilist leaves out have empty lists. Argument faults throw std::invalid_argument, workspace faults
// std::runtime_error, both before any device work. With `validate` the problems found on the device are read
// back and reported as one std::invalid_argument naming them all; without it the call only queues work, and
// bad entries are clamped or dropped silently.
void stage_lammps_device_neighbors_on_device(const QrvlLammpsDeviceNeighborInput& input,
                                             const ModelProtocol& protocol, DeviceWorkspace& workspace,
                                             bool validate);

}  // namespace quarvel::cuda_backend
