#pragma once
// The structures of a batch must tile its atoms exactly; both batch stagings claim the ranges the same way.
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

}  // namespace quarvel::cuda_backend
