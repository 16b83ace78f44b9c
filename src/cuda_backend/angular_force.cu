#include "angular_force.hpp"

#include <cstddef>
#include <cstdint>

#include "angular_inputs.cuh"
#include "angular_pull.cuh"
#include "ann_energy.hpp"
#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "radial_basis.cuh"
#include "virial_layout.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kWarpSize = 32;             // one warp per block
constexpr unsigned kFullWarp = 0xffffffffu;
constexpr int kMaxRadialCount = 9;        // n_max_angular 0..8
constexpr int kMaxAngularOrder = 8;
constexpr int kAxes = 3;

// Everything the angular kernel reads and writes; pointers a variant does not use may be null.
struct AngularForceArgs {
  int atom_count;  // N
  int capacity;    // A
  int num_types;
  int n_max_radial;
  int basis_size_angular;
  AngularChannels channels;
  const float* angular_pair_cutoffs;  // Angstrom, [t_i T + t_j]
  const std::int32_t* types;
  const std::int32_t* type_scheduled_atoms;              // null for one type
  const std::int32_t* type_schedule_active_type_counts;  // null for one type
  AngularPairs<const float> pairs;
  const float* fp;
  const float* sum_fxyz;
  const float* angular_type_pair_coefficients;  // [((t_i T + t_j) R + n)(ba + 1) + b]
  const float* center_type_major_angular_coefficients;  // [((t_i R + n)(ba + 1) + b) T + t_j]
  float* per_atom_virial_float;
  double* force;
  double* virial;
  int scatter_virial;
};

// Tile widths: sums per radial function and fp channels.
template <bool HighOrder>
constexpr int kPullWidth = HighOrder ? kHighOrderPullWidth : kLowOrderPullWidth;
template <bool HighOrder>
constexpr int kFpWidth = HighOrder ? kHighOrderFpWidth : kLowOrderFpWidth;

// Radial functions g_n(r) and g_n'(r) of one pair for n < R.
template <int R>
__device__ __forceinline__ void angular_radial_functions(const AngularForceArgs& a, bool grouped, int ti, int tj,
                                                         float r, float rc, float (&g)[R], float (&g_prime)[R]) {
  for (int n = 0; n < R; ++n) {
    g[n] = 0.0f;
    g_prime[n] = 0.0f;
  }
  if (r >= rc) return;
  const int nb = a.basis_size_angular + 1;
  const int types = a.num_types;
  PairBasisWithSlope basis(r, rc);
  for (int b = 0; b < nb; ++b) {
    const BasisTerm term = basis.next();
    for (int n = 0; n < R; ++n) {
      const std::size_t centre_major = (static_cast<std::size_t>(ti * R + n) * nb + b) * types + tj;
      const std::size_t pair_major = (static_cast<std::size_t>(ti * types + tj) * R + n) * nb + b;
      const float c = grouped ? __ldg(&a.center_type_major_angular_coefficients[centre_major])
                              : __ldg(&a.angular_type_pair_coefficients[pair_major]);
      g[n] = fmaf(c, term.value, g[n]);
      g_prime[n] = fmaf(c, term.slope, g_prime[n]);
    }
  }
}

