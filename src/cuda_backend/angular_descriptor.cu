#include "angular_descriptor.hpp"

#include <cstddef>
#include <cstdint>

#include "angular_inputs.cuh"
#include "angular_harmonics.cuh"
#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "shared_memory_limits.cuh"
#include "static_loops.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

namespace ah = angular_harmonics;

constexpr int kDescriptorBlock = 128;                    // threads per block: one thread per centre atom
constexpr int kFallbackBlocks[] = {32, 16, 8, 4, 2, 1};  // tried when 128 threads need over 48 KiB
constexpr int kAxes = kPairAxes;
constexpr float kPiF = 3.14159265358979323846f;  // the float nearest to pi

// The angular shapes of the kernel: sums kept per radial function (Abc) and radial functions per pass (K), so
// that a pass holds at most 96 sums in registers.
constexpr int kRadialOnlyAbc = 24;
constexpr int kRadialOnlyK = 3;

// Everything the kernel reads and writes; pointers a variant does not use may be null.
struct DescriptorCoreArgs {
  int atom_count;  // N
  int capacity;    // A: stride of every per-atom array and slot-major list
  int descriptor_dim;
  int num_types;
  int num_type_pairs;
  int n_max_radial;
  int basis_size_radial;
  int n_max_angular;
  int basis_size_angular;
  AngularChannels channels;
  const float* radial_pair_cutoffs;
  const float* angular_pair_cutoffs;
  RadialPairInputs in;  // cells (one box, or per structure), types, positions and the radial list
  AngularPairs<float> pairs;
  const float* coefficients;  // type-pair-major: radial block, then angular block
  float* sum_fxyz;
  float* descriptors;
};

// A pair's minimum-image displacement r_j - r_i (Angstrom, rounded to float) and its length.
struct PairGeometry {
  float dx;
  float dy;
  float dz;
  float r;
};

__device__ __forceinline__ PairGeometry pair_geometry(const DescriptorCoreArgs& a, const AtomCell& cell,
                                                      const double ri[kAxes], int j) {
  const PairSeparation p = separation_from(ri, a.in.positions_soa3, a.capacity, j, cell.box, cell.inverse, cell.pbc);
  return {p.d[0], p.d[1], p.d[2], sqrtf(p.r2)};
}

// The basis values of one pair in ascending order: f[0] = fc, f[b] = (fc/2)(T_b(x) + 1) for b >= 1, with the
// smooth cutoff fc = (cos(pi r/rc) + 1)/2 (0 from rc on) and x = 2 (r/rc - 1)^2 - 1.
class PairBasis {
 public:
  __device__ __forceinline__ PairBasis(float r, float rc, float inverse_rc) {
    fc_ = r >= rc ? 0.0f : fmaf(cosf((r * kPiF) * inverse_rc), 0.5f, 0.5f);
    half_fc_ = 0.5f * fc_;
    const float t = fmaf(inverse_rc, r, -1.0f);
    x_ = fmaf(t, 2.0f * t, -1.0f);
  }

  // f[b] for b = 0, 1, 2, ... on successive calls.
  __device__ __forceinline__ float next() {
    const int b = b_++;
    if (b == 0) return fc_;
    if (b == 1) {
      chebyshev_ = x_;
    } else {
      const float following = (2.0f * x_) * chebyshev_ - previous_;
      previous_ = chebyshev_;
      chebyshev_ = following;
    }
    return half_fc_ * (chebyshev_ + 1.0f);
  }

 private:
  float fc_;
  float half_fc_;
  float x_;
  float previous_ = 1.0f;   // T_{b-1}
  float chebyshev_ = 1.0f;  // T_b
  int b_ = 0;
};

