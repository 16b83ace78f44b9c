#pragma once
// A structure far denser than the model's neighbor capacity can hold is almost always a unit slip: positions and
// cells in nanometres, or fractional coordinates with an identity cell. Left to the neighbor builders, it would
// first be replicated as a thin cell and given neighbor lists, which takes minutes and, for the densest, host
// memory without bound, before the list overflow refuses it. The batch roads refuse it before any of that.
#include "model_protocol.hpp"
#include "quarvel/quarvel.h"

namespace quarvel::cuda_backend {

// How far the mean radial neighbor count may exceed the radial capacity before a structure is refused unseen.
// Wide on purpose: no structure of physical density comes near it, while unit slips exceed it a hundredfold;
// a structure below it that still overflows is refused by the neighbor builders as before.
constexpr double kNeighborDensityMargin = 10.0;

// Throws std::runtime_error (the status of a list overflow) for the first structure whose atom count over its cell
// volume |det|, times the volume of the sphere of the radial list cutoff, exceeds kNeighborDensityMargin times
// neighbor_capacity_radial: "structure <s> averages about <n> radial neighbors per atom, more than ten times the
// model's capacity of <c>; positions and cells are in Angstrom". Cells with |det| <= 1e-12 are skipped: thin-cell
// replication refuses them as singular. Needs the counts and boxes of every structure, all finite.
void require_density_within_neighbor_capacity(const QrvlStructureBatch& batch, const ModelProtocol& protocol);

}  // namespace quarvel::cuda_backend