// Atoms are taken W per block; a group of LN lanes serves one centre atom. The tile's sums and channel
// derivatives are staged once in shared memory and turned into pull coefficients; each lane keeps its share of
// them in registers and fetches the rest from its group by shuffles. Each pair's gradient v = dE_i/dr_ij goes to
// the neighbour at once (double atomics: other centres add to the same atom) and is summed for the centre, whose
// total is added at the end (atomically as well: the centre is somebody else's neighbour).
template <bool WithVirial, bool WithFloatSink, int R, int W, int LN, bool HighOrder>
__global__ void __launch_bounds__(kWarpSize) accumulate_angular_forces_pull_tile(AngularForceArgs a) {
  static_assert(W * LN == kWarpSize, "one warp per tile");
  static_assert(!WithFloatSink || WithVirial, "the float sink comes with the virial");
  constexpr int K = kPullWidth<HighOrder>;
  constexpr int CW = kFpWidth<HighOrder>;
  constexpr int Q = (K + LN - 1) / LN;  // pull registers per lane and radial function
  __shared__ int tile_atoms[W];
  __shared__ float tile_sum[W][R][K];
  __shared__ float tile_fp[W][R][CW];
  __shared__ float tile_pull[W][R][K];

  const int t = static_cast<int>(threadIdx.x);
  const int slot = t / LN;
  const int lane = t % LN;
  const int base = static_cast<int>(blockIdx.x) * W;
  const int last = a.atom_count - 1;

  // 1. Atom order: grouped by type when the schedule block holds more types than the tile has atoms.
  int active_types = 1;
  if (t == 0 && a.type_schedule_active_type_counts != nullptr) {
    active_types = __ldg(&a.type_schedule_active_type_counts[base / kTypeScheduleAtomsPerBlock]);
  }
  active_types = __shfl_sync(kFullWarp, active_types, 0);
  const bool grouped = a.type_scheduled_atoms != nullptr && active_types > W;
  if (grouped) {
    if (t < W) tile_atoms[t] = base + t < a.atom_count ? __ldg(&a.type_scheduled_atoms[base + t]) : last;
    __syncwarp();
  }
  const auto atom_of_slot = [&](int s) { return grouped ? tile_atoms[s] : min(base + s, last); };
  const int atom = atom_of_slot(slot);
  const bool active = base + slot < a.atom_count;

  // 2. Tile loads.
  const int channels = channel_count(a.channels);
  for (int e = t; e < W * R * K; e += kWarpSize) {
    const int s = e / (R * K);
    const int n = (e / K) % R;
    const int k = e % K;
    const int abc = a.channels.abc;
    tile_sum[s][n][k] = k < abc ? __ldg(&a.sum_fxyz[soa(n * abc + k, atom_of_slot(s), a.capacity)]) : 0.0f;
  }
  for (int e = t; e < W * R * CW; e += kWarpSize) {
    const int s = e / (R * CW);
    const int n = (e / CW) % R;
    const int c = e % CW;
    tile_fp[s][n][c] =
        c < channels ? __ldg(&a.fp[soa(a.n_max_radial + 1 + c * R + n, atom_of_slot(s), a.capacity)]) : 0.0f;
  }
  __syncthreads();

  // 3. Pull coefficients.
  for (int n = lane; n < R; n += LN) {
    build_angular_pull<K>(a.channels.l_max, a.channels.coupling, tile_sum[slot][n], tile_fp[slot][n],
                          tile_pull[slot][n]);
  }
  __syncthreads();

  // 4. This lane's share: P_{n,k} for k = lane + q LN.
  float pull[Q][R];
  for (int q = 0; q < Q; ++q) {
    const int k = lane + q * LN;
    for (int n = 0; n < R; ++n) pull[q][n] = k < a.channels.abc && k < K ? tile_pull[slot][n][k] : 0.0f;
  }
  const auto fetch = [&](int k, int n) { return __shfl_sync(kFullWarp, pull[k / LN][n], k % LN, LN); };

  // 5. Neighbour sweeps, executed by every thread of the warp so that every shuffle finds its partners.
  int count = 0;
  int ti = 0;
  if (lane == 0 && active) {
    ti = __ldg(&a.types[atom]);
    count = known_type(ti, a.num_types) ? __ldg(&a.pairs.nn_angular[atom]) : 0;  // no tables, no pull: nothing to book
    if (count == 0) ti = 0;
  }
  count = __shfl_sync(kFullWarp, count, 0, LN);
  ti = __shfl_sync(kFullWarp, ti, 0, LN);
  int most = count;
  for (int offset = kWarpSize / 2; offset > 0; offset /= 2) most = max(most, __shfl_xor_sync(kFullWarp, most, offset));

  float centre[kAxes] = {0.0f, 0.0f, 0.0f};
  float own_virial[kVirialComponentCount] = {};
  for (int sweep = 0; sweep * LN < most; ++sweep) {
    const int s = sweep * LN + lane;
    bool books = false;
    int j = 0;
    float d[kAxes] = {0.0f, 0.0f, 0.0f};
    float v[kAxes] = {0.0f, 0.0f, 0.0f};
    float r = 0.0f;
    int tj = 0;
    if (active && s < count) {
      const std::size_t at = soa(s, atom, a.capacity);
      r = __ldg(&a.pairs.r12_angular[at]);
      j = __ldg(&a.pairs.nl_angular_slot_major[at]);
      tj = __ldg(&a.types[j]);
      // r > 0 is false for 0, negative or not a number: coincident atoms have no direction.
      books = r > 0.0f && known_type(tj, a.num_types);
      if (books) {
        d[0] = __ldg(&a.pairs.f12x[at]);
        d[1] = __ldg(&a.pairs.f12y[at]);
        d[2] = __ldg(&a.pairs.f12z[at]);
      }
    }
    // 6. The pair gradient; lanes without a pair compute with zero radial functions and discard the result.
    float g[R];
    float g_prime[R];
    const float rc = books ? __ldg(&a.angular_pair_cutoffs[ti * a.num_types + tj]) : 0.0f;
    if (books) {
      angular_radial_functions<R>(a, grouped, ti, tj, r, rc, g, g_prime);
    } else {
      for (int n = 0; n < R; ++n) g[n] = g_prime[n] = 0.0f;
    }
    const float inv_r = books ? 1.0f / r : 0.0f;
    const float unit[kAxes] = {d[0] * inv_r, d[1] * inv_r, d[2] * inv_r};
    accumulate_pair_gradient<HighOrder ? kMaxAngularOrder : 4>(a.channels.l_max, fetch, R, g, g_prime, inv_r, unit, v);

    // 7. Neighbour booking.
    float w[kVirialComponentCount];
    for (int q = 0; q < kVirialComponentCount; ++q) w[q] = -(d[virial_row(q)] * v[virial_column(q)]);
    if constexpr (WithFloatSink) {
      // Updates of equal neighbours within the warp are summed first; the lowest lane of each group books them.
      const int key = books ? j : -1;
      double group_force[kAxes] = {-static_cast<double>(v[0]), -static_cast<double>(v[1]), -static_cast<double>(v[2])};
      float group_sink[kVirialComponentCount];
      for (int q = 0; q < kVirialComponentCount; ++q) group_sink[q] = w[q];
      bool leader = books;
      for (int other = 0; other < kWarpSize; ++other) {
        const int other_key = __shfl_sync(kFullWarp, key, other);
        double other_force[kAxes];
        for (int c = 0; c < kAxes; ++c) other_force[c] = __shfl_sync(kFullWarp, -static_cast<double>(v[c]), other);
        float other_sink[kVirialComponentCount];
        for (int q = 0; q < kVirialComponentCount; ++q) other_sink[q] = __shfl_sync(kFullWarp, w[q], other);
        if (!books || other_key != key || other == t) continue;
        if (other < t) {
          leader = false;
        } else {
          for (int c = 0; c < kAxes; ++c) group_force[c] += other_force[c];
          for (int q = 0; q < kVirialComponentCount; ++q) group_sink[q] += other_sink[q];
        }
      }
      if (leader) {
        for (int c = 0; c < kAxes; ++c) atomicAdd(&a.force[soa(c, j, a.capacity)], group_force[c]);
        for (int q = 0; q < kVirialComponentCount; ++q) {
          atomicAdd(&a.per_atom_virial_float[soa(q, j, a.capacity)], group_sink[q]);
        }
      }
    } else if (books) {
      for (int c = 0; c < kAxes; ++c) atomicAdd(&a.force[soa(c, j, a.capacity)], -static_cast<double>(v[c]));
    }
    if constexpr (WithVirial) {
      if (books) {
        if (a.scatter_virial != 0) {
          for (int q = 0; q < kVirialComponentCount; ++q) {
            atomicAdd(&a.virial[soa(q, j, a.capacity)], static_cast<double>(w[q]));
          }
        } else {
          for (int q = 0; q < kVirialComponentCount; ++q) own_virial[q] += w[q];
        }
      }
    }
    // 8. Centre sums.
    if (books) {
      for (int c = 0; c < kAxes; ++c) centre[c] += v[c];
    }
  }

  // 9. Centre booking: the lane group's sums reduced to its lane 0.
  for (int offset = LN / 2; offset > 0; offset /= 2) {
    for (int c = 0; c < kAxes; ++c) centre[c] += __shfl_down_sync(kFullWarp, centre[c], offset, LN);
    if constexpr (WithVirial) {
      for (int q = 0; q < kVirialComponentCount; ++q) {
        own_virial[q] += __shfl_down_sync(kFullWarp, own_virial[q], offset, LN);
      }
    }
  }
  if (lane == 0 && active) {
    for (int c = 0; c < kAxes; ++c) atomicAdd(&a.force[soa(c, atom, a.capacity)], static_cast<double>(centre[c]));
    if constexpr (WithVirial) {
      if (a.scatter_virial == 0) {
        // Only this thread books pair terms on this atom in the centre modes, so a plain add suffices.
        for (int q = 0; q < kVirialComponentCount; ++q) {
          a.virial[soa(q, atom, a.capacity)] += static_cast<double>(own_virial[q]);
        }
      }
    }
  }
}

