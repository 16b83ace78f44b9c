#pragma once
// The library's own cell-list builder of the radial and angular full neighbor lists, for one periodic
// structure or for a whole batch. Lists are slot-major (neighbor s of atom i at s x A + i, A the workspace
// atom capacity) with a count per atom; every other atom appears at most once, through its minimum image,
// so the caller replicates cells thinner than twice the largest cutoff first.
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {

// Builds both lists for atoms 0 .. atom_count-1 of one structure staged in `workspace` (positions_soa3), in
// the cell `box`. Throws std::runtime_error with the first violated limit, a CUDA failure, or
// "neighbor list exceeded workspace capacity" when an atom has more candidates than the model's capacity
// (the first candidates stay listed and the counts are clamped). Waits for the device.
void build_internal_neighbors_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                        DeviceWorkspace& workspace);

// Builds both lists for a staged batch (atom_to_structure, per-structure counts, cells, inverses and flags),
// each structure with its own cell grid; neighbors are batch-wide atom indices of the same structure.
// `orthorhombic` selects the diagonal-cell kernels (every cell diagonal, see batch_boxes_are_orthorhombic).
// Throws std::runtime_error like the single-structure builder; the overflow texts are
// "batched cell planning exceeded workspace capacity" and "batched neighbor list exceeded CUDA workspace
// capacity". Waits for the device.
void build_internal_neighbors_batched(const ModelProtocol& protocol, int structure_count, int atom_count,
                                      DeviceWorkspace& workspace, bool orthorhombic);

}  // namespace quarvel::cuda_backend
