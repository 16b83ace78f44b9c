#pragma once
// The CUDA runtime surface the library calls, with CUDA's own names, signatures, enum values and error texts,
// implemented on the CPU. Declared in the global namespace as the real runtime declares them.
#include <cstddef>

struct uint3 {
  unsigned int x, y, z;
};

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}  // NOLINT: implicit as in CUDA
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

// Status codes keep CUDA's numeric values: callers compare them with numbers (35 is "no usable driver").
enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorInsufficientDriver = 35,
  cudaErrorInvalidDeviceFunction = 98,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorNoKernelImageForDevice = 209,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorNotReady = 600,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchOutOfResources = 701,
  cudaErrorLaunchFailure = 719,
  cudaErrorNotSupported = 801,
  cudaErrorUnknown = 999
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4
};

// The device attributes the library reads one at a time (values as in CUDA).
enum cudaDeviceAttr {
  cudaDevAttrMaxSharedMemoryPerBlock = 8,
  cudaDevAttrMaxSharedMemoryPerBlockOptin = 97
};

enum cudaFuncAttribute {
  cudaFuncAttributeMaxDynamicSharedMemorySize = 8
};

// The fields of the device record the library reads; the stand-in's devices fill every one.
struct cudaDeviceProp {
  char name[256];
  std::size_t totalGlobalMem;
  std::size_t sharedMemPerBlock;
  int warpSize;
  int maxThreadsPerBlock;
  int maxThreadsDim[3];
  int maxGridSize[3];
  int major;
  int minor;
  int multiProcessorCount;
  std::size_t sharedMemPerBlockOptin;
};

struct CUstream_st;
struct CUevent_st;
typedef struct CUstream_st* cudaStream_t;  // only the default stream (null) exists here
typedef struct CUevent_st* cudaEvent_t;

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total);

cudaError_t cudaMalloc(void** dev_ptr, std::size_t size);
cudaError_t cudaFree(void* dev_ptr);
cudaError_t cudaMallocAsync(void** dev_ptr, std::size_t size, cudaStream_t stream);
cudaError_t cudaFreeAsync(void* dev_ptr, cudaStream_t stream);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* dev_ptr, int value, std::size_t count);

cudaError_t cudaFuncSetAttribute(const void* func, cudaFuncAttribute attr, int value);
// The typed form CUDA offers for kernels, so callers pass the kernel itself.
template <typename T>
cudaError_t cudaFuncSetAttribute(T* entry, cudaFuncAttribute attr, int value) {
  return cudaFuncSetAttribute(reinterpret_cast<const void*>(entry), attr, value);
}

cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaDriverGetVersion(int* driver_version);
cudaError_t cudaRuntimeGetVersion(int* runtime_version);
