#pragma once
// The work arrays of one WorkspacePlan in device memory, and the plain record of their pointers that launchers
// read. Per-atom arrays are strided by atom_capacity A (component c of atom i at c x A + i); `_slot_major`
// lists hold slot s of atom i at s x A + i; `_aos3` and `_row_major9` arrays are atom- or structure-major.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device_buffer.hpp"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {

// Plain, non-owning record of a workspace. A pointer is null when the plan lacks the array or the array has no
// elements. Never outlives the DeviceWorkspace it came from.
struct DeviceWorkspaceView {
  std::int32_t neighbor_source = 0;  // 1 for external (LAMMPS) lists, 0 otherwise
  std::uint64_t atom_capacity = 0;
  std::uint64_t active_atom_capacity = 0;
  std::uint64_t structure_capacity = 0;
  std::int32_t* types = nullptr;
  double* positions_soa3 = nullptr;  // Angstrom
  double* spins_soa3 = nullptr;
  double* potential = nullptr;  // eV per atom
  double* force_soa3 = nullptr;  // eV/Angstrom
  double* mforce_soa3 = nullptr;
  double* virial_soa9 = nullptr;  // eV; components xx, yy, zz, xy, xz, yz, yx, zx, zy
  float* spin_transfer_soa9 = nullptr;
  double* charge = nullptr;  // e
  double* bec_soa9 = nullptr;
  float* d_real = nullptr;
  double* lammps_partial_sums = nullptr;
  std::int32_t* atom_to_structure = nullptr;
  std::int32_t* structure_atom_counts = nullptr;
  std::int32_t* structure_atom_offsets = nullptr;
  double* boxes_row_major9 = nullptr;
  double* box_inverse_row_major9 = nullptr;
  std::int32_t* pbc_flags3 = nullptr;
  double* output_forces_aos3 = nullptr;
  double* output_mforces_aos3 = nullptr;
  double* output_virials_per_atom_row_major9 = nullptr;
  double* structure_energy = nullptr;
  double* structure_virial_row_major9 = nullptr;
  std::int32_t* active_atom_indices = nullptr;
  std::int32_t* type_scheduled_atoms = nullptr;
  std::int32_t* type_schedule_active_type_counts = nullptr;
  std::int32_t* nn_radial = nullptr;
  std::int32_t* nl_radial_slot_major = nullptr;
  std::int32_t* nn_angular = nullptr;
  std::int32_t* nl_angular_slot_major = nullptr;
  std::int32_t* cell_counts = nullptr;
  std::int32_t* cell_offsets = nullptr;
  std::int32_t* cell_fill = nullptr;
  std::int32_t* cell_atoms = nullptr;
  std::int32_t* atom_cell = nullptr;
  std::int32_t* cell_dims = nullptr;
  std::int32_t* structure_cell_offsets = nullptr;
  std::int32_t* structure_cell_dims4 = nullptr;
  std::int32_t* neighbor_overflow = nullptr;
  float* fp = nullptr;
  float* charge_derivative = nullptr;
  float* descriptors = nullptr;
  float* sum_fxyz = nullptr;
  float* r12_angular = nullptr;
  float* f12x = nullptr;
  float* f12y = nullptr;
  float* f12z = nullptr;
  float* per_atom_virial_float_soa9 = nullptr;
  float* spin_density_rho0 = nullptr;
  float* spin_density_raw1 = nullptr;
  float* spin_density_angular2 = nullptr;
  float* spin_density_angular3 = nullptr;
  float* spin_density_angular4 = nullptr;
  float* spin_density_geom = nullptr;
  float* spin_density_rho0_dot = nullptr;
  float* spin_density_raw1_dot = nullptr;
  float* spin_chiral_polar = nullptr;
  float* spin_chiral_octupoles_raw = nullptr;
  float* spin_chiral_hexadecapoles_raw = nullptr;
  float* spin_chiral_chirals = nullptr;
};

// What a workspace allocated: bytes actually allocated, and the number of plan arrays (zero-byte ones included).
struct DeviceWorkspaceSummary {
  std::uint64_t total_bytes = 0;
  std::uint64_t array_count = 0;
};

// Owns one device allocation per non-empty plan array; move-only; frees everything in its destructor.
// Arrays start uninitialised. Allocation is stream-ordered on the default stream where the device and driver
// allow it, plain otherwise, and each array is freed the way it was allocated.
class DeviceWorkspace {
 public:
  struct Allocation {
    std::string name;
    DeviceScalarType type = DeviceScalarType::int32;
    std::uint64_t count = 0;
    DeviceBuffer buffer;  // null for a zero-byte array
  };

  DeviceWorkspace() = default;
  // Allocates every planned array in plan order; throws std::runtime_error "<array>: <CUDA error>" with nothing
  // left allocated.
  explicit DeviceWorkspace(const WorkspacePlan& plan);
  DeviceWorkspace(DeviceWorkspace&& other) noexcept;
  DeviceWorkspace& operator=(DeviceWorkspace&& other) noexcept;
  DeviceWorkspace(const DeviceWorkspace&) = delete;
  DeviceWorkspace& operator=(const DeviceWorkspace&) = delete;
  ~DeviceWorkspace() = default;

  DeviceWorkspaceView view() const { return view_; }
  DeviceWorkspaceSummary summary() const { return summary_; }
  // The first allocation record whose name equals `name` exactly, or null; overrides do not affect it.
  const Allocation* find_allocation(const std::string& name) const;

  // Point the view's types / positions at caller-owned device memory; the owned arrays stay allocated.
  void override_types(std::int32_t* device_types);
  void override_positions_soa3(double* device_positions_soa3);
  // Point both fields back at the owned arrays.
  void reset_runtime_overrides();

  // Frees every array (statuses ignored) and leaves the workspace empty; a second call is harmless.
  void release() noexcept;

  // Bytes of dynamic shared memory a block may have on the current device (the one the workspace lives on): the
  // larger of its opt-in and default per-block limits. Read with two single-attribute queries on first use and
  // kept, so launches on a kept workspace do not query the device again. The step texts name a failed query.
  std::size_t dynamic_shared_limit(const char* device_step, const char* limit_step);

 private:
  void take(DeviceWorkspace& other) noexcept;

  std::vector<Allocation> allocations_;
  DeviceWorkspaceView view_{};
  DeviceWorkspaceSummary summary_{};
  std::size_t dynamic_shared_limit_ = 0;  // 0 until first read
};

}  // namespace quarvel::cuda_backend
