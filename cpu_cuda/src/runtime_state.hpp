#pragma once
// The stand-in's process-wide runtime state: devices, allocations, events, failure modes and injections, and each
// host thread's last error and current device. Every runtime call takes the one lock of this state.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "cpu_cuda/control.hpp"

struct CUevent_st {
  bool recorded = false;
  double recorded_ms = 0.0;  // host wall-clock time of the last record
};

namespace cpu_cuda::detail {
// The dynamic shared memory any kernel may use without raising its attribute.
constexpr std::size_t kDefaultDynamicSharedLimit = 48 * 1024;
// The oldest driver the runtime works with (CUDA 12.0), as 1000 x major + 10 x minor.
constexpr int kOldestUsableDriver = 12000;
// The runtime the library is written against (CUDA 12.4).
constexpr int kRuntimeVersion = 12040;

struct DeviceState {
  DeviceConfig config;
  std::size_t budget = 0;
  std::size_t used = 0;
  cudaError_t kernel_failure = cudaSuccess;
  cudaError_t sticky = cudaSuccess;  // a device fault spoils the device until reset
  std::map<const void*, std::size_t> dynamic_shared_limit;  // per kernel, raised by cudaFuncSetAttribute
};

struct Allocation {
  std::size_t bytes = 0;
  int device = 0;
};

struct Injection {
  int remaining = 0;  // 0 = none armed
  cudaError_t error = cudaSuccess;
};

class Runtime {
 public:
  static Runtime& instance();

  std::mutex& mutex() { return mutex_; }

  // All below are called with the lock held.
  // The error any call needing the driver and the current device answers first, or success.
  cudaError_t context_error();
  // Records a failed call as the thread's last error (sticky errors also spoil the device) and returns it.
  cudaError_t fail(cudaError_t error);
  cudaError_t take_last_error();
  cudaError_t peek_last_error();
  int& current_device();
  bool driver_usable() const { return driver_version_ >= kOldestUsableDriver; }
  int driver_version() const { return driver_version_; }
  bool async_supported() const { return async_supported_; }
  // Consumes one call of `operation`; answers the injected error when it is the armed one.
  cudaError_t injected(Operation operation);
  DeviceState& device(int index) { return devices_[static_cast<std::size_t>(index)]; }
  int device_count() const { return static_cast<int>(devices_.size()); }
  bool valid_device(int index) const { return index >= 0 && index < device_count(); }

  // Device memory: live allocations by start address.
  std::map<std::uintptr_t, Allocation>& allocations() { return allocations_; }
  // The allocation holding [address, address + bytes), or null.
  const Allocation* find_range(const void* address, std::size_t bytes) const;
  std::set<CUevent_st*>& events() { return events_; }

  // Control.
  void reset(const std::vector<DeviceConfig>& devices);
  void set_driver_version(int version) { driver_version_ = version; }
  void set_async_supported(bool supported) { async_supported_ = supported; }
  void inject(Operation operation, int nth, cudaError_t error);

  std::atomic<bool>& serial_blocks() { return serial_blocks_; }

 private:
  Runtime();
  struct ThreadState;
  ThreadState& thread_state();

  std::mutex mutex_;
  std::vector<DeviceState> devices_;
  int driver_version_ = kRuntimeVersion;
  bool async_supported_ = true;
  std::map<std::uintptr_t, Allocation> allocations_;
  std::set<CUevent_st*> events_;
  Injection injections_[3];
  // Bumped by reset, so every host thread's last error and current device start afresh.
  std::atomic<unsigned int> generation_{0};
  std::atomic<bool> serial_blocks_{false};
};

// Runs one runtime call under the lock; `body(runtime)` answers a status, and a failure becomes the calling thread's
// last error. `Needs` says what must work before the body runs.
enum class Needs { nothing, driver, context };
template <Needs Requirement, typename Body>
cudaError_t runtime_call(Body&& body) {
  Runtime& runtime = Runtime::instance();
  const std::lock_guard<std::mutex> lock(runtime.mutex());
  if constexpr (Requirement == Needs::driver) {
    if (!runtime.driver_usable()) return runtime.fail(cudaErrorInsufficientDriver);
  } else if constexpr (Requirement == Needs::context) {
    if (cudaError_t error = runtime.context_error()) return runtime.fail(error);
  }
  return runtime.fail(body(runtime));
}

bool is_sticky(cudaError_t error);
// The device record the stand-in reports for a device.
void fill_properties(cudaDeviceProp& prop, const DeviceConfig& config);
void free_device_bytes(void* address);
}  // namespace cpu_cuda::detail