// Radial components of atom i: the basis values of a run of equal-type neighbors are summed in the thread's
// shared scratch and contracted with the pair's coefficients once per run.
__device__ void radial_components(const DescriptorCoreArgs& a, int i, int ti, const AtomCell& cell,
                                  const double ri[kAxes]) {
  float* scratch = dynamic_shared_memory<float>();
  const int stride = static_cast<int>(blockDim.x);
  const int t = static_cast<int>(threadIdx.x);
  const int nr = a.n_max_radial;
  const int nb = a.basis_size_radial + 1;
  for (int n = 0; n <= nr; ++n) a.descriptors[soa(n, i, a.capacity)] = 0.0f;
  const auto flush = [&](int neighbor_type) {
    const float* c = a.coefficients + static_cast<std::size_t>(ti * a.num_types + neighbor_type) * (nr + 1) * nb;
    for (int n = 0; n <= nr; ++n) {
      float acc = 0.0f;
      for (int b = 0; b < nb; ++b) acc = fmaf(scratch[b * stride + t], __ldg(&c[n * nb + b]), acc);
      a.descriptors[soa(n, i, a.capacity)] += acc;
    }
  };
  int previous_type = -1;
  const int count = __ldg(&a.in.nn_radial[i]);
  for (int s = 0; s < count; ++s) {
    const int j = __ldg(&a.in.nl_radial_slot_major[soa(s, i, a.capacity)]);
    const int tj = __ldg(&a.in.types[j]);
    if (!known_type(tj, a.num_types)) continue;  // never listed by the builders; its tables do not exist
    const float rc = __ldg(&a.radial_pair_cutoffs[ti * a.num_types + tj]);
    const float inverse_rc = 1.0f / rc;
    if (tj != previous_type) {
      if (previous_type >= 0) flush(previous_type);
      for (int b = 0; b < nb; ++b) scratch[b * stride + t] = 0.0f;
      previous_type = tj;
    }
    const PairGeometry g = pair_geometry(a, cell, ri, j);
    PairBasis basis(g.r, rc, inverse_rc);
    for (int b = 0; b < nb; ++b) scratch[b * stride + t] += basis.next();
  }
  if (previous_type >= 0) flush(previous_type);
}

// Writes the angular rows of radial function n from its sums: q_1..q_L, then the enabled couplings.
template <int Abc>
__device__ void store_angular_rows(const DescriptorCoreArgs& a, int i, int n, const float (&s)[Abc]) {
  const int first_row = a.n_max_radial + 1;
  int channel = 0;
  auto put = [&](float value) {
    const int row = first_row + channel * (a.n_max_angular + 1) + n;
    if (row < a.descriptor_dim) a.descriptors[soa(row, i, a.capacity)] = value;
    ++channel;
  };
  ah::for_each_q<1>(a.channels.l_max, s, put);
  if (a.channels.coupling[0] != 0) put(ah::invariant_q222(s));
  if (a.channels.coupling[1] != 0) put(ah::invariant_q1111(s));
  if (a.channels.coupling[2] != 0) put(ah::invariant_q112(s));
  if (a.channels.coupling[3] != 0) put(ah::invariant_q123(s));
  if (a.channels.coupling[4] != 0) put(ah::invariant_q233(s));
  if (a.channels.coupling[5] != 0) put(ah::invariant_q134(s));
}

