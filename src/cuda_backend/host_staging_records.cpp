#include "host_staging_records.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "cuda_checks.hpp"
#include "lammps_list_reading.hpp"
#include "structure_ranges.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr double kOrthorhombicOffDiagonalTolerance = 1e-14;  // Angstrom; cells rounded from diagonal ones pass
constexpr int kCellValues = 9;
constexpr int kPbcFlags = 3;

std::size_t size(std::int64_t count) { return static_cast<std::size_t>(count); }

bool cell_is_diagonal(const double* cell) {
  for (int k = 0; k < kCellValues; ++k) {
    const bool diagonal = k % 4 == 0;  // row-major 3x3: indices 0, 4, 8
    if (diagonal) {
      if (!std::isfinite(cell[k]) || !(cell[k] > 0.0)) return false;
    } else if (std::fabs(cell[k]) > kOrthorhombicOffDiagonalTolerance) {
      return false;
    }
  }
  return true;
}

// Scatters the rows of the active atoms, unfiltered, into slot-major form with `capacity` slots per atom.
void flatten_neighbors(const QrvlLammpsNeighborInput& input, std::int32_t n, std::int32_t capacity,
                       std::vector<std::int32_t>& counts, std::vector<std::int32_t>& slots) {
  counts.assign(size(n), 0);
  slots.assign(size(static_cast<std::int64_t>(std::max(capacity, 0)) * n), 0);
  for (std::int32_t k = 0; k < input.inum; ++k) {
    const std::int32_t i = input.ilist[k];
    const std::int32_t m = input.numneigh[i];
    if (m > capacity) {
      refuse_lammps_list(LammpsListReader::layout_function, LammpsListFault::malformed,
                         "neighbor count exceeds CUDA workspace capacity");
    }
    counts[size(i)] = m;
    for (std::int32_t j = 0; j < m; ++j) {
      slots[size(static_cast<std::int64_t>(j) * n + i)] = masked_neighbor(input, i, j);
    }
  }
}

}  // namespace

bool batch_boxes_are_orthorhombic(const QrvlStructureBatch& batch) {
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    if (!cell_is_diagonal(batch.boxes + static_cast<std::ptrdiff_t>(s) * kCellValues)) return false;
  }
  return true;
}

HostBatchStaging stage_batch_for_internal_neighbors(const QrvlStructureBatch& batch) {
  require_argument(batch.num_structures >= 1, "batch must contain structures");
  require_argument(batch.num_atoms >= 1, "batch must contain atoms");
  require_argument(batch.atom_counts != nullptr, "missing atom counts");
  require_argument(batch.atom_offsets != nullptr, "missing atom offsets");
  require_argument(batch.types != nullptr, "missing atom types");
  require_argument(batch.positions != nullptr, "missing atom positions");
  require_argument(batch.boxes != nullptr, "missing boxes");
  require_argument(batch.pbc != nullptr, "missing periodic boundary flags");
  const std::size_t n = size(batch.num_atoms);
  const std::size_t s = size(batch.num_structures);
  require_argument(std::all_of(batch.pbc, batch.pbc + kPbcFlags * s, [](std::int32_t flag) { return flag == 1; }),
                   "Quarvel supports fully periodic structures only");

  HostBatchStaging staging;
  staging.types.assign(batch.types, batch.types + n);
  staging.positions_soa3.resize(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 3; ++c) staging.positions_soa3[c * n + i] = batch.positions[3 * i + c];
  }
  staging.structure_atom_counts.assign(batch.atom_counts, batch.atom_counts + s);
  staging.structure_atom_offsets.assign(batch.atom_offsets, batch.atom_offsets + s);
  staging.boxes_row_major9.assign(batch.boxes, batch.boxes + kCellValues * s);
  staging.pbc_flags3.assign(batch.pbc, batch.pbc + kPbcFlags * s);
  if (const char* failure = claim_structure_ranges(batch, staging.atom_to_structure)) {
    throw std::invalid_argument(failure);
  }
  require_argument(std::find(staging.atom_to_structure.begin(), staging.atom_to_structure.end(), kUnclaimedAtom) ==
                       staging.atom_to_structure.end(),
                   "batch atom is not covered by any structure");
  return staging;
}

HostExternalNeighborStaging stage_lammps_external_neighbors(const QrvlLammpsNeighborInput& input,
                                                            const ModelProtocol& protocol) {
  const LammpsListAtoms atoms = read_lammps_list_atoms(input, protocol, LammpsListReader::layout_function);
  const std::int32_t n = atoms.count;
  HostExternalNeighborStaging staging;
  staging.atom_count = n;
  staging.active_count = input.inum;
  staging.types = atoms.model_types;
  staging.positions_soa3.assign(3 * size(n), 0.0);
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t c = 0; c < 3; ++c) staging.positions_soa3[size(c * n + i)] = atoms.positions[size(3 * i + c)];
  }
  staging.active_atom_indices.assign(input.ilist, input.ilist + input.inum);
  flatten_neighbors(input, n, protocol.neighbor_capacity_radial, staging.nn_radial, staging.nl_radial_slot_major);
  flatten_neighbors(input, n, protocol.neighbor_capacity_angular, staging.nn_angular, staging.nl_angular_slot_major);
  return staging;
}

}  // namespace quarvel::cuda_backend
