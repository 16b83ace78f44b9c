#include "qnep_charge.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "block_sums.cuh"
#include "cuda_checks.hpp"
#include "cuda_platform.cuh"
#include "device_buffer.hpp"
#include "device_layout.cuh"
#include "pair_geometry.cuh"
#include "virial_layout.cuh"
#include "workspace_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kEightPiCubed = 248.05021344239853;
constexpr double kFourPiSquared = 39.47841760435743;
constexpr double kSqrtPi = 1.7724538509055159;
constexpr double kQuarter = 0.25;
constexpr double kCoulomb = 14.399645;               // eV Angstrom per squared elementary charge
constexpr double kTwoCoulomb = 2.0 * kCoulomb;       // exact: a power-of-two multiple
constexpr double kMinusHalfCoulomb = -0.5 * kCoulomb;  // exact: a power-of-two multiple
// exp(-alpha^2 r_c^2) with alpha r_c = pi: the Gaussian of the shifted-force slope at the cutoff.
constexpr double kExpMinusPiSquared = 5.172318620381234e-05;

// Charge modes of the model header (`_charge1` .. `_charge3`).
constexpr int kEwaldMode = 1;          // reciprocal sum + erfc(alpha r)/r + self term
constexpr int kReciprocalOnlyMode = 2;  // reciprocal sum only
constexpr int kShiftedForceMode = 3;    // damped shifted-force real-space term only

constexpr const char* kKSpaceVariable = "QUARVEL_QNEP_KSPACE";
constexpr const char* kDirectKSpace = "direct";
constexpr const char* kPppmKSpace = "pppm";

// Launch shapes. The reductions of the three block-wide kernels halve their stride, so their blocks are powers
// of two.
constexpr int kReciprocalSumsBlock = 256;  // threads share the atoms of one k-vector
constexpr int kReciprocalApplyBlock = 32;  // threads share the k-vectors of one atom
constexpr int kRealSpaceBlock = 32;        // one thread per atom
constexpr int kZeroMeanBlock = 256;        // the single block of the zero-mean step
constexpr int kReciprocalApplySums = 11;   // energy, six virial terms, potential and three force terms
constexpr std::size_t kReciprocalSumsShared = 2 * kReciprocalSumsBlock * sizeof(double);
constexpr std::size_t kReciprocalApplyShared = kReciprocalApplySums * kReciprocalApplyBlock * sizeof(double);
constexpr std::size_t kZeroMeanShared = kZeroMeanBlock * sizeof(float);
static_assert(kReciprocalSumsShared == 4096, "reciprocal sums keep a real and an imaginary double per thread");
static_assert(kReciprocalApplyShared == 2816, "reciprocal apply keeps eleven doubles per thread");
static_assert(kZeroMeanShared == 1024, "the zero-mean step keeps one float per thread");

// ---------------------------------------------------------------------------------------------------------------
// Host k-space of the direct reciprocal sum.

// Reciprocal-lattice vectors of one box inside the Ewald sphere, one of each pair k, -k, in enumeration order.
struct QnepKSpace {
  std::vector<double> kx;  // 1/Angstrom
  std::vector<double> ky;
  std::vector<double> kz;
  std::vector<double> G;  // Ewald weight (4 pi / |V|) exp(-|k|^2 / (4 alpha^2)) / |k|^2, 1/Angstrom^3 x Angstrom^2
};

