#pragma once
// The argument record of the radial force kernels: the gather kernels of one structure or a batch and the LAMMPS
// push kernel read the same inputs over a radial list. Only .cu files include this header.
#include <cstddef>

#include "cuda_platform.cuh"
#include "device_model.hpp"
#include "device_workspace.hpp"
#include "model_protocol.hpp"
#include "pair_geometry.cuh"
#include "simulation_box.hpp"
#include "zbl_pair.cuh"

namespace quarvel::cuda_backend {
namespace {

// Everything the radial kernels read and write.
struct RadialForceArgs {
  int atom_count;  // N
  int capacity;    // A: stride of every per-atom array and slot-major list
  int num_types;
  int n_max_radial;
  int basis_size_radial;
  const float* radial_pair_cutoffs;  // Angstrom, [t_i T + t_j]
  UniversalZbl zbl;                  // the kernels that fuse the universal repulsion only
  RadialPairInputs in;
  const float* fp;
  const float* coefficients;  // type-pair-major (one set, LAMMPS lists) or file order (batches)
  double* force_soa3;
  double* virial_soa9;
  int write_virial;
};

// The record without ZBL; `coefficients` is the table the kernel reads.
inline RadialForceArgs make_radial_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                        const DeviceModelView& m, const DeviceWorkspaceView& w,
                                        const float* coefficients, bool write_virial) {
  RadialForceArgs a{};
  a.atom_count = atom_count;
  a.capacity = static_cast<int>(w.atom_capacity);
  a.num_types = protocol.num_types;
  a.n_max_radial = protocol.n_max_radial;
  a.basis_size_radial = protocol.basis_size_radial;
  a.radial_pair_cutoffs = m.radial_pair_cutoffs;
  a.in = make_radial_pair_inputs(box, w);
  a.fp = w.fp;
  a.coefficients = coefficients;
  a.force_soa3 = w.force_soa3;
  a.virial_soa9 = w.virial_soa9;
  a.write_virial = write_virial ? 1 : 0;
  return a;
}

// Where c[t_i, t_j][n][k] lies in the table a kernel reads (both layouts hold the same values): at first + k step.
struct CoefficientRow {
  const float* first;
  int step;
};

// FileOrder: the model file's order, (n (B + 1) + k) T^2 + t_i T + t_j; otherwise type-pair-major,
// ((t_i T + t_j)(n_max + 1) + n)(B + 1) + k.
template <bool FileOrder>
__device__ __forceinline__ CoefficientRow coefficient_row(const RadialForceArgs& a, int ti, int tj, int n) {
  const int nb = a.basis_size_radial + 1;
  const int types = a.num_types;
  if constexpr (FileOrder) {
    return {a.coefficients + static_cast<std::size_t>(n) * nb * types * types + ti * types + tj, types * types};
  } else {
    return {a.coefficients + (static_cast<std::size_t>(ti * types + tj) * (a.n_max_radial + 1) + n) * nb, 1};
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
