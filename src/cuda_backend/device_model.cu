#include "device_model.hpp"

#include <utility>
#include <vector>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// Allocates (plain, not stream-ordered: the model lives as long as its owner) and copies one host array. An
// empty array makes no device call and leaves a null pointer. The caller frees on failure.
template <typename T>
void upload_array(const std::vector<T>& host, T*& device, std::uint64_t& bytes, const char* step) {
  bytes = host.size() * sizeof(T);
  device = nullptr;
  if (host.empty()) return;
  void* allocation = nullptr;
  check_cuda(cudaMalloc(&allocation, bytes), step);
  device = static_cast<T*>(allocation);
  check_cuda(cudaMemcpy(allocation, host.data(), bytes, cudaMemcpyHostToDevice), step);
}

void upload_float_array(const std::vector<float>& host, float*& device, std::uint64_t& bytes, const char* step) {
  upload_array(host, device, bytes, step);
}
void upload_double_array(const std::vector<double>& host, double*& device, std::uint64_t& bytes,
                         const char* step) {
  upload_array(host, device, bytes, step);
}
void upload_int_array(const std::vector<std::int32_t>& host, std::int32_t*& device, std::uint64_t& bytes,
                      const char* step) {
  upload_array(host, device, bytes, step);
}

template <typename T>
void free_device(T*& device) noexcept {
  if (device == nullptr) return;
  (void)cudaFree(device);
  device = nullptr;
}

}  // namespace

DeviceModel::DeviceModel(const HostModelParameters& p) {
  std::uint64_t* bytes = summary_.array_bytes;
  try {
    upload_float_array(p.ann_type_major, ann_type_major_, bytes[0], "upload ann_type_major");
    upload_float_array(p.ann_type_major_qscaled, ann_type_major_qscaled_, bytes[1], "upload ann_type_major_qscaled");
    upload_float_array(p.descriptor_coefficients, descriptor_coefficients_, bytes[2],
                       "upload descriptor_coefficients");
    upload_float_array(p.type_pair_major_descriptor_coefficients, type_pair_major_descriptor_coefficients_,
                       bytes[3], "upload type-pair-major descriptor_coefficients");
    upload_float_array(p.center_type_major_angular_coefficients, center_type_major_angular_coefficients_, bytes[4],
                       "upload center-type-major angular coefficients");
    upload_float_array(p.q_scaler, q_scaler_, bytes[5], "upload q_scaler");
    upload_float_array(p.radial_pair_cutoffs, radial_pair_cutoffs_, bytes[6], "upload radial pair cutoffs");
    upload_float_array(p.angular_pair_cutoffs, angular_pair_cutoffs_, bytes[7], "upload angular pair cutoffs");
    upload_float_array(p.zbl_pair_parameters, zbl_pair_parameters_, bytes[8], "upload ZBL pair parameters");
    upload_double_array(p.spin_baseline, spin_baseline_, bytes[9], "upload spin_baseline");
    upload_int_array(p.protocol.spin_dof_type, spin_dof_type_active_, bytes[10], "upload spin_dof_type_active");
    upload_int_array(p.protocol.spin_env_type, spin_env_type_active_, bytes[11], "upload spin_env_type_active");
    upload_int_array(p.atomic_numbers, atomic_numbers_, bytes[12], "upload atomic_numbers");
  } catch (...) {
    release();
    throw;
  }
  view_ = DeviceModelView{ann_type_major_,
                          ann_type_major_qscaled_,
                          descriptor_coefficients_,
                          type_pair_major_descriptor_coefficients_,
                          center_type_major_angular_coefficients_,
                          q_scaler_,
                          radial_pair_cutoffs_,
                          angular_pair_cutoffs_,
                          zbl_pair_parameters_,
                          spin_baseline_,
                          spin_dof_type_active_,
                          spin_env_type_active_,
                          atomic_numbers_,
                          p.ann_type_major.size(),
                          p.ann_type_major_qscaled.size(),
                          p.descriptor_coefficients.size(),
                          p.type_pair_major_descriptor_coefficients.size(),
                          p.center_type_major_angular_coefficients.size(),
                          p.q_scaler.size(),
                          p.radial_pair_cutoffs.size(),
                          p.angular_pair_cutoffs.size(),
                          p.zbl_pair_parameters.size(),
                          p.spin_baseline.size(),
                          p.protocol.spin_dof_type.size(),
                          p.protocol.spin_env_type.size(),
                          p.atomic_numbers.size()};
  summary_.total_bytes = 0;
  for (std::uint64_t array_bytes : summary_.array_bytes) summary_.total_bytes += array_bytes;
}

DeviceModel::DeviceModel(DeviceModel&& other) noexcept { take(other); }

DeviceModel& DeviceModel::operator=(DeviceModel&& other) noexcept {
  if (this != &other) {
    release();
    take(other);
  }
  return *this;
}

DeviceModel::~DeviceModel() { release(); }

void DeviceModel::take(DeviceModel& other) noexcept {
  ann_type_major_ = std::exchange(other.ann_type_major_, nullptr);
  ann_type_major_qscaled_ = std::exchange(other.ann_type_major_qscaled_, nullptr);
  descriptor_coefficients_ = std::exchange(other.descriptor_coefficients_, nullptr);
  type_pair_major_descriptor_coefficients_ = std::exchange(other.type_pair_major_descriptor_coefficients_, nullptr);
  center_type_major_angular_coefficients_ = std::exchange(other.center_type_major_angular_coefficients_, nullptr);
  q_scaler_ = std::exchange(other.q_scaler_, nullptr);
  radial_pair_cutoffs_ = std::exchange(other.radial_pair_cutoffs_, nullptr);
  angular_pair_cutoffs_ = std::exchange(other.angular_pair_cutoffs_, nullptr);
  zbl_pair_parameters_ = std::exchange(other.zbl_pair_parameters_, nullptr);
  spin_baseline_ = std::exchange(other.spin_baseline_, nullptr);
  spin_dof_type_active_ = std::exchange(other.spin_dof_type_active_, nullptr);
  spin_env_type_active_ = std::exchange(other.spin_env_type_active_, nullptr);
  atomic_numbers_ = std::exchange(other.atomic_numbers_, nullptr);
  view_ = std::exchange(other.view_, DeviceModelView{});
  summary_ = std::exchange(other.summary_, DeviceModelUploadSummary{});
}

void DeviceModel::release() noexcept {
  free_device(ann_type_major_);
  free_device(ann_type_major_qscaled_);
  free_device(descriptor_coefficients_);
  free_device(type_pair_major_descriptor_coefficients_);
  free_device(center_type_major_angular_coefficients_);
  free_device(q_scaler_);
  free_device(radial_pair_cutoffs_);
  free_device(angular_pair_cutoffs_);
  free_device(zbl_pair_parameters_);
  free_device(spin_baseline_);
  free_device(spin_dof_type_active_);
  free_device(spin_env_type_active_);
  free_device(atomic_numbers_);
  view_ = DeviceModelView{};
  summary_ = DeviceModelUploadSummary{};
}

}  // namespace quarvel::cuda_backend