void cross_product(const double* a, const double* b, double* out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

double area(const double* a, const double* b) {
  double c[3];
  cross_product(a, b, c);
  return std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
}

QnepKSpace make_qnep_kspace(const SimulationBox& box, double alpha) {
  const double* h = box.box;
  const double a1[3] = {h[0], h[3], h[6]};  // the cell vectors are the columns of H
  const double a2[3] = {h[1], h[4], h[7]};
  const double a3[3] = {h[2], h[5], h[8]};
  double c1[3];
  double c2[3];
  double c3[3];
  cross_product(a2, a3, c1);
  cross_product(a3, a1, c2);
  cross_product(a1, a2, c3);
  const double volume = h[0] * (h[4] * h[8] - h[5] * h[7]) + h[1] * (h[5] * h[6] - h[8] * h[3]) +
                        h[2] * (h[7] * h[3] - h[4] * h[6]);
  // Dividing by the signed volume keeps b_i . a_j = 2 pi delta_ij for left-handed cells too.
  double b1[3];
  double b2[3];
  double b3[3];
  for (int c = 0; c < 3; ++c) {
    b1[c] = kTwoPi / volume * c1[c];
    b2[c] = kTwoPi / volume * c2[c];
    b3[c] = kTwoPi / volume * c3[c];
  }
  // |b_2 x b_3| t / u = alpha |a_1|: the sphere |k| < 2 pi alpha reaches at most that many planes of b_1.
  const double t = kTwoPi * alpha;
  const double u = kEightPiCubed / std::abs(volume);
  const int n1 = static_cast<int>(t * area(b2, b3) / u);
  const int n2 = static_cast<int>(t * area(b3, b1) / u);
  const int n3 = static_cast<int>(t * area(b1, b2) / u);
  const double sphere = kFourPiSquared * alpha * alpha;
  const double weight = 2.0 * std::abs(kTwoPi / volume);

  QnepKSpace kspace;
  for (int i = 0; i <= n1; ++i) {
    for (int j = -n2; j <= n2; ++j) {
      for (int l = -n3; l <= n3; ++l) {
        // Half space: k and -k give complex-conjugate structure factors, so one of them with a doubled weight.
        const bool upper_half = i > 0 || (i == 0 && j > 0) || (i == 0 && j == 0 && l > 0);
        if (!upper_half) continue;
        const double kx = j * b2[0] + i * b1[0] + l * b3[0];
        const double ky = j * b2[1] + i * b1[1] + l * b3[1];
        const double kz = j * b2[2] + i * b1[2] + l * b3[2];
        const double k2 = kx * kx + ky * ky + kz * kz;
        if (!(k2 < sphere)) continue;
        kspace.kx.push_back(kx);
        kspace.ky.push_back(ky);
        kspace.kz.push_back(kz);
        kspace.G.push_back(weight / k2 * std::exp(-k2 * kQuarter / (alpha * alpha)));
      }
    }
  }
  return kspace;
}

// The k-space of one call on the device; its buffers free the arrays when the call's scope ends.
struct DeviceKSpace {
  std::int32_t count = 0;
  DeviceBuffer kx;
  DeviceBuffer ky;
  DeviceBuffer kz;
  DeviceBuffer G;
  DeviceBuffer S_real;  // written by reciprocal_sums
  DeviceBuffer S_imag;
};

DeviceBuffer upload_doubles(const std::vector<double>& host, const char* step) {
  const std::size_t bytes = host.size() * sizeof(double);
  DeviceBuffer buffer(bytes, step);
  if (bytes > 0) check_cuda(cudaMemcpy(buffer.data(), host.data(), bytes, cudaMemcpyHostToDevice), step);
  return buffer;
}

DeviceKSpace copy_kspace_to_device(const QnepKSpace& kspace) {
  DeviceKSpace device;
  device.count = static_cast<std::int32_t>(kspace.G.size());
  if (device.count == 0) return device;
  device.kx = upload_doubles(kspace.kx, "copy qNEP kx");
  device.ky = upload_doubles(kspace.ky, "copy qNEP ky");
  device.kz = upload_doubles(kspace.kz, "copy qNEP kz");
  device.G = upload_doubles(kspace.G, "copy qNEP G");
  const std::size_t bytes = static_cast<std::size_t>(device.count) * sizeof(double);
  device.S_real = DeviceBuffer(bytes, "allocate qNEP S_real");
  device.S_imag = DeviceBuffer(bytes, "allocate qNEP S_imag");
  return device;
}

// ---------------------------------------------------------------------------------------------------------------
// Kernels.

// One block per k-vector m: S(k_m) = sum_j q_j exp(-i k_m . r_j) = S_real[m] + i S_imag[m].
__global__ void reciprocal_sums(int atom_count, int capacity, const double* charges, const double* positions,
                                const double* kx, const double* ky, const double* kz, double* S_real,
                                double* S_imag) {
  double* partial = dynamic_shared_memory<double>();
  const int m = static_cast<int>(blockIdx.x);
  const int t = static_cast<int>(threadIdx.x);
  const int block = static_cast<int>(blockDim.x);
  double re = 0.0;
  double im = 0.0;
  for (int j = t; j < atom_count; j += block) {
    const double phi = kx[m] * positions[soa(0, j, capacity)] + ky[m] * positions[soa(1, j, capacity)] +
                       kz[m] * positions[soa(2, j, capacity)];
    re += charges[j] * cos(phi);
    im -= charges[j] * sin(phi);
  }
  partial[t] = re;
  partial[block + t] = im;
  tree_sum_in_block<2>(partial, t, block);
  if (t != 0) return;
  S_real[m] = partial[0];
  S_imag[m] = partial[block];
}

// One block per atom i: its share of the reciprocal energy, virial and force, and the derivative of the summed
// energy with respect to q_i. Summed over atoms the energies give K sum_m G_m |S(k_m)|^2.
__global__ void reciprocal_apply(int atom_count, int capacity, int count, double gamma, const double* charges,
                                 const double* positions, const double* kx, const double* ky, const double* kz,
                                 const double* G, const double* S_real, const double* S_imag, double* potential,
                                 double* force, double* virial, float* d_real) {
  const int i = static_cast<int>(blockIdx.x);
  if (i >= atom_count) return;
  double* partial = dynamic_shared_memory<double>();
  const int t = static_cast<int>(threadIdx.x);
  const int block = static_cast<int>(blockDim.x);
  const double qi = charges[i];
  const double xi = positions[soa(0, i, capacity)];
  const double yi = positions[soa(1, i, capacity)];
  const double zi = positions[soa(2, i, capacity)];
  double sums[kReciprocalApplySums] = {};
  for (int m = t; m < count; m += block) {
    const double phi = kx[m] * xi + ky[m] * yi + kz[m] * zi;
    const double s = sin(phi);
    const double c = cos(phi);
    // exp(i k.r_i) S(k): its real part is the pair sum's energy, its imaginary part the force direction.
    const double re = c * S_real[m] - s * S_imag[m];
    const double im = s * S_real[m] + c * S_imag[m];
    const double p = G[m] * re;
    const double q = G[m] * im;
    const double e = qi * p;
    const double k2 = kx[m] * kx[m] + ky[m] * ky[m] + kz[m] * kz[m];
    // Strain derivative of G |S|^2: each k shrinks with the cell, d ln G / d ln k = -(2 + k^2 / (2 alpha^2)).
    const double h = 2.0 / k2 + 2.0 * gamma;
    sums[0] += e;
    sums[1] += (1.0 - kx[m] * kx[m] * h) * e;
    sums[2] += (1.0 - ky[m] * ky[m] * h) * e;
    sums[3] += (1.0 - kz[m] * kz[m] * h) * e;
    sums[4] += -ky[m] * kx[m] * h * e;
    sums[5] += -kz[m] * ky[m] * h * e;
    sums[6] += -kx[m] * kz[m] * h * e;
    sums[7] += p;
    sums[8] += kx[m] * q;
    sums[9] += ky[m] * q;
    sums[10] += kz[m] * q;
  }
  for (int c = 0; c < kReciprocalApplySums; ++c) partial[c * block + t] = sums[c];
  tree_sum_in_block<kReciprocalApplySums>(partial, t, block);
  if (t != 0) return;
  // Only this thread touches atom i in this kernel: plain read-add-writes.
  const auto total = [&](int c) { return partial[c * block]; };
  potential[i] += kCoulomb * total(0);
  const double xy = kCoulomb * total(4);
  const double yz = kCoulomb * total(5);
  const double xz = kCoulomb * total(6);
  const double tensor[kVirialComponentCount] = {kCoulomb * total(1), kCoulomb * total(2), kCoulomb * total(3), xy, xz,
                                            yz, xy, xz, yz};
  for (int p = 0; p < kVirialComponentCount; ++p) virial[soa(p, i, capacity)] += tensor[p];
  // A store: this kernel is the first writer after d_real was cleared.
  d_real[i] = static_cast<float>(kTwoCoulomb * total(7));
  for (int c = 0; c < 3; ++c) force[soa(c, i, capacity)] += kTwoCoulomb * qi * total(8 + c);
}

// One thread per atom over its full radial list: damped Coulomb pair terms (and in mode 1 the self term). Each
// pair is visited from both atoms, so each visit books half the pair energy and the whole force on its own atom.
__global__ void __launch_bounds__(kRealSpaceBlock) real_space_charge(int atom_count, int capacity, int mode, double cutoff, SimulationBox box,
                      const std::int32_t* nn_radial, const std::int32_t* nl_radial, const double* charges,
                      const double* positions, double* potential, double* force, double* virial, float* d_real) {
  const std::int64_t index = global_thread_x();
  if (index >= atom_count) return;
  const int i = static_cast<int>(index);
  const double alpha = kPi / cutoff;
  const double c = (alpha + alpha) / kSqrtPi;
  const double erfc_cutoff = erfc(kPi);
  // Shifted force: phi(r) = V(r) - V(r_c) + F_c (r - r_c), F_c = -V'(r_c), so phi and its slope vanish at r_c.
  const double force_shift = erfc_cutoff / (cutoff * cutoff) + c * kExpMinusPiSquared / cutoff;
  const double energy_shift = -erfc_cutoff / cutoff - force_shift * cutoff;
  const bool shifted = mode == kShiftedForceMode;
  const double qi = charges[i];
  double energy = shifted ? 0.0 : -(c / 2.0) * qi * qi;
  double charge_slope = shifted ? 0.0 : -c * qi;
  double own_force[3] = {0.0, 0.0, 0.0};
  double own_virial[3][3] = {};
  const double ri[3] = {positions[soa(0, i, capacity)], positions[soa(1, i, capacity)],
                        positions[soa(2, i, capacity)]};
  for (int s = 0; s < nn_radial[i]; ++s) {
    const int j = nl_radial[soa(s, i, capacity)];
    double d[3];
    for (int a = 0; a < 3; ++a) d[a] = positions[soa(a, j, capacity)] - ri[a];
    apply_minimum_image(box.box, box.inverse, box.pbc, d);
    for (int a = 0; a < 3; ++a) d[a] = static_cast<double>(static_cast<float>(d[a]));
    const double r = sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    // A coincident atom has no direction and an infinite Coulomb term: skipped, as by every other pair kernel.
    // The radial list may reach further (a longer ZBL cutoff); the pair terms end at r_c.
    if (!(r > 0.0) || r >= cutoff) continue;
    const double inv_r = 1.0 / r;
    const double v = erfc(alpha * r) * inv_r;
    const double gauss = exp(-alpha * alpha * r * r);
    double phi = v;
    double f = (c * gauss + v) * inv_r * inv_r;  // -phi'(r) / r
    if (shifted) {
      phi = v + force_shift * r + energy_shift;
      f -= force_shift * inv_r;
    }
    const double qj = charges[j];
    energy += 0.5 * qi * qj * phi;
    charge_slope += qj * phi;
    const double w = kMinusHalfCoulomb * qi * qj * f;
    for (int a = 0; a < 3; ++a) {
      own_force[a] += 2.0 * w * d[a];
      for (int b = 0; b < 3; ++b) own_virial[a][b] -= w * (d[a] * d[b]);  // bitwise symmetric in a, b
    }
  }
  // Written once per atom from this thread only: plain read-add-writes.
  for (int a = 0; a < 3; ++a) force[soa(a, i, capacity)] += own_force[a];
  for (int p = 0; p < kVirialComponentCount; ++p) {
    virial[soa(p, i, capacity)] += own_virial[virial_row(p)][virial_column(p)];
  }
  d_real[i] += static_cast<float>(kCoulomb * charge_slope);
  potential[i] += kCoulomb * energy;
}

// One block: the charges were made neutral by subtracting their mean, so the derivative with respect to the
// network's raw charge is d_real minus its mean.
__global__ void zero_mean_d_real_kernel(int atom_count, float* d_real) {
  subtract_mean_in_one_block(d_real, atom_count, dynamic_shared_memory<float>());
}

// ---------------------------------------------------------------------------------------------------------------
// Host steps.

// Read on every call, so that a change takes effect at the next structure. Only the direct sum is built in.
void require_direct_kspace() {
  const char* value = std::getenv(kKSpaceVariable);
  if (value == nullptr) return;
  const std::string method(value);
  require(method == kDirectKSpace || method == kPppmKSpace, "QUARVEL_QNEP_KSPACE must be 'direct' or 'pppm'");
  if (method == kPppmKSpace) {
    throw std::runtime_error("qNEP PPPM support is disabled; rebuild with QUARVEL_CUDA_ENABLE_QNEP_PPPM=ON");
  }
}

void add_reciprocal_terms(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                          const DeviceWorkspaceView& ws) {
  const double alpha = kPi / protocol.cutoff_radial;
  const DeviceKSpace kspace = copy_kspace_to_device(make_qnep_kspace(box, alpha));
  if (kspace.count == 0) return;
  const int capacity = static_cast<int>(ws.atom_capacity);
  launch_kernel<reciprocal_sums>(dim3(static_cast<unsigned>(kspace.count)), dim3(kReciprocalSumsBlock),
                                 kReciprocalSumsShared, atom_count, capacity, static_cast<const double*>(ws.charge),
                                 static_cast<const double*>(ws.positions_soa3), kspace.kx.as<const double>(),
                                 kspace.ky.as<const double>(), kspace.kz.as<const double>(),
                                 kspace.S_real.as<double>(), kspace.S_imag.as<double>());
  check_cuda(cudaGetLastError(), "qNEP reciprocal sums launch failed");
  const double gamma = kQuarter / (alpha * alpha);
  launch_kernel<reciprocal_apply>(dim3(static_cast<unsigned>(atom_count)), dim3(kReciprocalApplyBlock),
                                  kReciprocalApplyShared, atom_count, capacity, kspace.count, gamma,
                                  static_cast<const double*>(ws.charge), static_cast<const double*>(ws.positions_soa3),
                                  kspace.kx.as<const double>(), kspace.ky.as<const double>(),
                                  kspace.kz.as<const double>(), kspace.G.as<const double>(),
                                  kspace.S_real.as<const double>(), kspace.S_imag.as<const double>(), ws.potential,
                                  ws.force_soa3, ws.virial_soa9, ws.d_real);
  check_cuda(cudaGetLastError(), "qNEP reciprocal apply launch failed");
}

void add_real_space_terms(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                          const DeviceWorkspaceView& ws) {
  require(ws.nn_radial != nullptr, "workspace missing radial counts");
  require(ws.nl_radial_slot_major != nullptr, "workspace missing radial neighbors");
  launch_kernel<real_space_charge>(dim3(blocks_for(atom_count, kRealSpaceBlock)), dim3(kRealSpaceBlock), 0,
                                   atom_count, static_cast<int>(ws.atom_capacity), protocol.charge_mode,
                                   protocol.cutoff_radial, box, static_cast<const std::int32_t*>(ws.nn_radial),
                                   static_cast<const std::int32_t*>(ws.nl_radial_slot_major),
                                   static_cast<const double*>(ws.charge),
                                   static_cast<const double*>(ws.positions_soa3), ws.potential, ws.force_soa3,
                                   ws.virial_soa9, ws.d_real);
  check_cuda(cudaGetLastError(), "qNEP real-space charge launch failed");
}

}  // namespace

