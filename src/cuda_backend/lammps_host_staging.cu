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

constexpr int kStagingBlock = 512;                       // threads per block of every staging kernel here
constexpr std::int32_t kLammpsNeighborMask = 0x3FFFFFFF;  // the two top bits of a LAMMPS index are flags
constexpr int kSpinRowMagnitude = 3;                      // a LAMMPS spin row: direction x, y, z, then magnitude

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

void require_input_present(const QrvlLammpsNeighborInput& input, bool spin) {
  require(input.nlocal >= 0, "negative nlocal");
  require(input.inum >= 0, "negative inum");
  require(input.ilist != nullptr, "missing ilist");
  require(input.numneigh != nullptr, "missing numneigh");
  require(input.firstneigh != nullptr, "missing firstneigh");
  require(input.types != nullptr, "missing types");
  require(input.type_map != nullptr, "missing type_map");
  require(input.positions != nullptr, "missing positions");
  require(!spin || input.spins != nullptr, "spin model requires LAMMPS spins");
}

// The staged atom count: nlocal, every active index + 1 and every masked neighbor index + 1.
int lammps_atom_capacity(const QrvlLammpsNeighborInput& input) {
  std::int32_t n = input.nlocal;
  for (std::int32_t t = 0; t < input.inum; ++t) {
    const std::int32_t i = input.ilist[t];
    require(i >= 0, "negative active atom index");
    const std::int32_t c = input.numneigh[i];
    require(c >= 0, "negative neighbor count");
    n = std::max(n, i + 1);
    if (c == 0) continue;
    const std::int32_t* row = input.firstneigh[i];
    require(row != nullptr, "missing LAMMPS neighbor row");
    for (std::int32_t j = 0; j < c; ++j) n = std::max(n, (row[j] & kLammpsNeighborMask) + 1);
  }
  return n;
}

// Row-major atom_count x capacity matrix of masked neighbor indices of the active atoms, 0 beyond each count.
std::vector<int> flatten_lammps_neighbors(const QrvlLammpsNeighborInput& input, int atom_count, int capacity) {
  std::vector<int> matrix(at(std::int64_t{atom_count} * std::max(capacity, 0)), 0);
  for (std::int32_t t = 0; t < input.inum; ++t) {
    const std::int32_t i = input.ilist[t];
    const std::int32_t c = input.numneigh[i];
    require(c <= capacity, "neighbor count exceeds CUDA workspace capacity");
    for (std::int32_t j = 0; j < c; ++j) {
      const std::int32_t m = input.firstneigh[i][j] & kLammpsNeighborMask;
      require(m < atom_count, "neighbor atom out of range");
      matrix[aos(j, i, capacity)] = m;
    }
  }
  return matrix;
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

// The caller's rows gathered on the host in the shapes the kernels read.
struct HostGather {
  std::vector<int> types;
  std::vector<int> type_map;
  std::vector<double> positions;
  std::vector<double> spins;
  std::vector<int> active;
  std::vector<int> counts;
  std::vector<int> radial_rows;
  std::vector<int> angular_rows;
};

HostGather gather_on_host(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol, int n, bool spin) {
  HostGather g;
  g.types.resize(at(n));
  g.positions.resize(3 * at(n));
  if (spin) g.spins.resize(3 * at(n));
  int largest_type = 0;
  for (int i = 0; i < n; ++i) {
    const double* row = input.positions[i];
    require(row != nullptr, "missing LAMMPS position row");
    const std::int32_t type = input.types[i];
    require(type >= 0, "negative LAMMPS atom type");
    g.types[at(i)] = type;
    largest_type = std::max(largest_type, type);
    for (int c = 0; c < 3; ++c) g.positions[aos(c, i, 3)] = row[c];
    if (!spin) continue;
    const double* s = input.spins[i];
    require(s != nullptr, "missing LAMMPS spin row");
    for (int c = 0; c < 3; ++c) g.spins[aos(c, i, 3)] = s[c] * s[kSpinRowMagnitude];
  }
  g.type_map.assign(input.type_map, input.type_map + largest_type + 1);
  for (int i = 0; i < n; ++i) {
    const int mapped = g.type_map[at(g.types[at(i)])];
    require(mapped >= 0, "unmapped LAMMPS atom type");
    // Per-type tables on the device are indexed by this value; an out-of-range type would read past them.
    require(mapped < protocol.num_types, "mapped LAMMPS atom type exceeds model type count");
  }
  g.active.assign(input.ilist, input.ilist + input.inum);
  g.counts.assign(at(n), 0);
  for (const int i : g.active) {
    require(i >= 0 && i < n, "active atom out of range");
    g.counts[at(i)] = input.numneigh[i];
  }
  g.radial_rows = flatten_lammps_neighbors(input, n, protocol.neighbor_capacity_radial);
  g.angular_rows = flatten_lammps_neighbors(input, n, protocol.neighbor_capacity_angular);
  return g;
}

void launch_neighbor_staging(int active_count, int slot_stride, int capacity, const DeviceBuffer& active,
                             const DeviceBuffer& counts, const DeviceBuffer& rows, std::int32_t* counts_out,
                             std::int32_t* list_out, const char* step) {
  if (active_count > 0) {
    launch_kernel<stage_lammps_neighbors_slot_major>(dim3(blocks_for(active_count, kStagingBlock)),
                                                     dim3(kStagingBlock), 0, active_count, slot_stride, capacity,
                                                     active.as<const int>(), counts.as<const int>(),
                                                     rows.as<const int>(), counts_out, list_out);
  }
  check_cuda(cudaGetLastError(), step);
}

}  // namespace

