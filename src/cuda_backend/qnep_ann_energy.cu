#include "qnep_ann_energy.hpp"

#include <cstddef>
#include <cstdint>

#include "block_sums.cuh"
#include "cuda_checks.hpp"
#include "cuda_platform.cuh"
#include "device_layout.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kChargeModelVersion = 4;  // charge models are NEP4 with one hidden layer
constexpr int kNetworkBlock = 32;       // one thread per atom
constexpr int kNeutralityBlock = 256;   // the single block of the neutrality step
constexpr int kChainBlock = 256;        // one thread per (component, atom)
constexpr std::size_t kNeutralityShared = kNeutralityBlock * sizeof(double);
static_assert(kNeutralityShared == 2048, "the neutrality step keeps one double per thread");

// Where the parts of one type's block stand: W0 (H x D, neuron-major), b0 (H), energy weights (H), charge
// weights (H). After the last type's block come sqrt_epsilon_inf (read on the host) and the energy bias.
struct ChargeNetworkLayout {
  int b0;
  int energy_weights;
  int charge_weights;
  int block_size;
};

__host__ __device__ __forceinline__ ChargeNetworkLayout charge_network_layout(int d, int h) {
  return {h * d, h * d + h, h * d + 2 * h, h * d + 3 * h};
}

constexpr int kEnergyBiasAfterBlocks = 1;  // the bias follows sqrt_epsilon_inf

// One thread per atom: both outputs share the hidden layer, so their derivatives share g_j W0[j][d].
__global__ void __launch_bounds__(kNetworkBlock)
    evaluate_qnep_ann(int atom_count, int capacity, int descriptor_dim, int hidden_neurons, int num_types,
                      const std::int32_t* types, const float* descriptors, const float* ann_type_major_qscaled,
                      double* potential, double* charge, float* fp, float* charge_derivative) {
  const std::int64_t index = global_thread_x();
  if (index >= atom_count) return;
  const int i = static_cast<int>(index);
  const int type = types[i];
  if (type < 0 || type >= num_types) return;
  const ChargeNetworkLayout l = charge_network_layout(descriptor_dim, hidden_neurons);
  const float* w = ann_type_major_qscaled + static_cast<std::size_t>(type) * l.block_size;
  const float bias = ann_type_major_qscaled[static_cast<std::size_t>(num_types) * l.block_size +
                                            kEnergyBiasAfterBlocks];
  for (int d = 0; d < descriptor_dim; ++d) {
    fp[soa(d, i, capacity)] = 0.0f;
    charge_derivative[soa(d, i, capacity)] = 0.0f;
  }
  float energy = 0.0f;
  float q = 0.0f;
  for (int j = 0; j < hidden_neurons; ++j) {
    const float* w0 = w + static_cast<std::size_t>(j) * descriptor_dim;
    float z = 0.0f;
    for (int d = 0; d < descriptor_dim; ++d) z = fmaf(w0[d], descriptors[soa(d, i, capacity)], z);
    const float a = tanhf(z - w[l.b0 + j]);
    const float slope = 1.0f - a * a;
    const float we = w[l.energy_weights + j];
    const float wc = w[l.charge_weights + j];
    energy += a * we;
    q += a * wc;
    for (int d = 0; d < descriptor_dim; ++d) {
      const float v = slope * w0[d];
      fp[soa(d, i, capacity)] = fmaf(we, v, fp[soa(d, i, capacity)]);
      charge_derivative[soa(d, i, capacity)] = fmaf(v, wc, charge_derivative[soa(d, i, capacity)]);
    }
  }
  potential[i] = static_cast<double>(energy - bias);
  charge[i] = static_cast<double>(q);  // no charge bias
}

// One block: its mean covers exactly the call's atoms. Fixed-order double sums, so the result does not depend on
// scheduling.
__global__ void zero_total_charge_kernel(int atom_count, double* charge) {
  subtract_mean_in_one_block(charge, atom_count, dynamic_shared_memory<double>());
}

// Consecutive threads take consecutive atoms of one component.
__global__ void add_charge_chain_to_fp(int atom_count, int capacity, int descriptor_dim,
                                       const float* charge_derivative, const float* d_real, float* fp) {
  const std::int64_t k = global_thread_x();
  if (k >= static_cast<std::int64_t>(atom_count) * descriptor_dim) return;
  const int d = static_cast<int>(k / atom_count);
  const int i = static_cast<int>(k - static_cast<std::int64_t>(d) * atom_count);
  const std::size_t e = soa(d, i, capacity);
  fp[e] = fmaf(charge_derivative[e], d_real[i], fp[e]);
}

}  // namespace

