#include "qnep_bec.hpp"

#include <cstddef>
#include <cstdint>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "pipeline_stages.hpp"
#include "radial_basis.cuh"
#include "virial_layout.cuh"

namespace quarvel::cuda_backend {
namespace {

constexpr int kRadialBecBlock = 32;  // one thread per centre atom
constexpr int kElementBlock = 256;   // one thread per array element
constexpr int kBecComponents = 9;    // row-major 3 x 3 per atom
constexpr double kHalf = 0.5;

// Row-major component c = 3 row + column.
__host__ __device__ __forceinline__ int bec_component(int row, int column) { return kPairAxes * row + column; }

// Device virial component holding (row, column): the inverse of virial_row / virial_column.
__device__ __forceinline__ int virial_component(int row, int column) {
  for (int q = 0; q < kVirialComponentCount; ++q) {
    if (virial_row(q) == row && virial_column(q) == column) return q;
  }
  return 0;
}

// One thread per centre atom i over its radial list: v = dq_i/dr_j through the radial descriptors, booked in
// halves on both atoms of the pair so that the sum over all atoms of the pair terms vanishes.
__global__ void __launch_bounds__(kRadialBecBlock)
    accumulate_qnep_radial_bec(int atom_count, int capacity, int num_types, int n_max_radial, int basis_size_radial,
                               const float* radial_pair_cutoffs, SimulationBox box, const std::int32_t* types,
                               const double* positions, const std::int32_t* nn_radial,
                               const std::int32_t* nl_radial, const float* charge_derivative,
                               const float* coefficients, double* bec) {
  const std::int64_t index = global_thread_x();
  if (index >= atom_count) return;
  const int i = static_cast<int>(index);
  const int ti = types[i];
  const int nb = basis_size_radial + 1;
  for (int s = 0; s < nn_radial[i]; ++s) {
    const int j = nl_radial[soa(s, i, capacity)];
    const int tj = types[j];
    const float rc = radial_pair_cutoffs[ti * num_types + tj];
    const PairSeparation p = pair_separation(positions, capacity, i, j, box.box, box.inverse, box.pbc);
    const float r = sqrtf(p.r2);
    if (r <= 0.0f) continue;  // coincident atoms have no direction
    const float* c = coefficients + static_cast<std::size_t>(ti * num_types + tj) * (n_max_radial + 1) * nb;
    const float inverse_r = 1.0f / r;
    float v[kPairAxes] = {0.0f, 0.0f, 0.0f};
    // Every slope is 0 from the pair cutoff on.
    for_each_slope_pass(r, rc, nb, [&](int first, const float (&slopes)[kSlopesPerPass]) {
      for (int n = 0; n <= n_max_radial; ++n) {
        const float g = contract_slopes(slopes, first, nb, c + n * nb, 1);
        const float scaled = (charge_derivative[soa(n, i, capacity)] * g) * inverse_r;
        for (int b = 0; b < kPairAxes; ++b) v[b] = fmaf(scaled, p.d[b], v[b]);
      }
    });
    for (int a = 0; a < kPairAxes; ++a) {
      for (int b = 0; b < kPairAxes; ++b) {
        const double term = static_cast<double>(p.d[a] * v[b]);
        // Other threads book on i as their neighbour, and on j as their centre.
        atomicAdd(&bec[soa(bec_component(a, b), i, capacity)], kHalf * term);
        atomicAdd(&bec[soa(bec_component(a, b), j, capacity)], -kHalf * term);
      }
    }
  }
}

__global__ void initialize_qnep_bec(int atom_count, int capacity, const double* charge, double* bec) {
  const std::int64_t t = global_thread_x();
  if (t >= static_cast<std::int64_t>(kBecComponents) * atom_count) return;
  const int c = static_cast<int>(t / atom_count);
  const int i = static_cast<int>(t - static_cast<std::int64_t>(c) * atom_count);
  const bool diagonal = c == bec_component(0, 0) || c == bec_component(1, 1) || c == bec_component(2, 2);
  bec[soa(c, i, capacity)] = diagonal ? charge[i] : 0.0;
}

__global__ void copy_charge_derivative_to_fp(int count, const float* charge_derivative, float* fp) {
  const std::int64_t t = global_thread_x();
  if (t < count) fp[t] = charge_derivative[t];
}

// The angular force kernel booked the pair virials -d_a v_b (device order) of dq/dr; take them row-major.
__global__ void add_internal_virial_to_raw_bec(int atom_count, int capacity, double factor, const double* virial,
                                               double* bec) {
  const std::int64_t t = global_thread_x();
  if (t >= static_cast<std::int64_t>(kBecComponents) * atom_count) return;
  const int c = static_cast<int>(t / atom_count);
  const int i = static_cast<int>(t - static_cast<std::int64_t>(c) * atom_count);
  const int q = virial_component(c / kPairAxes, c % kPairAxes);
  bec[soa(c, i, capacity)] = fma(factor, virial[soa(q, i, capacity)], bec[soa(c, i, capacity)]);
}

__global__ void scale_qnep_bec(int count, double scale, double* bec) {
  const std::int64_t t = global_thread_x();
  if (t < count) bec[t] = bec[t] * scale;
}

void clear_angular_scratch(const DeviceWorkspaceView& w) {
  check_cuda(cudaMemset(w.force_soa3, 0, kPairAxes * w.atom_capacity * sizeof(double)),
             "clear qNEP BEC force scratch");
  check_cuda(cudaMemset(w.virial_soa9, 0, kVirialComponentCount * w.atom_capacity * sizeof(double)),
             "clear qNEP BEC virial scratch");
}

// One angular pass with the charge derivatives in fp, its pair virials booked by `target`, added times factor.
void add_angular_pass(const ModelProtocol& protocol, int atom_count, const DeviceModel& model,
                      DeviceWorkspace& workspace, VirialTarget target, double factor) {
  const DeviceWorkspaceView w = workspace.view();
  clear_angular_scratch(w);
  accumulate_l2_angular_forces_on_device(protocol, atom_count, model, workspace, target);
  const std::int64_t elements = static_cast<std::int64_t>(kBecComponents) * atom_count;
  launch_kernel<add_internal_virial_to_raw_bec>(dim3(blocks_for(elements, kElementBlock)), dim3(kElementBlock), 0,
                                                atom_count, static_cast<int>(w.atom_capacity), factor,
                                                static_cast<const double*>(w.virial_soa9), w.bec_soa9);
}

}  // namespace

void accumulate_qnep_radial_bec_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                          const DeviceModel& model, DeviceWorkspace& workspace) {
  require(protocol.charge_mode > 0, "qNEP BEC requires a charge model");
  const DeviceWorkspaceView w = workspace.view();
  const DeviceModelView m = model.view();
  require(w.bec_soa9 != nullptr, "workspace missing BEC output");
  require(w.charge_derivative != nullptr, "workspace missing charge derivative cache");
  require(m.type_pair_major_descriptor_coefficients != nullptr,
          "model missing type-pair-major descriptor coefficients");
  if (atom_count > 0) {
    launch_kernel<accumulate_qnep_radial_bec>(
        dim3(blocks_for(atom_count, kRadialBecBlock)), dim3(kRadialBecBlock), 0, atom_count,
        static_cast<int>(w.atom_capacity), protocol.num_types, protocol.n_max_radial, protocol.basis_size_radial,
        m.radial_pair_cutoffs, box, static_cast<const std::int32_t*>(w.types),
        static_cast<const double*>(w.positions_soa3), static_cast<const std::int32_t*>(w.nn_radial),
        static_cast<const std::int32_t*>(w.nl_radial_slot_major), static_cast<const float*>(w.charge_derivative),
        m.type_pair_major_descriptor_coefficients, w.bec_soa9);
  }
  check_cuda(cudaGetLastError(), "accumulate qNEP radial BEC kernel failed");
}

