#include "internal_neighbor_builder.hpp"

#include <thrust/execution_policy.h>
#include <thrust/reduce.h>
#include <thrust/scan.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kNeighborBlock = 32;  // threads per block of every builder kernel: one thread per atom or structure
constexpr int kAxes = 3;
constexpr int kCellDimsWords = 4;  // nx, ny, nz, nx ny nz

// Row `row`, column `column` of a row-major 3x3 matrix.
__host__ __device__ __forceinline__ int m3(int row, int column) { return row * kAxes + column; }

// Cell counts of one grid and the global index of its first cell (0 for a single structure).
struct CellGrid {
  int nx;
  int ny;
  int nz;
  int first_cell;
};

// Wraps a cell index that is at most one period outside [0, n).
__device__ __forceinline__ int wrap_index(int k, int n) {
  if (k < 0) return k + n;
  if (k >= n) return k - n;
  return k;
}

// On a periodic axis with one cell every offset reaches the same cell, and with two cells -1 and +1 do: those
// offsets are skipped so that no cell, and so no atom, is searched twice.
__device__ __forceinline__ bool duplicate_pbc_offset(int offset, int n, bool periodic) {
  if (!periodic) return false;
  if (n == 1) return offset != 0;
  if (n == 2) return offset == 1;
  return false;
}

// Number of cells along one axis: whole cutoffs between two lattice planes (at least 1), never more than
// `capacity`. Capping first gives the grid the shrinking below would reach anyway, without looping down from
// counts that cannot fit, and keeps the conversion to int defined.
__host__ __device__ __forceinline__ int cells_along_axis(double reciprocal_norm, double cutoff, std::uint64_t capacity) {
  const double whole = floor(1.0 / (reciprocal_norm * cutoff));
  if (!(whole >= 1.0)) return 1;
  if (whole >= static_cast<double>(capacity)) return static_cast<int>(capacity);
  return static_cast<int>(whole);
}

// Lowers the largest count (ties: x before y before z) until the grid has at most `capacity` cells. False when
// the count to lower is already 1.
__host__ __device__ __forceinline__ bool shrink_cell_dims(int& nx, int& ny, int& nz, std::uint64_t capacity) {
  while (static_cast<std::uint64_t>(nx) * static_cast<std::uint64_t>(ny) * static_cast<std::uint64_t>(nz) >
         capacity) {
    int& larger_xy = nx < ny ? ny : nx;
    int& lowered = larger_xy >= nz ? larger_xy : nz;
    if (lowered <= 1) return false;
    --lowered;
  }
  return true;
}

// Euclidean norm of row `axis` of an inverse cell: the reciprocal of the lattice-plane spacing along that
// cell vector.
__device__ __forceinline__ double reciprocal_row_norm_device(const double* inverse, int axis) {
  const double h0 = inverse[m3(axis, 0)];
  const double h1 = inverse[m3(axis, 1)];
  const double h2 = inverse[m3(axis, 2)];
  return sqrt(fma(h2, h2, fma(h0, h0, h1 * h1)));
}

// Fractional coordinate `axis` of a Cartesian vector.
__device__ __forceinline__ double fractional(const double* inverse, int axis, const double r[kAxes]) {
  return fma(r[2], inverse[m3(axis, 2)], fma(r[0], inverse[m3(axis, 0)], r[1] * inverse[m3(axis, 1)]));
}

// Cell of one position along each axis: fractional coordinate (wrapped on periodic axes, or only the diagonal
// of the inverse for orthorhombic cells) scaled by the count and clamped, so atoms outside a non-periodic box
// land in its border cells. Returns the cell index within the grid (x fastest).
template <bool Orthorhombic>
__device__ int locate_cell(const double r[kAxes], const double* inverse, const int* pbc, const CellGrid& grid) {
  const int dims[kAxes] = {grid.nx, grid.ny, grid.nz};
  int c[kAxes];
  for (int a = 0; a < kAxes; ++a) {
    double s = Orthorhombic ? inverse[m3(a, a)] * r[a] : fractional(inverse, a, r);
    if (pbc[a] != 0) s -= floor(s);
    // Clamped before the conversion, so that positions far outside (or not a number) stay defined.
    const double k = floor(s * dims[a]);
    if (!(k >= 0.0)) {
      c[a] = 0;
    } else if (k >= dims[a]) {
      c[a] = dims[a] - 1;
    } else {
      c[a] = static_cast<int>(k);
    }
  }
  return (c[2] * grid.ny + c[1]) * grid.nx + c[0];
}

