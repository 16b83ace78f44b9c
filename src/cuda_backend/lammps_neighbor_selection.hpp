#pragma once
// The neighbors a host evaluation keeps of a LAMMPS full list held in host memory: every active row's entries
// within the list cutoffs (lammps_list_rules.hpp), chosen on the host before any device work.
#include <cstdint>
#include <vector>

#include "lammps_list_reading.hpp"
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// The staged atoms and the rows of the active atoms kept within the list cutoffs, in the caller's order, masked,
// without self entries.
struct LammpsNeighborSelection {
  LammpsListAtoms atoms;
  std::vector<std::int32_t> active;  // copy of ilist
  std::vector<std::int32_t> counts;  // 2n: the radial count of atom i at i, its angular count at n + i; 0 outside ilist
  std::vector<std::int32_t> radial_rows;   // n x capR row-major, entries beyond the count 0
  std::vector<std::int32_t> angular_rows;  // n x capA row-major
};

// Reads the list for an evaluation (read_lammps_list_atoms), then keeps each active row's neighbors within the
// list cutoffs; a row with more of them than a list capacity is a malformed list. Throws as refuse_lammps_list
// decides for an evaluation.
LammpsNeighborSelection select_lammps_neighbors(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol);

}  // namespace quarvel::cuda_backend
