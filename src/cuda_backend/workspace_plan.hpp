#pragma once
// Host-side description of a workspace: which device arrays an evaluation needs, with their scalar types and
// element counts, before anything is allocated. Array names state their layout (see DeviceWorkspaceView).
#include <cstdint>
#include <string>
#include <vector>

#include "model_protocol.hpp"

namespace quarvel::cuda_backend {

// Atoms per block of the network's type schedule: type_scheduled_atoms groups the atoms of each block of this many
// by type, and type_schedule_active_type_counts holds one count per block.
constexpr int kTypeScheduleAtomsPerBlock = 1024;

// Shape of the device LAMMPS total reduction, which lammps_partial_sums holds one block's sums of: atoms per
// block, and sums per block (the energy and six virial components).
constexpr int kLammpsReductionBlockAtoms = 256;
constexpr int kLammpsPartialSumsPerBlock = 7;

// Elements of neighbor_overflow in an external plan: the problem bits of the device LAMMPS staging, the largest
// radial and angular candidate counts, and the first atoms with a non-finite position and spin.
constexpr int kLammpsStagingRecordInts = 5;

// Scalar type of one device array; the codes are fixed.
enum class DeviceScalarType : std::int32_t { int32 = 0, float32 = 1, float64 = 2 };

// Who fills the neighbor lists: the library's cell-list builder or the caller (LAMMPS lists).
enum class NeighborSource : std::int32_t { internal = 0, external = 1 };

// One planned device array.
struct DeviceArrayPlan {
  std::string name;
  DeviceScalarType type = DeviceScalarType::int32;
  std::uint64_t count = 0;  // elements, not bytes

  // count x element size; throws std::runtime_error "unknown scalar type" for a code outside the enumeration.
  std::uint64_t bytes() const;
};

// An ordered list of device arrays for one set of capacities; a plain host value that owns no device memory.
struct WorkspacePlan {
  NeighborSource source = NeighborSource::internal;
  std::uint64_t atom_capacity = 0;         // A: the stride of every per-atom array
  std::uint64_t active_atom_capacity = 0;  // B: capacity of active_atom_indices (internal plans: A)
  std::uint64_t structure_capacity = 0;    // S: structures per batch (external plans: 0)
  std::vector<DeviceArrayPlan> arrays;     // in the order they were appended

  // Sum of bytes() over the arrays, without alignment.
  std::uint64_t total_bytes() const;
  // The first array whose name equals `name` exactly, or null.
  const DeviceArrayPlan* find_array(const std::string& name) const;
};

// Whether a spin model's shape fits the spin core: 1 <= spin_compress <= 4, spin_compress <= spin_basis_size_radial
// + 1 <= 8 and 0 <= spin_l_max <= 4. Plans refuse other spin shapes, and the force pipeline does not serve them.
bool spin_shape_within_core_limits(const ModelProtocol& protocol);

// Plan for batches of periodic structures whose neighbor lists the library builds.
// Throws std::runtime_error with the limit's message when a capacity or the spin shape is refused.
WorkspacePlan make_internal_neighbor_workspace_plan(const ModelProtocol& protocol, std::uint64_t atom_capacity,
                                                    std::uint64_t structure_capacity, bool spin_transfer);

// Plan for caller-supplied LAMMPS neighbor lists; `float_virial_sink` adds per_atom_virial_float_soa9.
WorkspacePlan make_external_neighbor_workspace_plan(const ModelProtocol& protocol, std::uint64_t atom_capacity,
                                                    std::uint64_t active_atom_capacity, bool float_virial_sink,
                                                    bool spin_transfer);

}  // namespace quarvel::cuda_backend
