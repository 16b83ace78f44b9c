#include "lammps_radial_force.hpp"

#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "radial_basis.cuh"
#include "radial_force_args.cuh"
#include "shared_memory_limits.cuh"
#include "virial_layout.cuh"
#include "zbl_pair.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kPullBlock = 64;  // one thread per centre atom; the pull state of 64 threads stays small in shared memory
constexpr int kSmallestPullBlock = 4;  // below it only 2 or 1 threads are tried
// Registers a thread may use; the pull state lives in shared memory, so a thread needs few.
constexpr int kThreadRegisters = 80;

// Everything the LAMMPS radial kernel reads and writes: the radial record (type-pair-major coefficients) and the
// outputs only this kernel has.
struct LammpsRadialArgs {
  RadialForceArgs radial;
  double* potential;  // ZBL energies
  float* virial_sink;
};

// Rebuilds the pull state of centre i for neighbor type tj: s_k = sum_n fp[n][i] c[t_i, t_j][n][k], the
// derivative of atom i's energy with respect to basis function k of this pair type. Slot k of thread t sits at
// k x blockDim + t, so the state is private to the thread.
__device__ __forceinline__ void rebuild_pull_state(const RadialForceArgs& a, int i, int ti, int tj, float* state) {
  const int nb = a.basis_size_radial + 1;
  const int stride = static_cast<int>(blockDim.x);
  const int t = static_cast<int>(threadIdx.x);
  for (int k = 0; k < nb; ++k) state[k * stride + t] = 0.0f;
  for (int n = 0; n <= a.n_max_radial; ++n) {
    const float derivative = __ldg(&a.fp[soa(n, i, a.capacity)]);
    const float* c = coefficient_row<false>(a, ti, tj, n).first;
    for (int k = 0; k < nb; ++k) state[k * stride + t] = fmaf(derivative, __ldg(&c[k]), state[k * stride + t]);
  }
}