void stage_lammps_external_neighbors_on_device(const QrvlLammpsNeighborInput& input, const ModelProtocol& protocol,
                                               DeviceWorkspace& workspace) {
  const bool spin = protocol.spin_mode != 0;
  require_input_present(input, spin);
  const int n = lammps_atom_capacity(input);
  const DeviceWorkspaceView view = workspace.view();
  require(view.atom_capacity >= static_cast<std::uint64_t>(n), "LAMMPS input exceeds workspace atom capacity");
  require(view.active_atom_capacity >= static_cast<std::uint64_t>(input.inum),
          "LAMMPS input exceeds workspace active atom capacity");
  const HostGather g = gather_on_host(input, protocol, n, spin);
  require(view.types != nullptr, "workspace missing types");
  require(view.positions_soa3 != nullptr, "workspace missing positions");
  require(!spin || view.spins_soa3 != nullptr, "workspace missing spins");
  require(view.nn_radial != nullptr && view.nn_angular != nullptr, "workspace missing neighbor counts");

  const std::uint64_t a = view.atom_capacity;
  const auto cap_r = static_cast<std::uint64_t>(std::max(protocol.neighbor_capacity_radial, 0));
  const auto cap_a = static_cast<std::uint64_t>(std::max(protocol.neighbor_capacity_angular, 0));
  if (input.inum > 0) {
    check_cuda(cudaMemcpy(view.active_atom_indices, input.ilist, sizeof(std::int32_t) * at(input.inum),
                          cudaMemcpyHostToDevice),
               "copy active atom indices");
  }
  clear_ints(view.nn_radial, a, "zero radial neighbor counts");
  clear_ints(view.nn_angular, a, "zero angular neighbor counts");
  clear_ints(view.nl_radial_slot_major, cap_r * a, "zero radial neighbor list");
  clear_ints(view.nl_angular_slot_major, cap_a * a, "zero angular neighbor list");

  const DeviceBuffer types = upload_temp(g.types, "upload lammps types");
  const DeviceBuffer type_map = upload_temp(g.type_map, "upload type map");
  const DeviceBuffer positions = upload_temp(g.positions, "upload lammps positions");
  const DeviceBuffer spins = upload_temp(g.spins, "upload lammps spins");
  const DeviceBuffer active = upload_temp(g.active, "upload active atoms");
  const DeviceBuffer counts = upload_temp(g.counts, "upload neighbor counts");
  const DeviceBuffer radial_rows = upload_temp(g.radial_rows, "upload radial neighbors");
  const DeviceBuffer angular_rows = upload_temp(g.angular_rows, "upload angular neighbors");

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
  launch_neighbor_staging(input.inum, capacity, protocol.neighbor_capacity_radial, active, counts, radial_rows,
                          view.nn_radial, view.nl_radial_slot_major, "stage radial LAMMPS neighbors");
  launch_neighbor_staging(input.inum, capacity, protocol.neighbor_capacity_angular, active, counts, angular_rows,
                          view.nn_angular, view.nl_angular_slot_major, "stage angular LAMMPS neighbors");
  check_cuda(cudaDeviceSynchronize(), "synchronize LAMMPS staging");
}

}  // namespace quarvel::cuda_backend