// Angular components of atom i in passes of K radial functions; pass 0 also fills the pair cache, which later
// passes (and the angular force kernels) read instead of recomputing the double-precision minimum image.
template <int Abc, int K>
__device__ void angular_components(const DescriptorCoreArgs& a, int i, int ti, const AtomCell& cell,
                                   const double ri[kAxes]) {
  const int na = a.n_max_angular;
  const int nb = a.basis_size_angular + 1;
  const std::size_t radial_block =
      static_cast<std::size_t>(a.num_type_pairs) * (a.n_max_radial + 1) * (a.basis_size_radial + 1);
  const int count = __ldg(&a.pairs.nn_angular[i]);
  for (int first = 0; first <= na; first += K) {
    const int functions = min(K, na + 1 - first);
    float sums[K][Abc];
    unrolled<K>([&](auto index) {
      constexpr int p = decltype(index)::value;
      for (int k = 0; k < Abc; ++k) sums[p][k] = 0.0f;
    });
    for (int s = 0; s < count; ++s) {
      const std::size_t slot = soa(s, i, a.capacity);
      const int j = __ldg(&a.pairs.nl_angular_slot_major[slot]);
      const int tj = __ldg(&a.in.types[j]);
      PairGeometry g;
      if (first == 0) {
        g = pair_geometry(a, cell, ri, j);
        a.pairs.f12x[slot] = g.dx;
        a.pairs.f12y[slot] = g.dy;
        a.pairs.f12z[slot] = g.dz;
        a.pairs.r12_angular[slot] = g.r;
      } else {
        g = {a.pairs.f12x[slot], a.pairs.f12y[slot], a.pairs.f12z[slot], a.pairs.r12_angular[slot]};
      }
      if (g.r <= 0.0f) continue;  // a coincident atom has no direction
      if (!known_type(tj, a.num_types)) continue;
      const float rc = __ldg(&a.angular_pair_cutoffs[ti * a.num_types + tj]);
      const float inverse_rc = 1.0f / rc;
      const float* c =
          a.coefficients + radial_block + (static_cast<std::size_t>(ti * a.num_types + tj) * (na + 1) + first) * nb;
      float radial[K];
      unrolled<K>([&](auto index) { radial[decltype(index)::value] = 0.0f; });
      PairBasis basis(g.r, rc, inverse_rc);
      for (int b = 0; b < nb; ++b) {
        const float f = basis.next();
        unrolled<K>([&](auto index) {
          constexpr int p = decltype(index)::value;
          if (p < functions) radial[p] = fmaf(f, __ldg(&c[p * nb + b]), radial[p]);
        });
      }
      const float inverse_r = 1.0f / g.r;
      const float ux = g.dx * inverse_r;
      const float uy = g.dy * inverse_r;
      const float uz = g.dz * inverse_r;
      unrolled<K>([&](auto index) {
        constexpr int p = decltype(index)::value;
        if (p < functions) ah::add_weighted_harmonics(a.channels.l_max, radial[p], ux, uy, uz, sums[p]);
      });
    }
    unrolled<K>([&](auto index) {
      constexpr int p = decltype(index)::value;
      if (p >= functions) return;
      const int n = first + p;
      for (int k = 0; k < Abc; ++k) {  // compile-time bound: the sums stay in registers
        if (k < a.channels.abc) a.sum_fxyz[soa(n * a.channels.abc + k, i, a.capacity)] = sums[p][k];
      }
      store_angular_rows(a, i, n, sums[p]);
    });
  }
}

// One thread per atom: radial components, then (angular variants) the angular sums, their invariants and the
// pair cache. Atoms of a type outside the model get nothing written.
template <bool Batched, bool Angular, int Abc, int K>
__global__ void __launch_bounds__(kDescriptorBlock) build_descriptor_core_from_positions(DescriptorCoreArgs a) {
  const std::int64_t index = global_thread_x();
  if (index >= a.atom_count) return;
  const int i = static_cast<int>(index);
  float* scratch = dynamic_shared_memory<float>();
  for (int b = 0; b <= a.basis_size_radial; ++b) scratch[b * blockDim.x + threadIdx.x] = 0.0f;
  const int ti = __ldg(&a.in.types[i]);
  if (!known_type(ti, a.num_types)) return;
  const AtomCell cell = cell_of_atom<Batched>(a.in, i);
  double ri[kAxes];
  for (int c = 0; c < kAxes; ++c) ri[c] = __ldg(&a.in.positions_soa3[soa(c, i, a.capacity)]);
  radial_components(a, i, ti, cell, ri);
  if constexpr (Angular) angular_components<Abc, K>(a, i, ti, cell, ri);
}