void evaluate_qnep_ann_on_device(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                                 DeviceWorkspace& workspace) {
  require(atom_count >= 0, "atom_count must be non-negative");
  require(protocol.version == kChargeModelVersion, "qNEP ANN kernel supports NEP4 charge models");
  require(protocol.charge_mode > 0, "qNEP ANN kernel requires charge mode");
  require(protocol.num_types > 0, "num_types must be positive");
  require(protocol.descriptor_dim > 0, "descriptor_dim must be positive");
  require(protocol.hidden_neurons > 0, "hidden_neurons must be positive");
  const DeviceModelView m = model.view();
  const DeviceWorkspaceView w = workspace.view();
  require_atom_capacity(atom_count, w);
  require(m.ann_type_major_qscaled != nullptr, "model missing q-scaled ANN parameters");
  require(m.ann_type_major_qscaled_count >= protocol.ann_parameter_count, "q-scaled ANN parameter buffer is too small");
  require(w.types != nullptr, "workspace missing atom types");
  require(w.descriptors != nullptr, "workspace missing descriptors");
  require(w.potential != nullptr, "workspace missing potential output");
  require(w.charge != nullptr, "workspace missing charge output");
  require(w.fp != nullptr, "workspace missing descriptor derivative cache");
  require(w.charge_derivative != nullptr, "workspace missing charge derivative cache");
  if (atom_count > 0) {
    launch_kernel<evaluate_qnep_ann>(dim3(blocks_for(atom_count, kNetworkBlock)), dim3(kNetworkBlock), 0, atom_count,
                                     static_cast<int>(w.atom_capacity), protocol.descriptor_dim,
                                     protocol.hidden_neurons, protocol.num_types,
                                     static_cast<const std::int32_t*>(w.types),
                                     static_cast<const float*>(w.descriptors), m.ann_type_major_qscaled, w.potential,
                                     w.charge, w.fp, w.charge_derivative);
  }
  check_cuda(cudaGetLastError(), "evaluate qNEP ANN kernel launch failed");
  check_cuda(cudaDeviceSynchronize(), "evaluate qNEP ANN kernel failed");
}

void zero_total_charge_on_device(int atom_count, DeviceWorkspace& workspace) {
  require(atom_count > 0, "atom_count must be positive");
  const DeviceWorkspaceView w = workspace.view();
  require(w.charge != nullptr, "workspace missing charge output");
  launch_kernel<zero_total_charge_kernel>(dim3(1), dim3(kNeutralityBlock), kNeutralityShared, atom_count, w.charge);
  check_cuda(cudaGetLastError(), "zero qNEP total charge kernel launch failed");
  check_cuda(cudaDeviceSynchronize(), "zero qNEP total charge kernel failed");
}

void add_charge_chain_to_fp_on_device(const ModelProtocol& protocol, int atom_count, DeviceWorkspace& workspace) {
  require(atom_count >= 0, "atom_count must be non-negative");
  require(protocol.charge_mode > 0, "charge chain requires charge mode");
  const DeviceWorkspaceView w = workspace.view();
  require_atom_capacity(atom_count, w);
  require(w.fp != nullptr, "workspace missing descriptor derivative cache");
  require(w.charge_derivative != nullptr, "workspace missing charge derivative cache");
  require(w.d_real != nullptr, "workspace missing D_real cache");
  const std::int64_t elements = static_cast<std::int64_t>(atom_count) * protocol.descriptor_dim;
  if (elements > 0) {
    launch_kernel<add_charge_chain_to_fp>(dim3(blocks_for(elements, kChainBlock)), dim3(kChainBlock), 0, atom_count,
                                          static_cast<int>(w.atom_capacity), protocol.descriptor_dim,
                                          static_cast<const float*>(w.charge_derivative),
                                          static_cast<const float*>(w.d_real), w.fp);
  }
  check_cuda(cudaGetLastError(), "add qNEP charge chain kernel launch failed");
  check_cuda(cudaDeviceSynchronize(), "add qNEP charge chain kernel failed");
}

}  // namespace quarvel::cuda_backend
