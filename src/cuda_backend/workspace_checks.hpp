#pragma once
// File-private checks that a call's atoms and structures fit a workspace: each includer gets its own copies
// (anonymous namespace), like the `require` they throw through.
#include <cstdint>

#include "device_workspace.hpp"
#include "error_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

// N atoms fit the workspace; a negative N, converted to a huge unsigned count, does not.
inline void require_atom_capacity(int atom_count, const DeviceWorkspaceView& w) {
  require(w.atom_capacity >= static_cast<std::uint64_t>(atom_count), "atom_count exceeds workspace atom capacity");
}

// A batch of S structures and N atoms, each at least one, fits the workspace; checked in this order.
inline void require_batch_capacity(int structure_count, int atom_count, const DeviceWorkspaceView& w) {
  require(structure_count > 0, "structure_count must be positive");
  require(atom_count > 0, "atom_count must be positive");
  require_atom_capacity(atom_count, w);
  require(w.structure_capacity >= static_cast<std::uint64_t>(structure_count),
          "structure_count exceeds workspace structure capacity");
}

}  // namespace
}  // namespace quarvel::cuda_backend
