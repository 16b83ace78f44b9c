#include "lammps_device_staging.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "finite_input.hpp"
#include "lammps_list_rules.hpp"
#include "shared_memory_limits.cuh"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kAtomBlock = 512;  // threads per block of the type, position and spin kernels
constexpr int kWarpSize = 32;
constexpr int kWarpsPerBlock = 16;  // one warp per active atom; 16 atoms share a block's list tiles
constexpr int kNeighborBlock = kWarpSize * kWarpsPerBlock;
constexpr unsigned kFullWarp = 0xffffffffu;
constexpr int kSpinRowMagnitude = 3;  // component 3 of a spin row is the magnitude
constexpr int kMessageNumber = 64;    // room for one formatted number of the report
// Elements of the record the staging kernels fill (neighbor_overflow).
constexpr int kRecordProblems = 0;
constexpr int kRecordMaxRadial = 1;
constexpr int kRecordMaxAngular = 2;
constexpr int kRecordFirstNonFinitePosition = 3;
constexpr int kRecordFirstNonFiniteSpin = 4;
constexpr int kNoAtom = std::numeric_limits<int>::max();  // no atom found yet: the record's atoms start here
static_assert(kNeighborBlock == 512, "the neighbor kernel is shaped for 16 warps of 32 lanes");

// Maps LAMMPS types to model types; a type outside the map or an unmapped one stages as type 0 and is flagged.
__global__ void stage_lammps_device_types(int count, const int* types, const int* type_map, int type_map_length,
                                          int* out, int* overflow) {
  const std::int64_t i = global_thread_x();
  if (i >= count) return;
  const int t = types[i];
  if (t < 0 || t >= type_map_length) {
    atomicOr(&overflow[0], kLammpsTypeOutOfRange);
    out[i] = 0;
    return;
  }
  const int m = type_map[t];
  if (m < 0) {
    atomicOr(&overflow[0], kLammpsUnmappedType);
    out[i] = 0;
    return;
  }
  out[i] = m;
}

__global__ void stage_lammps_device_positions(int count, int capacity, const double* src, int atom_stride,
                                              int component_stride, double* dst) {
  const std::int64_t t = global_thread_x();
  if (t >= count) return;
  const int i = static_cast<int>(t);
  for (int c = 0; c < 3; ++c) dst[soa(c, i, capacity)] = src[strided(c, i, atom_stride, component_stride)];
}

// Direction times magnitude, in double precision.
__global__ void stage_lammps_device_spins(int count, int capacity, const double* src, int atom_stride,
                                          int component_stride, double* dst) {
  const std::int64_t t = global_thread_x();
  if (t >= count) return;
  const int i = static_cast<int>(t);
  const double magnitude = src[strided(kSpinRowMagnitude, i, atom_stride, component_stride)];
  for (int c = 0; c < 3; ++c) {
    dst[soa(c, i, capacity)] = magnitude * src[strided(c, i, atom_stride, component_stride)];
  }
}

__device__ __forceinline__ bool finite_soa3(const double* values, int i, int capacity) {
  return isfinite(values[soa(0, i, capacity)]) && isfinite(values[soa(1, i, capacity)]) &&
         isfinite(values[soa(2, i, capacity)]);
}

// What the evaluation cannot use among the staged atoms: a model type outside the model (types the map flagged
// were staged as 0), and the lowest atoms whose position or (spin models) spin is not finite.
__global__ void check_lammps_device_atoms(int count, int capacity, int num_types, const int* types,
                                          const double* positions, const double* spins, int* record) {
  const std::int64_t t = global_thread_x();
  if (t >= count) return;
  const int i = static_cast<int>(t);
  const int type = types[i];
  if (type < 0 || type >= num_types) atomicOr(&record[kRecordProblems], kLammpsModelTypeOutOfRange);
  if (!finite_soa3(positions, i, capacity)) atomicMin(&record[kRecordFirstNonFinitePosition], i);
  if (spins != nullptr && !finite_soa3(spins, i, capacity)) atomicMin(&record[kRecordFirstNonFiniteSpin], i);
}