void compute_qnep_bec_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box, float scale,
                                const DeviceModel& model, DeviceWorkspace& workspace) {
  require(atom_count > 0, "qNEP BEC atom count must be positive");
  require(protocol.charge_mode > 0, "qNEP BEC requires a charge model");
  const DeviceWorkspaceView w = workspace.view();
  require(w.charge != nullptr, "workspace missing charge output");
  require(w.bec_soa9 != nullptr, "workspace missing BEC output");
  require(w.charge_derivative != nullptr, "workspace missing charge derivative cache");
  require(w.fp != nullptr, "workspace missing descriptor derivative cache");
  require(w.force_soa3 != nullptr, "workspace missing force scratch");
  require(w.virial_soa9 != nullptr, "workspace missing virial scratch");

  const int capacity = static_cast<int>(w.atom_capacity);
  const std::int64_t components = static_cast<std::int64_t>(kBecComponents) * atom_count;
  launch_kernel<initialize_qnep_bec>(dim3(blocks_for(components, kElementBlock)), dim3(kElementBlock), 0, atom_count,
                                     capacity, static_cast<const double*>(w.charge), w.bec_soa9);
  // With the charge derivatives in fp the force kernels differentiate the charges instead of the energies.
  const std::int64_t derivatives = static_cast<std::int64_t>(protocol.descriptor_dim) * capacity;
  launch_kernel<copy_charge_derivative_to_fp>(dim3(blocks_for(derivatives, kElementBlock)), dim3(kElementBlock), 0,
                                              static_cast<int>(derivatives),
                                              static_cast<const float*>(w.charge_derivative), w.fp);
  check_cuda(cudaGetLastError(), "initialize qNEP BEC failed");

  accumulate_qnep_radial_bec_on_device(protocol, atom_count, box, model, workspace);
  if (protocol.body_channels.channel_count() > 0) {
    // The angular kernel books a pair's virial on one atom per pass: the centre (owner) pass gives atom i its
    // half, the neighbour (scatter) pass gives atom j the opposite half, as the radial part does.
    add_angular_pass(protocol, atom_count, model, workspace, VirialTarget::fp64_owner, -kHalf);
    add_angular_pass(protocol, atom_count, model, workspace, VirialTarget::fp64_scatter, kHalf);
  }
  const std::int64_t all = static_cast<std::int64_t>(kBecComponents) * capacity;
  launch_kernel<scale_qnep_bec>(dim3(blocks_for(all, kElementBlock)), dim3(kElementBlock), 0, static_cast<int>(all),
                                static_cast<double>(scale), w.bec_soa9);
  check_cuda(cudaGetLastError(), "finalize qNEP BEC failed");
  check_cuda(cudaDeviceSynchronize(), "qNEP BEC kernels failed");
}

}  // namespace quarvel::cuda_backend
