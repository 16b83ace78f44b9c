#include "engine_routines.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "cuda_checks.hpp"
#include "quarvel/engine.hpp"
#include "workspace_plan.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr std::size_t kVirialComponents = 9;
constexpr cudaStream_t kDefaultStream{};

void copy_to_host(void* host, const void* device, std::size_t bytes, const char* failure) {
  if (cudaMemcpy(host, device, bytes, cudaMemcpyDeviceToHost) != cudaSuccess) throw std::runtime_error(failure);
}

std::size_t index(int value) { return static_cast<std::size_t>(value); }

}  // namespace

bool supports_force_pipeline(const ModelProtocol& p) {
  if ((p.version != 4 && p.version != 5) || p.charge_mode != 0) return false;
  if (p.spin_mode != 0 && !spin_shape_within_core_limits(p)) return false;
  if (p.has_zbl) {
    // Written as positive comparisons so that a NaN cutoff fails them.
    if (!(p.zbl_rc_outer > 0.0)) return false;
    if (!p.flexible_zbl && !(p.zbl_rc_inner >= 0.0 && p.zbl_rc_outer > p.zbl_rc_inner)) return false;
  }
  return p.body_channels.l_max_3body <= kMaxPipelineAngularOrder;
}

bool supports_descriptors(const ModelProtocol& p) {
  if (supports_force_pipeline(p)) return true;
  // Charge models share the ordinary descriptors; only their network and forces differ.
  return p.version == 4 && p.charge_mode > 0 && p.spin_mode == 0 &&
         p.body_channels.l_max_3body <= kMaxPipelineAngularOrder;
}

bool make_structure_box(const double* box9, const std::int32_t* pbc3, SimulationBox& out) {
  const double* b = box9;
  for (int k = 0; k < 9; ++k) out.box[k] = b[k];
  const double det = cell_determinant(b);
  if (std::abs(det) <= kSingularDeterminant) return false;
  out.inverse[0] = (b[4] * b[8] - b[5] * b[7]) / det;
  out.inverse[1] = (b[2] * b[7] - b[1] * b[8]) / det;
  out.inverse[2] = (b[1] * b[5] - b[2] * b[4]) / det;
  out.inverse[3] = (b[5] * b[6] - b[3] * b[8]) / det;
  out.inverse[4] = (b[0] * b[8] - b[2] * b[6]) / det;
  out.inverse[5] = (b[2] * b[3] - b[0] * b[5]) / det;
  out.inverse[6] = (b[3] * b[7] - b[4] * b[6]) / det;
  out.inverse[7] = (b[1] * b[6] - b[0] * b[7]) / det;
  out.inverse[8] = (b[0] * b[4] - b[1] * b[3]) / det;
  if (pbc3 == nullptr || pbc3[0] != 1 || pbc3[1] != 1 || pbc3[2] != 1) return false;
  for (int a = 0; a < 3; ++a) out.pbc[a] = 1;
  const double largest = std::numeric_limits<double>::max();
  return std::abs(out.inverse[0]) <= largest && std::abs(out.inverse[4]) <= largest &&
         std::abs(out.inverse[8]) <= largest;
}

void clear_device_doubles(double* device, std::size_t count) {
  if (cudaMemset(device, 0, count * sizeof(double)) != cudaSuccess) {
    throw std::runtime_error("failed to clear CUDA double buffer");
  }
}

std::vector<float> download_device_floats(const float* device, std::size_t count) {
  std::vector<float> host(count, 0.0f);
  copy_to_host(host.data(), device, count * sizeof(float), "failed to copy CUDA float output");
  return host;
}

std::vector<double> download_device_doubles(const double* device, std::size_t count) {
  std::vector<double> host(count, 0.0);
  copy_to_host(host.data(), device, count * sizeof(double), "failed to copy CUDA double output");
  return host;
}

int report_invalid_argument(const char* message) {
  set_last_error(message);
  return QRVL_STATUS_INVALID_ARGUMENT;
}

void copy_outputs_to_host(const DeviceWorkspaceView& view, int structure_count, int atom_count,
                          int structure_offset, int atom_offset, bool spin, bool charge,
                          QrvlFindForceResult& result) {
  const std::size_t structures = index(structure_count);
  const std::size_t atoms = index(atom_count);
  const std::size_t first_structure = index(structure_offset);
  const std::size_t first_atom = index(atom_offset);
  copy_to_host(result.energy + first_structure, view.structure_energy, structures * sizeof(double),
               "failed to copy CUDA structure energies");
  copy_to_host(result.force + 3 * first_atom, view.output_forces_aos3, 3 * atoms * sizeof(double),
               "failed to copy CUDA forces");
  if (result.potential != nullptr) {
    copy_to_host(result.potential + first_atom, view.potential, atoms * sizeof(double),
                 "failed to copy CUDA per-atom potentials");
  }
  if (result.virial_per_atom != nullptr) {
    copy_to_host(result.virial_per_atom + kVirialComponents * first_atom, view.output_virials_per_atom_row_major9,
                 kVirialComponents * atoms * sizeof(double), "failed to copy CUDA per-atom virials");
  }
  if (result.virial != nullptr) {
    copy_to_host(result.virial + kVirialComponents * first_structure, view.structure_virial_row_major9,
                 kVirialComponents * structures * sizeof(double), "failed to copy CUDA structure virials");
  }
  if (spin && result.spin_transfer != nullptr) {
    const std::size_t capacity = view.atom_capacity;
    const std::vector<float> transfer = download_device_floats(view.spin_transfer_soa9, kVirialComponents * capacity);
    for (std::size_t i = 0; i < atoms; ++i) {
      for (std::size_t k = 0; k < kVirialComponents; ++k) {
        result.spin_transfer[kVirialComponents * (first_atom + i) + k] = static_cast<double>(transfer[k * capacity + i]);
      }
    }
  }
  if (charge && result.charge != nullptr) {
    copy_to_host(result.charge + first_atom, view.charge, atoms * sizeof(double),
                 "failed to copy CUDA per-atom charges");
  }
  if (spin && result.mforce != nullptr) {
    copy_to_host(result.mforce + 3 * first_atom, view.output_mforces_aos3, 3 * atoms * sizeof(double),
                 "failed to copy CUDA mforces");
  }
}

ScopedDevice::ScopedDevice(int device) {
  check_cuda(cudaGetDevice(&previous_), "query current CUDA device");
  if (previous_ != device) {
    check_cuda(cudaSetDevice(device), "select model CUDA device");
    restore_ = true;
  }
}

ScopedDevice::~ScopedDevice() {
  if (restore_) (void)cudaSetDevice(previous_);
}

EvaluationDevice::EvaluationDevice(int device) : scope_(device) {
  check_cuda(cudaGetLastError(), "a CUDA error was pending before the call");
}

EvaluationDevice::~EvaluationDevice() { (void)cudaGetLastError(); }

LapTimer::~LapTimer() {
  if (start != nullptr) (void)cudaEventDestroy(start);
  if (stop != nullptr) (void)cudaEventDestroy(stop);
}

void LapTimer::lap(float& milliseconds) {
  (void)cudaEventRecord(stop, kDefaultStream);
  (void)cudaEventSynchronize(stop);
  (void)cudaEventElapsedTime(&milliseconds, start, stop);
  (void)cudaEventRecord(start, kDefaultStream);
}

}  // namespace quarvel::cuda_backend
