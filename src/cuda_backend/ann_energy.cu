#include "ann_energy.hpp"

#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "device_layout.cuh"
#include "shared_memory_limits.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kScheduleThreads = 256;  // threads sharing one schedule block of kTypeScheduleAtomsPerBlock atoms
constexpr int kWarpSize = 32;
constexpr int kLanesPerAtom = 4;                          // lanes that split one atom's first layer and derivatives
constexpr int kAtomsPerWarp = kWarpSize / kLanesPerAtom;  // 8
constexpr unsigned kFullWarp = 0xffffffffu;
constexpr int kAnnBlock = 128;                             // default threads per block: 4 warps, 32 atoms
constexpr int kAnnFallbackBlocks[] = {kAnnBlock, 64, 32};  // tried in order when the tiles outgrow 48 KiB
constexpr int kMaxSecondLayerNeurons = 120;                // per-thread output-layer derivatives of a two-layer network
constexpr int kVersionWithTypeBias = 5;
constexpr int kMinGroupedTypes = 2;  // schedule blocks with fewer distinct types keep the identity order
static_assert(kWarpSize % kLanesPerAtom == 0, "an atom's lanes stay inside one warp");
static_assert(kTypeScheduleAtomsPerBlock % kAtomsPerWarp == 0, "a warp's atoms share one schedule block");

// The shared schedule block counts types with shared-memory atomics; the order inside one type is therefore not
// fixed, but every atom of the block lands in exactly one position of it.
__global__ void __launch_bounds__(kScheduleThreads)
    build_local_type_schedule(int atom_count, int num_types, const std::int32_t* types,
                              std::int32_t* type_scheduled_atoms, std::int32_t* type_schedule_active_type_counts) {
  int* counts = dynamic_shared_memory<int>();
  int* offsets = counts + num_types;
  __shared__ int active_type_count;
  __shared__ int invalid_offset;
  const int block = static_cast<int>(blockIdx.x);
  const int first = block * kTypeScheduleAtomsPerBlock;
  const int atoms = min(atom_count - first, kTypeScheduleAtomsPerBlock);
  const int stride = static_cast<int>(blockDim.x);
  const int t = static_cast<int>(threadIdx.x);
  for (int k = t; k < num_types; k += stride) counts[k] = 0;
  __syncthreads();
  for (int k = t; k < atoms; k += stride) {
    const int type = __ldg(&types[first + k]);
    if (type >= 0 && type < num_types) atomicAdd(&counts[type], 1);
  }
  __syncthreads();
  if (t == 0) {
    int running = first;
    int active = 0;
    for (int type = 0; type < num_types; ++type) {
      offsets[type] = running;
      running += counts[type];
      if (counts[type] > 0) ++active;
    }
    invalid_offset = running;
    active_type_count = active;
    type_schedule_active_type_counts[block] = active;
  }
  __syncthreads();
  if (active_type_count < kMinGroupedTypes) return;  // one type: consumers read the identity order
  for (int k = t; k < atoms; k += stride) {
    const int i = first + k;
    const int type = __ldg(&types[i]);
    const bool valid = type >= 0 && type < num_types;
    const int position = atomicAdd(valid ? &offsets[type] : &invalid_offset, 1);
    type_scheduled_atoms[position] = i;
  }
}

// Where the parts of one type's network block stand, relative to the block's start.
struct AnnLayout {
  int block_size;  // P: values per type
  int b0;          // first-layer biases
  int w1;          // output weights, or second-layer weights (H2 x H1)
  int b1;          // second-layer biases
  int w2;          // output weights of a two-layer network
  int type_bias;   // version-5 per-type bias
};

// Everything the network kernel reads and writes.
struct AnnArgs {
  int atom_count;
  int capacity;
  int version;
  int descriptor_dim;   // D
  int hidden_neurons;   // H1
  int hidden_neurons2;  // H2
  int num_types;
  AnnLayout layout;
  const std::int32_t* types;
  const std::int32_t* type_scheduled_atoms;
  const std::int32_t* type_schedule_active_type_counts;  // null for one type: identity order
  const float* descriptors;
  const float* parameters;      // ann_type_major_qscaled
  const double* spin_baseline;  // null without spin
  double* potential;
  float* fp;
};