// Nearest image of a separation: through fractional coordinates when any axis is periodic, or per Cartesian
// axis for orthorhombic cells.
template <bool Orthorhombic>
__device__ void apply_minimum_image(const double* box, const double* inverse, const int* pbc, double d[kAxes]) {
  if (Orthorhombic) {
    for (int a = 0; a < kAxes; ++a) {
      if (pbc[a] != 0) d[a] -= box[m3(a, a)] * rint(inverse[m3(a, a)] * d[a]);
    }
    return;
  }
  if (pbc[0] == 0 && pbc[1] == 0 && pbc[2] == 0) return;
  double s[kAxes];
  for (int a = 0; a < kAxes; ++a) {
    s[a] = fractional(inverse, a, d);
    if (pbc[a] != 0) s[a] -= rint(s[a]);
  }
  for (int a = 0; a < kAxes; ++a) d[a] = fractional(box, a, s);
}

// What every search thread reads and writes besides its own structure's cell.
struct NeighborSearch {
  int capacity;  // A: stride of positions and lists
  double radial_cutoff_squared;
  double angular_cutoff_squared;
  int radial_slots;
  int angular_slots;
  const double* positions;
  const int* cell_offsets;
  const int* cell_atoms;
  int* nn_radial;
  int* nl_radial;
  int* nn_angular;
  int* nl_angular;
  int* overflow;
};

// Appends a candidate to one list, or flags the overflow; the count runs on so the caller can clamp it.
__device__ __forceinline__ void append_candidate(int* list, int capacity, int slots, int atom, int neighbor,
                                                 int& count, int* overflow) {
  if (count < slots) {
    list[soa(count, atom, capacity)] = neighbor;
  } else {
    atomicExch(overflow, 1);
  }
  ++count;
}

// Searches the 27 cells around atom i's cell (z outermost, x innermost) and fills both lists of i.
template <bool Orthorhombic>
__device__ void search_neighbors(const NeighborSearch& search, int i, int local_cell, const CellGrid& grid,
                                 const double* box, const double* inverse, const int* pbc) {
  const int dims[kAxes] = {grid.nx, grid.ny, grid.nz};
  const int own[kAxes] = {local_cell % grid.nx, (local_cell / grid.nx) % grid.ny, local_cell / (grid.nx * grid.ny)};
  double ri[kAxes];
  for (int a = 0; a < kAxes; ++a) ri[a] = search.positions[soa(a, i, search.capacity)];
  int radial_count = 0;
  int angular_count = 0;
  for (int dz = -1; dz <= 1; ++dz) {
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const int offset[kAxes] = {dx, dy, dz};
        int k[kAxes];
        bool skip = false;
        for (int a = 0; a < kAxes && !skip; ++a) {
          const bool periodic = pbc[a] != 0;
          if (duplicate_pbc_offset(offset[a], dims[a], periodic)) {
            skip = true;
          } else if (periodic) {
            k[a] = wrap_index(own[a] + offset[a], dims[a]);
          } else {
            k[a] = own[a] + offset[a];
            skip = k[a] < 0 || k[a] >= dims[a];
          }
        }
        if (skip) continue;
        const int cell = grid.first_cell + (k[2] * grid.ny + k[1]) * grid.nx + k[0];
        for (int t = search.cell_offsets[cell]; t < search.cell_offsets[cell + 1]; ++t) {
          const int j = search.cell_atoms[t];
          if (j == i) continue;
          double d[kAxes];
          for (int a = 0; a < kAxes; ++a) d[a] = ri[a] - search.positions[soa(a, j, search.capacity)];
          apply_minimum_image<Orthorhombic>(box, inverse, pbc, d);
          // Distances are single precision, like every per-pair quantity after the minimum image.
          const float fx = static_cast<float>(d[0]);
          const float fy = static_cast<float>(d[1]);
          const float fz = static_cast<float>(d[2]);
          const double r2 = static_cast<double>(fmaf(fz, fz, fmaf(fx, fx, fy * fy)));
          if (r2 < search.radial_cutoff_squared) {
            append_candidate(search.nl_radial, search.capacity, search.radial_slots, i, j, radial_count,
                             search.overflow);
          }
          if (r2 < search.angular_cutoff_squared) {
            append_candidate(search.nl_angular, search.capacity, search.angular_slots, i, j, angular_count,
                             search.overflow);
          }
        }
      }
    }
  }
  search.nn_radial[i] = min(radial_count, search.radial_slots);
  search.nn_angular[i] = min(angular_count, search.angular_slots);
}

