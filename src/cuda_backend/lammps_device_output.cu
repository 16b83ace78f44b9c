#include "lammps_device_output.hpp"

#include <algorithm>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pipeline_stages.hpp"
#include "workspace_checks.hpp"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kOutputBlock = 256;  // threads per block of the writing kernels
constexpr int kReduceBlock = kLammpsReductionBlockAtoms;  // one partial sum per block of this many atoms
constexpr int kTotals = kLammpsPartialSumsPerBlock;       // the energy, then xx, yy, zz, xy, xz, yz
constexpr int kVirialComponents = 9;
static_assert((kReduceBlock & (kReduceBlock - 1)) == 0, "the reduction tree halves the block");

__global__ void write_lammps_forces(int count, int capacity, const double* src, double* dst, int atom_stride,
                                    int component_stride) {
  const std::int64_t t = global_thread_x();
  if (t >= count) return;
  const int i = static_cast<int>(t);
  for (int c = 0; c < 3; ++c) dst[strided(c, i, atom_stride, component_stride)] = src[soa(c, i, capacity)];
}

__device__ __forceinline__ void widen_nine(const float* src, int i, int capacity, double* dst, int atom_stride,
                                           int component_stride) {
  for (int c = 0; c < kVirialComponents; ++c) {
    dst[strided(c, i, atom_stride, component_stride)] = static_cast<double>(src[soa(c, i, capacity)]);
  }
}

__global__ void write_lammps_atom_outputs(int local_count, int virial_count, int spin_count, int capacity,
                                          const double* potential, const float* virial_sink,
                                          const float* spin_transfer, double* potential_out, double* virial_out,
                                          int virial_atom_stride, int virial_component_stride, double* spin_out,
                                          int spin_atom_stride, int spin_component_stride) {
  const std::int64_t t = global_thread_x();
  if (t >= local_count && t >= virial_count && t >= spin_count) return;
  const int i = static_cast<int>(t);
  if (i < local_count && potential_out != nullptr) potential_out[i] = potential[i];
  if (i < virial_count && virial_out != nullptr) {
    widen_nine(virial_sink, i, capacity, virial_out, virial_atom_stride, virial_component_stride);
  }
  if (i < spin_count && spin_out != nullptr) {
    widen_nine(spin_transfer, i, capacity, spin_out, spin_atom_stride, spin_component_stride);
  }
}

// Fixed shared-memory tree over one block's `partial` values; thread 0 ends with the block sum.
__device__ __forceinline__ void reduce_block(double* partial, int t) {
  for (int stride = kReduceBlock / 2; stride > 0; stride /= 2) {
    __syncthreads();
    if (t < stride) partial[t] = partial[t + stride] + partial[t];
    __syncthreads();
  }
}

// Block (b, q): total q of atoms 256 b .. 256 b + 255. The off-diagonal virial is symmetrised per atom.
__global__ void reduce_lammps_partial_sums(int energy_count, int virial_count, int capacity, int block_count,
                                           const double* potential, const double* virial, double* partials) {
  const int b = static_cast<int>(blockIdx.x);
  const int q = static_cast<int>(blockIdx.y);
  const int t = static_cast<int>(threadIdx.x);
  const int i = b * kReduceBlock + t;
  double value = 0.0;
  if (q == 0) {
    if (i < energy_count) value = potential[i];
  } else if (i < virial_count) {
    // Device order xx, yy, zz, xy, xz, yz, yx, zx, zy: totals 1..3 are diagonal, 4..6 pair xy/yx, xz/zx, yz/zy.
    const int k = q - 1;
    value = k < 3 ? virial[soa(k, i, capacity)]
                  : (virial[soa(k, i, capacity)] + virial[soa(k + 3, i, capacity)]) * 0.5;
  }
  double* partial = dynamic_shared_memory<double>();
  partial[t] = value;
  reduce_block(partial, t);
  if (t == 0) partials[static_cast<std::size_t>(q) * block_count + b] = partial[0];
}

__global__ void finalize_lammps_totals(int block_count, const double* partials, double* energy, double* virial) {
  const int q = static_cast<int>(blockIdx.x);
  const int t = static_cast<int>(threadIdx.x);
  double sum = 0.0;
  for (int k = t; k < block_count; k += kReduceBlock) sum += partials[static_cast<std::size_t>(q) * block_count + k];
  double* partial = dynamic_shared_memory<double>();
  partial[t] = sum;
  reduce_block(partial, t);
  if (t != 0) return;
  if (q == 0) {
    energy[0] = partial[0];
  } else {
    virial[q - 1] = partial[0];
  }
}

