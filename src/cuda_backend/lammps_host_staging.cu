#include "lammps_host_staging.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cuda_checks.hpp"
#include "device_buffer.hpp"
#include "device_layout.cuh"
#include "staging_kernels.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kStagingBlock = 512;  // threads per block of every staging kernel here

std::size_t at(std::int64_t index) { return static_cast<std::size_t>(index); }

// out[i] = type_map[types[i]]: the map was checked on the host, so every lookup is in range.
__global__ void stage_lammps_types(int count, const int* types, const int* type_map, int* out) {
  const std::int64_t i = global_thread_x();
  if (i >= count) return;
  out[i] = type_map[types[i]];
}

// One thread per active entry: the atom's row-major row becomes slots of the slot-major list.
__global__ void stage_lammps_neighbors_slot_major(int active_count, int slot_stride, int row_width, const int* active,
                                                  const int* counts, const int* rows, int* counts_out,
                                                  int* list_out) {
  const std::int64_t t = global_thread_x();
  if (t >= active_count) return;
  const int i = active[t];
  const int c = counts[i];
  counts_out[i] = c;
  for (int j = 0; j < c; ++j) list_out[soa(j, i, slot_stride)] = rows[aos(j, i, row_width)];
}

// A plain device copy of `values` that lives until the end of the staging call; empty gives no allocation.
template <typename T>
DeviceBuffer upload_temp(const std::vector<T>& values, const char* what) {
  DeviceBuffer buffer(values.size() * sizeof(T), what);
  if (!values.empty()) {
    check_cuda(cudaMemcpy(buffer.data(), values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice), what);
  }
  return buffer;
}

void clear_ints(std::int32_t* device, std::uint64_t count, const char* step) {
  if (count > 0) check_cuda(cudaMemset(device, 0, count * sizeof(std::int32_t)), step);
}

void launch_neighbor_staging(int active_count, int slot_stride, int capacity, const DeviceBuffer& active,
                             const std::int32_t* counts, const DeviceBuffer& rows, std::int32_t* counts_out,
                             std::int32_t* list_out, const char* step) {
  if (active_count > 0) {
    launch_kernel<stage_lammps_neighbors_slot_major>(dim3(blocks_for(active_count, kStagingBlock)),
                                                     dim3(kStagingBlock), 0, active_count, slot_stride, capacity,
                                                     active.as<const int>(), counts, rows.as<const int>(), counts_out,
                                                     list_out);
  }
  check_cuda(cudaGetLastError(), step);
}

}  // namespace

void upload_lammps_neighbor_selection(const LammpsNeighborSelection& list, const ModelProtocol& protocol,
                                      DeviceWorkspace& workspace) {
  const LammpsListAtoms& atoms = list.atoms;
  const bool spin = protocol.spin_mode != 0;
  const int n = atoms.count;
  const auto active_count = static_cast<int>(list.active.size());
  const DeviceWorkspaceView view = workspace.view();
  require(view.atom_capacity >= static_cast<std::uint64_t>(n), "LAMMPS input exceeds workspace atom capacity");
  require(view.active_atom_capacity >= static_cast<std::uint64_t>(active_count),
          "LAMMPS input exceeds workspace active atom capacity");
  require(view.types != nullptr, "workspace missing types");
  require(view.positions_soa3 != nullptr, "workspace missing positions");
  require(!spin || view.spins_soa3 != nullptr, "workspace missing spins");
  require(view.nn_radial != nullptr && view.nn_angular != nullptr, "workspace missing neighbor counts");

  const std::uint64_t a = view.atom_capacity;
  const auto cap_r = static_cast<std::uint64_t>(std::max(protocol.neighbor_capacity_radial, 0));
  const auto cap_a = static_cast<std::uint64_t>(std::max(protocol.neighbor_capacity_angular, 0));
  if (active_count > 0) {
    check_cuda(cudaMemcpy(view.active_atom_indices, list.active.data(), sizeof(std::int32_t) * at(active_count),
                          cudaMemcpyHostToDevice),
               "copy active atom indices");
  }
  clear_ints(view.nn_radial, a, "zero radial neighbor counts");
  clear_ints(view.nn_angular, a, "zero angular neighbor counts");
  clear_ints(view.nl_radial_slot_major, cap_r * a, "zero radial neighbor list");
  clear_ints(view.nl_angular_slot_major, cap_a * a, "zero angular neighbor list");

  const DeviceBuffer types = upload_temp(atoms.lammps_types, "upload lammps types");
  const DeviceBuffer type_map = upload_temp(atoms.type_map, "upload type map");
  const DeviceBuffer positions = upload_temp(atoms.positions, "upload lammps positions");
  const DeviceBuffer spins = upload_temp(atoms.spins, "upload lammps spins");
  const DeviceBuffer active = upload_temp(list.active, "upload active atoms");
  const DeviceBuffer counts = upload_temp(list.counts, "upload neighbor counts");
  const DeviceBuffer radial_rows = upload_temp(list.radial_rows, "upload radial neighbors");
  const DeviceBuffer angular_rows = upload_temp(list.angular_rows, "upload angular neighbors");

  const dim3 atom_grid(blocks_for(n, kStagingBlock));
  const int capacity = static_cast<int>(a);
  if (n > 0) {
    launch_kernel<stage_lammps_types>(atom_grid, dim3(kStagingBlock), 0, n, types.as<const int>(),
                                      type_map.as<const int>(), view.types);
  }
  check_cuda(cudaGetLastError(), "stage LAMMPS types");
  if (n > 0) {
    launch_kernel<stage_positions_aos_to_soa>(atom_grid, dim3(kStagingBlock), 0, n, capacity,
                                              positions.as<const double>(), view.positions_soa3);
  }
  check_cuda(cudaGetLastError(), "stage LAMMPS positions");
  if (spin) {
    if (n > 0) {
      launch_kernel<stage_positions_aos_to_soa>(atom_grid, dim3(kStagingBlock), 0, n, capacity,
                                                spins.as<const double>(), view.spins_soa3);
    }
    check_cuda(cudaGetLastError(), "stage LAMMPS spins");
  }
  // Slot stride A: the workspace layout (the host driver plans A = n, but a larger workspace stays consistent).
  const std::int32_t* list_counts = counts.as<const std::int32_t>();  // radial count of atom i at i, angular at n + i
  launch_neighbor_staging(active_count, capacity, protocol.neighbor_capacity_radial, active, list_counts,
                          radial_rows, view.nn_radial, view.nl_radial_slot_major, "stage radial LAMMPS neighbors");
  launch_neighbor_staging(active_count, capacity, protocol.neighbor_capacity_angular, active, list_counts + n,
                          angular_rows, view.nn_angular, view.nl_angular_slot_major, "stage angular LAMMPS neighbors");
  check_cuda(cudaDeviceSynchronize(), "synchronize LAMMPS staging");
}

void stage_lammps_external_neighbors_on_device(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                               DeviceWorkspace& workspace) {
  upload_lammps_neighbor_selection(select_lammps_neighbors(input, protocol), protocol, workspace);
}

}  // namespace quarvel::cuda_backend