__device__ __forceinline__ int this_thread_index() { return static_cast<int>(global_thread_x()); }

__global__ void assign_cells(int atom_count, int capacity, int nx, int ny, int nz, SimulationBox box,
                             const double* positions, int* atom_cell, int* cell_counts) {
  const int i = this_thread_index();
  if (i >= atom_count) return;
  const double r[kAxes] = {positions[soa(0, i, capacity)], positions[soa(1, i, capacity)],
                           positions[soa(2, i, capacity)]};
  const int cell = locate_cell<false>(r, box.inverse, box.pbc, CellGrid{nx, ny, nz, 0});
  atom_cell[i] = cell;
  atomicAdd(&cell_counts[cell], 1);
}

// Each atom takes a distinct slot of its cell; the order within a cell follows the atomic operations.
__global__ void scatter_cells(int atom_count, const int* atom_cell, const int* cell_offsets, int* cell_fill,
                              int* cell_atoms) {
  const int i = this_thread_index();
  if (i >= atom_count) return;
  const int cell = atom_cell[i];
  const int k = atomicAdd(&cell_fill[cell], 1);
  cell_atoms[cell_offsets[cell] + k] = i;
}

__global__ void build_neighbors_from_cells(int atom_count, int capacity, int nx, int ny, int nz, SimulationBox box,
                                           double radial_cutoff_squared, double angular_cutoff_squared,
                                           int radial_slots, int angular_slots, const double* positions,
                                           const int* atom_cell, const int* cell_offsets, const int* cell_atoms,
                                           int* nn_radial, int* nl_radial, int* nn_angular, int* nl_angular,
                                           int* overflow) {
  const int i = this_thread_index();
  if (i >= atom_count) return;
  const NeighborSearch search{capacity,   radial_cutoff_squared, angular_cutoff_squared, radial_slots,
                              angular_slots, positions,          cell_offsets,           cell_atoms,
                              nn_radial,  nl_radial,             nn_angular,             nl_angular,
                              overflow};
  search_neighbors<false>(search, i, atom_cell[i], CellGrid{nx, ny, nz, 0}, box.box, box.inverse, box.pbc);
}

// One thread per structure: its own grid, never more cells than it has atoms, so the batch's cells fit the
// workspace's per-atom cell arrays.
__global__ void plan_batched_cells(int structure_count, double cutoff, const int* structure_atom_counts,
                                   const double* box_inverses, int* structure_cell_counts, int* structure_cell_dims4,
                                   int* overflow) {
  const int s = this_thread_index();
  if (s >= structure_count) return;
  const int atoms = structure_atom_counts[s];
  if (atoms < 1) {
    atomicExch(overflow, 1);
    return;
  }
  const double* inverse = box_inverses + aos(0, s, kAxes * kAxes);
  const auto capacity = static_cast<std::uint64_t>(atoms);
  int dims[kAxes];
  for (int a = 0; a < kAxes; ++a) {
    const double b = reciprocal_row_norm_device(inverse, a);
    dims[a] = (b <= 0.0 || cutoff <= 0.0) ? 1 : cells_along_axis(b, cutoff, capacity);
  }
  if (!shrink_cell_dims(dims[0], dims[1], dims[2], capacity)) atomicExch(overflow, 1);
  const int cells = dims[0] * dims[1] * dims[2];
  structure_cell_counts[s] = cells;
  int* out = structure_cell_dims4 + aos(0, s, kCellDimsWords);
  out[0] = dims[0];
  out[1] = dims[1];
  out[2] = dims[2];
  out[3] = cells;
}

