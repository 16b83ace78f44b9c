#pragma once
// Staging of a LAMMPS full neighbor list held in host memory into an external-neighbor workspace.
#include <cstdint>
#include <vector>

#include "device_workspace.hpp"
#include "lammps_host_list.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// A host list checked and gathered for an evaluation, before any device work: the staged atoms, and the rows of
// the active atoms kept within the list cutoffs (lammps_list_rules.hpp), in the caller's order, masked, without
// self entries.
struct HostLammpsList {
  HostLammpsAtoms atoms;
  std::vector<std::int32_t> active;  // copy of ilist
  std::vector<std::int32_t> counts;  // 2n: the radial count of atom i at i, its angular count at n + i; 0 outside ilist
  std::vector<std::int32_t> radial_rows;   // n x capR row-major, entries beyond the count 0
  std::vector<std::int32_t> angular_rows;  // n x capA row-major
};

// Checks and gathers (gather_host_lammps_atoms with LammpsListUse::evaluation), then keeps each active row's
// neighbors within the list cutoffs; a row with more of them than a list capacity is refused. Throws
// LammpsListLayoutError or std::invalid_argument with the first fault.
HostLammpsList gather_lammps_host_list(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol);

// Writes the gathered list into a workspace planned for at least its atoms: model types, positions (and spins of
// spin models) capacity-strided, the active atoms, both lists slot-major; every other atom's lists are empty.
// Throws std::runtime_error for a workspace that lacks an array or room, or a failed CUDA step. Ends with a
// device-wide synchronisation; temporaries are freed before it returns, also when it throws.
void upload_lammps_host_list(const HostLammpsList& list, const ModelProtocol& protocol, DeviceWorkspace& workspace);

// Both of the above.
void stage_lammps_external_neighbors_on_device(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                               DeviceWorkspace& workspace);

}  // namespace quarvel::cuda_backend