struct NeighborStagingArgs {
  int active_count;  // inum
  int capacity;      // A: slot stride of the lists and stride of the positions
  int nlocal;
  int nall;
  int neighbor_rows;
  int numneigh_length;
  int cap_r;
  int cap_a;
  int max_neighbors;
  int has_angular;
  int validate;
  const int* ilist;
  const int* numneigh;
  const int* neighbors;
  const int* reserved;  // passed through, not read
  int neighbor_atom_stride;
  int neighbor_slot_stride;
  const double* positions;  // capacity-strided (staged, or the caller's array in place)
  int position_stride;
  double rc_r_squared;  // Angstrom^2
  double rc_a_squared;
  int* nn_radial;
  int* nl_radial;
  int* nn_angular;
  int* nl_angular;
  int* overflow;
};

__device__ __forceinline__ void flag(const NeighborStagingArgs& a, int bit) {
  if (a.validate) atomicOr(&a.overflow[kRecordProblems], bit);
}

// Compacts this round's accepted lanes behind the list's earlier entries, in slot order, with one ballot.
__device__ __forceinline__ void append_accepted(bool accepted, int neighbor, int lane, int capacity, int overflow_bit,
                                                const NeighborStagingArgs& a, int* tile, int& count) {
  const unsigned votes = __ballot_sync(kFullWarp, accepted ? 1 : 0);
  if (accepted) {
    const int position = count + __popc(votes & ((1u << lane) - 1u));
    if (position < capacity) {
      tile[position] = neighbor;
    } else {
      flag(a, overflow_bit);
    }
  }
  count += __popc(votes);
}

// One warp per active entry walks the caller's row 32 slots at a time and keeps the neighbors within each cutoff;
// the block's 16 lists go through shared tiles so that each slot is written for 16 atoms in one coalesced row.
__global__ void __launch_bounds__(kNeighborBlock) stage_lammps_device_neighbors_dual_slot_major(NeighborStagingArgs a) {
  int* radial_tile = dynamic_shared_memory<int>();
  int* angular_tile = radial_tile + kWarpsPerBlock * a.cap_r;
  int* radial_counts = angular_tile + (a.has_angular ? kWarpsPerBlock * a.cap_a : 0);
  int* angular_counts = radial_counts + kWarpsPerBlock;
  const int warp = static_cast<int>(threadIdx.x) / kWarpSize;
  const int lane = static_cast<int>(threadIdx.x) % kWarpSize;
  const std::int64_t first_entry = static_cast<std::int64_t>(blockIdx.x) * kWarpsPerBlock;
  const std::int64_t entry = first_entry + warp;
  const bool listed = entry < a.active_count;
  const int i = listed ? a.ilist[entry] : 0;
  const bool valid = listed && i >= 0 && i < a.nlocal;
  const bool has_row = valid && i < a.neighbor_rows && i < a.numneigh_length;
  int length = 0;
  if (has_row) {
    const int c = a.numneigh[i];
    length = c < 0 ? 0 : min(c, a.max_neighbors);
    if (lane == 0 && (c < 0 || c > a.max_neighbors)) flag(a, kLammpsRowCountOutOfRange);
  }
  if (lane == 0 && listed && !valid) flag(a, kLammpsActiveAtomOutOfRange);
  if (lane == 0 && valid && !has_row) flag(a, kLammpsRowCountOutOfRange);

  double centre[3] = {0.0, 0.0, 0.0};
  if (lane == 0 && has_row) {
    for (int c = 0; c < 3; ++c) centre[c] = a.positions[soa(c, i, a.position_stride)];
  }
  for (int c = 0; c < 3; ++c) centre[c] = __shfl_sync(kFullWarp, centre[c], 0);

  int* my_radial = radial_tile + warp * a.cap_r;
  int* my_angular = angular_tile + warp * a.cap_a;
  int radial_count = 0;
  int angular_count = 0;
  for (int base = 0; base < length; base += kWarpSize) {  // length is the same for every lane of the warp
    const int k = base + lane;
    int j = 0;
    bool radial = false;
    bool angular = false;
    if (k < length) {
      j = a.neighbors[strided(k, i, a.neighbor_atom_stride, a.neighbor_slot_stride)] & kLammpsNeighborMask;
      if (j != i && j < a.nall) {
        double d2 = 0.0;
        for (int c = 0; c < 3; ++c) {
          const double d = a.positions[soa(c, j, a.position_stride)] - centre[c];
          d2 += d * d;
        }
        radial = d2 <= a.rc_r_squared;
        angular = a.has_angular && d2 <= a.rc_a_squared;
      } else if (j != i) {
        flag(a, kLammpsNeighborOutOfRange);  // self entries are dropped silently
      }
    }
    append_accepted(radial, j, lane, a.cap_r, kLammpsRadialOverflow, a, my_radial, radial_count);
    append_accepted(angular, j, lane, a.cap_a, kLammpsAngularOverflow, a, my_angular, angular_count);
  }
  if (lane == 0) {
    radial_counts[warp] = min(radial_count, a.cap_r);
    angular_counts[warp] = a.has_angular ? min(angular_count, a.cap_a) : 0;
    if (has_row) {
      a.nn_radial[i] = radial_counts[warp];
      if (a.has_angular) a.nn_angular[i] = angular_counts[warp];
    }
    if (valid && a.validate) {
      atomicMax(&a.overflow[kRecordMaxRadial], radial_count);
      atomicMax(&a.overflow[kRecordMaxAngular], angular_count);
    }
  }
  __syncthreads();
  const int t = static_cast<int>(threadIdx.x);
  for (int q = t; q < kWarpsPerBlock * a.cap_r; q += kNeighborBlock) {
    const int w = q % kWarpsPerBlock;
    const int slot = q / kWarpsPerBlock;
    if (first_entry + w < a.active_count && slot < radial_counts[w]) {
      a.nl_radial[soa(slot, a.ilist[first_entry + w], a.capacity)] = radial_tile[w * a.cap_r + slot];
    }
  }
  if (!a.has_angular) return;
  for (int q = t; q < kWarpsPerBlock * a.cap_a; q += kNeighborBlock) {
    const int w = q % kWarpsPerBlock;
    const int slot = q / kWarpsPerBlock;
    if (first_entry + w < a.active_count && slot < angular_counts[w]) {
      a.nl_angular[soa(slot, a.ilist[first_entry + w], a.capacity)] = angular_tile[w * a.cap_a + slot];
    }
  }
}