// Offsets of the parts of one type's block for the network's shape.
AnnLayout ann_layout(int d, int h1, int h2, int version) {
  AnnLayout l{};
  l.b0 = h1 * d;
  l.w1 = l.b0 + h1;
  if (h2 > 0) {
    l.b1 = l.w1 + h2 * h1;
    l.w2 = l.b1 + h2;
    l.block_size = l.w2 + h2;
  } else {
    l.type_bias = l.w1 + h1;
    l.block_size = l.type_bias + (version == kVersionWithTypeBias ? 1 : 0);
  }
  return l;
}

// Atom at schedule position p: the grouped order where the block's schedule has two or more types, else p.
__device__ __forceinline__ int scheduled_atom(const AnnArgs& a, int p) {
  if (a.type_schedule_active_type_counts != nullptr &&
      __ldg(&a.type_schedule_active_type_counts[p / kTypeScheduleAtomsPerBlock]) >= kMinGroupedTypes) {
    return __ldg(&a.type_scheduled_atoms[p]);
  }
  return p;
}

// Eight atoms per warp, four lanes per atom. The warp's descriptor tile x[d][slot] and hidden tile h[j][slot] live
// in shared memory; the first layer and the derivatives are split over the four lanes by d mod 4, the short
// output layer runs on the atom's first lane. Lanes of an empty or invalid slot still reach every shuffle and
// barrier, contributing zeros, and write nothing.
__global__ void __launch_bounds__(kAnnBlock) evaluate_ann_energy_scheduled_subwarp(AnnArgs a) {
  const int d_count = a.descriptor_dim;
  const int h1 = a.hidden_neurons;
  const int warp = static_cast<int>(threadIdx.x) / kWarpSize;
  const int lane = static_cast<int>(threadIdx.x) % kWarpSize;
  const int slot = lane / kLanesPerAtom;
  const int sub = lane % kLanesPerAtom;
  const int warps_per_block = static_cast<int>(blockDim.x) / kWarpSize;
  const int first_position = kAtomsPerWarp * (static_cast<int>(blockIdx.x) * warps_per_block + warp);
  float* x = dynamic_shared_memory<float>() + static_cast<std::size_t>(warp) * kAtomsPerWarp * (d_count + h1);
  float* h = x + kAtomsPerWarp * d_count;

  const int position = first_position + slot;
  const int atom = position < a.atom_count ? scheduled_atom(a, position) : -1;
  // Lane k loads tile elements of slot k mod 8; that slot's atom comes from the slot's first lane.
  const int load_slot = lane % kAtomsPerWarp;
  const int load_atom = __shfl_sync(kFullWarp, atom, load_slot * kLanesPerAtom);
  for (int e = lane; e < kAtomsPerWarp * d_count; e += kWarpSize) {
    const int d = e / kAtomsPerWarp;
    x[e] = load_atom >= 0 ? __ldg(&a.descriptors[soa(d, load_atom, a.capacity)]) : 0.0f;
  }
  __syncwarp();

  const int type = atom >= 0 ? __ldg(&a.types[atom]) : -1;
  const bool valid = type >= 0 && type < a.num_types;
  const float* w = a.parameters + static_cast<std::size_t>(valid ? type : 0) * a.layout.block_size;
  const AnnLayout& l = a.layout;

  for (int j = 0; j < h1; ++j) {
    float partial = 0.0f;
    if (valid) {
      for (int d = sub; d < d_count; d += kLanesPerAtom) {
        partial = fmaf(__ldg(&w[j * d_count + d]), x[d * kAtomsPerWarp + slot], partial);
      }
    }
    partial += __shfl_down_sync(kFullWarp, partial, 2, kLanesPerAtom);
    partial += __shfl_down_sync(kFullWarp, partial, 1, kLanesPerAtom);
    if (valid && sub == 0) h[j * kAtomsPerWarp + slot] = tanhf(partial - __ldg(&w[l.b0 + j]));
  }
  __syncwarp();

  float energy = 0.0f;
  if (valid && sub == 0) {
    if (a.hidden_neurons2 == 0) {
      for (int j = 0; j < h1; ++j) energy = fmaf(__ldg(&w[l.w1 + j]), h[j * kAtomsPerWarp + slot], energy);
      for (int j = 0; j < h1; ++j) {
        const float aj = h[j * kAtomsPerWarp + slot];
        h[j * kAtomsPerWarp + slot] = __ldg(&w[l.w1 + j]) * (1.0f - aj * aj);
      }
    } else {
      float output_slope[kMaxSecondLayerNeurons];
      for (int k = 0; k < a.hidden_neurons2; ++k) {
        float z = 0.0f;
        for (int j = 0; j < h1; ++j) z = fmaf(__ldg(&w[l.w1 + k * h1 + j]), h[j * kAtomsPerWarp + slot], z);
        const float c = tanhf(z - __ldg(&w[l.b1 + k]));
        energy = fmaf(__ldg(&w[l.w2 + k]), c, energy);
        output_slope[k] = __ldg(&w[l.w2 + k]) * (1.0f - c * c);
      }
      for (int j = 0; j < h1; ++j) {
        float back = 0.0f;
        for (int k = 0; k < a.hidden_neurons2; ++k) back = fmaf(output_slope[k], __ldg(&w[l.w1 + k * h1 + j]), back);
        const float aj = h[j * kAtomsPerWarp + slot];
        h[j * kAtomsPerWarp + slot] = back * (1.0f - aj * aj);
      }
    }
  }
  __syncwarp();

  if (!valid) return;  // no collective follows
  for (int d = sub; d < d_count; d += kLanesPerAtom) {
    float derivative = 0.0f;
    for (int j = 0; j < h1; ++j) derivative = fmaf(h[j * kAtomsPerWarp + slot], __ldg(&w[j * d_count + d]), derivative);
    a.fp[soa(d, atom, a.capacity)] = derivative;
  }
  if (sub == 0) {
    const float type_bias = a.version == kVersionWithTypeBias ? __ldg(&w[l.type_bias]) : 0.0f;
    const float global_bias = __ldg(&a.parameters[static_cast<std::size_t>(a.num_types) * l.block_size]);
    const double baseline = a.spin_baseline != nullptr ? __ldg(&a.spin_baseline[type]) : 0.0;
    a.potential[atom] = baseline + static_cast<double>((energy - type_bias) - global_bias);
  }
}

