#include "runtime_state.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace cpu_cuda::detail {
namespace {
constexpr std::size_t kDefaultGlobalMemory = std::size_t{8} << 30;
constexpr std::size_t kDefaultSharedPerBlock = 48 * 1024;
constexpr std::size_t kDefaultSharedOptin = 99 * 1024;  // what compute capability 8.9 offers
constexpr int kDefaultMultiprocessors = 16;

bool serial_blocks_from_environment() {
  const char* value = std::getenv("CPU_CUDA_SERIAL_BLOCKS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}
}  // namespace

struct Runtime::ThreadState {
  unsigned int generation = ~0u;
  cudaError_t last_error = cudaSuccess;
  int device = 0;
};

Runtime& Runtime::instance() {
  static Runtime runtime;
  return runtime;
}

Runtime::Runtime() {
  serial_blocks_ = serial_blocks_from_environment();
  reset({default_device()});
}

Runtime::ThreadState& Runtime::thread_state() {
  thread_local ThreadState state;
  const unsigned int generation = generation_.load();
  if (state.generation != generation) state = ThreadState{generation, cudaSuccess, 0};
  return state;
}

int& Runtime::current_device() { return thread_state().device; }

cudaError_t Runtime::context_error() {
  if (!driver_usable()) return cudaErrorInsufficientDriver;
  if (devices_.empty()) return cudaErrorNoDevice;
  return device(current_device()).sticky;
}

bool is_sticky(cudaError_t error) {
  return error == cudaErrorLaunchFailure || error == cudaErrorIllegalAddress;
}

cudaError_t Runtime::fail(cudaError_t error) {
  if (error == cudaSuccess) return error;
  thread_state().last_error = error;
  if (is_sticky(error) && valid_device(current_device())) device(current_device()).sticky = error;
  return error;
}

cudaError_t Runtime::peek_last_error() {
  if (!driver_usable()) return cudaErrorInsufficientDriver;  // no usable driver spoils every call for good
  if (valid_device(current_device()) && device(current_device()).sticky != cudaSuccess) {
    return device(current_device()).sticky;
  }
  return thread_state().last_error;
}

cudaError_t Runtime::take_last_error() {
  const cudaError_t error = peek_last_error();
  thread_state().last_error = cudaSuccess;
  return error;
}

cudaError_t Runtime::injected(Operation operation) {
  Injection& injection = injections_[static_cast<int>(operation)];
  if (injection.remaining == 0 || --injection.remaining > 0) return cudaSuccess;
  return injection.error;
}

void Runtime::inject(Operation operation, int nth, cudaError_t error) {
  injections_[static_cast<int>(operation)] = Injection{nth > 0 ? nth : 0, error};
}

const Allocation* Runtime::find_range(const void* address, std::size_t bytes) const {
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  auto it = allocations_.upper_bound(start);
  if (it == allocations_.begin()) return nullptr;
  --it;
  const std::uintptr_t offset = start - it->first;
  if (offset >= it->second.bytes || bytes > it->second.bytes - offset) return nullptr;
  return &it->second;
}

void Runtime::reset(const std::vector<DeviceConfig>& devices) {
  for (const auto& [address, allocation] : allocations_) free_device_bytes(reinterpret_cast<void*>(address));
  allocations_.clear();
  for (CUevent_st* event : events_) delete event;
  events_.clear();
  devices_.clear();
  for (const DeviceConfig& config : devices) {
    DeviceState state;
    state.config = config;
    state.budget = config.total_global_mem;
    devices_.push_back(state);
  }
  driver_version_ = kRuntimeVersion;
  async_supported_ = true;
  for (Injection& injection : injections_) injection = Injection{};
  serial_blocks_ = serial_blocks_from_environment();
  ++generation_;
}
}  // namespace cpu_cuda::detail

namespace cpu_cuda {
using detail::Runtime;

namespace {
// Runs `body` on the runtime under its lock.
template <typename Body>
auto locked(Body&& body) {
  Runtime& runtime = Runtime::instance();
  const std::lock_guard<std::mutex> lock(runtime.mutex());
  return body(runtime);
}
}  // namespace

DeviceConfig default_device() {
  return DeviceConfig{"cpu_cuda stand-in device", 8, 9, detail::kDefaultGlobalMemory, detail::kDefaultSharedPerBlock,
                      detail::kDefaultSharedOptin, detail::kDefaultMultiprocessors};
}

void reset() { set_devices({default_device()}); }

void set_devices(const std::vector<DeviceConfig>& devices) {
  locked([&](Runtime& runtime) { runtime.reset(devices); });
}

void set_memory_budget(int device, std::size_t bytes) {
  locked([&](Runtime& runtime) {
    if (runtime.valid_device(device)) runtime.device(device).budget = bytes;
  });
}

void set_driver_version(int version) {
  locked([&](Runtime& runtime) { runtime.set_driver_version(version); });
}

void set_async_allocation_supported(bool supported) {
  locked([&](Runtime& runtime) { runtime.set_async_supported(supported); });
}

void fail_kernels_on_device(int device, cudaError_t error) {
  locked([&](Runtime& runtime) {
    if (runtime.valid_device(device)) runtime.device(device).kernel_failure = error;
  });
}

void inject_failure(Operation operation, int nth, cudaError_t error) {
  locked([&](Runtime& runtime) { runtime.inject(operation, nth, error); });
}

void set_serial_blocks(bool serial) { Runtime::instance().serial_blocks() = serial; }
bool serial_blocks() { return Runtime::instance().serial_blocks(); }

std::size_t live_allocation_count() {
  return locked([](Runtime& runtime) { return runtime.allocations().size(); });
}

std::size_t live_allocation_bytes() {
  return locked([](Runtime& runtime) {
    std::size_t bytes = 0;
    for (const auto& entry : runtime.allocations()) bytes += entry.second.bytes;
    return bytes;
  });
}
}  // namespace cpu_cuda
