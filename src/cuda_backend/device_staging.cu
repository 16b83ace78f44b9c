#include "device_staging.hpp"

#include <cmath>
#include <vector>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "staging_kernels.cuh"
#include "structure_ranges.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kStagingBlock = 512;             // threads per block of both staging kernels
constexpr int kCellValues = 9;
constexpr int kPbcFlags = 3;

// One block per structure; its threads stride over the structure's atoms.
__global__ void stage_atom_to_structure(int structure_count, const int* counts, const int* offsets,
                                        int* atom_to_structure) {
  const int s = static_cast<int>(blockIdx.x);
  if (s >= structure_count) return;
  for (int k = static_cast<int>(threadIdx.x); k < counts[s]; k += static_cast<int>(blockDim.x)) {
    atom_to_structure[offsets[s] + k] = s;
  }
}

// Inverse by the adjugate; false (output untouched) when |det| <= kSingularDeterminant.
bool invert_row_major3(const double* m, double* inverse) {
  const double h = m[4] * m[8] - m[5] * m[7];
  const double det = cell_determinant(m);
  if (!(std::abs(det) > kSingularDeterminant)) return false;
  const double r = 1.0 / det;
  const double adjugate[kCellValues] = {h,
                                        m[2] * m[7] - m[1] * m[8],
                                        m[1] * m[5] - m[2] * m[4],
                                        m[5] * m[6] - m[3] * m[8],
                                        m[0] * m[8] - m[2] * m[6],
                                        m[2] * m[3] - m[0] * m[5],
                                        m[3] * m[7] - m[4] * m[6],
                                        m[1] * m[6] - m[0] * m[7],
                                        m[0] * m[4] - m[1] * m[3]};
  for (int k = 0; k < kCellValues; ++k) inverse[k] = r * adjugate[k];
  return true;
}

void validate_batch_for_device_staging(const QrvlStructureBatch& batch, int type_count,
                                       const DeviceWorkspaceView& view) {
  require(batch.num_structures > 0, "batch must contain structures");
  require(batch.num_atoms > 0, "batch must contain atoms");
  require(view.atom_capacity >= static_cast<std::uint64_t>(batch.num_atoms), "batch exceeds workspace atom capacity");
  require(view.structure_capacity >= static_cast<std::uint64_t>(batch.num_structures),
          "batch exceeds workspace structure capacity");
  require(batch.atom_counts != nullptr, "missing atom counts");
  require(batch.atom_offsets != nullptr, "missing atom offsets");
  require(batch.types != nullptr, "missing atom types");
  require(batch.positions != nullptr, "missing atom positions");
  require_argument(type_count > 0, "model must contain atom types");
  require(view.spins_soa3 == nullptr || batch.spins != nullptr, "spin model requires atom spins");
  require(batch.boxes != nullptr, "missing boxes");
  require(view.types != nullptr, "workspace missing types");
  require(view.positions_soa3 != nullptr, "workspace missing positions");
  require(view.atom_to_structure != nullptr, "workspace missing atom_to_structure");
  require(view.structure_atom_counts != nullptr, "workspace missing structure counts");
  require(view.structure_atom_offsets != nullptr, "workspace missing structure offsets");
  require(view.boxes_row_major9 != nullptr, "workspace missing boxes");
  require(view.box_inverse_row_major9 != nullptr, "workspace missing box inverses");
  require(view.pbc_flags3 != nullptr, "workspace missing pbc flags");
  std::vector<std::int32_t> owner;
  const char* failure = claim_structure_ranges(batch, owner);
  require(failure == nullptr, failure);
  for (std::int32_t i = 0; i < batch.num_atoms; ++i) {
    require(owner[static_cast<std::size_t>(i)] != kUnclaimedAtom, "batch atom is not covered by any structure");
    require_argument(batch.types[i] >= 0 && batch.types[i] < type_count,
                     "atom type index is outside the model type range");
  }
}

void copy_to_device(void* device, const void* host, std::size_t bytes, const char* step) {
  check_cuda(cudaMemcpy(device, host, bytes, cudaMemcpyHostToDevice), step);
}

}  // namespace

void stage_batch_on_device(const QrvlStructureBatch& batch, int type_count, DeviceWorkspace& workspace) {
  const DeviceWorkspaceView view = workspace.view();
  validate_batch_for_device_staging(batch, type_count, view);
  const bool spin = view.spins_soa3 != nullptr;
  require(view.output_forces_aos3 != nullptr, "workspace missing batch AoS staging buffer");
  require(!spin || view.output_mforces_aos3 != nullptr, "workspace missing spin AoS staging buffer");

  const int n = batch.num_atoms;
  const int s = batch.num_structures;
  const auto atoms = static_cast<std::size_t>(n);
  const auto structures = static_cast<std::size_t>(s);
  std::vector<double> inverses(kCellValues * structures);
  for (std::size_t k = 0; k < structures; ++k) {
    require(invert_row_major3(batch.boxes + kCellValues * k, inverses.data() + kCellValues * k),
            "singular simulation box");
  }

  copy_to_device(view.types, batch.types, sizeof(std::int32_t) * atoms, "copy batch types");
  copy_to_device(view.structure_atom_counts, batch.atom_counts, sizeof(std::int32_t) * structures,
                 "copy structure atom counts");
  copy_to_device(view.structure_atom_offsets, batch.atom_offsets, sizeof(std::int32_t) * structures,
                 "copy structure atom offsets");
  copy_to_device(view.boxes_row_major9, batch.boxes, sizeof(double) * kCellValues * structures, "copy boxes");
  copy_to_device(view.box_inverse_row_major9, inverses.data(), sizeof(double) * kCellValues * structures,
                 "copy box inverses");
  const std::size_t pbc_bytes = sizeof(std::int32_t) * kPbcFlags * structures;
  if (batch.pbc != nullptr) {
    copy_to_device(view.pbc_flags3, batch.pbc, pbc_bytes, "copy pbc flags");
  } else {
    check_cuda(cudaMemset(view.pbc_flags3, 0, pbc_bytes), "clear pbc flags");
  }
  // Positions and spins go up in the caller's atom-major layout in one copy each and are transposed on the device.
  copy_to_device(view.output_forces_aos3, batch.positions, sizeof(double) * 3 * atoms, "copy batch positions");
  if (spin) copy_to_device(view.output_mforces_aos3, batch.spins, sizeof(double) * 3 * atoms, "copy batch spins");

  const int capacity = static_cast<int>(view.atom_capacity);
  const dim3 atom_grid(blocks_for(n, kStagingBlock));
  launch_kernel<stage_positions_aos_to_soa>(atom_grid, dim3(kStagingBlock), 0, n, capacity,
                                            static_cast<const double*>(view.output_forces_aos3), view.positions_soa3);
  check_cuda(cudaGetLastError(), "stage positions AoS to SoA");
  if (spin) {
    launch_kernel<stage_positions_aos_to_soa>(atom_grid, dim3(kStagingBlock), 0, n, capacity,
                                              static_cast<const double*>(view.output_mforces_aos3), view.spins_soa3);
    check_cuda(cudaGetLastError(), "stage spins AoS to SoA");
  }
  launch_kernel<stage_atom_to_structure>(dim3(static_cast<unsigned>(s)), dim3(kStagingBlock), 0, s,
                                         static_cast<const int*>(view.structure_atom_counts),
                                         static_cast<const int*>(view.structure_atom_offsets), view.atom_to_structure);
  check_cuda(cudaGetLastError(), "stage atom_to_structure");
  check_cuda(cudaDeviceSynchronize(), "synchronize batch staging");
}

}  // namespace quarvel::cuda_backend
