#pragma once
// What the CUDA runtime and the devices of this machine can do, gathered without a model or an engine: the
// facts behind the module function `cuda_runtime_info`. Plain C++, so the report is tested on the stand-in.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quarvel::python {

// One device that passed the probe.
struct CudaDeviceEntry {
  int index = 0;                       // CUDA device ordinal
  std::string name;                    // from the device properties, as the runtime gives it
  int major = 0;                       // compute capability
  int minor = 0;
  std::size_t total_memory_bytes = 0;  // total global memory
};

// The report; empty optionals are reported as None.
struct CudaRuntimeReport {
  std::optional<int> driver_version;   // 1000 x major + 10 x minor; empty when the query failed
  std::optional<int> runtime_version;  // same convention; empty when the query failed
  std::vector<CudaDeviceEntry> devices;              // devices that passed the probe, by increasing index
  std::optional<std::size_t> free_memory_bytes;      // free bytes of the first usable device after the probes
  bool available = false;                            // true exactly when `devices` is not empty
  std::string reason;                                // one of the codes below
  std::optional<std::string> detail;                 // a sentence; empty only when the runtime has no error text
};

// Reason codes, in the order the report decides them.
inline constexpr const char* kReasonDriverUnavailable = "driver_unavailable";
inline constexpr const char* kReasonRuntimeUnavailable = "runtime_unavailable";
inline constexpr const char* kReasonAvailable = "available";
inline constexpr const char* kReasonKernelProbeFailed = "kernel_probe_failed";
inline constexpr const char* kReasonNoDevice = "no_device";

// Queries the versions and the device count, probes every device and measures the free memory of the first
// usable one. CUDA failures never throw: they become the reason and the detail. Leaves the calling thread on the
// first usable device (models loaded later on this thread use it), else on the last device the probe selected.
CudaRuntimeReport collect_cuda_runtime_report();

}  // namespace quarvel::python
