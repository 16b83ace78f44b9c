#pragma once
// Control of the CPU stand-in for tests: the devices it pretends to have, their memory budgets, failure modes,
// failure injection, block scheduling, and a count of live device allocations.
#include <cstddef>
#include <string>
#include <vector>

#include "cpu_cuda/runtime_api.hpp"

namespace cpu_cuda {
// One pretend device; `default_device()` gives a mid-range GPU of compute capability 8.9.
struct DeviceConfig {
  std::string name;
  int major;
  int minor;
  std::size_t total_global_mem;             // bytes; also the default memory budget
  std::size_t shared_mem_per_block;         // bytes of shared memory a block gets without opting in
  std::size_t shared_mem_per_block_optin;   // bytes a kernel may opt in to with cudaFuncSetAttribute
  int multi_processor_count;
};

DeviceConfig default_device();

// Back to one default device with everything enabled and the serial setting taken from the environment again;
// frees every live allocation and event and clears all errors, injections and kernel attributes.
void reset();
// Replaces the devices (an empty list means a driver with no device); implies reset().
void set_devices(const std::vector<DeviceConfig>& devices);

// Allocations on `device` beyond `bytes` in total answer cudaErrorMemoryAllocation.
void set_memory_budget(int device, std::size_t bytes);

// Driver version reported by cudaDriverGetVersion (1000 x major + 10 x minor). 0 means no driver is installed;
// 0 or a driver older than CUDA 12.0 makes every call that needs the driver answer cudaErrorInsufficientDriver.
void set_driver_version(int version);

// Whether cudaMallocAsync and cudaFreeAsync are supported; when not they answer cudaErrorNotSupported.
void set_async_allocation_supported(bool supported);

// Every kernel launched on `device` answers `error` without running (a device the library's code cannot run on,
// as a device probe sees it); cudaSuccess restores it.
void fail_kernels_on_device(int device, cudaError_t error = cudaErrorNoKernelImageForDevice);

// Operations whose n-th call can be made to fail. `copy` counts cudaMemcpy and cudaMemset.
enum class Operation { allocation, copy, launch };
// The n-th call of `operation` from now (1 = the next) does nothing and answers `error`.
void inject_failure(Operation operation, int nth, cudaError_t error);

// Runs the blocks of each launch one after the other on the launching thread instead of on every core.
// The environment variable CPU_CUDA_SERIAL_BLOCKS=1 sets it when the stand-in starts.
void set_serial_blocks(bool serial);
bool serial_blocks();

// Device allocations not yet freed, over all devices.
std::size_t live_allocation_count();
std::size_t live_allocation_bytes();
}  // namespace cpu_cuda
