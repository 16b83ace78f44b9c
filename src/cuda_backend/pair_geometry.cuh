#pragma once
// Pair separations as the force kernels take them: r_j - r_i in double through the nearest periodic image, then
// rounded to float for the single-precision pair arithmetic. Only .cu files include this header.
#include <cstdint>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"
#include "device_layout.cuh"
#include "device_workspace.hpp"
#include "simulation_box.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kPairAxes = 3;
constexpr int kCellWords = 9;  // a row-major 3x3 cell matrix

// One pair's displacement r_j - r_i (Angstrom, float) and its squared length, so that kernels with a cutoff
// can reject a pair before taking any root.
struct PairSeparation {
  float d[kPairAxes];
  float r2;
};

// Row `row` of a row-major 3x3 matrix dotted with v.
__host__ __device__ __forceinline__ double matrix_row_dot(const double* m, int row, const double* v) {
  return fma(m[row * kPairAxes + 2], v[2], fma(m[row * kPairAxes], v[0], m[row * kPairAxes + 1] * v[1]));
}

// d (Angstrom, double) replaced by its nearest image: when any axis is periodic, fractional coordinates through
// the inverse lose their nearest integer (halves to even) on the periodic axes and go back through the cell.
__host__ __device__ __forceinline__ void apply_minimum_image(const double* box, const double* inverse,
                                                             const std::int32_t* pbc, double* d) {
  if (pbc[0] == 0 && pbc[1] == 0 && pbc[2] == 0) return;
  double s[kPairAxes];
  for (int c = 0; c < kPairAxes; ++c) {
    s[c] = matrix_row_dot(inverse, c, d);
    if (pbc[c] != 0) s[c] -= rint(s[c]);
  }
  for (int c = 0; c < kPairAxes; ++c) d[c] = matrix_row_dot(box, c, s);
}

// Separation of atom j (positions_soa3 with stride `capacity`, read-only) from the position ri (Angstrom) of a
// centre atom in the given cell.
__device__ __forceinline__ PairSeparation separation_from(const double* ri, const double* positions_soa3,
                                                          int capacity, int j, const double* box,
                                                          const double* inverse, const std::int32_t* pbc) {
  double d[kPairAxes];
  for (int c = 0; c < kPairAxes; ++c) d[c] = __ldg(&positions_soa3[soa(c, j, capacity)]) - ri[c];
  apply_minimum_image(box, inverse, pbc, d);
  PairSeparation p;
  for (int c = 0; c < kPairAxes; ++c) p.d[c] = static_cast<float>(d[c]);
  p.r2 = fmaf(p.d[2], p.d[2], fmaf(p.d[0], p.d[0], p.d[1] * p.d[1]));
  return p;
}

// Separation of atoms i and j (positions_soa3 with stride `capacity`, read-only) in the given cell.
__device__ __forceinline__ PairSeparation pair_separation(const double* positions_soa3, int capacity, int i, int j,
                                                          const double* box, const double* inverse,
                                                          const std::int32_t* pbc) {
  double ri[kPairAxes];
  for (int c = 0; c < kPairAxes; ++c) ri[c] = __ldg(&positions_soa3[soa(c, i, capacity)]);
  return separation_from(ri, positions_soa3, capacity, j, box, inverse, pbc);
}

// Atoms of a type outside the model have no tables: force kernels skip them as centres and as neighbors, so
// they neither receive nor cause forces.
__host__ __device__ __forceinline__ bool known_type(int type, int num_types) { return type >= 0 && type < num_types; }

// What kernels over the radial list read of the atoms: their cells (one SimulationBox for one neighbor-list set,
// or per structure from the workspace for batches), types, positions and the list itself.
struct RadialPairInputs {
  SimulationBox box;
  const std::int32_t* atom_to_structure;
  const double* boxes_row_major9;
  const double* box_inverse_row_major9;
  const std::int32_t* pbc_flags3;
  const std::int32_t* types;
  const double* positions_soa3;
  const std::int32_t* nn_radial;
  const std::int32_t* nl_radial_slot_major;
};

inline RadialPairInputs make_radial_pair_inputs(const SimulationBox& box, const DeviceWorkspaceView& w) {
  return {box,     w.atom_to_structure, w.boxes_row_major9, w.box_inverse_row_major9, w.pbc_flags3,
          w.types, w.positions_soa3,    w.nn_radial,        w.nl_radial_slot_major};
}

// The per-structure cell arrays of a batch that cell_of_atom reads, checked in this order.
inline void require_batched_cells(const DeviceWorkspaceView& w) {
  require(w.atom_to_structure != nullptr, "workspace missing atom_to_structure");
  require(w.boxes_row_major9 != nullptr, "workspace missing boxes");
  require(w.box_inverse_row_major9 != nullptr, "workspace missing box inverses");
  require(w.pbc_flags3 != nullptr, "workspace missing pbc flags");
}

// The cell atom i's separations are taken in.
struct AtomCell {
  const double* box;
  const double* inverse;
  const std::int32_t* pbc;
};

template <bool Batched>
__device__ __forceinline__ AtomCell cell_of_atom(const RadialPairInputs& in, int i) {
  if constexpr (Batched) {
    const int structure = __ldg(&in.atom_to_structure[i]);
    return {in.boxes_row_major9 + aos(0, structure, kCellWords),
            in.box_inverse_row_major9 + aos(0, structure, kCellWords), in.pbc_flags3 + aos(0, structure, kPairAxes)};
  } else {
    return {in.box.box, in.box.inverse, in.box.pbc};
  }
}

// A neighbor in atom i's radial list as every kernel over that list takes it: its index, its type and the pair's
// separation in atom i's cell.
struct RadialNeighbor {
  int j;
  int tj;
  PairSeparation p;
};

// Calls visit(neighbor) for the neighbors in atom i's radial list, in slot order; a neighbor whose type is outside
// the model is passed over with nothing else read.
template <typename Visit>
__device__ __forceinline__ void for_each_radial_neighbor(const RadialPairInputs& in, int capacity, int num_types,
                                                         const AtomCell& cell, int i, Visit&& visit) {
  const int count = __ldg(&in.nn_radial[i]);
  for (int s = 0; s < count; ++s) {
    RadialNeighbor n;
    n.j = __ldg(&in.nl_radial_slot_major[soa(s, i, capacity)]);
    n.tj = __ldg(&in.types[n.j]);
    if (!known_type(n.tj, num_types)) continue;
    n.p = pair_separation(in.positions_soa3, capacity, i, n.j, cell.box, cell.inverse, cell.pbc);
    visit(n);
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