// Push form: the thread of centre i differentiates only E_i. The pair force f = dE_i/dr_j is added to i and
// taken from j at once (j may be a ghost without a list of its own), so atom i's force is shared by many
// threads and goes through atomics. A full list visits every pair from both ends, so the fused ZBL repulsion
// books half the pair energy and half the pair force h on each visit; its whole pair force 2h stays on the centre.
template <bool Zbl, bool ZblEnergy, bool Scatter, bool Sink>
__global__ void __launch_bounds__(kPullBlock, blocks_with_registers(kPullBlock, kThreadRegisters))
    accumulate_lammps_radial_forces(LammpsRadialArgs args) {
  const RadialForceArgs& a = args.radial;
  const std::int64_t thread = global_thread_x();
  if (thread >= a.atom_count) return;
  const int i = static_cast<int>(thread);
  float* state = dynamic_shared_memory<float>();
  const int ti = __ldg(&a.in.types[i]);
  // Types used in place come unchecked from the caller; an unknown one must not index the model's tables.
  if (!known_type(ti, a.num_types)) return;
  const AtomCell cell = cell_of_atom<false>(a.in, i);
  const int nb = a.basis_size_radial + 1;
  const int stride = static_cast<int>(blockDim.x);
  const int t = static_cast<int>(threadIdx.x);
  ZblCentre centre{};
  if constexpr (Zbl) centre = zbl_centre(a.zbl.atomic_numbers, ti);
  float force[kPairAxes] = {0.0f, 0.0f, 0.0f};
  float virial[kVirialComponentCount] = {};
  float energy = 0.0f;
  int previous_type = -1;
  for_each_radial_neighbor(a.in, a.capacity, a.num_types, cell, i, [&](const RadialNeighbor& neighbor) {
    const int j = neighbor.j;
    const int tj = neighbor.tj;
    if (tj != previous_type) {  // lists grouped by type rebuild once per type
      rebuild_pull_state(a, i, ti, tj, state);
      previous_type = tj;
    }
    const PairSeparation& p = neighbor.p;
    const float r = sqrtf(p.r2);
    if (r <= 0.0f) return;  // coincident atoms have no direction
    const float rc = __ldg(&a.radial_pair_cutoffs[ti * a.num_types + tj]);
    PairBasisWithSlope basis(r, rc);
    float slope = 0.0f;
    for (int k = 0; k < nb; ++k) slope = fmaf(basis.next().slope, state[k * stride + t], slope);
    const float scale = slope / r;
    float pair[kPairAxes];
    for (int c = 0; c < kPairAxes; ++c) {
      pair[c] = scale * p.d[c];
      force[c] += pair[c];
      atomicAdd(&a.force_soa3[soa(c, j, a.capacity)], -static_cast<double>(pair[c]));
    }
    float half_zbl[kPairAxes] = {0.0f, 0.0f, 0.0f};
    if constexpr (Zbl) {
      if (p.r2 < a.zbl.outer * a.zbl.outer) {
        const ZblPairTerms zbl = universal_zbl_terms(a.zbl, centre, tj, r);
        const float half_scale = 0.5f * zbl.slope / r;
        for (int c = 0; c < kPairAxes; ++c) {
          half_zbl[c] = half_scale * p.d[c];
          force[c] += 2.0f * half_zbl[c];
        }
        if constexpr (ZblEnergy) energy += 0.5f * zbl.energy;
      }
    }
    for (int q = 0; q < kVirialComponentCount; ++q) {
      const float d = p.d[virial_row(q)];
      const float term = -(d * pair[virial_column(q)]) - d * half_zbl[virial_column(q)];
      if constexpr (Scatter) {
        if (a.write_virial != 0) atomicAdd(&a.virial_soa9[soa(q, j, a.capacity)], static_cast<double>(term));
      } else {
        if constexpr (Sink) atomicAdd(&args.virial_sink[soa(q, j, a.capacity)], term);
        if (a.write_virial != 0) virial[q] += term;
      }
    }
  });
  for (int c = 0; c < kPairAxes; ++c) atomicAdd(&a.force_soa3[soa(c, i, a.capacity)], static_cast<double>(force[c]));
  if constexpr (ZblEnergy) args.potential[i] += static_cast<double>(energy);
  if (!Scatter && a.write_virial != 0) {
    for (int q = 0; q < kVirialComponentCount; ++q) {
      a.virial_soa9[soa(q, i, a.capacity)] += static_cast<double>(virial[q]);
    }
  }
}

void require_lammps_radial_inputs(const ModelProtocol& p, int atom_count, VirialTarget target, bool zbl_energy,
                                  const DeviceModelView& m, const DeviceWorkspaceView& w) {
  require_radial_protocol(p, atom_count);
  if (p.has_zbl) {
    require(!p.flexible_zbl, "flexible ZBL is not supported yet");
    require(!p.typewise_zbl, "typewise ZBL is not supported by the fused LAMMPS radial/ZBL kernel");
    require(p.zbl_rc_inner >= 0.0, "ZBL inner cutoff must be non-negative");
    require(p.zbl_rc_outer > p.zbl_rc_inner, "ZBL outer cutoff must exceed inner");
    require(p.cutoff_radial >= p.zbl_rc_outer, "fused LAMMPS radial/ZBL kernel reuses the radial neighbor list");
  }
  require_atom_capacity(atom_count, w);
  require_radial_arrays(w, target != VirialTarget::none);
  if (target == VirialTarget::float_sink) {
    require(w.per_atom_virial_float_soa9 != nullptr, "workspace missing per-atom virial sink");
  }
  require(m.type_pair_major_descriptor_coefficients != nullptr,
          "model missing type-pair-major descriptor coefficients");
  if (p.has_zbl) {
    require(m.atomic_numbers != nullptr, "model missing atomic numbers");
    require(m.atomic_numbers_count >= static_cast<std::uint64_t>(p.num_types), "model atomic number buffer is too small");
    if (zbl_energy) require(w.potential != nullptr, "workspace missing potential output");
  }
}