void require_outputs(const QrvlLammpsDeviceNeighborInput& in, const QrvlLammpsDeviceNeighborResult& r,
                     const DeviceWorkspaceView& v) {
  require(in.nlocal >= 0, "negative nlocal");
  require(in.nall >= in.nlocal, "nall must be at least nlocal");
  require((r.energy != nullptr) == (r.virial != nullptr), "incomplete device total output");
  require(r.force != nullptr, "missing device force output");
  require(r.force_atom_stride > 0, "invalid force atom stride");
  require(r.force_component_stride > 0, "invalid force component stride");
  if (r.mforce != nullptr) {
    require(r.mforce_atom_stride > 0, "invalid mforce atom stride");
    require(r.mforce_component_stride > 0, "invalid mforce component stride");
  }
  if (r.virial_per_atom != nullptr) {
    require(r.virial_atom_stride > 0, "invalid virial atom stride");
    require(r.virial_component_stride > 0, "invalid virial component stride");
  }
  if (r.spin_transfer != nullptr) {
    require(r.spin_transfer_atom_stride > 0, "invalid spin-transfer atom stride");
    require(r.spin_transfer_component_stride > 0, "invalid spin-transfer component stride");
  }
  require(v.atom_capacity >= static_cast<std::uint64_t>(in.nall), "nall exceeds workspace atom capacity");
  require(v.potential != nullptr, "workspace missing potential");
  require(v.force_soa3 != nullptr, "workspace missing force output");
  require(r.mforce == nullptr || v.mforce_soa3 != nullptr, "workspace missing mforce output");
  require(v.virial_soa9 != nullptr, "workspace missing virial output");
  require(r.virial_per_atom == nullptr || v.per_atom_virial_float_soa9 != nullptr,
          "workspace missing per-atom virial sink");
  require(r.spin_transfer == nullptr || v.spin_transfer_soa9 != nullptr, "workspace missing spin-transfer output");
  require(r.energy == nullptr || v.lammps_partial_sums != nullptr, "workspace missing LAMMPS reduction partials");
}

void write_totals(int nlocal, int capacity, const DeviceWorkspaceView& v, const QrvlLammpsDeviceNeighborResult& r) {
  if (nlocal == 0) return clear_lammps_device_totals(r);
  const int blocks = static_cast<int>(blocks_for(nlocal, kReduceBlock));
  const std::size_t shared = sizeof(double) * kReduceBlock;
  launch_kernel<reduce_lammps_partial_sums>(dim3(static_cast<unsigned>(blocks), kTotals), dim3(kReduceBlock), shared,
                                            nlocal, nlocal, capacity, blocks, static_cast<const double*>(v.potential),
                                            static_cast<const double*>(v.virial_soa9), v.lammps_partial_sums);
  check_cuda(cudaGetLastError(), "reduce device LAMMPS partial sums");
  launch_kernel<finalize_lammps_totals>(dim3(kTotals), dim3(kReduceBlock), shared, blocks,
                                        static_cast<const double*>(v.lammps_partial_sums), r.energy, r.virial);
  check_cuda(cudaGetLastError(), "finalize device LAMMPS totals");
}

}  // namespace

void prepare_lammps_per_atom_virial_sink(int atom_count, DeviceWorkspace& workspace) {
  const DeviceWorkspaceView v = workspace.view();
  require(atom_count >= 0, "atom_count must be non-negative");
  require_atom_capacity(atom_count, v);
  require(v.per_atom_virial_float_soa9 != nullptr, "workspace missing per-atom virial sink");
  check_cuda(cudaMemset(v.per_atom_virial_float_soa9, 0, sizeof(float) * kVirialComponents * v.atom_capacity),
             "clear per-atom virial sink");
}

void clear_lammps_device_totals(const QrvlLammpsDeviceNeighborResult& result) {
  if (result.energy == nullptr) return;
  check_cuda(cudaMemset(result.energy, 0, sizeof(double)), "clear empty device LAMMPS total potential");
  check_cuda(cudaMemset(result.virial, 0, sizeof(double) * (kTotals - 1)), "clear empty device LAMMPS total virial");
}

void write_lammps_device_outputs(const QrvlLammpsDeviceNeighborInput& in, const QrvlLammpsDeviceNeighborResult& r,
                                 DeviceWorkspace& workspace) {
  const DeviceWorkspaceView v = workspace.view();
  require_outputs(in, r, v);
  const int capacity = static_cast<int>(v.atom_capacity);
  if (in.nall > 0) {
    const dim3 grid(blocks_for(in.nall, kOutputBlock));
    launch_kernel<write_lammps_forces>(grid, dim3(kOutputBlock), 0, in.nall, capacity,
                                       static_cast<const double*>(v.force_soa3), r.force, r.force_atom_stride,
                                       r.force_component_stride);
    check_cuda(cudaGetLastError(), "write device LAMMPS forces");
    if (r.mforce != nullptr) {
      launch_kernel<write_lammps_forces>(grid, dim3(kOutputBlock), 0, in.nall, capacity,
                                         static_cast<const double*>(v.mforce_soa3), r.mforce, r.mforce_atom_stride,
                                         r.mforce_component_stride);
      check_cuda(cudaGetLastError(), "write device LAMMPS mforces");
    }
  }
  const int virial_count = r.virial_per_atom != nullptr ? in.nall : 0;
  const int spin_count = r.spin_transfer != nullptr ? in.nall : 0;
  const int n = std::max({in.nlocal, virial_count, spin_count});
  if (n > 0 && (r.potential != nullptr || r.virial_per_atom != nullptr || r.spin_transfer != nullptr)) {
    launch_kernel<write_lammps_atom_outputs>(
        dim3(blocks_for(n, kOutputBlock)), dim3(kOutputBlock), 0, in.nlocal, virial_count, spin_count, capacity,
        static_cast<const double*>(v.potential), static_cast<const float*>(v.per_atom_virial_float_soa9),
        static_cast<const float*>(v.spin_transfer_soa9), r.potential, r.virial_per_atom, r.virial_atom_stride,
        r.virial_component_stride, r.spin_transfer, r.spin_transfer_atom_stride, r.spin_transfer_component_stride);
    check_cuda(cudaGetLastError(), "write device LAMMPS atom outputs");
  }
  if (r.energy != nullptr) write_totals(in.nlocal, capacity, v, r);
}

}  // namespace quarvel::cuda_backend
