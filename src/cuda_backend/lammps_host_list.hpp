#pragma once
// The checks of a LAMMPS full neighbor list held in host memory, and the gather of its atoms, shared by the
// exported layout function (host_staging.hpp) and the host evaluation road (lammps_host_staging.hpp).
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "lammps_list_rules.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// A list whose layout is broken: a missing array or row, a negative count or type, an unmapped type, a row
// longer than a list capacity. The evaluation road answers it as a runtime error, the exported layout function
// turns it into std::invalid_argument.
class LammpsListLayoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the list is read for. An evaluation also refuses, with std::invalid_argument, what no evaluation can
// use: an active atom that is not local, a mapped type the model does not have, a position or (spin models) a
// spin that is not finite; and it reads the spins of spin models.
enum class LammpsListUse : std::int32_t { layout = 0, evaluation = 1 };

// The staged atoms 0 .. count-1 of a list: nlocal, every active index + 1 and every masked neighbor index + 1
// of the active rows, whichever is largest.
struct HostLammpsAtoms {
  std::int32_t count = 0;
  std::vector<std::int32_t> lammps_types;  // count
  std::vector<std::int32_t> type_map;      // the caller's map, entries 0 .. largest LAMMPS type staged
  std::vector<std::int32_t> model_types;   // count, mapped
  std::vector<double> positions;           // 3 count: x, y, z of atom i at 3i (Angstrom)
  std::vector<double> spins;               // 3 count, direction times magnitude; evaluations of spin models
};

// Checks the record and the active rows, then gathers every staged atom, in a fixed order; throws
// LammpsListLayoutError or (evaluation only) std::invalid_argument with the first fault found.
HostLammpsAtoms gather_host_lammps_atoms(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                         LammpsListUse use);

// Entry k of active atom i's row with the LAMMPS flag bits removed.
inline std::int32_t masked_neighbor(const QrvlLammpsNeighborInput& input, std::int32_t i, std::int32_t k) {
  return input.firstneigh[i][k] & kLammpsNeighborMask;
}

}  // namespace quarvel::cuda_backend