__device__ __forceinline__ CellGrid structure_grid(const int* structure_cell_offsets, const int* structure_cell_dims4,
                                                   int s) {
  const int* dims = structure_cell_dims4 + aos(0, s, kCellDimsWords);
  return CellGrid{dims[0], dims[1], dims[2], structure_cell_offsets[s]};
}

template <bool Orthorhombic>
__global__ void assign_cells_batched(int atom_count, int capacity, const int* atom_to_structure,
                                            const int* structure_cell_offsets, const int* structure_cell_dims4,
                                            const double* box_inverses, const int* pbc, const double* positions,
                                            int* atom_cell, int* cell_counts) {
  const int i = this_thread_index();
  if (i >= atom_count) return;
  const int s = atom_to_structure[i];
  const CellGrid grid = structure_grid(structure_cell_offsets, structure_cell_dims4, s);
  const double r[kAxes] = {positions[soa(0, i, capacity)], positions[soa(1, i, capacity)],
                           positions[soa(2, i, capacity)]};
  const int cell = grid.first_cell + locate_cell<Orthorhombic>(r, box_inverses + aos(0, s, kAxes * kAxes),
                                                               pbc + aos(0, s, kAxes), grid);
  atom_cell[i] = cell;
  atomicAdd(&cell_counts[cell], 1);
}

template <bool Orthorhombic>
__global__ void build_neighbors_from_batched_cells(
    int atom_count, int capacity, const int* atom_to_structure, const int* structure_cell_offsets,
    const int* structure_cell_dims4, const double* boxes, double radial_cutoff_squared,
    double angular_cutoff_squared, const double* box_inverses, const int* pbc, int radial_slots, int angular_slots,
    const double* positions, const int* atom_cell, const int* cell_offsets, const int* cell_atoms, int* nn_radial,
    int* nl_radial, int* nn_angular, int* nl_angular, int* overflow) {
  const int i = this_thread_index();
  if (i >= atom_count) return;
  const int s = atom_to_structure[i];
  const CellGrid grid = structure_grid(structure_cell_offsets, structure_cell_dims4, s);
  const NeighborSearch search{capacity,   radial_cutoff_squared, angular_cutoff_squared, radial_slots,
                              angular_slots, positions,          cell_offsets,           cell_atoms,
                              nn_radial,  nl_radial,             nn_angular,             nl_angular,
                              overflow};
  search_neighbors<Orthorhombic>(search, i, atom_cell[i] - grid.first_cell, grid,
                                 boxes + aos(0, s, kAxes * kAxes), box_inverses + aos(0, s, kAxes * kAxes),
                                 pbc + aos(0, s, kAxes));
}

// Squared in double on the host: the kernels compare single-precision distances widened to double with it.
double squared(double cutoff) { return cutoff * cutoff; }

// Host forms of the grid rules.
double reciprocal_row_norm(const SimulationBox& box, int axis) {
  const double a = box.inverse[m3(axis, 0)];
  const double b = box.inverse[m3(axis, 1)];
  const double c = box.inverse[m3(axis, 2)];
  return std::sqrt((a * a + b * b) + c * c);
}

int cell_dim_for_fractional_axis(const SimulationBox& box, int axis, double cutoff, std::uint64_t capacity) {
  const double b = reciprocal_row_norm(box, axis);
  require(b > 0.0, "box reciprocal axis must be positive");
  require(cutoff > 0.0, "cutoff must be positive");
  return cells_along_axis(b, cutoff, capacity);
}

void fit_cell_dims_to_capacity(int& nx, int& ny, int& nz, std::uint64_t capacity) {
  require(capacity != 0, "cell capacity must be positive");
  require(shrink_cell_dims(nx, ny, nz, capacity), "cannot fit cell grid into workspace capacity");
}

void zero_ints(int* device, std::uint64_t count, const char* step) {
  check_cuda(cudaMemset(device, 0, sizeof(int) * count), step);
}

