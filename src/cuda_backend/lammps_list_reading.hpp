#pragma once
// Reading a LAMMPS full neighbor list held in host memory: the checks of its record and active rows, the gather
// of the atoms the rows reach, and what each fault throws for each reader. Shared by the exported layout function
// (host_staging_records.hpp) and the host evaluation road (lammps_neighbor_selection.hpp).
#include <cstdint>
#include <string>
#include <vector>

#include "lammps_list_rules.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Who reads the list. An evaluation also refuses what no evaluation can use (an active atom that is not local,
// an ilist that cannot name each local atom once, a mapped type the model does not have, a position or (spin
// models) a spin that is not finite) and reads the spins of spin models.
enum class LammpsListReader : std::int32_t { layout_function = 0, evaluation = 1 };

enum class LammpsListFault : std::int32_t {
  malformed = 0,  // a missing array or row, a negative count or type, an unmapped type, a row beyond a capacity
  unusable = 1,   // a list an evaluation cannot use, though well formed
};

// The one place that decides what a fault throws: for the layout function every fault is a bad argument
// (std::invalid_argument); for an evaluation a malformed list is a runtime error (std::runtime_error) and an
// unusable one a bad argument.
[[noreturn]] void refuse_lammps_list(LammpsListReader reader, LammpsListFault fault, const std::string& message);

// The staged atoms 0 .. count-1 of a list: nlocal, every active index + 1 and every masked neighbor index + 1
// of the active rows, whichever is largest.
struct LammpsListAtoms {
  std::int32_t count = 0;
  std::vector<std::int32_t> lammps_types;  // count
  std::vector<std::int32_t> type_map;      // the caller's map, entries 0 .. largest LAMMPS type staged
  std::vector<std::int32_t> model_types;   // count, mapped
  std::vector<double> positions;           // 3 count: x, y, z of atom i at 3i (Angstrom)
  std::vector<double> spins;               // 3 count, direction times magnitude; evaluations of spin models
};

// Checks the record and the active rows, then gathers every staged atom, in a fixed order; refuses the first
// fault found through refuse_lammps_list (a non-finite value: "atom <i> has a non-finite position|spin").
LammpsListAtoms read_lammps_list_atoms(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                       LammpsListReader reader);

// Entry k of active atom i's row with the LAMMPS flag bits removed.
inline std::int32_t masked_neighbor(const QrvlLammpsNeighborInput& input, std::int32_t i, std::int32_t k) {
  return input.firstneigh[i][k] & kLammpsNeighborMask;
}

}  // namespace quarvel::cuda_backend