// Threads per network block: the default when its tiles fit 48 KiB, else the first of 128, 64 and 32 within the
// device's limit, with the kernel allowed the device's limit.
int ann_block_size(int tile_floats_per_atom, DeviceWorkspace& workspace) {
  const auto bytes_for = [&](int threads) {
    return static_cast<std::size_t>(threads / kLanesPerAtom) * tile_floats_per_atom * sizeof(float);
  };
  if (bytes_for(kAnnBlock) <= kDefaultDynamicSharedBytes) return kAnnBlock;
  SharedMemoryLaunch launch;
  launch.raised_limit =
      workspace.dynamic_shared_limit("get CUDA device for scheduled ANN", "get CUDA properties for scheduled ANN");
  int threads = kAnnFallbackBlocks[0];
  for (const int candidate : kAnnFallbackBlocks) {
    threads = candidate;
    if (bytes_for(candidate) <= launch.raised_limit) break;
  }
  launch.bytes = bytes_for(threads);
  require(launch.bytes <= launch.raised_limit, "scheduled ANN subwarp state exceeds CUDA shared-memory capacity");
  allow_dynamic_shared_memory(&evaluate_ann_energy_scheduled_subwarp, launch, "configure scheduled ANN shared memory");
  return threads;
}

}  // namespace

