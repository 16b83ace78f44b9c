#pragma once
// Host-side validation and layout of caller input in the shapes of the workspace arrays, without touching the
// GPU. Exported for callers that stage on their own; the evaluation drivers stage on the device instead.
#include <cstdint>
#include <vector>

#include "model_protocol.hpp"
#include "quarvel/export.h"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// One structure batch laid out like an internal-neighbor workspace, with the batch atom count N and structure
// count S as strides (not workspace capacities).
struct HostBatchStaging {
  std::vector<std::int32_t> types;                   // N, unchanged
  std::vector<double> positions_soa3;                // 3N, component c of atom i at c N + i (Angstrom)
  std::vector<std::int32_t> atom_to_structure;       // N
  std::vector<std::int32_t> structure_atom_counts;   // S
  std::vector<std::int32_t> structure_atom_offsets;  // S
  std::vector<double> boxes_row_major9;              // 9S, unchanged
  std::vector<std::int32_t> pbc_flags3;              // 3S (all 1 after validation)
};

// One host LAMMPS full neighbor list laid out like an external-neighbor workspace, strided by atom_count n.
struct HostExternalNeighborStaging {
  std::int32_t atom_count = 0;    // n: local and ghost atoms reached by the list
  std::int32_t active_count = 0;  // inum
  std::vector<std::int32_t> types;                  // n model types
  std::vector<double> positions_soa3;               // 3n
  std::vector<std::int32_t> active_atom_indices;    // inum, copy of ilist
  std::vector<std::int32_t> nn_radial;              // n
  std::vector<std::int32_t> nl_radial_slot_major;   // R x n, neighbor s of atom i at s n + i, unused slots 0
  std::vector<std::int32_t> nn_angular;             // n
  std::vector<std::int32_t> nl_angular_slot_major;  // G x n, the same neighbors as the radial list
};

// True when every cell of the batch is diagonal with finite positive diagonal (off-diagonal |x| <= 1e-14).
QUARVEL_API bool batch_boxes_are_orthorhombic(const QrvlStructureBatch& batch);

// Validates the batch (throws std::invalid_argument with the first failed check) and lays it out.
QUARVEL_API HostBatchStaging stage_batch_for_internal_neighbors(const QrvlStructureBatch& batch);

// Validates the LAMMPS list (throws std::invalid_argument with the first failed check) and lays it out with the
// model's neighbor capacities.
QUARVEL_API HostExternalNeighborStaging stage_lammps_external_neighbors(const QrvlLammpsNeighborInput& input,
                                                                        const ModelProtocol& protocol);

}  // namespace quarvel::cuda_backend