void apply_qnep_charge_terms_on_device(const ModelProtocol& protocol, int atom_count, const SimulationBox& box,
                                       DeviceWorkspace& workspace, bool /*potential_requested*/,
                                       bool /*virial_per_atom_requested*/) {
  require(atom_count > 0, "atom_count must be positive");
  require(protocol.charge_mode > 0, "qNEP charge terms require charge mode");
  const DeviceWorkspaceView ws = workspace.view();
  require_atom_capacity(atom_count, ws);
  require(ws.charge != nullptr, "workspace missing charge output");
  require(ws.positions_soa3 != nullptr, "workspace missing positions");
  require(ws.potential != nullptr, "workspace missing potential output");
  require(ws.force_soa3 != nullptr, "workspace missing force output");
  require(ws.virial_soa9 != nullptr, "workspace missing virial output");
  require(ws.d_real != nullptr, "workspace missing D_real cache");

  // The electrostatic forces and virials are the first of the structure's; the force stages add to them.
  const std::size_t capacity = ws.atom_capacity;
  check_cuda(cudaMemset(ws.force_soa3, 0, 3 * capacity * sizeof(double)), "clear qNEP charge force");
  check_cuda(cudaMemset(ws.virial_soa9, 0, kVirialComponentCount * capacity * sizeof(double)),
             "clear qNEP charge virial");
  check_cuda(cudaMemset(ws.d_real, 0, capacity * sizeof(float)), "clear qNEP D_real");

  const int mode = protocol.charge_mode;
  if (mode == kEwaldMode || mode == kReciprocalOnlyMode) {
    require_direct_kspace();
    // Runs before the real-space kernel: reciprocal_apply stores d_real, real_space_charge adds to it.
    add_reciprocal_terms(protocol, atom_count, box, ws);
  }
  if (mode == kEwaldMode || mode == kShiftedForceMode) add_real_space_terms(protocol, atom_count, box, ws);

  launch_kernel<zero_mean_d_real_kernel>(dim3(1), dim3(kZeroMeanBlock), kZeroMeanShared, atom_count, ws.d_real);
  check_cuda(cudaGetLastError(), "qNEP zero-mean D_real launch failed");
  // The caller chains d_real into the descriptor derivatives from the host's next stage on.
  check_cuda(cudaDeviceSynchronize(), "qNEP charge terms failed");
}

}  // namespace quarvel::cuda_backend