// Step texts of the clears before a build, in clearing order.
struct ClearSteps {
  const char* cell_counts;
  const char* cell_fill;
  const char* radial_counts;
  const char* angular_counts;
  const char* radial_neighbors;
  const char* angular_neighbors;
  const char* overflow;
};

constexpr ClearSteps kSingleStructureClears = {"zero cell counts",      "zero cell fill",
                                               "zero radial counts",    "zero angular counts",
                                               "zero radial neighbors", "zero angular neighbors",
                                               "zero neighbor overflow"};
constexpr ClearSteps kBatchedClears = {"zero batched cell counts",      "zero batched cell fill",
                                       "zero batched radial counts",    "zero batched angular counts",
                                       "zero batched radial neighbors", "zero batched angular neighbors",
                                       "zero batched neighbor overflow"};

// Clears the cell counters, the lists (unused slots read as 0) and the overflow word over the capacity.
void clear_cells_and_lists(const ModelProtocol& protocol, const DeviceWorkspaceView& view, const ClearSteps& steps) {
  const std::uint64_t capacity = view.atom_capacity;
  zero_ints(view.cell_counts, capacity, steps.cell_counts);
  zero_ints(view.cell_fill, capacity, steps.cell_fill);
  zero_ints(view.nn_radial, capacity, steps.radial_counts);
  zero_ints(view.nn_angular, capacity, steps.angular_counts);
  zero_ints(view.nl_radial_slot_major, static_cast<std::uint64_t>(protocol.neighbor_capacity_radial) * capacity,
            steps.radial_neighbors);
  zero_ints(view.nl_angular_slot_major, static_cast<std::uint64_t>(protocol.neighbor_capacity_angular) * capacity,
            steps.angular_neighbors);
  zero_ints(view.neighbor_overflow, 1, steps.overflow);
}

// Checks the view for the arrays both builders write, with their fixed messages.
void require_list_and_cell_arrays(const DeviceWorkspaceView& view) {
  require(view.nn_radial != nullptr, "workspace missing radial counts");
  require(view.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  require(view.nn_angular != nullptr, "workspace missing angular counts");
  require(view.nl_angular_slot_major != nullptr, "workspace missing angular neighbors");
  require(view.cell_counts != nullptr, "workspace missing cell counts");
  require(view.cell_offsets != nullptr, "workspace missing cell offsets");
  require(view.cell_fill != nullptr, "workspace missing cell fill");
  require(view.cell_atoms != nullptr, "workspace missing cell atoms");
  require(view.atom_cell != nullptr, "workspace missing atom_cell");
}

// Groups atoms by cell: exclusive scan of the counts of `cells` cells into the offsets, the total (which must
// be every atom) after them.
void group_atoms_by_cell(const DeviceWorkspaceView& view, int cells, int atom_count, const char* lost_message,
                         const char* copy_step) {
  thrust::exclusive_scan(thrust::device, view.cell_counts, view.cell_counts + cells, view.cell_offsets, 0);
  const int total = thrust::reduce(thrust::device, view.cell_counts, view.cell_counts + cells, 0);
  require(total == atom_count, lost_message);
  check_cuda(cudaMemcpy(view.cell_offsets + cells, &total, sizeof(int), cudaMemcpyHostToDevice), copy_step);
}

// Waits for the device and reads the overflow word.
bool overflow_flagged(const DeviceWorkspaceView& view, const char* sync_step, const char* copy_step) {
  check_cuda(cudaDeviceSynchronize(), sync_step);
  int flag = 0;
  check_cuda(cudaMemcpy(&flag, view.neighbor_overflow, sizeof(int), cudaMemcpyDeviceToHost), copy_step);
  return flag != 0;
}


// Bins the batch's atoms into their structures' cells and searches them; the cell rule and the minimum image
// follow `Orthorhombic`.
template <bool Orthorhombic>
void bin_and_search_batched(const ModelProtocol& protocol, int atom_count, const DeviceWorkspaceView& view) {
  const int stride = static_cast<int>(view.atom_capacity);
  const dim3 grid(blocks_for(atom_count, kNeighborBlock));
  const dim3 block(kNeighborBlock);
  const auto* atom_to_structure = static_cast<const int*>(view.atom_to_structure);
  const auto* structure_cell_offsets = static_cast<const int*>(view.structure_cell_offsets);
  const auto* structure_cell_dims4 = static_cast<const int*>(view.structure_cell_dims4);
  const auto* box_inverses = static_cast<const double*>(view.box_inverse_row_major9);
  const auto* pbc = static_cast<const int*>(view.pbc_flags3);
  const auto* positions = static_cast<const double*>(view.positions_soa3);
  launch_kernel<assign_cells_batched<Orthorhombic>>(grid, block, 0, atom_count, stride, atom_to_structure,
                                                    structure_cell_offsets, structure_cell_dims4, box_inverses, pbc,
                                                    positions, view.atom_cell, view.cell_counts);
  check_cuda(cudaGetLastError(), "assign batched cells");
  // The scan runs over the whole capacity: the batch's cells, at most one per atom, all lie within it.
  group_atoms_by_cell(view, stride, atom_count, "batched cell binning lost atoms", "copy final batched cell offset");
  launch_kernel<scatter_cells>(grid, block, 0, atom_count, static_cast<const int*>(view.atom_cell),
                               static_cast<const int*>(view.cell_offsets), view.cell_fill, view.cell_atoms);
  check_cuda(cudaGetLastError(), "scatter batched cells");
  launch_kernel<build_neighbors_from_batched_cells<Orthorhombic>>(
      grid, block, 0, atom_count, stride, atom_to_structure, structure_cell_offsets, structure_cell_dims4,
      static_cast<const double*>(view.boxes_row_major9), squared(protocol.cutoff_radial_list),
      squared(protocol.cutoff_angular), box_inverses, pbc, protocol.neighbor_capacity_radial,
      protocol.neighbor_capacity_angular, positions, static_cast<const int*>(view.atom_cell),
      static_cast<const int*>(view.cell_offsets), static_cast<const int*>(view.cell_atoms), view.nn_radial,
      view.nl_radial_slot_major, view.nn_angular, view.nl_angular_slot_major, view.neighbor_overflow);
  check_cuda(cudaGetLastError(), "build batched neighbors");
}

}  // namespace

