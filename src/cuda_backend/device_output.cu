#include "device_output.hpp"

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kPackBlock = 256;    // threads per block of the atom packing kernel
constexpr int kReduceBlock = 256;  // threads per block of the structure reduction; a power of two for the tree
constexpr int kStructureQuantities = 10;  // the energy and nine virial components, one block each
constexpr int kVirialComponents = 9;
static_assert((kReduceBlock & (kReduceBlock - 1)) == 0, "the reduction tree halves the block");

// Row-major position p (xx, xy, xz, yx, yy, yz, zx, zy, zz) reads device component kRowMajorFromDevice[p]
// of the device order xx, yy, zz, xy, xz, yz, yx, zx, zy.
__host__ __device__ __forceinline__ int row_major_from_device(int p) {
  constexpr int kRowMajorFromDevice[kVirialComponents] = {0, 3, 4, 6, 1, 5, 7, 8, 2};
  return kRowMajorFromDevice[p];
}

__global__ void pack_batched_atom_outputs(int count, int capacity, const double* force, const double* mforce,
                                          const double* virial, double* out_force, double* out_mforce,
                                          double* out_virial) {
  const std::int64_t thread = global_thread_x();
  if (thread >= count) return;
  const int i = static_cast<int>(thread);
  for (int c = 0; c < 3; ++c) out_force[aos(c, i, 3)] = force[soa(c, i, capacity)];
  if (mforce != nullptr && out_mforce != nullptr) {
    for (int c = 0; c < 3; ++c) out_mforce[aos(c, i, 3)] = mforce[soa(c, i, capacity)];
  }
  for (int p = 0; p < kVirialComponents; ++p) {
    out_virial[aos(p, i, kVirialComponents)] = virial[soa(row_major_from_device(p), i, capacity)];
  }
}

// Block (s, q): quantity q of structure s, q = 0 the energy and q = 1..9 the row-major virial components.
// Strided per-thread sums in increasing atom order, then a fixed shared-memory tree: the result does not depend
// on timing, and totals are written (not added), so they need no clearing.
__global__ void reduce_batched_structure_outputs(int structure_count, int capacity, const int* counts,
                                                 const int* offsets, const double* potential, const double* virial,
                                                 double* structure_energy, double* structure_virial) {
  const int s = static_cast<int>(blockIdx.x);
  const int q = static_cast<int>(blockIdx.y);
  if (s >= structure_count || q >= kStructureQuantities) return;
  double* partial = dynamic_shared_memory<double>();
  const int t = static_cast<int>(threadIdx.x);
  const int offset = offsets[s];
  const int n = counts[s];
  const double* values = q == 0 ? potential + offset : virial + soa(row_major_from_device(q - 1), offset, capacity);
  double sum = 0.0;
  for (int a = t; a < n; a += kReduceBlock) sum += values[a];
  partial[t] = sum;
  for (int stride = kReduceBlock / 2; stride > 0; stride /= 2) {
    __syncthreads();
    if (t < stride) partial[t] = partial[t + stride] + partial[t];
    __syncthreads();
  }
  if (t != 0) return;
  if (q == 0) {
    structure_energy[s] = partial[0];
  } else {
    structure_virial[aos(q - 1, s, kVirialComponents)] = partial[0];
  }
}

}  // namespace

void prepare_batched_outputs(int structure_count, int atom_count, DeviceWorkspace& workspace) {
  const DeviceWorkspaceView view = workspace.view();
  require_batch_capacity(structure_count, atom_count, view);
  require(view.structure_atom_counts != nullptr, "workspace missing structure atom counts");
  require(view.structure_atom_offsets != nullptr, "workspace missing structure atom offsets");
  require(view.potential != nullptr, "workspace missing potential");
  require(view.force_soa3 != nullptr, "workspace missing force output");
  require(view.virial_soa9 != nullptr, "workspace missing virial output");
  require(view.output_forces_aos3 != nullptr, "workspace missing packed forces");
  require(view.output_virials_per_atom_row_major9 != nullptr, "workspace missing packed per-atom virials");
  require(view.structure_energy != nullptr, "workspace missing structure energy");
  require(view.structure_virial_row_major9 != nullptr, "workspace missing structure virial");

  const int capacity = static_cast<int>(view.atom_capacity);
  launch_kernel<pack_batched_atom_outputs>(
      dim3(blocks_for(atom_count, kPackBlock)), dim3(kPackBlock), 0, atom_count, capacity,
      static_cast<const double*>(view.force_soa3), static_cast<const double*>(view.mforce_soa3),
      static_cast<const double*>(view.virial_soa9), view.output_forces_aos3, view.output_mforces_aos3,
      view.output_virials_per_atom_row_major9);
  check_cuda(cudaGetLastError(), "pack batched atom outputs");
  launch_kernel<reduce_batched_structure_outputs>(
      dim3(static_cast<unsigned>(structure_count), kStructureQuantities), dim3(kReduceBlock),
      sizeof(double) * kReduceBlock, structure_count, capacity, static_cast<const int*>(view.structure_atom_counts),
      static_cast<const int*>(view.structure_atom_offsets), static_cast<const double*>(view.potential),
      static_cast<const double*>(view.virial_soa9), view.structure_energy, view.structure_virial_row_major9);
  check_cuda(cudaGetLastError(), "reduce batched structure outputs");
  check_cuda(cudaDeviceSynchronize(), "prepare batched outputs");
}

}  // namespace quarvel::cuda_backend