// Checks every launcher makes, in their order, before any device work.
void validate_angular_force_inputs(const ModelProtocol& protocol, int atom_count, const DeviceModelView& m,
                                   const DeviceWorkspaceView& w) {
  const BodyChannelConfig& ch = protocol.body_channels;
  const int types = protocol.num_types;
  const int l = ch.l_max_3body;
  require(atom_count >= 0, "atom_count must be non-negative");
  require(types > 0, "num_types must be positive");
  require(protocol.n_max_angular >= 0 && protocol.n_max_angular < kMaxRadialCount,
          "angular force kernel supports n_max_angular 0..8");
  require(l >= 1 && l <= kMaxAngularOrder, "angular force kernel supports l_max_3body 1..8");
  require(!ch.has_q_222 || l >= 2, "q222 angular force requires l_max_3body >= 2");
  require(!ch.has_q_112 || l >= 2, "q112 angular force requires l_max_3body >= 2");
  require(!ch.has_q_123 || l >= 3, "q123 angular force requires l_max_3body >= 3");
  require(!ch.has_q_233 || l >= 3, "q233 angular force requires l_max_3body >= 3");
  require(!ch.has_q_134 || l >= 4, "q134 angular force requires l_max_3body >= 4");
  require(protocol.cutoff_angular > 0.0, "angular cutoff must be positive");
  require_atom_capacity(atom_count, w);
  require(w.types != nullptr, "workspace missing atom types");
  if (types > 1) {
    require(w.type_scheduled_atoms != nullptr, "workspace missing atom type schedule");
    require(w.type_schedule_active_type_counts != nullptr, "workspace missing atom type schedule active-type counts");
  }
  require(w.nn_angular != nullptr, "workspace missing angular counts");
  require(w.nl_angular_slot_major != nullptr, "workspace missing angular neighbors");
  require(w.r12_angular != nullptr, "workspace missing angular distance cache");
  require(w.f12x != nullptr && w.f12y != nullptr && w.f12z != nullptr, "workspace missing angular pair geometry");
  require(w.fp != nullptr, "workspace missing descriptor derivatives");
  require(w.sum_fxyz != nullptr, "workspace missing angular sums");
  require(w.force_soa3 != nullptr, "workspace missing force output");
  require(w.virial_soa9 != nullptr, "workspace missing virial output");
  require(m.type_pair_major_descriptor_coefficients != nullptr,
          "model missing type-pair-major descriptor coefficients");
  require(m.center_type_major_angular_coefficients != nullptr,
          "model missing center-type-major angular coefficients");
  const std::uint64_t pairs = static_cast<std::uint64_t>(types) * static_cast<std::uint64_t>(types);
  const std::uint64_t angular_block = pairs * static_cast<std::uint64_t>(protocol.n_max_angular + 1) *
                                      static_cast<std::uint64_t>(protocol.basis_size_angular + 1);
  const std::uint64_t radial_block = pairs * static_cast<std::uint64_t>(protocol.n_max_radial + 1) *
                                     static_cast<std::uint64_t>(protocol.basis_size_radial + 1);
  require(m.angular_pair_cutoffs != nullptr && m.angular_pair_cutoffs_count >= pairs,
          "model angular pair cutoff buffer is too small");
  require(m.center_type_major_angular_coefficients_count >= angular_block,
          "model center-type-major angular coefficient buffer is too small");
  require(m.type_pair_major_descriptor_coefficients_count >= radial_block + angular_block,
          "model type-pair-major angular coefficient buffer is too small");
}

