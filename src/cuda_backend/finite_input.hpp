#pragma once
// Caller values that no evaluation can give a meaning to: a position, cell or spin that is NaN or infinite (an
// exploded simulation step). Such an atom would fall out of every neighbor list and get the plausible answer of
// an isolated atom, so the drivers refuse it before any device work.
#include <cstddef>
#include <cstdint>

#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// Throws std::invalid_argument for the first non-finite value of the batch: "atom <i> has a non-finite position"
// (i counts the batch's atoms, as the caller's position rows), then "structure <s> has a non-finite cell", then,
// when `with_spins`, "atom <i> has a non-finite spin". Reads only arrays the batch gives; spins are not read
// unless asked for.
void require_finite_batch(const QrvlStructureBatch& batch, bool with_spins);

// True when none of the `count` values is NaN or infinite.
bool all_finite(const double* values, std::size_t count);

// Throws std::invalid_argument "<owner> <index> has a non-finite <what>", the one wording of every road.
[[noreturn]] void refuse_non_finite(const char* owner, std::int64_t index, const char* what);

}  // namespace quarvel::cuda_backend
