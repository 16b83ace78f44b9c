#include "device_model.hpp"

#include <utility>
#include <vector>

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {

// Allocates (plain, not stream-ordered: the model lives as long as its owner) and copies one host array. An
// empty array makes no device call and leaves a null buffer.
template <typename T>
const T* upload_array(const std::vector<T>& host, DeviceBuffer& device, std::uint64_t& bytes, const char* step) {
  bytes = host.size() * sizeof(T);
  device = DeviceBuffer(bytes, step);
  if (bytes != 0) check_cuda(cudaMemcpy(device.data(), host.data(), bytes, cudaMemcpyHostToDevice), step);
  return device.as<const T>();
}

}  // namespace

DeviceModel::DeviceModel(const HostModelParameters& p) {
  std::uint64_t* bytes = summary_.array_bytes;
  DeviceBuffer* a = arrays_;
  DeviceModelView v{};
  // A throw leaves the buffers uploaded so far to their destructors: nothing stays allocated.
  v.ann_type_major = upload_array(p.ann_type_major, a[0], bytes[0], "upload ann_type_major");
  v.ann_type_major_qscaled =
      upload_array(p.ann_type_major_qscaled, a[1], bytes[1], "upload ann_type_major_qscaled");
  v.descriptor_coefficients =
      upload_array(p.descriptor_coefficients, a[2], bytes[2], "upload descriptor_coefficients");
  v.type_pair_major_descriptor_coefficients = upload_array(p.type_pair_major_descriptor_coefficients, a[3],
                                                           bytes[3], "upload type-pair-major descriptor_coefficients");
  v.center_type_major_angular_coefficients = upload_array(p.center_type_major_angular_coefficients, a[4], bytes[4],
                                                          "upload center-type-major angular coefficients");
  v.q_scaler = upload_array(p.q_scaler, a[5], bytes[5], "upload q_scaler");
  v.radial_pair_cutoffs = upload_array(p.radial_pair_cutoffs, a[6], bytes[6], "upload radial pair cutoffs");
  v.angular_pair_cutoffs = upload_array(p.angular_pair_cutoffs, a[7], bytes[7], "upload angular pair cutoffs");
  v.zbl_pair_parameters = upload_array(p.zbl_pair_parameters, a[8], bytes[8], "upload ZBL pair parameters");
  v.spin_baseline = upload_array(p.spin_baseline, a[9], bytes[9], "upload spin_baseline");
  v.spin_dof_type_active =
      upload_array(p.protocol.spin_dof_type, a[10], bytes[10], "upload spin_dof_type_active");
  v.spin_env_type_active =
      upload_array(p.protocol.spin_env_type, a[11], bytes[11], "upload spin_env_type_active");
  v.atomic_numbers = upload_array(p.atomic_numbers, a[12], bytes[12], "upload atomic_numbers");
  v.ann_type_major_count = p.ann_type_major.size();
  v.ann_type_major_qscaled_count = p.ann_type_major_qscaled.size();
  v.descriptor_coefficients_count = p.descriptor_coefficients.size();
  v.type_pair_major_descriptor_coefficients_count = p.type_pair_major_descriptor_coefficients.size();
  v.center_type_major_angular_coefficients_count = p.center_type_major_angular_coefficients.size();
  v.q_scaler_count = p.q_scaler.size();
  v.radial_pair_cutoffs_count = p.radial_pair_cutoffs.size();
  v.angular_pair_cutoffs_count = p.angular_pair_cutoffs.size();
  v.zbl_pair_parameters_count = p.zbl_pair_parameters.size();
  v.spin_baseline_count = p.spin_baseline.size();
  v.spin_dof_type_active_count = p.protocol.spin_dof_type.size();
  v.spin_env_type_active_count = p.protocol.spin_env_type.size();
  v.atomic_numbers_count = p.atomic_numbers.size();
  view_ = v;
  summary_.total_bytes = 0;
  for (std::uint64_t array_bytes : summary_.array_bytes) summary_.total_bytes += array_bytes;
}

DeviceModel& DeviceModel::operator=(DeviceModel&& other) noexcept {
  if (this != &other) {
    release();
    for (int i = 0; i < kDeviceModelArrayCount; ++i) arrays_[i] = std::move(other.arrays_[i]);
    view_ = std::exchange(other.view_, DeviceModelView{});
    summary_ = std::exchange(other.summary_, DeviceModelUploadSummary{});
  }
  return *this;
}

void DeviceModel::release() noexcept {
  for (DeviceBuffer& array : arrays_) array = DeviceBuffer();
  view_ = DeviceModelView{};
  summary_ = DeviceModelUploadSummary{};
}

}  // namespace quarvel::cuda_backend