AngularForceArgs make_angular_args(const ModelProtocol& protocol, int atom_count, const DeviceModelView& m,
                                   const DeviceWorkspaceView& w, bool float_sink, bool scatter_virial) {
  const int types = protocol.num_types;
  AngularForceArgs a{};
  a.atom_count = atom_count;
  a.capacity = static_cast<int>(w.atom_capacity);
  a.num_types = types;
  a.n_max_radial = protocol.n_max_radial;
  a.basis_size_angular = protocol.basis_size_angular;
  a.channels = make_angular_channels(protocol.body_channels);
  a.angular_pair_cutoffs = m.angular_pair_cutoffs;
  a.types = w.types;
  a.type_scheduled_atoms = types >= 2 ? w.type_scheduled_atoms : nullptr;
  a.type_schedule_active_type_counts = types >= 2 ? w.type_schedule_active_type_counts : nullptr;
  a.pairs = make_angular_pairs<const float>(w);
  a.fp = w.fp;
  a.sum_fxyz = w.sum_fxyz;
  const std::size_t radial_block = static_cast<std::size_t>(types) * types * (protocol.n_max_radial + 1) *
                                   (protocol.basis_size_radial + 1);
  a.angular_type_pair_coefficients = m.type_pair_major_descriptor_coefficients + radial_block;
  a.center_type_major_angular_coefficients = m.center_type_major_angular_coefficients;
  a.per_atom_virial_float = float_sink ? w.per_atom_virial_float_soa9 : nullptr;
  a.force = w.force_soa3;
  a.virial = w.virial_soa9;
  a.scatter_virial = scatter_virial ? 1 : 0;
  return a;
}