// Threads per block whose pull state fits the device, and the launch's shared memory: 64 when it fits the
// default 48 KiB, else halved down to 4, then 2 or 1.
struct PullBlock {
  int threads = kPullBlock;
  SharedMemoryLaunch shared;
};

PullBlock pull_block(std::size_t floats_per_thread, DeviceWorkspace& workspace) {
  const auto bytes_for = [&](int threads) { return floats_per_thread * sizeof(float) * static_cast<std::size_t>(threads); };
  PullBlock block{kPullBlock, {bytes_for(kPullBlock), 0}};
  if (block.shared.bytes <= kDefaultDynamicSharedBytes) return block;
  const std::size_t limit =
      workspace.dynamic_shared_limit("get CUDA device for radial pull", "get CUDA device properties for radial pull");
  int threads = kPullBlock;
  while (threads > kSmallestPullBlock && bytes_for(threads) > limit) threads /= 2;
  if (bytes_for(threads) > limit) threads = bytes_for(2) <= limit ? 2 : 1;
  require(bytes_for(threads) <= limit, "radial pull state exceeds the CUDA shared-memory limit");
  block.threads = threads;
  block.shared = {bytes_for(threads), limit};
  return block;
}

template <auto Kernel>
void launch_pull(const LammpsRadialArgs& args, const PullBlock& block) {
  allow_dynamic_shared_memory(Kernel, block.shared, "configure radial pull shared memory");
  if (args.radial.atom_count > 0) {
    launch_kernel<Kernel>(dim3(blocks_for(args.radial.atom_count, block.threads)), dim3(block.threads),
                          block.shared.bytes, args);
  }
}

// The inner switch: the ZBL flags for one virial booking.
template <bool Scatter, bool Sink>
void launch_for_zbl(const LammpsRadialArgs& args, bool zbl, bool zbl_energy, const PullBlock& block) {
  if (!zbl) return launch_pull<&accumulate_lammps_radial_forces<false, false, Scatter, Sink>>(args, block);
  if (zbl_energy) return launch_pull<&accumulate_lammps_radial_forces<true, true, Scatter, Sink>>(args, block);
  launch_pull<&accumulate_lammps_radial_forces<true, false, Scatter, Sink>>(args, block);
}

}  // namespace

void accumulate_lammps_radial_forces_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                               const DeviceModel& model, DeviceWorkspace& workspace,
                                               VirialTarget target, bool zbl_energy) {
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_lammps_radial_inputs(protocol, atom_count, target, zbl_energy, m, w);
  check_cuda(cudaMemset(w.force_soa3, 0, kPairAxes * w.atom_capacity * sizeof(double)), "clear force output");
  if (target != VirialTarget::none) {
    check_cuda(cudaMemset(w.virial_soa9, 0, kVirialComponentCount * w.atom_capacity * sizeof(double)),
               "clear virial output");
  }
  const PullBlock block = pull_block(static_cast<std::size_t>(protocol.basis_size_radial) + 1, workspace);

  LammpsRadialArgs a{};
  a.radial = make_radial_args(protocol, atom_count, box, m, w, m.type_pair_major_descriptor_coefficients,
                              target != VirialTarget::none);
  a.radial.zbl = make_universal_zbl(protocol, m.atomic_numbers);
  a.potential = w.potential;
  a.virial_sink = w.per_atom_virial_float_soa9;
  const bool zbl = protocol.has_zbl;
  switch (target) {  // the one place where the booking becomes a template argument
    case VirialTarget::none:
    case VirialTarget::fp64_owner:
      launch_for_zbl<false, false>(a, zbl, zbl_energy, block);
      break;
    case VirialTarget::fp64_scatter:
      launch_for_zbl<true, false>(a, zbl, zbl_energy, block);
      break;
    case VirialTarget::float_sink:
      launch_for_zbl<false, true>(a, zbl, zbl_energy, block);
      break;
  }
  check_cuda(cudaGetLastError(), "accumulate LAMMPS radial forces kernel launch failed");
}

}  // namespace quarvel::cuda_backend
