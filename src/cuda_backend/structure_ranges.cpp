#include "structure_ranges.hpp"

namespace quarvel::cuda_backend {

const char* claim_structure_ranges(const QrvlStructureBatch& batch, std::vector<std::int32_t>& owner) {
  owner.assign(static_cast<std::size_t>(batch.num_atoms), kUnclaimedAtom);
  for (std::int32_t s = 0; s < batch.num_structures; ++s) {
    const std::int32_t count = batch.atom_counts[s];
    const std::int32_t offset = batch.atom_offsets[s];
    if (count < 1) return "structure atom count must be positive";
    if (offset < 0) return "structure atom offset must be non-negative";
    if (offset > batch.num_atoms || count > batch.num_atoms - offset) {
      return "structure atom range exceeds batch atom count";
    }
    for (std::int32_t i = offset; i < offset + count; ++i) {
      if (owner[static_cast<std::size_t>(i)] != kUnclaimedAtom) return "overlapping structure atom ranges";
      owner[static_cast<std::size_t>(i)] = s;
    }
  }
  return nullptr;
}

}  // namespace quarvel::cuda_backend
