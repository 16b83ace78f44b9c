#pragma once
// The argument record of the radial force kernels: the gather kernels of one structure or a batch and the LAMMPS
// push kernel read the same inputs over a radial list, and their launchers check them alike. Only .cu files
// include this header.
#include <cstddef>

#include "cuda_platform.cuh"
#include "device_model.hpp"
#include "device_workspace.hpp"
#include "error_checks.hpp"
#include "model_protocol.hpp"
#include "pair_geometry.cuh"
#include "simulation_box.hpp"
#include "workspace_checks.hpp"
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

// The protocol checks every radial launcher makes first, in their order.
inline void require_radial_protocol(const ModelProtocol& protocol, int atom_count) {
  require(atom_count >= 0, "atom_count must be non-negative");
  require(protocol.num_types > 0, "num_types must be positive");
  require(protocol.n_max_radial >= 0, "n_max_radial must be non-negative");
  require(protocol.basis_size_radial >= 0, "basis_size_radial must be non-negative");
  require(protocol.cutoff_radial > 0.0, "radial cutoff must be positive");
}

// The per-atom arrays every radial launcher reads and writes, in their order; the virial output only where one is
// booked.
inline void require_radial_arrays(const DeviceWorkspaceView& w, bool virial) {
  require(w.types != nullptr, "workspace missing atom types");
  require(w.positions_soa3 != nullptr, "workspace missing positions");
  require(w.nn_radial != nullptr, "workspace missing radial counts");
  require(w.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.force_soa3 != nullptr, "workspace missing force output");
  if (virial) require(w.virial_soa9 != nullptr, "workspace missing virial output");
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
