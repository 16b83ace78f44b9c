#pragma once
// The structures of a batch must tile its atoms exactly; both batch stagings claim the ranges the same way, and
// the drivers that evaluate one structure at a time look at each structure through a view of its own.
#include <cstdint>
#include <vector>

#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

constexpr std::int32_t kUnclaimedAtom = -1;

// Claims, structure by structure in index order, the atoms of each range for that structure in `owner` (one
// entry per batch atom, kUnclaimedAtom when free). Returns the message of the first violated rule, or null.
// The range end is compared as count > atoms - offset, so an offset near 2^31 cannot wrap past the check.
// Needs num_structures >= 1, num_atoms >= 1 and the counts and offsets arrays present.
const char* claim_structure_ranges(const QrvlStructureBatch& batch, std::vector<std::int32_t>& owner);

// Whether every structure has at least one atom and lies inside the batch (offset >= 0, offset + count <=
// num_atoms, summed in 64 bits). Needs the counts and offsets arrays present.
bool structures_lie_inside_batch(const QrvlStructureBatch& batch);

// Throws std::runtime_error with the message of claim_structure_ranges, or "batch atom is not covered by any
// structure", unless the structures tile the atoms exactly: otherwise one atom's results could mix two
// structures, or be left unwritten.
void require_tiled_atom_ranges(const QrvlStructureBatch& batch);

// Structure s of a batch as a batch of its own, without copying atom data: one structure of c atoms at offset 0,
// its types, positions and spins (when the batch has them) pointing into the batch at the structure's first
// atom, its box and periodic flags (null when the batch has none) at the structure's own. The view points into
// itself, so it is neither copied nor moved.
class SingleStructureView {
 public:
  SingleStructureView(const QrvlStructureBatch& batch, std::int32_t s);
  SingleStructureView(const SingleStructureView&) = delete;
  SingleStructureView& operator=(const SingleStructureView&) = delete;

  const QrvlStructureBatch& batch() const { return view_; }

 private:
  std::int32_t count_ = 0;
  std::int32_t first_atom_ = 0;
  QrvlStructureBatch view_{};
};

}  // namespace quarvel::cuda_backend