void build_internal_neighbors_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                        DeviceWorkspace& workspace) {
  const DeviceWorkspaceView view = workspace.view();
  require(atom_count > 0, "atom_count must be positive");
  require_atom_capacity(atom_count, view);
  require(view.neighbor_source == static_cast<std::int32_t>(NeighborSource::internal),
          "neighbor builder requires internal workspace");
  require(view.positions_soa3 != nullptr, "workspace missing positions");
  require_list_and_cell_arrays(view);
  require(view.cell_dims != nullptr, "workspace missing cell dims");
  require(view.neighbor_overflow != nullptr, "workspace missing overflow flag");

  const std::uint64_t capacity = view.atom_capacity;
  int dims[kAxes];
  for (int a = kAxes - 1; a >= 0; --a) dims[a] = cell_dim_for_fractional_axis(box, a, protocol.cutoff_max, capacity);
  fit_cell_dims_to_capacity(dims[0], dims[1], dims[2], capacity);
  const int cells = dims[0] * dims[1] * dims[2];
  require(capacity >= static_cast<std::uint64_t>(cells), "cell count exceeds workspace cell capacity");
  const int cell_dims[kCellDimsWords] = {dims[0], dims[1], dims[2], cells};
  check_cuda(cudaMemcpy(view.cell_dims, cell_dims, sizeof(cell_dims), cudaMemcpyHostToDevice), "copy cell dims");

  clear_cells_and_lists(protocol, view, kSingleStructureClears);

  const int stride = static_cast<int>(capacity);
  const dim3 grid(blocks_for(atom_count, kNeighborBlock));
  const dim3 block(kNeighborBlock);
  launch_kernel<assign_cells>(grid, block, 0, atom_count, stride, dims[0], dims[1], dims[2], box,
                              static_cast<const double*>(view.positions_soa3), view.atom_cell, view.cell_counts);
  check_cuda(cudaGetLastError(), "assign cells");
  group_atoms_by_cell(view, cells, atom_count, "cell binning lost atoms", "copy final cell offset");
  launch_kernel<scatter_cells>(grid, block, 0, atom_count, static_cast<const int*>(view.atom_cell),
                               static_cast<const int*>(view.cell_offsets), view.cell_fill, view.cell_atoms);
  check_cuda(cudaGetLastError(), "scatter cells");
  launch_kernel<build_neighbors_from_cells>(
      grid, block, 0, atom_count, stride, dims[0], dims[1], dims[2], box, squared(protocol.cutoff_radial_list),
      squared(protocol.cutoff_angular), protocol.neighbor_capacity_radial, protocol.neighbor_capacity_angular,
      static_cast<const double*>(view.positions_soa3), static_cast<const int*>(view.atom_cell), static_cast<const int*>(view.cell_offsets),
      static_cast<const int*>(view.cell_atoms), view.nn_radial, view.nl_radial_slot_major, view.nn_angular,
      view.nl_angular_slot_major, view.neighbor_overflow);
  check_cuda(cudaGetLastError(), "build internal neighbors");
  require(!overflow_flagged(view, "synchronize internal neighbor build", "copy neighbor overflow"),
          "neighbor list exceeded workspace capacity");
}

