#include "lammps_neighbor_selection.hpp"

#include <algorithm>
#include <cstddef>

namespace quarvel::cuda_backend {
namespace {

constexpr int kAxes = 3;

std::size_t at(std::int64_t index) { return static_cast<std::size_t>(index); }

double squared_distance(const std::vector<double>& positions, std::int32_t i, std::int32_t j) {
  double d2 = 0.0;  // the device road's order of operations, so that both roads keep the same neighbors
  for (int c = 0; c < kAxes; ++c) {
    const double d = positions[at(std::int64_t{kAxes} * j + c)] - positions[at(std::int64_t{kAxes} * i + c)];
    d2 += d * d;
  }
  return d2;
}

// Appends neighbor m to atom i's row of `capacity` slots; a row that would pass the capacity is refused.
void keep_neighbor(std::int32_t i, std::int32_t m, std::int32_t capacity, std::int32_t& count,
                   std::vector<std::int32_t>& rows) {
  if (count >= capacity) {
    refuse_lammps_list(LammpsListReader::evaluation, LammpsListFault::malformed,
                       "neighbor count exceeds CUDA workspace capacity");
  }
  rows[at(std::int64_t{i} * capacity + count)] = m;
  ++count;
}

}  // namespace

LammpsNeighborSelection select_lammps_neighbors(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol) {
  LammpsNeighborSelection selection;
  selection.atoms = read_lammps_list_atoms(input, protocol, LammpsListReader::evaluation);
  const std::int32_t n = selection.atoms.count;
  const std::int32_t cap_r = std::max(protocol.neighbor_capacity_radial, 0);
  const std::int32_t cap_a = std::max(protocol.neighbor_capacity_angular, 0);
  const LammpsListCutoffs cutoffs = lammps_list_cutoffs(protocol);
  selection.active.assign(input.ilist, input.ilist + input.inum);
  selection.counts.assign(2 * at(n), 0);
  selection.radial_rows.assign(at(std::int64_t{n} * cap_r), 0);
  selection.angular_rows.assign(at(std::int64_t{n} * cap_a), 0);
  for (const std::int32_t i : selection.active) {
    std::int32_t radial = 0;
    std::int32_t angular = 0;
    for (std::int32_t k = 0; k < input.numneigh[i]; ++k) {
      const std::int32_t m = masked_neighbor(input, i, k);
      if (m == i) continue;  // LAMMPS never lists the atom itself; an entry that does carries no pair
      const double d2 = squared_distance(selection.atoms.positions, i, m);
      if (d2 <= cutoffs.radial_squared) keep_neighbor(i, m, cap_r, radial, selection.radial_rows);
      if (d2 <= cutoffs.angular_squared) keep_neighbor(i, m, cap_a, angular, selection.angular_rows);
    }
    selection.counts[at(i)] = radial;
    selection.counts[at(std::int64_t{n} + i)] = angular;
  }
  return selection;
}

}  // namespace quarvel::cuda_backend