void require_input(const QrvlLammpsDeviceNeighborInput& in) {
  require_argument(in.nlocal >= 0, "negative nlocal");
  require_argument(in.nall >= in.nlocal, "nall must be at least nlocal");
  require_argument(in.inum > 0, "device LAMMPS input must have active atoms");
  require_argument(in.max_neighbors >= 0, "negative max_neighbors");
  require_argument(in.neighbor_rows > 0, "invalid device neighbor row count");
  require_argument(in.numneigh_length > 0, "invalid device numneigh length");
  require_argument(in.ilist != nullptr, "missing device ilist");
  require_argument(in.numneigh != nullptr, "missing device numneigh");
  require_argument(in.neighbors != nullptr, "missing device neighbors");
  require_argument(in.neighbor_atom_stride > 0, "invalid neighbor atom stride");
  require_argument(in.neighbor_slot_stride > 0, "invalid neighbor slot stride");
  require_argument(in.types != nullptr, "missing device types");
  require_argument(in.positions != nullptr, "missing device positions");
  require_argument(in.position_atom_stride > 0, "invalid position atom stride");
  require_argument(in.position_component_stride > 0, "invalid position component stride");
}

void require_workspace(const QrvlLammpsDeviceNeighborInput& in, bool spin, bool angular,
                       const DeviceWorkspaceView& v) {
  require(v.neighbor_source == static_cast<std::int32_t>(NeighborSource::external),
          "device LAMMPS staging requires external workspace");
  require(v.atom_capacity >= static_cast<std::uint64_t>(in.nall), "device LAMMPS input exceeds workspace atom capacity");
  require(v.active_atom_capacity >= static_cast<std::uint64_t>(in.inum),
          "device LAMMPS input exceeds active atom capacity");
  require(in.neighbor_rows >= in.nlocal, "device LAMMPS local atoms exceed neighbor rows");
  require(in.numneigh_length >= in.nlocal, "device LAMMPS local atoms exceed numneigh length");
  require(v.types != nullptr, "workspace missing types");
  require(v.positions_soa3 != nullptr, "workspace missing positions");
  require(!spin || v.spins_soa3 != nullptr, "workspace missing spins");
  require(v.nn_radial != nullptr, "workspace missing radial counts");
  require(v.neighbor_overflow != nullptr, "workspace missing neighbor overflow flag");
  require(v.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  require(!angular || v.nn_angular != nullptr, "workspace missing angular counts");
  require(!angular || v.nl_angular_slot_major != nullptr, "workspace missing angular neighbors");
}

std::string format_number(const char* format, double value) {
  char text[kMessageNumber];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The one report of everything the staging kernels found: the lowest atom with a non-finite value, else every
// problem in bit order.
void report_problems(const int (&record)[kLammpsStagingRecordInts], const ModelProtocol& p) {
  const int position = record[kRecordFirstNonFinitePosition];
  const int spin = record[kRecordFirstNonFiniteSpin];
  if (position != kNoAtom || spin != kNoAtom) {
    const bool position_first = position <= spin;
    refuse_non_finite("atom", position_first ? position : spin, position_first ? "position" : "spin");
  }
  if (record[kRecordProblems] == 0) return;
  struct Problem {
    int bit;
    const char* text;
  };
  constexpr Problem kProblems[] = {
      {kLammpsTypeOutOfRange, " type out of range"},
      {kLammpsUnmappedType, " unmapped type"},
      {kLammpsActiveAtomOutOfRange, " active atom index out of range"},
      {kLammpsRowCountOutOfRange, " input row count out of range"},
      {kLammpsNeighborOutOfRange, " neighbor index out of range"},
      {kLammpsRadialOverflow, " radial neighbor count exceeds workspace capacity"},
      {kLammpsAngularOverflow, " angular neighbor count exceeds workspace capacity"},
      {kLammpsModelTypeOutOfRange, " model type out of range"},
  };
  std::string message = "invalid device LAMMPS neighbor input:";
  for (const Problem& problem : kProblems) {
    if ((record[kRecordProblems] & problem.bit) != 0) message += problem.text;
  }
  message += " max_radial=" + std::to_string(record[kRecordMaxRadial]) +
             " max_angular=" + std::to_string(record[kRecordMaxAngular]) +
             " capacity_radial=" + std::to_string(p.neighbor_capacity_radial) +
             " capacity_angular=" + std::to_string(p.neighbor_capacity_angular) +
             " cutoff_radial=" + format_number("%f", p.cutoff_radial) +
             " cutoff_angular=" + format_number("%f", p.cutoff_angular);
  throw std::invalid_argument(message);
}

// Dynamic shared memory of the neighbor kernel: each warp's radial and angular tiles and the 16 counts of each.
SharedMemoryLaunch neighbor_tiles(int cap_r, int cap_a, DeviceWorkspace& workspace) {
  SharedMemoryLaunch tiles;
  const auto slots = static_cast<std::size_t>(cap_r) + static_cast<std::size_t>(cap_a) + 2;
  tiles.bytes = sizeof(std::int32_t) * kWarpsPerBlock * slots;
  if (tiles.bytes <= kDefaultDynamicSharedBytes) return tiles;
  tiles.raised_limit = workspace.dynamic_shared_limit("get CUDA device for device LAMMPS neighbor staging",
                                                      "get CUDA device properties for device LAMMPS neighbor staging");
  if (tiles.bytes > tiles.raised_limit) {
    throw std::runtime_error("device LAMMPS neighbor lists exceed the CUDA shared-memory limit: capacity_radial=" +
                             std::to_string(cap_r) + " capacity_angular=" + std::to_string(cap_a));
  }
  return tiles;
}

void clear_counts(std::int32_t* counts, std::uint64_t atoms, const char* step) {
  check_cuda(cudaMemset(counts, 0, atoms * sizeof(std::int32_t)), step);
}

}  // namespace

void stage_lammps_device_neighbors_on_device(const QrvlLammpsDeviceNeighborInput& in, const ModelProtocol& p,
                                             DeviceWorkspace& workspace, bool validate) {
  require_input(in);
  workspace.reset_runtime_overrides();  // overrides of an earlier call must not survive
  const bool spin = p.spin_mode != 0;
  const bool angular = p.body_channels.channel_count() >= 1;
  require_workspace(in, spin, angular, workspace.view());
  if (in.type_map != nullptr) require_argument(in.type_map_length > 0, "invalid device LAMMPS type map length");
  const int cap_r = p.neighbor_capacity_radial;
  const int cap_a = angular ? p.neighbor_capacity_angular : 0;
  const SharedMemoryLaunch tiles = neighbor_tiles(cap_r, cap_a, workspace);

  const DeviceWorkspaceView owned = workspace.view();
  const int capacity = static_cast<int>(owned.atom_capacity);
  if (validate) {
    const int fresh[kLammpsStagingRecordInts] = {0, 0, 0, kNoAtom, kNoAtom};
    check_cuda(cudaMemcpy(owned.neighbor_overflow, fresh, sizeof fresh, cudaMemcpyHostToDevice),
               "zero device LAMMPS staging overflow");
  }
  const dim3 atom_grid(blocks_for(in.nall, kAtomBlock));
  if (in.type_map != nullptr) {
    if (in.nall > 0) {
      launch_kernel<stage_lammps_device_types>(atom_grid, dim3(kAtomBlock), 0, in.nall, in.types, in.type_map,
                                               in.type_map_length, owned.types, owned.neighbor_overflow);
    }
    check_cuda(cudaGetLastError(), "stage device LAMMPS types");
  } else {
    workspace.override_types(const_cast<std::int32_t*>(in.types));  // read only: kernels never write types
  }
  if (in.position_atom_stride == 1 && in.position_component_stride == capacity) {
    workspace.override_positions_soa3(const_cast<double*>(in.positions));  // read only, like the types
  } else {
    if (in.nall > 0) {
      launch_kernel<stage_lammps_device_positions>(atom_grid, dim3(kAtomBlock), 0, in.nall, capacity, in.positions,
                                                   in.position_atom_stride, in.position_component_stride,
                                                   owned.positions_soa3);
    }
    check_cuda(cudaGetLastError(), "stage device LAMMPS positions");
  }
  if (spin) {
    if (in.nall > 0) {
      launch_kernel<stage_lammps_device_spins>(atom_grid, dim3(kAtomBlock), 0, in.nall, capacity, in.spins,
                                               in.spin_atom_stride, in.spin_component_stride, owned.spins_soa3);
    }
    check_cuda(cudaGetLastError(), "stage device LAMMPS spins");
  }
  // Atoms that ilist leaves out would otherwise keep an earlier call's counts and read stale list slots.
  clear_counts(owned.nn_radial, owned.atom_capacity, "zero device LAMMPS radial counts");
  if (angular) clear_counts(owned.nn_angular, owned.atom_capacity, "zero device LAMMPS angular counts");

  const DeviceWorkspaceView v = workspace.view();
  if (validate) {
    if (in.nall > 0) {
      launch_kernel<check_lammps_device_atoms>(atom_grid, dim3(kAtomBlock), 0, in.nall, capacity, p.num_types,
                                               static_cast<const int*>(v.types),
                                               static_cast<const double*>(v.positions_soa3),
                                               static_cast<const double*>(spin ? v.spins_soa3 : nullptr),
                                               v.neighbor_overflow);
    }
    check_cuda(cudaGetLastError(), "check device LAMMPS atoms");
  }
  const LammpsListCutoffs cutoffs = lammps_list_cutoffs(p);
  const NeighborStagingArgs args{in.inum,
                                 capacity,
                                 in.nlocal,
                                 in.nall,
                                 in.neighbor_rows,
                                 in.numneigh_length,
                                 cap_r,
                                 cap_a,
                                 in.max_neighbors,
                                 angular ? 1 : 0,
                                 validate ? 1 : 0,
                                 in.ilist,
                                 in.numneigh,
                                 in.neighbors,
                                 in.reserved,
                                 in.neighbor_atom_stride,
                                 in.neighbor_slot_stride,
                                 v.positions_soa3,
                                 capacity,
                                 cutoffs.radial_squared,
                                 cutoffs.angular_squared,
                                 v.nn_radial,
                                 v.nl_radial_slot_major,
                                 v.nn_angular,
                                 v.nl_angular_slot_major,
                                 v.neighbor_overflow};
  allow_dynamic_shared_memory(&stage_lammps_device_neighbors_dual_slot_major, tiles,
                              "configure device LAMMPS neighbor staging shared memory");
  launch_kernel<stage_lammps_device_neighbors_dual_slot_major>(dim3(blocks_for(in.inum, kWarpsPerBlock)),
                                                               dim3(kNeighborBlock), tiles.bytes, args);
  check_cuda(cudaGetLastError(), "stage device LAMMPS neighbors");
  if (!validate) return;
  int record[kLammpsStagingRecordInts] = {};
  check_cuda(cudaMemcpy(record, v.neighbor_overflow, sizeof record, cudaMemcpyDeviceToHost),
             "copy device LAMMPS staging overflow");
  report_problems(record, p);
}

}  // namespace quarvel::cuda_backend