// The kernel's argument record from the model's shape and the two views.
DescriptorCoreArgs make_descriptor_core_args(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                             const DeviceModelView& m, const DeviceWorkspaceView& w) {
  DescriptorCoreArgs a{};
  a.atom_count = atom_count;
  a.capacity = static_cast<int>(w.atom_capacity);
  a.descriptor_dim = protocol.descriptor_dim;
  a.num_types = protocol.num_types;
  a.num_type_pairs = protocol.num_types * protocol.num_types;
  a.n_max_radial = protocol.n_max_radial;
  a.basis_size_radial = protocol.basis_size_radial;
  a.n_max_angular = protocol.n_max_angular;
  a.basis_size_angular = protocol.basis_size_angular;
  a.channels = make_angular_channels(protocol.body_channels);
  a.radial_pair_cutoffs = m.radial_pair_cutoffs;
  a.angular_pair_cutoffs = m.angular_pair_cutoffs;
  a.in = make_radial_pair_inputs(box, w);
  a.pairs = make_angular_pairs<float>(w);
  a.coefficients = m.type_pair_major_descriptor_coefficients;
  a.sum_fxyz = w.sum_fxyz;
  a.descriptors = w.descriptors;
  return a;
}

// Threads per block whose radial scratch fits the device, and the launch's shared memory: the default block when
// it fits the 48 KiB every device grants, else the largest fallback within the device's opt-in limit.
struct DescriptorBlock {
  int threads = 0;
  SharedMemoryLaunch shared;
};

DescriptorBlock descriptor_block(std::size_t scratch_bytes_per_thread, DeviceWorkspace& workspace) {
  DescriptorBlock block{kDescriptorBlock, {scratch_bytes_per_thread * kDescriptorBlock, 0}};
  if (block.shared.bytes <= kDefaultDynamicSharedBytes) return block;
  block.shared.raised_limit =
      workspace.dynamic_shared_limit("get CUDA device for descriptor core shared memory",
                                     "get CUDA device properties for descriptor core shared memory");
  for (const int threads : kFallbackBlocks) {
    const std::size_t bytes = scratch_bytes_per_thread * static_cast<std::size_t>(threads);
    if (bytes > block.shared.raised_limit) continue;
    block.threads = threads;
    block.shared.bytes = bytes;
    if (bytes <= kDefaultDynamicSharedBytes) block.shared.raised_limit = 0;
    return block;
  }
  throw std::runtime_error("descriptor core per-atom shared state exceeds the CUDA device limit");
}

// Lets the instantiation use the launch's shared memory, then launches one thread per atom; nothing is launched
// for no atoms.
template <bool Batched, bool Angular, int Abc, int K>
void launch_descriptor_core(const DescriptorCoreArgs& args, const DescriptorBlock& block) {
  constexpr auto kernel = &build_descriptor_core_from_positions<Batched, Angular, Abc, K>;
  const unsigned grid = blocks_for(args.atom_count, block.threads);
  if (grid == 0) return;
  allow_dynamic_shared_memory(kernel, block.shared, "configure descriptor core shared memory");
  launch_kernel<kernel>(dim3(grid), dim3(static_cast<unsigned>(block.threads)), block.shared.bytes, args);
}

// The angular order picks the shape of the sums; radial-only models compile the angular stage out.
template <bool Batched>
void launch_for_order(const ModelProtocol& protocol, const DescriptorCoreArgs& args, const DescriptorBlock& block) {
  if (protocol.body_channels.channel_count() == 0) {
    return launch_descriptor_core<Batched, false, kRadialOnlyAbc, kRadialOnlyK>(args, block);
  }
  switch (protocol.body_channels.l_max_3body) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
      return launch_descriptor_core<Batched, true, 24, 3>(args, block);
    case 5:
      return launch_descriptor_core<Batched, true, 35, 2>(args, block);
    case 6:
      return launch_descriptor_core<Batched, true, 48, 2>(args, block);
    case 7:
      return launch_descriptor_core<Batched, true, 63, 1>(args, block);
    case 8:
      return launch_descriptor_core<Batched, true, 80, 1>(args, block);
    default:
      break;
  }
  throw std::runtime_error("angular descriptor kernel supports l_max_3body <= 8");  // only a negative order
}

}  // namespace

