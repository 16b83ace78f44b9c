#pragma once
// A loaded model's parameter arrays in device memory, uploaded once from HostModelParameters and unchanged after.
#include <cstdint>
#include <utility>

#include "device_buffer.hpp"
#include "host_model_parameters.hpp"

namespace quarvel::cuda_backend {

constexpr int kDeviceModelArrayCount = 13;

// Plain, non-owning record of the 13 device arrays (upload order) and their element counts; an array the model
// lacks has a null pointer and count 0. Never outlives its DeviceModel.
struct DeviceModelView {
  const float* ann_type_major = nullptr;
  const float* ann_type_major_qscaled = nullptr;  // first-layer weights times the descriptor scaler
  const float* descriptor_coefficients = nullptr;  // file order: radial, angular, spin
  const float* type_pair_major_descriptor_coefficients = nullptr;
  const float* center_type_major_angular_coefficients = nullptr;
  const float* q_scaler = nullptr;
  const float* radial_pair_cutoffs = nullptr;   // Angstrom, T x T
  const float* angular_pair_cutoffs = nullptr;  // Angstrom, T x T
  const float* zbl_pair_parameters = nullptr;   // 10 per ordered type pair
  const double* spin_baseline = nullptr;
  const std::int32_t* spin_dof_type_active = nullptr;
  const std::int32_t* spin_env_type_active = nullptr;
  const std::int32_t* atomic_numbers = nullptr;
  std::uint64_t ann_type_major_count = 0;
  std::uint64_t ann_type_major_qscaled_count = 0;
  std::uint64_t descriptor_coefficients_count = 0;
  std::uint64_t type_pair_major_descriptor_coefficients_count = 0;
  std::uint64_t center_type_major_angular_coefficients_count = 0;
  std::uint64_t q_scaler_count = 0;
  std::uint64_t radial_pair_cutoffs_count = 0;
  std::uint64_t angular_pair_cutoffs_count = 0;
  std::uint64_t zbl_pair_parameters_count = 0;
  std::uint64_t spin_baseline_count = 0;
  std::uint64_t spin_dof_type_active_count = 0;
  std::uint64_t spin_env_type_active_count = 0;
  std::uint64_t atomic_numbers_count = 0;
};

// Bytes uploaded per array (upload order) and their sum: the model part of a workspace estimate.
struct DeviceModelUploadSummary {
  std::uint64_t array_bytes[kDeviceModelArrayCount] = {};
  std::uint64_t total_bytes = 0;
};

// Owns one plain device allocation per non-empty model array; move-only; frees them in its destructor.
class DeviceModel {
 public:
  DeviceModel() = default;
  // Allocates and uploads the 13 arrays with blocking copies; throws std::runtime_error "upload <array>: <CUDA
  // error>" with nothing left allocated.
  explicit DeviceModel(const HostModelParameters& parameters);
  DeviceModel(DeviceModel&& other) noexcept { *this = std::move(other); }
  DeviceModel& operator=(DeviceModel&& other) noexcept;
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;
  ~DeviceModel() = default;

  DeviceModelView view() const { return view_; }
  DeviceModelUploadSummary upload_summary() const { return summary_; }
  // Frees the arrays (statuses ignored) and zeroes the view and the summary; a second call is harmless.
  void release() noexcept;

 private:
  // Upload order; each null when its host array is empty. The view above points into these.
  DeviceBuffer arrays_[kDeviceModelArrayCount];
  DeviceModelView view_{};
  DeviceModelUploadSummary summary_{};
};

}  // namespace quarvel::cuda_backend