template <bool WithVirial, bool WithFloatSink, int R, int LN, bool HighOrder>
void launch_angular_pull_tile(const AngularForceArgs& args) {
  constexpr int W = kWarpSize / LN;
  const unsigned grid = static_cast<unsigned>((args.atom_count + W - 1) / W);
  launch_kernel<&accumulate_angular_forces_pull_tile<WithVirial, WithFloatSink, R, W, LN, HighOrder>>(
      dim3(grid), dim3(kWarpSize), 0, args);
}

// R = n_max_angular + 1 with its lane-group width: 4 lanes for 1-2 radial functions, 8 for 3-6, 16 for 7-9.
template <bool WithVirial, bool WithFloatSink, bool HighOrder>
void dispatch_angular_pull_tile_shape(const ModelProtocol& protocol, const AngularForceArgs& args) {
  switch (protocol.n_max_angular) {
    case 0: return launch_angular_pull_tile<WithVirial, WithFloatSink, 1, 4, HighOrder>(args);
    case 1: return launch_angular_pull_tile<WithVirial, WithFloatSink, 2, 4, HighOrder>(args);
    case 2: return launch_angular_pull_tile<WithVirial, WithFloatSink, 3, 8, HighOrder>(args);
    case 3: return launch_angular_pull_tile<WithVirial, WithFloatSink, 4, 8, HighOrder>(args);
    case 4: return launch_angular_pull_tile<WithVirial, WithFloatSink, 5, 8, HighOrder>(args);
    case 5: return launch_angular_pull_tile<WithVirial, WithFloatSink, 6, 8, HighOrder>(args);
    case 6: return launch_angular_pull_tile<WithVirial, WithFloatSink, 7, 16, HighOrder>(args);
    case 7: return launch_angular_pull_tile<WithVirial, WithFloatSink, 8, 16, HighOrder>(args);
    case 8: return launch_angular_pull_tile<WithVirial, WithFloatSink, 9, 16, HighOrder>(args);
    default: return;  // refused by validate_angular_force_inputs
  }
}

// The angular order picks the tile width (24 sums up to degree 4, 80 beyond), then the shape.
template <bool WithVirial, bool WithFloatSink>
void dispatch_angular_pull_tile(const ModelProtocol& protocol, const AngularForceArgs& args) {
  if (protocol.body_channels.l_max_3body >= 5) {
    dispatch_angular_pull_tile_shape<WithVirial, WithFloatSink, true>(protocol, args);
  } else {
    dispatch_angular_pull_tile_shape<WithVirial, WithFloatSink, false>(protocol, args);
  }
}

}  // namespace

void accumulate_l2_angular_forces_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                            DeviceWorkspace& workspace, VirialTarget target) {
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  validate_angular_force_inputs(protocol, atom_count, m, w);
  if (atom_count > 0) {
    switch (target) {
      case VirialTarget::none:
        dispatch_angular_pull_tile<false, false>(protocol, make_angular_args(protocol, atom_count, m, w, false, false));
        break;
      case VirialTarget::fp64_owner:
      case VirialTarget::fp64_scatter:
        dispatch_angular_pull_tile<true, false>(
            protocol, make_angular_args(protocol, atom_count, m, w, false, target == VirialTarget::fp64_scatter));
        break;
      case VirialTarget::float_sink:
        require(w.per_atom_virial_float_soa9 != nullptr, "workspace missing per-atom virial sink");
        dispatch_angular_pull_tile<true, true>(protocol, make_angular_args(protocol, atom_count, m, w, true, false));
        break;
    }
  }
  check_cuda(cudaGetLastError(), "accumulate angular forces kernel launch failed");
}

void accumulate_l2_angular_forces_batched(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                          DeviceWorkspace& workspace, VirialTarget target) {
  require(target == VirialTarget::fp64_owner || target == VirialTarget::fp64_scatter,
          "batched angular forces require an FP64 virial target");
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  validate_angular_force_inputs(protocol, atom_count, m, w);
  // The batched lists and the pair cache carry each structure's geometry, so the kernel is the one-set kernel.
  if (atom_count > 0) {
    dispatch_angular_pull_tile<true, false>(
        protocol, make_angular_args(protocol, atom_count, m, w, false, target == VirialTarget::fp64_scatter));
  }
  check_cuda(cudaGetLastError(), "accumulate batched angular forces kernel launch failed");
  check_cuda(cudaDeviceSynchronize(), "accumulate batched angular forces kernel failed");
}

}  // namespace quarvel::cuda_backend
