// Device management, versions, error texts, kernel attributes and events of the stand-in runtime.
#include <chrono>
#include <cstring>

#include "runtime_state.hpp"

using cpu_cuda::detail::Needs;
using cpu_cuda::detail::Runtime;
using cpu_cuda::detail::runtime_call;

namespace cpu_cuda::detail {
void fill_properties(cudaDeviceProp& prop, const DeviceConfig& config) {
  constexpr int kWarpSize = 32;
  constexpr int kMaxThreadsPerBlock = 1024;
  constexpr int kMaxBlockDimZ = 64;
  constexpr int kMaxGridDimX = 2147483647;
  constexpr int kMaxGridDimYZ = 65535;
  std::memset(&prop, 0, sizeof prop);
  std::strncpy(prop.name, config.name.c_str(), sizeof prop.name - 1);
  prop.totalGlobalMem = config.total_global_mem;
  prop.sharedMemPerBlock = config.shared_mem_per_block;
  prop.warpSize = kWarpSize;
  prop.maxThreadsPerBlock = kMaxThreadsPerBlock;
  prop.maxThreadsDim[0] = kMaxThreadsPerBlock;
  prop.maxThreadsDim[1] = kMaxThreadsPerBlock;
  prop.maxThreadsDim[2] = kMaxBlockDimZ;
  prop.maxGridSize[0] = kMaxGridDimX;
  prop.maxGridSize[1] = kMaxGridDimYZ;
  prop.maxGridSize[2] = kMaxGridDimYZ;
  prop.major = config.major;
  prop.minor = config.minor;
  prop.multiProcessorCount = config.multi_processor_count;
  prop.sharedMemPerBlockOptin = config.shared_mem_per_block_optin;
}
}  // namespace cpu_cuda::detail

namespace {
double wall_clock_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

cudaError_t cudaGetDeviceCount(int* count) {
  return runtime_call<Needs::nothing>([&](Runtime& runtime) {
    if (count == nullptr) return cudaErrorInvalidValue;
    *count = 0;
    if (!runtime.driver_usable()) return cudaErrorInsufficientDriver;
    if (runtime.device_count() == 0) return cudaErrorNoDevice;
    *count = runtime.device_count();
    return cudaSuccess;
  });
}

cudaError_t cudaSetDevice(int device) {
  return runtime_call<Needs::driver>([&](Runtime& runtime) {
    if (runtime.device_count() == 0) return cudaErrorNoDevice;
    if (!runtime.valid_device(device)) return cudaErrorInvalidDevice;
    runtime.current_device() = device;
    return cudaSuccess;
  });
}

cudaError_t cudaGetDevice(int* device) {
  return runtime_call<Needs::driver>([&](Runtime& runtime) {
    if (device == nullptr) return cudaErrorInvalidValue;
    *device = runtime.current_device();
    return cudaSuccess;
  });
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  return runtime_call<Needs::driver>([&](Runtime& runtime) {
    if (prop == nullptr) return cudaErrorInvalidValue;
    if (!runtime.valid_device(device)) return cudaErrorInvalidDevice;
    cpu_cuda::detail::fill_properties(*prop, runtime.device(device).config);
    return cudaSuccess;
  });
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
  return runtime_call<Needs::driver>([&](Runtime& runtime) {
    if (value == nullptr) return cudaErrorInvalidValue;
    if (!runtime.valid_device(device)) return cudaErrorInvalidDevice;
    const cpu_cuda::DeviceConfig& config = runtime.device(device).config;
    switch (attr) {
      case cudaDevAttrMaxSharedMemoryPerBlock:
        *value = static_cast<int>(config.shared_mem_per_block);
        return cudaSuccess;
      case cudaDevAttrMaxSharedMemoryPerBlockOptin:
        *value = static_cast<int>(config.shared_mem_per_block_optin);
        return cudaSuccess;
    }
    return cudaErrorInvalidValue;  // an attribute the stand-in does not report
  });
}

cudaError_t cudaDeviceSynchronize() {
  // Launches and copies complete before they return, so only a pending fault remains to report.
  return runtime_call<Needs::context>([](Runtime&) { return cudaSuccess; });
}

cudaError_t cudaFuncSetAttribute(const void* func, cudaFuncAttribute attr, int value) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (func == nullptr) return cudaErrorInvalidDeviceFunction;
    cpu_cuda::detail::DeviceState& device = runtime.device(runtime.current_device());
    if (attr != cudaFuncAttributeMaxDynamicSharedMemorySize || value < 0 ||
        static_cast<std::size_t>(value) > device.config.shared_mem_per_block_optin) {
      return cudaErrorInvalidValue;
    }
    device.dynamic_shared_limit[func] = static_cast<std::size_t>(value);
    return cudaSuccess;
  });
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (event == nullptr) return cudaErrorInvalidValue;
    *event = new CUevent_st;
    runtime.events().insert(*event);
    return cudaSuccess;
  });
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (stream != nullptr || runtime.events().count(event) == 0) return cudaErrorInvalidResourceHandle;
    // Work before the record has already finished, so the event completes at once.
    event->recorded = true;
    event->recorded_ms = wall_clock_ms();
    return cudaSuccess;
  });
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    return runtime.events().count(event) == 0 ? cudaErrorInvalidResourceHandle : cudaSuccess;
  });
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (ms == nullptr) return cudaErrorInvalidValue;
    if (runtime.events().count(start) == 0 || runtime.events().count(end) == 0 || !start->recorded ||
        !end->recorded) {
      return cudaErrorInvalidResourceHandle;
    }
    *ms = static_cast<float>(end->recorded_ms - start->recorded_ms);
    return cudaSuccess;
  });
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
  return runtime_call<Needs::context>([&](Runtime& runtime) {
    if (runtime.events().erase(event) == 0) return cudaErrorInvalidResourceHandle;
    delete event;
    return cudaSuccess;
  });
}

cudaError_t cudaGetLastError() {
  Runtime& runtime = Runtime::instance();
  const std::lock_guard<std::mutex> lock(runtime.mutex());
  return runtime.take_last_error();
}

cudaError_t cudaPeekAtLastError() {
  Runtime& runtime = Runtime::instance();
  const std::lock_guard<std::mutex> lock(runtime.mutex());
  return runtime.peek_last_error();
}

cudaError_t cudaDriverGetVersion(int* driver_version) {
  // Answered without a usable driver too: 0 when none is installed, else the old driver's version.
  return runtime_call<Needs::nothing>([&](Runtime& runtime) {
    if (driver_version == nullptr) return cudaErrorInvalidValue;
    *driver_version = runtime.driver_version();
    return cudaSuccess;
  });
}

cudaError_t cudaRuntimeGetVersion(int* runtime_version) {
  return runtime_call<Needs::nothing>([&](Runtime&) {
    if (runtime_version == nullptr) return cudaErrorInvalidValue;
    *runtime_version = cpu_cuda::detail::kRuntimeVersion;
    return cudaSuccess;
  });
}

const char* cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorNoKernelImageForDevice: return "no kernel image is available for execution on the device";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorNotSupported: return "operation not supported";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}