void build_descriptor_core_from_positions_on_device(const ModelProtocol& protocol, int atom_count,
                                                    const SimulationBox& box, const DeviceModel& model,
                                                    DeviceWorkspace& workspace, DescriptorCoreTopology topology) {
  const int types = protocol.num_types;
  const bool angular = protocol.body_channels.channel_count() >= 1;
  require(atom_count >= 0, "atom_count must be non-negative");
  require(types > 0, "num_types must be positive");
  require(protocol.descriptor_dim > 0, "descriptor_dim must be positive");
  require(protocol.n_max_radial >= 0, "n_max_radial must be non-negative");
  require(protocol.basis_size_radial >= 0, "radial basis size must be non-negative");
  require(protocol.cutoff_radial > 0.0, "radial cutoff must be positive");
  require(protocol.neighbor_capacity_radial > 0, "radial neighbor capacity must be positive");
  if (angular) {
    require(protocol.n_max_angular >= 0, "n_max_angular must be non-negative");
    require(protocol.basis_size_angular >= 0, "angular basis size must be non-negative");
    require(protocol.cutoff_angular > 0.0, "angular cutoff must be positive");
    require(protocol.neighbor_capacity_angular > 0, "angular neighbor capacity must be positive");
    require(protocol.body_channels.l_max_3body <= ah::kMaxDegree,
            "angular descriptor kernel supports l_max_3body <= 8");
  }
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_atom_capacity(atom_count, w);
  require(m.type_pair_major_descriptor_coefficients != nullptr,
          "model missing type-pair-major descriptor coefficients");
  require(m.type_pair_major_descriptor_coefficients_count >= protocol.structural_coefficient_count,
          "model type-pair-major descriptor coefficient buffer is too small");
  const std::uint64_t pairs = static_cast<std::uint64_t>(types) * static_cast<std::uint64_t>(types);
  require(m.radial_pair_cutoffs != nullptr && m.radial_pair_cutoffs_count >= pairs,
          "model radial pair cutoff buffer is too small");
  require(m.angular_pair_cutoffs != nullptr && m.angular_pair_cutoffs_count >= pairs,
          "model angular pair cutoff buffer is too small");
  require(w.types != nullptr, "workspace missing atom types");
  require(w.positions_soa3 != nullptr, "workspace missing positions");
  require(w.nn_radial != nullptr, "workspace missing radial counts");
  require(w.nl_radial_slot_major != nullptr, "workspace missing radial neighbor list");
  if (angular) {
    require(w.nn_angular != nullptr, "workspace missing angular counts");
    require(w.nl_angular_slot_major != nullptr, "workspace missing angular neighbor list");
    require(w.r12_angular != nullptr, "workspace missing angular distance cache");
    require(w.f12x != nullptr && w.f12y != nullptr && w.f12z != nullptr, "workspace missing angular pair geometry");
    require(w.sum_fxyz != nullptr, "workspace missing sum_fxyz cache");
  }
  const bool batched = topology == DescriptorCoreTopology::batched;
  if (batched) {
    require(w.atom_to_structure != nullptr, "workspace missing atom_to_structure");
    require(w.boxes_row_major9 != nullptr, "workspace missing boxes");
    require(w.box_inverse_row_major9 != nullptr, "workspace missing box inverses");
    require(w.pbc_flags3 != nullptr, "workspace missing PBC flags");
  }
  require(w.descriptors != nullptr, "workspace missing descriptor cache");

  const std::size_t scratch_per_thread = static_cast<std::size_t>(protocol.basis_size_radial + 1) * sizeof(float);
  const DescriptorBlock block = descriptor_block(scratch_per_thread, workspace);
  const DescriptorCoreArgs args = make_descriptor_core_args(protocol, atom_count, box, m, w);
  if (batched) {
    launch_for_order<true>(protocol, args, block);
  } else {
    launch_for_order<false>(protocol, args, block);
  }
  check_cuda(cudaGetLastError(), "build descriptor core kernel launch failed");
}

}  // namespace quarvel::cuda_backend
