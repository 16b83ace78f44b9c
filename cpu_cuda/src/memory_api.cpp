// Device memory of the stand-in: host heap blocks tracked per device, so every pointer and range handed to the
// runtime is checked against the live allocations, and the sanitizer build sees device arrays as heap memory.
#include <algorithm>
#include <cstring>
#include <new>

#include "device_memory_poison.hpp"
#include "runtime_state.hpp"

using cpu_cuda::detail::Runtime;

namespace cpu_cuda::detail {
namespace {
constexpr std::align_val_t kAllocationAlignment{256};  // what cudaMalloc guarantees


cudaError_t allocate(Runtime& runtime, void** dev_ptr, std::size_t size) {
  if (dev_ptr == nullptr) return cudaErrorInvalidValue;
  *dev_ptr = nullptr;
  if (cudaError_t error = runtime.injected(cpu_cuda::Operation::allocation)) return error;
  if (size == 0) return cudaSuccess;
  const int device_index = runtime.current_device();
  DeviceState& device = runtime.device(device_index);
  const std::size_t limit = std::min(device.budget, device.config.total_global_mem);
  if (size > limit - std::min(limit, device.used)) return cudaErrorMemoryAllocation;
  void* memory = ::operator new(size, kAllocationAlignment, std::nothrow);
  if (memory == nullptr) return cudaErrorMemoryAllocation;
  fill_with_poison(memory, size);  // device memory starts undefined, never zero
  runtime.allocations()[reinterpret_cast<std::uintptr_t>(memory)] = Allocation{size, device_index};
  device.used += size;
  *dev_ptr = memory;
  return cudaSuccess;
}

cudaError_t release(Runtime& runtime, void* dev_ptr) {
  if (dev_ptr == nullptr) return cudaSuccess;
  const auto found = runtime.allocations().find(reinterpret_cast<std::uintptr_t>(dev_ptr));
  if (found == runtime.allocations().end()) return cudaErrorInvalidValue;
  runtime.device(found->second.device).used -= found->second.bytes;
  runtime.allocations().erase(found);
  free_device_bytes(dev_ptr);
  return cudaSuccess;
}

// Stream-ordered calls need the support and the default stream.
cudaError_t refuse_stream_ordered(const Runtime& runtime, cudaStream_t stream) {
  if (!runtime.async_supported()) return cudaErrorNotSupported;
  return stream != nullptr ? cudaErrorInvalidResourceHandle : cudaSuccess;
}

// [pointer, pointer + count) lies in one live allocation.
bool is_device_range(const Runtime& runtime, const void* pointer, std::size_t count) {
  return pointer != nullptr && runtime.find_range(pointer, count) != nullptr;
}
// A host buffer must not point into device memory, or the copy goes the wrong way.
bool is_host_range(const Runtime& runtime, const void* pointer) {
  return pointer != nullptr && runtime.find_range(pointer, 1) == nullptr;
}
}  // namespace

void free_device_bytes(void* address) { ::operator delete(address, kAllocationAlignment); }
}  // namespace cpu_cuda::detail

using cpu_cuda::detail::Needs;
using cpu_cuda::detail::runtime_call;

cudaError_t cudaMalloc(void** dev_ptr, std::size_t size) {
  return runtime_call<Needs::context>(
      [&](Runtime& runtime) { return cpu_cuda::detail::allocate(runtime, dev_ptr, size); });
}

cudaError_t cudaFree(void* dev_ptr) {
  return runtime_call<Needs::context>([&](Runtime& runtime) { return cpu_cuda::detail::release(runtime, dev_ptr); });
}

cudaError_t cudaMallocAsync(void** dev_ptr, std::size_t size, cudaStream_t stream) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (cudaError_t error = cpu_cuda::detail::refuse_stream_ordered(runtime, stream)) return error;
    return cpu_cuda::detail::allocate(runtime, dev_ptr, size);
  });
}

cudaError_t cudaFreeAsync(void* dev_ptr, cudaStream_t stream) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (cudaError_t error = cpu_cuda::detail::refuse_stream_ordered(runtime, stream)) return error;
    return cpu_cuda::detail::release(runtime, dev_ptr);
  });
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (cudaError_t error = runtime.injected(cpu_cuda::Operation::copy)) return error;
    // Only the directions the library uses are emulated; the rest are refused, not guessed.
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToHost) return cudaErrorInvalidMemcpyDirection;
    if (count == 0) return cudaSuccess;
    const bool upload = kind == cudaMemcpyHostToDevice;
    const void* device_side = upload ? static_cast<const void*>(dst) : src;
    const void* host_side = upload ? src : static_cast<const void*>(dst);
    if (!cpu_cuda::detail::is_device_range(runtime, device_side, count) ||
        !cpu_cuda::detail::is_host_range(runtime, host_side)) {
      return cudaErrorInvalidValue;
    }
    std::memcpy(dst, src, count);
    return cudaSuccess;
  });
}

cudaError_t cudaMemset(void* dev_ptr, int value, std::size_t count) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (cudaError_t error = runtime.injected(cpu_cuda::Operation::copy)) return error;
    if (count == 0) return cudaSuccess;
    if (!cpu_cuda::detail::is_device_range(runtime, dev_ptr, count)) return cudaErrorInvalidValue;
    std::memset(dev_ptr, value, count);
    return cudaSuccess;
  });
}

cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (free == nullptr || total == nullptr) return cudaErrorInvalidValue;
    const cpu_cuda::detail::DeviceState& device = runtime.device(runtime.current_device());
    const std::size_t limit = std::min(device.budget, device.config.total_global_mem);
    *total = device.config.total_global_mem;
    *free = limit - std::min(limit, device.used);
    return cudaSuccess;
  });
}