void build_internal_neighbors_batched(const ModelProtocol& protocol, int structure_count, int atom_count,
                                      DeviceWorkspace& workspace, bool orthorhombic) {
  const DeviceWorkspaceView view = workspace.view();
  require_batch_capacity(structure_count, atom_count, view);
  require(view.neighbor_source == static_cast<std::int32_t>(NeighborSource::internal),
          "neighbor builder requires internal workspace");
  require(view.positions_soa3 != nullptr, "workspace missing positions");
  require(view.atom_to_structure != nullptr, "workspace missing atom_to_structure");
  require(view.structure_atom_counts != nullptr, "workspace missing structure counts");
  require(view.boxes_row_major9 != nullptr, "workspace missing boxes");
  require(view.box_inverse_row_major9 != nullptr, "workspace missing box inverses");
  require(view.pbc_flags3 != nullptr, "workspace missing pbc flags");
  require_list_and_cell_arrays(view);
  require(view.structure_cell_offsets != nullptr, "workspace missing structure cell offsets");
  require(view.structure_cell_dims4 != nullptr, "workspace missing structure cell dims");
  require(view.neighbor_overflow != nullptr, "workspace missing overflow flag");

  const std::uint64_t structure_capacity = view.structure_capacity;
  zero_ints(view.structure_cell_offsets, structure_capacity + 1, "zero structure cell offsets");
  zero_ints(view.structure_cell_dims4, kCellDimsWords * structure_capacity, "zero structure cell dims");
  zero_ints(view.neighbor_overflow, 1, "zero batched neighbor overflow");
  const dim3 block(kNeighborBlock);
  launch_kernel<plan_batched_cells>(dim3(blocks_for(structure_count, kNeighborBlock)), block, 0, structure_count,
                                    protocol.cutoff_max, static_cast<const int*>(view.structure_atom_counts),
                                    static_cast<const double*>(view.box_inverse_row_major9),
                                    view.structure_cell_offsets, view.structure_cell_dims4, view.neighbor_overflow);
  check_cuda(cudaGetLastError(), "plan batched cells");
  require(!overflow_flagged(view, "synchronize batched cell planning", "copy batched cell planning overflow"),
          "batched cell planning exceeded workspace capacity");
  // Cell counts become each structure's first global cell.
  thrust::exclusive_scan(thrust::device, view.structure_cell_offsets, view.structure_cell_offsets + structure_count,
                         view.structure_cell_offsets, 0);

  clear_cells_and_lists(protocol, view, kBatchedClears);

  if (orthorhombic) {
    bin_and_search_batched<true>(protocol, atom_count, view);
  } else {
    bin_and_search_batched<false>(protocol, atom_count, view);
  }
  require(!overflow_flagged(view, "synchronize batched neighbor builder", "copy batched neighbor overflow"),
          "batched neighbor list exceeded CUDA workspace capacity");
}

}  // namespace quarvel::cuda_backend
