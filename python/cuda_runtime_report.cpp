#include "cuda_runtime_report.hpp"

#include <cstring>
#include <string>

#include "cuda_backend/cuda_runtime_platform.hpp"
#include "quarvel/engine.hpp"

namespace quarvel::python {
namespace {

constexpr const char* kAvailableDetail =
    "CUDA allocation, kernel launch, synchronization, and copyback passed on at least one device.";
constexpr const char* kNoDeviceDetail = "CUDA runtime reported no usable devices.";

std::optional<std::string> error_text(cudaError_t error) {
  const char* text = cudaGetErrorString(error);
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

std::string device_name(const cudaDeviceProp& properties) {
  return std::string(properties.name, strnlen(properties.name, sizeof properties.name));
}

// Sets the report's device list from a walk over `count` devices and returns the first failure text recorded on
// the way (empty when every device passed).
std::string probe_devices(int count, CudaRuntimeReport& report) {
  std::string first_failure;
  const auto record = [&first_failure](const std::string& text) {
    if (first_failure.empty()) first_failure = text;
  };
  for (int device = 0; device < count; ++device) {
    cudaDeviceProp properties;
    std::memset(&properties, 0, sizeof properties);
    const cudaError_t query = cudaGetDeviceProperties(&properties, device);
    if (query != cudaSuccess) {
      record("device " + std::to_string(device) + " query failed: " + error_text(query).value_or(""));
      (void)cudaGetLastError();
      continue;
    }
    std::string probe_detail;
    if (probe_cuda_device(device, probe_detail)) {
      report.devices.push_back(CudaDeviceEntry{device, device_name(properties), properties.major, properties.minor,
                                               properties.totalGlobalMem});
    } else {
      record("device " + std::to_string(device) + " (" + device_name(properties) + "): " + probe_detail);
    }
  }
  return first_failure;
}

// Free memory of `device`, which becomes the calling thread's current device; empty when either step fails.
std::optional<std::size_t> free_memory_of(int device) {
  if (cudaSetDevice(device) != cudaSuccess) return std::nullopt;
  std::size_t free_bytes = 0;
  std::size_t total_bytes = 0;
  if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) {
    (void)cudaGetLastError();
    return std::nullopt;
  }
  return free_bytes;
}

}  // namespace

CudaRuntimeReport collect_cuda_runtime_report() {
  int driver_version = 0;
  int runtime_version = 0;
  int count = 0;
  const cudaError_t driver_status = cudaDriverGetVersion(&driver_version);
  const cudaError_t runtime_status = cudaRuntimeGetVersion(&runtime_version);
  const cudaError_t count_status = cudaGetDeviceCount(&count);

  CudaRuntimeReport report;
  if (driver_status == cudaSuccess) report.driver_version = driver_version;
  if (runtime_status == cudaSuccess) report.runtime_version = runtime_version;
  if (count_status != cudaSuccess) {  // cudaErrorInsufficientDriver: no usable driver, or one too old
    report.reason = count_status == cudaErrorInsufficientDriver ? kReasonDriverUnavailable : kReasonRuntimeUnavailable;
    report.detail = error_text(count_status);
    (void)cudaGetLastError();
    return report;
  }

  const std::string first_failure = probe_devices(count, report);
  report.available = !report.devices.empty();
  if (report.available) {
    report.reason = kReasonAvailable;
    report.detail = kAvailableDetail;
  } else if (count > 0 && !first_failure.empty()) {
    report.reason = kReasonKernelProbeFailed;
    report.detail = first_failure;
  } else {
    report.reason = kReasonNoDevice;
    report.detail = kNoDeviceDetail;
  }
  if (report.available) report.free_memory_bytes = free_memory_of(report.devices.front().index);
  return report;
}

}  // namespace quarvel::python