void build_atom_type_schedule_on_device(const ModelProtocol& protocol, int atom_count, DeviceWorkspace& workspace) {
  const int types = protocol.num_types;
  require(atom_count >= 0, "atom_count must be non-negative");
  require(types > 0, "num_types must be positive");
  if (types == 1 || atom_count == 0) return;
  const DeviceWorkspaceView w = workspace.view();
  require_atom_capacity(atom_count, w);
  require(w.types != nullptr, "workspace missing atom types");
  require(w.type_scheduled_atoms != nullptr, "workspace missing atom type schedule");
  require(w.type_schedule_active_type_counts != nullptr, "workspace missing atom type schedule active-type counts");
  // counts[T] and offsets[T]
  SharedMemoryLaunch launch;
  launch.bytes = 2 * static_cast<std::size_t>(types) * sizeof(std::int32_t);
  if (launch.bytes > kDefaultDynamicSharedBytes) {
    launch.raised_limit =
        workspace.dynamic_shared_limit("get CUDA device for type grouping", "get CUDA properties for type grouping");
    require(launch.bytes <= launch.raised_limit, "local type grouping exceeds CUDA shared-memory capacity");
    allow_dynamic_shared_memory(&build_local_type_schedule, launch, "configure local type-group shared memory");
  }
  launch_kernel<build_local_type_schedule>(
      dim3(blocks_for(atom_count, kTypeScheduleAtomsPerBlock)), dim3(kScheduleThreads), launch.bytes, atom_count, types,
      static_cast<const std::int32_t*>(w.types), w.type_scheduled_atoms, w.type_schedule_active_type_counts);
  check_cuda(cudaGetLastError(), "build local type schedule launch failed");
}

void evaluate_ann_energy_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                   DeviceWorkspace& workspace) {
  const int types = protocol.num_types;
  const int d = protocol.descriptor_dim;
  const int h1 = protocol.hidden_neurons;
  require(atom_count >= 0, "atom_count must be non-negative");
  require(protocol.version == 4 || protocol.version == kVersionWithTypeBias, "ANN energy kernel supports NEP4/NEP5");
  require(types > 0, "num_types must be positive");
  require(d > 0, "descriptor_dim must be positive");
  require(h1 > 0, "hidden_neurons must be positive");
  require(protocol.hidden_neurons2 >= 0 && protocol.hidden_neurons2 <= kMaxSecondLayerNeurons,
          "ANN energy kernel supports hidden_neurons2 <= 120");
  const bool scheduled = types >= kMinGroupedTypes;
  if (scheduled) build_atom_type_schedule_on_device(protocol, atom_count, workspace);
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_atom_capacity(atom_count, w);
  require(m.ann_type_major_qscaled != nullptr, "model missing q-scaled ANN parameters");
  require(m.q_scaler != nullptr, "model missing q_scaler");
  require(m.ann_type_major_qscaled_count >= protocol.ann_parameter_count, "q-scaled ANN parameter buffer is too small");
  require(m.q_scaler_count >= static_cast<std::uint64_t>(d), "q_scaler buffer is too small");
  require(w.types != nullptr, "workspace missing atom types");
  require(w.descriptors != nullptr, "workspace missing descriptors");
  require(w.potential != nullptr, "workspace missing potential output");
  require(w.fp != nullptr, "workspace missing descriptor derivative cache");
  if (scheduled) {
    require(w.type_scheduled_atoms != nullptr, "workspace missing atom type schedule");
    require(w.type_schedule_active_type_counts != nullptr, "workspace missing atom type schedule active-type counts");
  }

  const int threads = ann_block_size(d + h1, workspace);
  const std::size_t shared_bytes =
      static_cast<std::size_t>(threads / kLanesPerAtom) * static_cast<std::size_t>(d + h1) * sizeof(float);
  AnnArgs args{};
  args.atom_count = atom_count;
  args.capacity = static_cast<int>(w.atom_capacity);
  args.version = protocol.version;
  args.descriptor_dim = d;
  args.hidden_neurons = h1;
  args.hidden_neurons2 = protocol.hidden_neurons2;
  args.num_types = types;
  args.layout = ann_layout(d, h1, protocol.hidden_neurons2, protocol.version);
  args.types = w.types;
  args.type_scheduled_atoms = scheduled ? w.type_scheduled_atoms : nullptr;
  args.type_schedule_active_type_counts = scheduled ? w.type_schedule_active_type_counts : nullptr;
  args.descriptors = w.descriptors;
  args.parameters = m.ann_type_major_qscaled;
  args.spin_baseline = m.spin_baseline;
  args.potential = w.potential;
  args.fp = w.fp;
  const unsigned grid = blocks_for(atom_count, threads / kLanesPerAtom);
  if (grid > 0) {
    launch_kernel<evaluate_ann_energy_scheduled_subwarp>(dim3(grid), dim3(static_cast<unsigned>(threads)), shared_bytes,
                                                         args);
  }
  check_cuda(cudaGetLastError(), "evaluate ANN energy kernel launch failed");
}

}  // namespace quarvel::cuda_backend
